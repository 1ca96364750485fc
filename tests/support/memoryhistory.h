#pragma once

#include "server/picturehistory.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>

#include <map>

// A picture's history kept in memory, for tests and benchmarks of what reads a history: edits
// are added in order with the time and connection given, and a whole picture is kept every
// snapshotEvery edits, as a journal keeps them. forgetBefore() drops what retention would.
class MemoryHistory : public PictureHistory
{
public:
    explicit MemoryHistory(const Picture &start, qint64 startMs = 0, int snapshotEvery = 1000);

    quint64 addConnection(const QString &address, quint16 port, qint64 connectedMs,
                          const QString &label = QString(), const QString &name = QString());
    // Applies the whole message to the picture and keeps it; false if the picture refuses it.
    bool addEdit(quint64 connection, qint64 timeMs, const QByteArray &message);
    // Keeps only the edits after seq, folding the rest into the picture after it.
    void forgetBefore(quint64 seq);
    // Makes every call fail, as a history that cannot be read does.
    void setBroken(bool broken) { m_broken = broken; }
    const Picture &picture() const { return m_picture; }

    QString errorString() const override;
    quint64 oldestSeq() override;
    qint64 oldestMs() override;
    quint64 lastSeq() override;
    std::optional<quint64> seqAt(qint64 ms) override;
    std::optional<Picture> pictureAt(quint64 seq) override;
    bool forEachEdit(quint64 first, quint64 last,
                     const std::function<bool(const Edit &)> &visit) override;
    std::optional<Connection> connection(quint64 id) override;

private:
    struct Kept
    {
        qint64 timeMs = 0;
        quint64 connection = 0;
        QByteArray message;
    };

    Picture m_picture;
    int m_snapshotEvery = 1000;
    quint64 m_oldestSeq = 1; // the first edit kept; the picture after the one before is whole
    qint64 m_oldestMs = 0;
    std::map<quint64, Picture> m_snapshots; // after edit seq
    QList<Kept> m_edits;                    // edit m_oldestSeq + i at i
    QList<Connection> m_connections;        // connection i + 1 at i
    bool m_broken = false;
};
