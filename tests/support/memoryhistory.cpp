#include "tests/support/memoryhistory.h"

#include "connection/protocol.h"

#include <algorithm>

MemoryHistory::MemoryHistory(const Picture &start, qint64 startMs, int snapshotEvery)
    : m_picture(start)
    , m_snapshotEvery(snapshotEvery)
    , m_oldestMs(startMs)
{
    m_snapshots.emplace(0, start);
}

quint64 MemoryHistory::addConnection(const QString &address, quint16 port, qint64 connectedMs,
                                     const QString &label, const QString &name)
{
    Connection connection;
    connection.label = label;
    connection.name = name;
    connection.id = quint64(m_connections.size()) + 1;
    connection.address = address;
    connection.port = port;
    connection.connectedMs = connectedMs;
    m_connections.append(connection);
    return connection.id;
}

bool MemoryHistory::addEdit(quint64 connection, qint64 timeMs, const QByteArray &message)
{
    if (m_picture.apply(quint8(message.at(0)),
                        QByteArrayView(message).sliced(Protocol::HeaderSize)) != Picture::Applied)
        return false;
    m_edits.append({timeMs, connection, message});
    const quint64 seq = lastSeq();
    if (seq % quint64(m_snapshotEvery) == 0)
        m_snapshots.emplace(seq, m_picture);
    return true;
}

void MemoryHistory::forgetBefore(quint64 seq)
{
    const std::optional<Picture> folded = pictureAt(seq);
    const qint64 foldedMs = m_edits.at(qsizetype(seq - m_oldestSeq)).timeMs;
    m_edits.remove(0, qsizetype(seq - m_oldestSeq + 1));
    m_snapshots.erase(m_snapshots.begin(), m_snapshots.upper_bound(seq));
    m_snapshots.emplace(seq, *folded);
    m_oldestSeq = seq + 1;
    m_oldestMs = foldedMs;
}

QString MemoryHistory::errorString() const
{
    return m_broken ? QStringLiteral("the history is broken") : QString();
}

quint64 MemoryHistory::oldestSeq()
{
    return m_oldestSeq;
}

qint64 MemoryHistory::oldestMs()
{
    return m_oldestMs;
}

quint64 MemoryHistory::lastSeq()
{
    return m_oldestSeq + quint64(m_edits.size()) - 1;
}

std::optional<quint64> MemoryHistory::seqAt(qint64 ms)
{
    if (m_broken || ms < m_oldestMs)
        return std::nullopt;
    const auto after = std::upper_bound(m_edits.cbegin(), m_edits.cend(), ms,
                                        [](qint64 t, const Kept &kept) { return t < kept.timeMs; });
    return m_oldestSeq + quint64(after - m_edits.cbegin()) - 1;
}

std::optional<Picture> MemoryHistory::pictureAt(quint64 seq)
{
    if (m_broken || seq + 1 < m_oldestSeq || seq > lastSeq())
        return std::nullopt;
    auto snapshot = m_snapshots.upper_bound(seq);
    --snapshot;
    Picture picture = snapshot->second;
    for (quint64 s = snapshot->first + 1; s <= seq; ++s) {
        const QByteArray &message = m_edits.at(qsizetype(s - m_oldestSeq)).message;
        picture.apply(quint8(message.at(0)), QByteArrayView(message).sliced(Protocol::HeaderSize));
    }
    return picture;
}

bool MemoryHistory::forEachEdit(quint64 first, quint64 last,
                                const std::function<bool(const Edit &)> &visit)
{
    if (m_broken)
        return false;
    first = std::max(first, m_oldestSeq);
    last = std::min(last, lastSeq());
    for (quint64 seq = first; seq <= last && seq >= first; ++seq) {
        const Kept &kept = m_edits.at(qsizetype(seq - m_oldestSeq));
        if (!visit(Edit{seq, kept.timeMs, kept.connection, kept.message}))
            break;
    }
    return true;
}

std::optional<PictureHistory::Connection> MemoryHistory::connection(quint64 id)
{
    if (m_broken || id == 0 || id > quint64(m_connections.size()))
        return std::nullopt;
    return m_connections.at(qsizetype(id - 1));
}
