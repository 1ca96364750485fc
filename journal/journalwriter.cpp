#include "journal/journalwriter.h"

#include "server/faultpoint.h"

JournalWriter::JournalWriter(const QString &path)
    : m_database(path)
{
}

bool JournalWriter::fail(const char *what)
{
    m_database.fail(what);
    m_error = m_database.errorString();
    return false;
}

JournalDatabase::OpenResult JournalWriter::open()
{
    const JournalDatabase::OpenResult result = m_database.open(JournalDatabase::ReadWrite);
    m_error = m_database.errorString();
    if (result != JournalDatabase::Opened && result != JournalDatabase::Created)
        return result;
    sqlite3 *db = m_database.handle();
    const bool prepared =
        m_insertConnection.prepare(db, "INSERT INTO connections(id, address, port, "
                                       "connected_ms, left_ms, label, name) "
                                       "VALUES (?, ?, ?, ?, NULL, ?, ?)") &&
        m_updateLeft.prepare(db, "UPDATE connections SET left_ms = ? WHERE id = ?") &&
        m_insertEdit.prepare(db, "INSERT INTO edits(seq, time_ms, connection, message) "
                                 "VALUES (?, ?, ?, ?)") &&
        m_insertSnapshot.prepare(db, "INSERT OR REPLACE INTO snapshots(seq, time_ms, picture) "
                                     "VALUES (?, ?, ?)") &&
        m_insertGap.prepare(db,
                            "INSERT INTO gaps(from_ms, until_ms, after_seq) VALUES (?, ?, ?)") &&
        m_updateSaved.prepare(db,
                              "INSERT OR REPLACE INTO saved(id, seq, time_ms) VALUES (1, ?, ?)");
    if (!prepared) {
        fail("preparing");
        m_database.close();
        return JournalDatabase::Failed;
    }
    m_storedLastSeq =
        quint64(m_database.queryInteger("SELECT max(ifnull((SELECT max(seq) FROM edits), 0), "
                                        "ifnull((SELECT max(seq) FROM snapshots), 0))"));
    m_storedLastConnection =
        quint64(m_database.queryInteger("SELECT ifnull(max(id), 0) FROM connections"));
    m_storedLastTimeMs =
        m_database.queryInteger("SELECT max(ifnull((SELECT max(time_ms) FROM edits), 0), "
                                "ifnull((SELECT max(time_ms) FROM snapshots), 0))");
    m_storedSavedSeq = m_database.queryInteger("SELECT seq FROM saved WHERE id = 1", -1);
    return result;
}

void JournalWriter::close()
{
    m_database.close();
}

void JournalWriter::addConnection(quint64 id, const QString &address, quint16 port,
                                  qint64 connectedMs, const QString &label, const QString &name)
{
    m_connections.push_back({id, address, port, connectedMs, label, name});
}

void JournalWriter::setLeft(quint64 id, qint64 leftMs)
{
    m_left.emplace_back(id, leftMs);
}

void JournalWriter::addEdit(quint64 seq, qint64 timeMs, quint64 connection, QByteArrayView message)
{
    m_edits.push_back({seq, timeMs, connection, m_messages.size(), message.size()});
    m_messages.append(message);
}

void JournalWriter::addSnapshot(quint64 seq, qint64 timeMs, const QByteArray &picture)
{
    m_snapshots.push_back({seq, timeMs, picture});
}

void JournalWriter::addGap(qint64 fromMs, qint64 untilMs, quint64 afterSeq)
{
    m_gaps.push_back({fromMs, untilMs, afterSeq});
}

void JournalWriter::setSaved(quint64 seq, qint64 timeMs)
{
    m_savedSeq = qint64(seq);
    m_savedMs = timeMs;
}

bool JournalWriter::hasPending() const
{
    return !m_connections.empty() || !m_left.empty() || !m_edits.empty() || !m_snapshots.empty() ||
           !m_gaps.empty() || m_savedSeq >= 0;
}

void JournalWriter::discardPending()
{
    m_connections.clear();
    m_left.clear();
    m_edits.clear();
    m_messages.clear();
    m_snapshots.clear();
    m_gaps.clear();
    m_savedSeq = -1;
}

bool JournalWriter::commit()
{
    if (!hasPending())
        return true;
    if (!m_database.isOpen()) {
        m_error = QStringLiteral("%1: not open").arg(path());
        return false;
    }
    FaultPoint::Scope scope(m_snapshots.empty() ? "commit" : "snapshot");
    if (!m_database.exec("BEGIN IMMEDIATE")) {
        m_error = m_database.errorString();
        return false;
    }
    if (!write()) {
        sqlite3_exec(m_database.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    // The WAL's new pages are handed to the operating system here, without a sync.
    if (!m_database.exec("COMMIT")) {
        m_error = m_database.errorString();
        sqlite3_exec(m_database.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    discardPending();
    return true;
}

bool JournalWriter::write()
{
    // Connections before the edits that name them, and left times after both, so that a
    // connection that came and went within one batch is recorded whole.
    for (const PendingConnection &connection : m_connections) {
        if (connection.label.isEmpty())
            m_insertConnection.bindNull(5);
        else
            m_insertConnection.bind(5, connection.label);
        if (connection.name.isEmpty())
            m_insertConnection.bindNull(6);
        else
            m_insertConnection.bind(6, connection.name);
        if (!m_insertConnection.bind(1, qint64(connection.id))
                 .bind(2, connection.address)
                 .bind(3, qint64(connection.port))
                 .bind(4, connection.connectedMs)
                 .run())
            return fail("recording a connection");
    }
    for (const PendingEdit &edit : m_edits) {
        if (!m_insertEdit.bind(1, qint64(edit.seq))
                 .bind(2, edit.timeMs)
                 .bind(3, qint64(edit.connection))
                 .bind(4, QByteArrayView(m_messages.constData() + edit.offset, edit.size))
                 .run())
            return fail("recording an edit");
    }
    for (const auto &[id, leftMs] : m_left) {
        if (!m_updateLeft.bind(1, leftMs).bind(2, qint64(id)).run())
            return fail("recording a connection's end");
    }
    for (const PendingSnapshot &snapshot : m_snapshots) {
        if (!m_insertSnapshot.bind(1, qint64(snapshot.seq))
                 .bind(2, snapshot.timeMs)
                 .bind(3, QByteArrayView(snapshot.picture))
                 .run())
            return fail("recording a snapshot");
    }
    for (const PendingGap &gap : m_gaps) {
        if (!m_insertGap.bind(1, gap.fromMs)
                 .bind(2, gap.untilMs)
                 .bind(3, qint64(gap.afterSeq))
                 .run())
            return fail("recording a gap");
    }
    if (m_savedSeq >= 0 && !m_updateSaved.bind(1, m_savedSeq).bind(2, m_savedMs).run())
        return fail("recording a save");
    return true;
}

bool JournalWriter::sync()
{
    if (m_database.syncLog())
        return true;
    m_error = m_database.errorString();
    return false;
}

bool JournalWriter::fold(quint64 seq, qint64 timeMs, const QByteArray &picture)
{
    FaultPoint::Scope scope("fold");
    if (!m_database.exec("BEGIN IMMEDIATE")) {
        m_error = m_database.errorString();
        return false;
    }
    JournalDatabase::Statement snapshot;
    JournalDatabase::Statement edits;
    JournalDatabase::Statement snapshots;
    JournalDatabase::Statement gaps;
    JournalDatabase::Statement connections;
    sqlite3 *db = m_database.handle();
    const bool done =
        snapshot.prepare(db, "INSERT OR REPLACE INTO snapshots(seq, time_ms, picture) "
                             "VALUES (?, ?, ?)") &&
        snapshot.bind(1, qint64(seq)).bind(2, timeMs).bind(3, QByteArrayView(picture)).run() &&
        edits.prepare(db, "DELETE FROM edits WHERE seq <= ?") && edits.bind(1, qint64(seq)).run() &&
        snapshots.prepare(db, "DELETE FROM snapshots WHERE seq < ?") &&
        snapshots.bind(1, qint64(seq)).run() &&
        gaps.prepare(db, "DELETE FROM gaps WHERE after_seq < ?") &&
        gaps.bind(1, qint64(seq)).run() &&
        connections.prepare(db, "DELETE FROM connections WHERE left_ms IS NOT NULL AND left_ms < ? "
                                "AND id NOT IN (SELECT DISTINCT connection FROM edits)") &&
        connections.bind(1, timeMs).run();
    if (!done) {
        fail("folding old edits");
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    if (!m_database.exec("COMMIT")) {
        m_error = m_database.errorString();
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    // Moves the freed pages to the end of the file and cuts them off; the WAL is then checkpointed
    // so that the file itself shrinks.
    m_database.exec("PRAGMA incremental_vacuum");
    m_database.exec("PRAGMA wal_checkpoint(TRUNCATE)");
    return true;
}

qint64 JournalWriter::usedBytes()
{
    const qint64 pages = m_database.queryInteger("PRAGMA page_count");
    const qint64 free = m_database.queryInteger("PRAGMA freelist_count");
    return (pages - free) * m_database.queryInteger("PRAGMA page_size", 4096);
}

qint64 JournalWriter::editCount()
{
    return m_database.queryInteger("SELECT count(*) FROM edits");
}
