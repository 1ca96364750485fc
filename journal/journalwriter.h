#pragma once

#include "journal/journaldatabase.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QString>

#include <vector>

// Appends to a journal in batches: records are gathered in memory and commit() writes them all
// in one transaction, handed to the operating system but not synced (WAL, synchronous NORMAL);
// sync() then puts every commit so far on the disk, so that the caller decides how many commits
// one sync covers. Statements are prepared once per opening.
//
// A commit that fails leaves the journal as it was before it (SQLite rolls the transaction back)
// and the batch still pending: the caller decides whether to try it again or let it go.
class JournalWriter
{
public:
    explicit JournalWriter(const QString &path);

    const QString &path() const { return m_database.path(); }
    JournalDatabase *database() { return &m_database; }
    QString errorString() const { return m_error; }
    // The SQLite code of the last failure, to tell a full disk from a read-only one.
    int errorCode() const { return m_database.lastErrorCode(); }

    // Opens (creating if missing) and prepares; anything but Opened or Created leaves it closed.
    JournalDatabase::OpenResult open();
    void close();
    bool isOpen() const { return m_database.isOpen(); }

    // What the journal held when it was opened.
    quint64 storedLastSeq() const { return m_storedLastSeq; }
    quint64 storedLastConnection() const { return m_storedLastConnection; }
    qint64 storedLastTimeMs() const { return m_storedLastTimeMs; }
    // The edit the picture file held at its last recorded save, or -1 if none is recorded.
    qint64 storedSavedSeq() const { return m_storedSavedSeq; }

    // label names what a connection of the server's own did, name the editor a client drew as;
    // each empty (NULL) when there is none.
    void addConnection(quint64 id, const QString &address, quint16 port, qint64 connectedMs,
                       const QString &label = QString(), const QString &name = QString());
    void setLeft(quint64 id, qint64 leftMs);
    void addEdit(quint64 seq, qint64 timeMs, quint64 connection, QByteArrayView message);
    void addSnapshot(quint64 seq, qint64 timeMs, const QByteArray &picture);
    void addGap(qint64 fromMs, qint64 untilMs, quint64 afterSeq);
    void setSaved(quint64 seq, qint64 timeMs);

    bool hasPending() const;
    int pendingEdits() const { return int(m_edits.size()); }
    qint64 pendingBytes() const { return m_messages.size(); }
    // Writes every pending record in one transaction. Pending records are dropped on success
    // and kept on failure.
    bool commit();
    void discardPending();
    // Syncs every commit so far to the disk.
    bool sync();

    // Folds every edit up to and including seq into the snapshot given for it, taken at timeMs,
    // and gives the freed space back. Connections no kept edit refers to and that have left are
    // dropped with them.
    bool fold(quint64 seq, qint64 timeMs, const QByteArray &picture);
    // Bytes the journal's pages hold, free pages not counted.
    qint64 usedBytes();
    // The number of edits kept.
    qint64 editCount();

private:
    struct PendingConnection
    {
        quint64 id;
        QString address;
        quint16 port;
        qint64 connectedMs;
        QString label;
        QString name;
    };
    struct PendingEdit
    {
        quint64 seq;
        qint64 timeMs;
        quint64 connection;
        qsizetype offset;
        qsizetype size;
    };
    struct PendingSnapshot
    {
        quint64 seq;
        qint64 timeMs;
        QByteArray picture;
    };
    struct PendingGap
    {
        qint64 fromMs;
        qint64 untilMs;
        quint64 afterSeq;
    };

    bool write();
    bool fail(const char *what);

    JournalDatabase m_database;
    QString m_error;
    JournalDatabase::Statement m_insertConnection;
    JournalDatabase::Statement m_updateLeft;
    JournalDatabase::Statement m_insertEdit;
    JournalDatabase::Statement m_insertSnapshot;
    JournalDatabase::Statement m_insertGap;
    JournalDatabase::Statement m_updateSaved;

    quint64 m_storedLastSeq = 0;
    quint64 m_storedLastConnection = 0;
    qint64 m_storedLastTimeMs = 0;
    qint64 m_storedSavedSeq = -1;

    std::vector<PendingConnection> m_connections;
    std::vector<std::pair<quint64, qint64>> m_left;
    std::vector<PendingEdit> m_edits;
    // Every pending edit's message, back to back, so that a batch is one growing buffer.
    QByteArray m_messages;
    std::vector<PendingSnapshot> m_snapshots;
    std::vector<PendingGap> m_gaps;
    qint64 m_savedSeq = -1;
    qint64 m_savedMs = 0;
};
