#include "journal/journaldatabase.h"

#include "journal/faultvfs.h"
#include "server/faultpoint.h"

#include <QFile>
#include <QFileInfo>

namespace {

// The schema every reader relies on. Columns, tables and indexes may be added, never renamed or
// changed: other programs read these files with nothing but SQLite. saved is this program's own:
// the edit the picture file held at its last save, from which the start catches up.
constexpr char Schema[] = R"sql(
CREATE TABLE connections(id INTEGER PRIMARY KEY, address TEXT NOT NULL, port INTEGER NOT NULL,
                         connected_ms INTEGER NOT NULL, left_ms INTEGER, label TEXT, name TEXT);
CREATE TABLE edits(seq INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL,
                   connection INTEGER NOT NULL, message BLOB NOT NULL);
CREATE TABLE snapshots(seq INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, picture BLOB NOT NULL);
CREATE TABLE gaps(from_ms INTEGER NOT NULL, until_ms INTEGER NOT NULL, after_seq INTEGER NOT NULL);
CREATE TABLE saved(id INTEGER PRIMARY KEY CHECK (id = 1), seq INTEGER NOT NULL,
                   time_ms INTEGER NOT NULL);
)sql";

// Schema 3 adds the moderators' bans and locks (see JournalModeration); a journal of an older
// schema is brought up to it in place by the first server or command that writes it, and read as
// it is. A ban of an author (schema 4) has a NULL subnet, which SQLite lets several rows of a
// primary key share, and the name in author.
constexpr char ModerationSchema[] = R"sql(
CREATE TABLE IF NOT EXISTS bans(subnet TEXT PRIMARY KEY, set_by TEXT NOT NULL,
                                set_ms INTEGER NOT NULL, until_ms INTEGER,
                                reason TEXT NOT NULL, author TEXT);
CREATE TABLE IF NOT EXISTS locks(area TEXT PRIMARY KEY, except_addresses TEXT NOT NULL,
                                 set_by TEXT NOT NULL, set_ms INTEGER NOT NULL);
)sql";
constexpr int FirstSchemaVersion = 1;

constexpr const char *Tables[] = {"connections", "edits", "snapshots", "gaps"};

} // namespace

JournalDatabase::Statement::~Statement()
{
    sqlite3_finalize(m_statement);
}

bool JournalDatabase::Statement::prepare(sqlite3 *db, const char *sql)
{
    sqlite3_finalize(m_statement);
    m_statement = nullptr;
    return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &m_statement, nullptr) ==
           SQLITE_OK;
}

JournalDatabase::Statement &JournalDatabase::Statement::bind(int index, qint64 value)
{
    sqlite3_bind_int64(m_statement, index, value);
    return *this;
}

JournalDatabase::Statement &JournalDatabase::Statement::bind(int index, QByteArrayView blob)
{
    // SQLITE_STATIC: the bytes outlive the step that reads them, and copying every edit twice
    // would cost more than the rest of the insert.
    sqlite3_bind_blob64(m_statement, index, blob.data(), sqlite3_uint64(blob.size()),
                        SQLITE_STATIC);
    return *this;
}

JournalDatabase::Statement &JournalDatabase::Statement::bind(int index, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    sqlite3_bind_text64(m_statement, index, utf8.constData(), sqlite3_uint64(utf8.size()),
                        SQLITE_TRANSIENT, SQLITE_UTF8);
    return *this;
}

JournalDatabase::Statement &JournalDatabase::Statement::bindNull(int index)
{
    sqlite3_bind_null(m_statement, index);
    return *this;
}

int JournalDatabase::Statement::step()
{
    return sqlite3_step(m_statement);
}

bool JournalDatabase::Statement::run()
{
    int code = SQLITE_ROW;
    while (code == SQLITE_ROW)
        code = sqlite3_step(m_statement);
    sqlite3_reset(m_statement);
    return code == SQLITE_DONE;
}

void JournalDatabase::Statement::reset()
{
    sqlite3_reset(m_statement);
}

bool JournalDatabase::Statement::isNull(int column) const
{
    return sqlite3_column_type(m_statement, column) == SQLITE_NULL;
}

qint64 JournalDatabase::Statement::integer(int column) const
{
    return sqlite3_column_int64(m_statement, column);
}

QByteArrayView JournalDatabase::Statement::blob(int column) const
{
    const void *data = sqlite3_column_blob(m_statement, column);
    return QByteArrayView(static_cast<const char *>(data),
                          sqlite3_column_bytes(m_statement, column));
}

QString JournalDatabase::Statement::text(int column) const
{
    const auto *data = reinterpret_cast<const char *>(sqlite3_column_text(m_statement, column));
    return QString::fromUtf8(data, sqlite3_column_bytes(m_statement, column));
}

JournalDatabase::JournalDatabase(const QString &path)
    : m_path(path)
{
}

JournalDatabase::~JournalDatabase()
{
    close();
}

void JournalDatabase::close()
{
    // Statements still prepared keep the connection alive until they are finalized; v2 lets it
    // go as soon as they are.
    sqlite3_close_v2(m_db);
    m_db = nullptr;
}

bool JournalDatabase::fail(const char *what)
{
    m_errorCode = m_db ? sqlite3_extended_errcode(m_db) : SQLITE_CANTOPEN;
    m_error =
        QStringLiteral("%1: %2: %3")
            .arg(m_path, QString::fromUtf8(what),
                 m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QStringLiteral("cannot open"));
    return false;
}

bool JournalDatabase::exec(const char *sql)
{
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        return fail(sql);
    return true;
}

qint64 JournalDatabase::queryInteger(const char *sql, qint64 fallback)
{
    Statement statement;
    if (!statement.prepare(m_db, sql)) {
        fail(sql);
        return fallback;
    }
    const int code = statement.step();
    if (code == SQLITE_ROW && !statement.isNull(0))
        return statement.integer(0);
    if (code != SQLITE_ROW && code != SQLITE_DONE)
        fail(sql);
    return fallback;
}

JournalDatabase::OpenResult JournalDatabase::open(Mode mode)
{
    close();
    m_error.clear();
    m_errorCode = SQLITE_OK;
    const QFileInfo info(m_path);
    bool isNew = !info.exists() || (info.isFile() && info.size() == 0);
    if (isNew && mode == ReadOnly) {
        m_error = QStringLiteral("%1: no such journal").arg(m_path);
        return Missing;
    }
    if (!isNew) {
        if (!info.isFile()) {
            m_error = QStringLiteral("%1: not a regular file").arg(m_path);
            return Refused;
        }
        // Looked at before SQLite opens it: a foreign file must be refused, never turned into a
        // journal by the first write.
        QFile file(m_path);
        if (!file.open(QIODevice::ReadOnly)) {
            m_error = QStringLiteral("%1: %2").arg(m_path, file.errorString());
            return Failed;
        }
        if (file.read(16) != sqliteHeader()) {
            m_error =
                QStringLiteral("%1: not a Celvane journal (not an SQLite database)").arg(m_path);
            return Refused;
        }
    }
    FaultVfs::installIfArmed();
    const int flags =
        mode == ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    if (sqlite3_open_v2(QFile::encodeName(m_path).constData(), &m_db,
                        flags | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        fail("cannot open");
        close();
        return Failed;
    }
    sqlite3_extended_result_codes(m_db, 1);
    // A reader may meet the writer in the middle of a checkpoint; a short wait is better than a
    // failure.
    sqlite3_busy_timeout(m_db, 2000);
    const OpenResult result = check(mode, isNew);
    if (result != Opened && result != Created)
        close();
    return result;
}

JournalDatabase::OpenResult JournalDatabase::check(Mode mode, bool isNew)
{
    const auto damaged = [](int code) {
        return code == SQLITE_CORRUPT || code == SQLITE_NOTADB || (code & 0xff) == SQLITE_CORRUPT ||
               (code & 0xff) == SQLITE_NOTADB;
    };
    if (isNew) {
        if (!createSchema())
            return Failed;
        m_schemaVersion = SchemaVersion;
        return Created;
    }
    const qint64 applicationId = queryInteger("PRAGMA application_id", -1);
    if (applicationId == -1) {
        const bool isDamaged = damaged(m_errorCode);
        m_error = QStringLiteral("%1: %2").arg(
            m_path, isDamaged ? QStringLiteral("damaged journal (%1)")
                                    .arg(QString::fromUtf8(sqlite3_errmsg(m_db)))
                              : m_error);
        return isDamaged ? Refused : Failed;
    }
    // A database with nothing in it at all is a journal whose creation was cut short (the
    // schema and the numbers that mark it ours are written in one transaction, after the
    // settings that make the file): made again, as if there had been no file.
    if (applicationId == 0 && queryInteger("PRAGMA user_version", -1) == 0 &&
        queryInteger("SELECT count(*) FROM sqlite_schema", -1) == 0) {
        if (mode == ReadOnly) {
            m_error = QStringLiteral("%1: no such journal (an empty database)").arg(m_path);
            return Missing;
        }
        return createSchema() ? Created : Failed;
    }
    if (applicationId != ApplicationId) {
        m_error = QStringLiteral("%1: an SQLite database, but not a Celvane journal").arg(m_path);
        return Refused;
    }
    qint64 version = queryInteger("PRAGMA user_version", -1);
    if (version > SchemaVersion) {
        m_error = QStringLiteral("%1: a journal of a newer schema (%2; this program reads %3)")
                      .arg(m_path)
                      .arg(version)
                      .arg(SchemaVersion);
        return Refused;
    }
    if (version < FirstSchemaVersion) {
        m_error =
            QStringLiteral("%1: damaged journal (schema version %2)").arg(m_path).arg(version);
        return Refused;
    }
    Statement integrity;
    // quick_check reads every page once: it finds the damage a crash of the disk leaves without
    // the index cross-checks that make integrity_check slow on a large journal.
    if (!integrity.prepare(m_db, "PRAGMA quick_check")) {
        fail("quick_check");
        return damaged(m_errorCode) ? Refused : Failed;
    }
    const int code = integrity.step();
    if (code != SQLITE_ROW || integrity.text(0) != QLatin1String("ok")) {
        m_error =
            QStringLiteral("%1: damaged journal (%2)")
                .arg(m_path, code == SQLITE_ROW ? integrity.text(0).section(QLatin1Char('\n'), 0, 0)
                                                : QString::fromUtf8(sqlite3_errmsg(m_db)));
        return damaged(sqlite3_extended_errcode(m_db)) || code == SQLITE_ROW ? Refused : Failed;
    }
    for (const char *table : Tables) {
        Statement exists;
        exists.prepare(m_db, "SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = ?");
        exists.bind(1, QString::fromLatin1(table));
        if (exists.step() != SQLITE_ROW) {
            m_error = QStringLiteral("%1: damaged journal (no table %2)")
                          .arg(m_path, QString::fromLatin1(table));
            return Refused;
        }
    }
    if (mode == ReadWrite) {
        if (!exec("PRAGMA journal_mode = WAL") || !exec("PRAGMA synchronous = NORMAL"))
            return Failed;
        // Journals written by an older build may lack this program's own table.
        if (!exec("CREATE TABLE IF NOT EXISTS saved(id INTEGER PRIMARY KEY CHECK (id = 1), "
                  "seq INTEGER NOT NULL, time_ms INTEGER NOT NULL)"))
            return Failed;
        if (version < SchemaVersion && !upgrade(int(version)))
            return Failed;
        version = SchemaVersion;
    }
    m_schemaVersion = int(version);
    return Opened;
}

bool JournalDatabase::upgrade(int from)
{
    // One transaction: a journal is of one version or the latest, never half of both. The new
    // version number makes an older server refuse the journal instead of writing connections
    // without the label or the name, or ignoring the bans and locks, a reader of this version
    // relies on.
    if (!exec("BEGIN IMMEDIATE"))
        return false;
    bool upgraded = true;
    if (from < 2)
        upgraded = exec("ALTER TABLE connections ADD COLUMN label TEXT");
    if (from < 3)
        upgraded = upgraded && exec(ModerationSchema);
    if (from < 4)
        upgraded = upgraded && exec("ALTER TABLE connections ADD COLUMN name TEXT");
    if (from == 3)
        upgraded = upgraded && exec("ALTER TABLE bans ADD COLUMN author TEXT");
    upgraded =
        upgraded &&
        exec(QStringLiteral("PRAGMA user_version = %1").arg(SchemaVersion).toLatin1().constData());
    if (!upgraded) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return exec("COMMIT");
}

bool JournalDatabase::createSchema()
{
    // auto_vacuum only takes effect before the first table: it lets retention give freed pages
    // back to the file system rather than only reuse them.
    if (!exec("PRAGMA auto_vacuum = INCREMENTAL") || !exec("PRAGMA journal_mode = WAL") ||
        !exec("PRAGMA synchronous = NORMAL"))
        return false;
    const QByteArray pragmas =
        QStringLiteral("PRAGMA application_id = %1; PRAGMA user_version = %2;")
            .arg(ApplicationId)
            .arg(SchemaVersion)
            .toLatin1();
    if (!exec("BEGIN IMMEDIATE"))
        return false;
    if (!exec(Schema) || !exec(ModerationSchema) || !exec(pragmas.constData())) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return exec("COMMIT");
}

bool JournalDatabase::syncLog()
{
    if (!m_db)
        return false;
    FaultPoint::Scope scope("sync");
    // The WAL as SQLite holds it open, so that the sync goes through the same VFS as the writes.
    // A connection that has not touched its WAL yet has nothing unsynced in it.
    sqlite3_file *log = nullptr;
    if (sqlite3_file_control(m_db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &log) != SQLITE_OK) {
        m_errorCode = SQLITE_IOERR_FSYNC;
        m_error = QStringLiteral("%1: cannot reach its write-ahead log to sync it").arg(m_path);
        return false;
    }
    if (!log || !log->pMethods)
        return true;
    const int code = log->pMethods->xSync(log, SQLITE_SYNC_NORMAL);
    if (code != SQLITE_OK) {
        m_errorCode = code;
        m_error = QStringLiteral("%1: syncing its write-ahead log failed (code %2)")
                      .arg(m_path)
                      .arg(code);
        return false;
    }
    return true;
}
