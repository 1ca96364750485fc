#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// Everything a journal file holds, read with SQLite's own API and plain SQL, as a person would
// with the sqlite3 shell: the tests check what the journal code wrote without trusting it to
// read it back.
struct JournalRows
{
    struct Edit
    {
        qint64 seq = 0;
        qint64 timeMs = 0;
        qint64 connection = 0;
        QByteArray message;
    };
    struct Connection
    {
        qint64 id = 0;
        QString address;
        qint64 port = 0;
        qint64 connectedMs = 0;
        std::optional<qint64> leftMs;
        QString label; // empty for NULL
        QString name;  // empty for NULL
    };
    struct Snapshot
    {
        qint64 seq = 0;
        qint64 timeMs = 0;
        QByteArray picture;
    };
    struct Gap
    {
        qint64 fromMs = 0;
        qint64 untilMs = 0;
        qint64 afterSeq = 0;
    };

    qint64 applicationId = 0;
    qint64 userVersion = 0;
    QString journalMode;
    QList<Edit> edits;
    QList<Connection> connections;
    QList<Snapshot> snapshots;
    QList<Gap> gaps;

    // nullopt if the file cannot be read as an SQLite database with these tables (of the
    // current schema).
    static std::optional<JournalRows> read(const QString &path);
    // Runs one statement on the file (to damage or age a journal for a test); false on failure.
    static bool execute(const QString &path, const QString &sql);
};
