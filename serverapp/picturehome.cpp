#include "serverapp/picturehome.h"

#include "redis/redisoptions.h"

#include "options/optionvalues.h"
#include "server/picturefile.h"
#include "server/samplepicture.h"
#include "serverapp/exitstatus.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>

#include <limits>

using ExitStatus::fail;

Picture PictureHome::initialPicture(const OptionValues &values)
{
    const int format = values.value("format").toInt();
    return values.isSet("demo") ? samplePicture(format) : Picture(format);
}

JournalStore::Options PictureHome::journalOptions(const OptionValues &values)
{
    JournalStore::Options options;
    options.keepDays = values.value("history-keep").toInt();
    options.maxBytes = values.value("history-max-size").toLongLong();
    return options;
}

std::optional<RedisPictureStore::Settings> PictureHome::redisSettings(const OptionValues &values)
{
    RedisPictureStore::Settings redis;
    QString error;
    if (!redisSettingsFrom(values, &redis, &error)) {
        fail(ExitStatus::Usage, error);
        return std::nullopt;
    }
    // 0 sets no bound, as for the journal.
    constexpr qint64 Unbounded = std::numeric_limits<qint64>::max() / 2;
    const JournalStore::Options bounds = journalOptions(values);
    redis.keepMs = bounds.keepDays > 0 ? qint64(bounds.keepDays) * 86400 * 1000 : Unbounded;
    redis.maxEntries =
        bounds.maxBytes > 0
            ? qMax<qint64>(1, bounds.maxBytes / RedisPictureStore::EstimatedEntryBytes)
            : Unbounded;
    return redis;
}

QString PictureHome::settledPath(const QString &path)
{
    PictureFile file(path);
    // Before anything opens it: a FIFO would block the first read for ever.
    if (!file.settle()) {
        fail(ExitStatus::PictureFile,
             QStringLiteral("%1; refusing to use it").arg(file.errorString()));
        return QString();
    }
    return file.path();
}

PictureStore *PictureHome::store() const
{
    if (m_journal)
        return m_journal.get();
    return m_redis.get();
}

int PictureHome::open(const OptionValues &values)
{
    m_picture = initialPicture(values);
    if (usesRedis(values)) {
        const std::optional<RedisPictureStore::Settings> settings = redisSettings(values);
        return settings ? openRedis(*settings) : int(ExitStatus::Usage);
    }
    if (values.isSet("picture"))
        return openFile(values);
    return ExitStatus::Ok;
}

int PictureHome::lock()
{
    // Two servers on one file would each overwrite the other's edits. The lock file is also the
    // probe that the folder takes new files, which every save needs.
    m_lock = std::make_unique<QLockFile>(m_picturePath + QStringLiteral(".lock"));
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0))
        return ExitStatus::Ok;
    if (m_lock->error() == QLockFile::LockFailedError) {
        qint64 pid = 0;
        QString host;
        QString application;
        m_lock->getLockInfo(&pid, &host, &application);
        return fail(ExitStatus::PictureFile,
                    QStringLiteral("%1 is in use by another server (pid %2 on %3, lock %4.lock)")
                        .arg(m_picturePath)
                        .arg(pid)
                        .arg(host, m_picturePath));
    }
    return fail(ExitStatus::PictureFile,
                QStringLiteral("%1: cannot create files in its folder %2, so it could never be "
                               "saved")
                    .arg(m_picturePath, QFileInfo(m_picturePath).absolutePath()));
}

int PictureHome::openFile(const OptionValues &values)
{
    m_picturePath = settledPath(values.text("picture"));
    if (m_picturePath.isEmpty())
        return ExitStatus::PictureFile;
    if (const int status = lock())
        return status;
    PictureFile file(m_picturePath);
    const PictureFile::LoadResult loaded = file.load(&m_picture);
    m_fileExisted = loaded == PictureFile::Loaded;
    if (loaded == PictureFile::Refused)
        return fail(ExitStatus::PictureFile,
                    QStringLiteral("%1; refusing to use or overwrite it").arg(file.errorString()));
    // A path that cannot be written should show now, not at the first edit.
    if (loaded == PictureFile::Missing && !file.save(m_picture))
        return fail(ExitStatus::PictureFile, file.errorString());
    // With a picture file, the journal beside it holds the picture; with --no-history, the
    // server holds it alone and the file is saved as it changes.
    if (values.isSet("no-history"))
        return ExitStatus::Ok;
    m_journal = std::make_unique<JournalStore>(m_picturePath, m_picture, m_fileExisted,
                                               journalOptions(values));
    if (m_journal->start() != JournalStore::Started)
        return fail(ExitStatus::PictureFile,
                    QStringLiteral("%1; refusing to start").arg(m_journal->errorString()));
    return ExitStatus::Ok;
}

int PictureHome::openRedis(RedisPictureStore::Settings settings)
{
    // The server, unlike a command that only reads, is what a Redis without persistence fails.
    settings.warnWithoutPersistence = true;
    m_redis = std::make_unique<RedisPictureStore>(settings, m_picture);
    // Served only once the picture is loaded: a key that holds something else is refused before
    // anything listens, and until Redis answers there is nothing to serve.
    QEventLoop waiting;
    QString refusal;
    QObject::connect(m_redis.get(), &RedisPictureStore::refused, &waiting,
                     [&](const QString &reason) {
                         refusal = reason;
                         waiting.exit(ExitStatus::PictureFile);
                     });
    QObject::connect(m_redis.get(), &PictureStore::availabilityChanged, &waiting,
                     [&](bool available) {
                         if (available)
                             waiting.exit(ExitStatus::Ok);
                     });
    m_redis->start();
    if (waiting.exec() != ExitStatus::Ok)
        return fail(
            ExitStatus::PictureFile,
            QStringLiteral("Redis at %1: %2; refusing to use it").arg(m_redis->address(), refusal));
    QObject::connect(m_redis.get(), &RedisPictureStore::refused, qApp, [](const QString &reason) {
        qCritical("celvane-server: stopping: %s", qPrintable(reason));
        QCoreApplication::exit(ExitStatus::PictureFile);
    });
    return ExitStatus::Ok;
}
