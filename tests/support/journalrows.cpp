#include "tests/support/journalrows.h"

#include <QFile>

#include <sqlite3.h>

namespace {

class Database
{
public:
    explicit Database(const QString &path, int flags)
    {
        if (sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, flags, nullptr) !=
            SQLITE_OK) {
            sqlite3_close(m_db);
            m_db = nullptr;
        }
    }
    ~Database() { sqlite3_close(m_db); }
    sqlite3 *handle() const { return m_db; }

    // Calls row for every result row; false on any error.
    template <typename Row> bool query(const char *sql, Row row)
    {
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(m_db, sql, -1, &statement, nullptr) != SQLITE_OK)
            return false;
        int code = SQLITE_ROW;
        while ((code = sqlite3_step(statement)) == SQLITE_ROW)
            row(statement);
        sqlite3_finalize(statement);
        return code == SQLITE_DONE;
    }

private:
    sqlite3 *m_db = nullptr;
};

QByteArray blob(sqlite3_stmt *statement, int column)
{
    return QByteArray(static_cast<const char *>(sqlite3_column_blob(statement, column)),
                      sqlite3_column_bytes(statement, column));
}

QString text(sqlite3_stmt *statement, int column)
{
    return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, column)),
                             sqlite3_column_bytes(statement, column));
}

} // namespace

std::optional<JournalRows> JournalRows::read(const QString &path)
{
    Database db(path, SQLITE_OPEN_READONLY);
    if (!db.handle())
        return std::nullopt;
    JournalRows rows;
    const bool ok =
        db.query("PRAGMA application_id",
                 [&](sqlite3_stmt *s) { rows.applicationId = sqlite3_column_int64(s, 0); }) &&
        db.query("PRAGMA user_version",
                 [&](sqlite3_stmt *s) { rows.userVersion = sqlite3_column_int64(s, 0); }) &&
        db.query("PRAGMA journal_mode", [&](sqlite3_stmt *s) { rows.journalMode = text(s, 0); }) &&
        db.query("SELECT seq, time_ms, connection, message FROM edits ORDER BY seq",
                 [&](sqlite3_stmt *s) {
                     rows.edits.append({sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1),
                                        sqlite3_column_int64(s, 2), blob(s, 3)});
                 }) &&
        db.query("SELECT id, address, port, connected_ms, left_ms, label, name FROM connections "
                 "ORDER BY id",
                 [&](sqlite3_stmt *s) {
                     Connection connection{sqlite3_column_int64(s, 0),
                                           text(s, 1),
                                           sqlite3_column_int64(s, 2),
                                           sqlite3_column_int64(s, 3),
                                           std::nullopt,
                                           text(s, 5),
                                           text(s, 6)};
                     if (sqlite3_column_type(s, 4) != SQLITE_NULL)
                         connection.leftMs = sqlite3_column_int64(s, 4);
                     rows.connections.append(connection);
                 }) &&
        db.query("SELECT seq, time_ms, picture FROM snapshots ORDER BY seq",
                 [&](sqlite3_stmt *s) {
                     rows.snapshots.append(
                         {sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1), blob(s, 2)});
                 }) &&
        db.query("SELECT from_ms, until_ms, after_seq FROM gaps ORDER BY after_seq",
                 [&](sqlite3_stmt *s) {
                     rows.gaps.append({sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1),
                                       sqlite3_column_int64(s, 2)});
                 });
    if (!ok)
        return std::nullopt;
    return rows;
}

bool JournalRows::execute(const QString &path, const QString &sql)
{
    Database db(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    return db.handle() && sqlite3_exec(db.handle(), sql.toUtf8().constData(), nullptr, nullptr,
                                       nullptr) == SQLITE_OK;
}
