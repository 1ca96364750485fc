#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <sqlite3.h>

// One SQLite connection to a journal file, checked on opening: a file that is not an SQLite
// database, or one that is but not a Celvane journal, or a damaged one, is refused with a reason
// for a person. The schema (documented in docs/journal.md) is created here and nowhere else, so
// that the writer and every reader agree on it.
//
// The C API is used directly rather than through QtSql: the writer needs SQLite's own error
// codes (a full disk must be told from a damaged file), statements prepared once and reused for
// every edit, and control over when a transaction and its sync happen.
class JournalDatabase
{
public:
    // The number every Celvane journal carries in its header (0x4356444A, "CVDJ"), so that a
    // journal is told from any other SQLite file without reading its tables.
    static constexpr int ApplicationId = 1129727050;
    // 2 added connections.label, 3 the tables bans and locks, 4 connections.name (the editor a
    // web page drew as) and bans.author (a ban of such a name). A journal of an older version is
    // upgraded in place, in one step, when opened for writing, and read as it is otherwise.
    static constexpr int SchemaVersion = 4;

    enum OpenResult {
        Opened,
        Created, // there was no journal (or an empty file): a new one was made
        Missing, // read-only opening of a journal that does not exist
        Refused, // damaged, foreign, or of a newer schema; see errorString()
        Failed,  // could not be opened or created (permissions, a full disk); see errorString()
    };
    enum Mode { ReadOnly, ReadWrite };

    // A prepared statement, reset and rebound for every use.
    class Statement
    {
    public:
        Statement() = default;
        Statement(const Statement &) = delete;
        Statement &operator=(const Statement &) = delete;
        ~Statement();

        bool prepare(sqlite3 *db, const char *sql);
        Statement &bind(int index, qint64 value);
        Statement &bind(int index, QByteArrayView blob);
        Statement &bind(int index, const QString &text);
        Statement &bindNull(int index);
        // SQLITE_ROW, SQLITE_DONE or an error code.
        int step();
        // Steps to the end and resets; true when it ran without error.
        bool run();
        void reset();
        bool isNull(int column) const;
        qint64 integer(int column) const;
        QByteArrayView blob(int column) const;
        QString text(int column) const;

    private:
        sqlite3_stmt *m_statement = nullptr;
    };

    explicit JournalDatabase(const QString &path);
    ~JournalDatabase();
    JournalDatabase(const JournalDatabase &) = delete;
    JournalDatabase &operator=(const JournalDatabase &) = delete;

    const QString &path() const { return m_path; }
    OpenResult open(Mode mode);
    void close();
    bool isOpen() const { return m_db != nullptr; }
    // The version of the open journal's schema: older ones lack some columns.
    int schemaVersion() const { return m_schemaVersion; }
    sqlite3 *handle() const { return m_db; }

    // Runs statements without results; on failure errorString() says why.
    bool exec(const char *sql);
    // A single integer from a query, or fallback when it returns nothing or NULL.
    qint64 queryInteger(const char *sql, qint64 fallback = 0);
    // Syncs the write-ahead log to the disk: writes are committed with synchronous NORMAL, which
    // hands them to the operating system (a crash of this process loses none) and leaves the
    // sync to the disk to this call and to checkpoints.
    bool syncLog();
    // The last error, prefixed with the file's path.
    QString errorString() const { return m_error; }
    int lastErrorCode() const { return m_errorCode; }
    // Records the connection's last error as this call's failure; returns false.
    bool fail(const char *what);

    // The bytes that start every SQLite database.
    static QByteArray sqliteHeader() { return QByteArrayLiteral("SQLite format 3\0"); }

private:
    OpenResult check(Mode mode, bool isNew);
    bool createSchema();
    // Brings a journal of an older schema, from, up to this one, in place.
    bool upgrade(int from);

    QString m_path;
    sqlite3 *m_db = nullptr;
    QString m_error;
    int m_errorCode = SQLITE_OK;
    int m_schemaVersion = 0;
};
