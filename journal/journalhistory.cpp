#include "journal/journalhistory.h"

#include "journal/journalmoderation.h"

#include "connection/protocol.h"
#include "server/picturefile.h"

namespace {

// The columns a journal of that schema has: older ones are read as they are, without a label
// (before 2) or a name (before 4).
const char *connectionQuery(int schemaVersion)
{
    if (schemaVersion >= 4)
        return "SELECT address, port, connected_ms, left_ms, label, name FROM connections "
               "WHERE id = ?";
    if (schemaVersion >= 2)
        return "SELECT address, port, connected_ms, left_ms, label, NULL FROM connections "
               "WHERE id = ?";
    return "SELECT address, port, connected_ms, left_ms, NULL, NULL FROM connections WHERE id = ?";
}

} // namespace

JournalHistory::JournalHistory(const QString &path)
    : m_owned(std::make_unique<JournalDatabase>(path))
    , m_database(m_owned.get())
{
}

JournalHistory::JournalHistory(JournalDatabase *database)
    : m_database(database)
{
}

JournalHistory::~JournalHistory() = default;

JournalDatabase::OpenResult JournalHistory::open()
{
    const JournalDatabase::OpenResult result = m_database->open(JournalDatabase::ReadOnly);
    m_error = m_database->errorString();
    m_prepared = false;
    return result;
}

bool JournalHistory::failed(const char *what)
{
    m_database->fail(what);
    m_error = m_database->errorString();
    return false;
}

bool JournalHistory::prepare()
{
    if (m_prepared)
        return true;
    if (!m_database->isOpen()) {
        m_error = QStringLiteral("%1: not open").arg(m_database->path());
        return false;
    }
    sqlite3 *db = m_database->handle();
    m_prepared = m_oldest.prepare(db, "SELECT seq, time_ms FROM snapshots ORDER BY seq LIMIT 1") &&
                 m_last.prepare(db, "SELECT max(ifnull((SELECT max(seq) FROM edits), 0), "
                                    "ifnull((SELECT max(seq) FROM snapshots), 0))") &&
                 m_editTime.prepare(db, "SELECT time_ms FROM edits WHERE seq = ?") &&
                 m_snapshot.prepare(db, "SELECT seq, picture FROM snapshots WHERE seq <= ? "
                                        "ORDER BY seq DESC LIMIT 1") &&
                 m_edits.prepare(db, "SELECT seq, time_ms, connection, message FROM edits "
                                     "WHERE seq BETWEEN ? AND ? ORDER BY seq") &&
                 m_connection.prepare(db, connectionQuery(m_database->schemaVersion()));
    if (!m_prepared)
        return failed("reading the journal");
    return true;
}

quint64 JournalHistory::oldestSeq()
{
    if (!prepare())
        return 1;
    const int code = m_oldest.step();
    const quint64 seq = code == SQLITE_ROW ? quint64(m_oldest.integer(0)) + 1 : 1;
    m_oldest.reset();
    return seq;
}

qint64 JournalHistory::oldestMs()
{
    if (!prepare())
        return 0;
    const int code = m_oldest.step();
    const qint64 ms = code == SQLITE_ROW ? m_oldest.integer(1) : 0;
    m_oldest.reset();
    return ms;
}

quint64 JournalHistory::lastSeq()
{
    if (!prepare())
        return 0;
    const int code = m_last.step();
    const quint64 seq = code == SQLITE_ROW ? quint64(m_last.integer(0)) : 0;
    m_last.reset();
    return qMax(seq, oldestSeq() - 1);
}

qint64 JournalHistory::editTime(quint64 seq)
{
    m_editTime.bind(1, qint64(seq));
    const qint64 ms = m_editTime.step() == SQLITE_ROW ? m_editTime.integer(0) : -1;
    m_editTime.reset();
    return ms;
}

std::optional<quint64> JournalHistory::seqAt(qint64 ms)
{
    if (!prepare())
        return std::nullopt;
    if (ms < oldestMs())
        return std::nullopt;
    // The last edit with a time at or before ms, by bisection over [oldest - 1, last].
    quint64 low = oldestSeq() - 1; // known to have taken effect by ms
    quint64 high = lastSeq();
    while (low < high) {
        const quint64 middle = low + (high - low + 1) / 2;
        const qint64 time = editTime(middle);
        if (time < 0) {
            // Only a snapshot stands there (a journal started again after a gap): nothing to
            // bisect past, so the moment is at it.
            high = middle - 1;
            continue;
        }
        if (time <= ms)
            low = middle;
        else
            high = middle - 1;
    }
    return low;
}

std::optional<Picture> JournalHistory::pictureAt(quint64 seq)
{
    if (!prepare())
        return std::nullopt;
    if (seq + 1 < oldestSeq() || seq > lastSeq()) {
        m_error = QStringLiteral("%1: edit %2 is not kept").arg(m_database->path()).arg(seq);
        return std::nullopt;
    }
    m_snapshot.bind(1, qint64(seq));
    if (m_snapshot.step() != SQLITE_ROW) {
        m_snapshot.reset();
        failed("no snapshot before the edit");
        return std::nullopt;
    }
    const quint64 from = quint64(m_snapshot.integer(0));
    QString problem;
    std::optional<Picture> picture = PictureFile::decode(m_snapshot.blob(1), &problem);
    m_snapshot.reset();
    if (!picture) {
        m_error = QStringLiteral("%1: damaged snapshot after edit %2: %3")
                      .arg(m_database->path())
                      .arg(from)
                      .arg(problem);
        return std::nullopt;
    }
    bool applied = true;
    const bool read = forEachEdit(from + 1, seq, [&](const Edit &edit) {
        if (edit.message.size() < Protocol::HeaderSize ||
            picture->apply(quint8(edit.message.at(0)), edit.message.sliced(Protocol::HeaderSize)) !=
                Picture::Applied) {
            m_error = QStringLiteral("%1: damaged edit %2").arg(m_database->path()).arg(edit.seq);
            applied = false;
        }
        return applied;
    });
    if (!read || !applied)
        return std::nullopt;
    return picture;
}

bool JournalHistory::forEachEdit(quint64 first, quint64 last,
                                 const std::function<bool(const Edit &)> &visit)
{
    if (!prepare())
        return false;
    if (first > last)
        return true;
    m_edits.bind(1, qint64(first)).bind(2, qint64(last));
    int code = SQLITE_ROW;
    while ((code = m_edits.step()) == SQLITE_ROW) {
        Edit edit;
        edit.seq = quint64(m_edits.integer(0));
        edit.timeMs = m_edits.integer(1);
        edit.connection = quint64(m_edits.integer(2));
        edit.message = m_edits.blob(3);
        if (!visit(edit)) {
            code = SQLITE_DONE;
            break;
        }
    }
    m_edits.reset();
    if (code != SQLITE_DONE)
        return failed("reading edits");
    return true;
}

std::optional<PictureHistory::Connection> JournalHistory::connection(quint64 id)
{
    if (!prepare())
        return std::nullopt;
    m_connection.bind(1, qint64(id));
    std::optional<Connection> found;
    if (m_connection.step() == SQLITE_ROW) {
        Connection connection;
        connection.id = id;
        connection.address = m_connection.text(0);
        connection.port = quint16(m_connection.integer(1));
        connection.connectedMs = m_connection.integer(2);
        connection.leftMs = m_connection.isNull(3) ? -1 : m_connection.integer(3);
        connection.label = m_connection.isNull(4) ? QString() : m_connection.text(4);
        connection.name = m_connection.isNull(5) ? QString() : m_connection.text(5);
        found = connection;
    } else {
        m_error = QStringLiteral("%1: no connection %2").arg(m_database->path()).arg(id);
    }
    m_connection.reset();
    return found;
}

std::optional<Moderation> JournalHistory::moderation()
{
    return JournalModeration::read(m_database, &m_error);
}

std::optional<bool> JournalHistory::hasConnectionFrom(const Subnet &subnet)
{
    JournalDatabase::Statement addresses;
    if (!addresses.prepare(m_database->handle(), "SELECT DISTINCT address FROM connections")) {
        m_database->fail("reading the connections");
        m_error = m_database->errorString();
        return std::nullopt;
    }
    int code = SQLITE_ROW;
    while ((code = addresses.step()) == SQLITE_ROW)
        if (subnet.contains(QHostAddress(addresses.text(0))))
            return true;
    if (code != SQLITE_DONE) {
        m_database->fail("reading the connections");
        m_error = m_database->errorString();
        return std::nullopt;
    }
    return false;
}

std::optional<bool> JournalHistory::hasConnectionNamed(const QString &name)
{
    if (m_database->schemaVersion() < 4)
        return false;
    JournalDatabase::Statement named;
    if (!named.prepare(m_database->handle(), "SELECT 1 FROM connections WHERE name = ? LIMIT 1")) {
        m_database->fail("reading the connections");
        m_error = m_database->errorString();
        return std::nullopt;
    }
    const int code = named.bind(1, name).step();
    if (code != SQLITE_ROW && code != SQLITE_DONE) {
        m_database->fail("reading the connections");
        m_error = m_database->errorString();
        return std::nullopt;
    }
    return code == SQLITE_ROW;
}

QList<JournalHistory::Gap> JournalHistory::gaps()
{
    QList<Gap> found;
    if (!prepare())
        return found;
    JournalDatabase::Statement query;
    if (!query.prepare(m_database->handle(),
                       "SELECT from_ms, until_ms, after_seq FROM gaps ORDER BY after_seq, from_ms"))
        return found;
    while (query.step() == SQLITE_ROW)
        found.append(Gap{query.integer(0), query.integer(1), quint64(query.integer(2))});
    return found;
}
