#include "connection/protocol.h"
#include "redis/redispicturehistory.h"
#include "redis/redispicturestore.h"
#include "server/localpicturestore.h"
#include "server/picturefile.h"
#include "server/picturerenderer.h"
#include "server/picturesaver.h"
#include "server/pictureserver.h"
#include "server/samplepicture.h"
#include "server/serverlogging.h"
#include "server/signalwatcher.h"
#include "service/journallog.h"
#include "service/servicenotifier.h"
#include "service/socketactivation.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>
#include <QLockFile>
#include <QLoggingCategory>

#include <cstdio>
#include <memory>
#include <optional>

namespace {

enum ExitStatus {
    ExitOk = 0,
    ExitUsage = 1,       // a bad option, or the address cannot be listened on
    ExitPictureFile = 2, // the picture file (or the Redis key) is refused, or cannot be written
};

const char description[] =
    "Serves one cell-grid picture to Celvane clients over TCP.\n"
    "\n"
    "A Hello is answered with the whole picture (at most once a second per client); edits\n"
    "(clear, frame colours, cells, rows) change it. Edits are shared live: each edit applied is\n"
    "sent on at once to every client that has the picture, its sender included, so every\n"
    "window shows the same picture. Messages that cannot be applied are ignored and not sent\n"
    "on; the first few of each client are logged, and a client that sends many is\n"
    "disconnected, as is one that does not read what is sent to it.\n"
    "\n"
    "With --picture, the picture is read from FILE if it exists, and its own format is served\n"
    "whatever --format says; edits are written back about once a second and on SIGINT or\n"
    "SIGTERM. A file that is not a Celvane picture file is refused and left alone.\n"
    "\n"
    "Only one server uses a picture file at a time (FILE.lock beside it). A save that fails\n"
    "leaves the previous picture in FILE and is tried again at the next edit.\n"
    "\n"
    "With --redis, the picture lives in Redis instead, and any number of servers started with\n"
    "the same Redis and --redis-key serve it together: every edit goes through Redis, and every\n"
    "window on every server sees every edit in the same order. A key that does not exist yet is\n"
    "created from --format and --demo. While Redis cannot be reached the server closes its\n"
    "clients and turns new ones away, and serves again once it is back.\n"
    "\n"
    "Anyone who can reach the port may edit the picture: listen on loopback (the default),\n"
    "or limit who may connect with --allow, or serve it unchanged with --read-only.\n"
    "\n"
    "When ready the server prints one line, \"listening on ADDRESS:PORT\", to standard output.\n"
    "Exit status: 0 on a clean stop, 1 for a bad option or an address it cannot listen on,\n"
    "2 for a picture file (or a Redis key) that is refused, in use or cannot be written,\n"
    "including a stop whose last save failed.";

int fail(ExitStatus status, const QString &message)
{
    qCritical("celvane-server: %s", qPrintable(message));
    return status;
}

bool parseSize(const QString &text, QSize *size)
{
    const QStringList parts = text.split(QLatin1Char('x'));
    if (parts.size() != 2)
        return false;
    bool okWidth = false;
    bool okHeight = false;
    const int width = parts.at(0).toInt(&okWidth);
    const int height = parts.at(1).toInt(&okHeight);
    if (!okWidth || !okHeight || width < 1 || height < 1 || width > 8192 || height > 8192)
        return false;
    *size = QSize(width, height);
    return true;
}

// Bytes, with an optional K, M or G suffix (powers of 1024).
bool parseByteSize(const QString &text, qint64 *bytes)
{
    static const QString suffixes = QStringLiteral("KMG");
    QString digits = text.trimmed().toUpper();
    qint64 unit = 1;
    const qsizetype power = digits.isEmpty() ? -1 : suffixes.indexOf(digits.back());
    if (power >= 0) {
        unit = qint64(1) << (10 * (power + 1));
        digits.chop(1);
    }
    bool ok = false;
    const qint64 count = digits.toLongLong(&ok);
    if (!ok || count < 0 || count > (qint64(1) << 50) / unit)
        return false;
    *bytes = count * unit;
    return true;
}

// Seconds, fractions allowed, as milliseconds; false for anything else or more than a day.
bool parseSeconds(const QString &text, int *milliseconds)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || seconds < 0 || seconds > 86400)
        return false;
    *milliseconds = int(seconds * 1000 + 0.5);
    return true;
}

// HOST:PORT, [IPV6]:PORT; a name is resolved once here, so that connecting again later never
// waits for a resolver.
bool parseRedisAddress(const QString &text, RedisPictureStore::Settings *settings, QString *error)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const uint port = colon > 0 ? text.mid(colon + 1).toUInt(&ok) : 0;
    if (!ok || port < 1 || port > 65535) {
        *error = QStringLiteral("--redis needs HOST:PORT, not \"%1\"").arg(text);
        return false;
    }
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    QHostAddress address(host);
    if (address.isNull()) {
        const QHostInfo info = QHostInfo::fromName(host);
        if (info.addresses().isEmpty()) {
            *error = QStringLiteral("--redis: cannot resolve %1: %2").arg(host, info.errorString());
            return false;
        }
        address = info.addresses().constFirst();
    }
    settings->host = address.toString();
    settings->port = quint16(port);
    return true;
}

bool isLoopback(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).isLoopback() : address.isLoopback();
}

} // namespace

int main(int argc, char *argv[])
{
    JournalLog::install();
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("celvane-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CELVANE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(description));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption listenOption(
        QStringLiteral("listen"), QStringLiteral("Numeric address to listen on (127.0.0.1)."),
        QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QStringLiteral("TCP port (%1); 0 picks a free one.").arg(Protocol::DefaultPort),
        QStringLiteral("N"), QString::number(Protocol::DefaultPort));
    const QCommandLineOption formatOption(
        QStringLiteral("format"),
        QStringLiteral("Format of a new picture: 0 and 1 two colours (40x25, 80x25), 2 eight "
                       "colours (22x23), 3 sixteen colours (40x25). Default 3."),
        QStringLiteral("0..3"), QString::number(Picture::DefaultFormat));
    const QCommandLineOption pictureOption(
        QStringLiteral("picture"),
        QStringLiteral("Load the picture from FILE if it exists (its format wins over --format) "
                       "and keep FILE up to date."),
        QStringLiteral("FILE"));
    const QCommandLineOption demoOption(
        QStringLiteral("demo"),
        QStringLiteral("Start with a sample scene instead of an empty picture (unless --picture "
                       "names an existing file)."));
    const QCommandLineOption exportOption(
        QStringLiteral("export-png"),
        QStringLiteral("Write the picture as the client shows it to a PNG file and exit, "
                       "without listening."),
        QStringLiteral("FILE"));
    const QCommandLineOption exportSizeOption(
        QStringLiteral("export-size"),
        QStringLiteral("Size of the exported image, WIDTHxHEIGHT (%1x%2, the client's canvas "
                       "in a new window).")
            .arg(PictureRenderer::DefaultSize.width())
            .arg(PictureRenderer::DefaultSize.height()),
        QStringLiteral("WxH"));
    const QCommandLineOption maxClientsOption(
        QStringLiteral("max-clients"),
        QStringLiteral("Clients served at once (%1); more are turned away.")
            .arg(PictureServer::DefaultMaxClients),
        QStringLiteral("N"), QString::number(PictureServer::DefaultMaxClients));
    const QCommandLineOption maxPerAddressOption(
        QStringLiteral("max-per-address"),
        QStringLiteral("Clients served at once from one address (%1); more are turned away.")
            .arg(PictureServer::DefaultMaxPerAddress),
        QStringLiteral("N"), QString::number(PictureServer::DefaultMaxPerAddress));
    const QCommandLineOption helloTimeoutOption(
        QStringLiteral("hello-timeout"),
        QStringLiteral("Seconds a new connection has to send its Hello (%1); 0 waits for ever.")
            .arg(PictureServer::DefaultHelloTimeoutMs / 1000),
        QStringLiteral("SECONDS"), QString::number(PictureServer::DefaultHelloTimeoutMs / 1000));
    const QCommandLineOption stallTimeoutOption(
        QStringLiteral("stall-timeout"),
        QStringLiteral("Seconds a message may take from its first byte to its last (%1); 0 "
                       "waits for ever.")
            .arg(PictureServer::DefaultStallTimeoutMs / 1000),
        QStringLiteral("SECONDS"), QString::number(PictureServer::DefaultStallTimeoutMs / 1000));
    const QCommandLineOption keepAliveOption(
        QStringLiteral("keepalive"),
        QStringLiteral("Seconds of silence before TCP keepalive probes a client (%1); a peer that "
                       "has gone away is then closed. 0 turns probing off.")
            .arg(PictureServer::DefaultKeepAliveSeconds),
        QStringLiteral("SECONDS"), QString::number(PictureServer::DefaultKeepAliveSeconds));
    const QCommandLineOption allowOption(
        QStringLiteral("allow"),
        QStringLiteral("Accept connections only from this address or subnet (repeatable); "
                       "others are closed at once."),
        QStringLiteral("ADDRESS[/PREFIX]"));
    const QCommandLineOption readOnlyOption(
        QStringLiteral("read-only"), QStringLiteral("Serve the picture but refuse every edit."));
    const QCommandLineOption redisOption(
        QStringLiteral("redis"),
        QStringLiteral("Keep the picture in the Redis server at HOST:PORT, shared with every "
                       "other server started on it with the same key; excludes --picture."),
        QStringLiteral("HOST:PORT"));
    const QCommandLineOption redisKeyOption(
        QStringLiteral("redis-key"),
        QStringLiteral("The picture's key in Redis (celvane); its history is kept under "
                       "NAME:edits, NAME:meta, NAME:snapshots and NAME:connections."),
        QStringLiteral("NAME"), QStringLiteral("celvane"));
    const QCommandLineOption redisPasswordOption(
        QStringLiteral("redis-password-file"),
        QStringLiteral("Authenticate to Redis with the password on the first line of FILE."),
        QStringLiteral("FILE"));
    const QCommandLineOption historyKeepOption(
        QStringLiteral("history-keep"),
        QStringLiteral("Days of edits kept in the history (30); older ones fold into a whole "
                       "picture."),
        QStringLiteral("DAYS"), QStringLiteral("30"));
    const QCommandLineOption historyMaxSizeOption(
        QStringLiteral("history-max-size"),
        QStringLiteral("Room the history may take, with a K, M or G suffix (256M); the oldest "
                       "edits go first. In Redis this is turned into a number of edits, "
                       "estimated."),
        QStringLiteral("SIZE"), QStringLiteral("256M"));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"),
                                           QStringLiteral("Log every message received."));
    parser.addOptions(
        {listenOption,        portOption,         formatOption,         pictureOption,
         demoOption,          exportOption,       exportSizeOption,     maxClientsOption,
         maxPerAddressOption, helloTimeoutOption, stallTimeoutOption,   keepAliveOption,
         allowOption,         readOnlyOption,     redisOption,          redisKeyOption,
         redisPasswordOption, historyKeepOption,  historyMaxSizeOption, verboseOption});
    parser.process(application);

    // Clients coming and going and refused messages are worth a line; every message only when
    // asked for. QT_LOGGING_RULES still overrides both.
    QString rules = QStringLiteral("celvane.server.info=true\ncelvane.redis.info=true");
    if (parser.isSet(verboseOption))
        rules += QStringLiteral("\ncelvane.server.debug=true\ncelvane.redis.debug=true");
    QLoggingCategory::setFilterRules(rules);

    const QHostAddress address(parser.value(listenOption));
    if (address.isNull())
        return fail(ExitUsage, QStringLiteral("--listen needs a numeric address, not \"%1\"")
                                   .arg(parser.value(listenOption)));
    bool ok = false;
    const uint port = parser.value(portOption).toUInt(&ok);
    if (!ok || port > 65535)
        return fail(ExitUsage, QStringLiteral("--port needs a number from 0 to 65535"));
    const int formatNumber = parser.value(formatOption).toInt(&ok);
    if (!ok || !Picture::isFormatNumber(formatNumber))
        return fail(ExitUsage, QStringLiteral("--format needs a number from 0 to 3"));
    const int maxClients = parser.value(maxClientsOption).toInt(&ok);
    if (!ok || maxClients < 1)
        return fail(ExitUsage, QStringLiteral("--max-clients needs a number of at least 1"));
    const int maxPerAddress = parser.value(maxPerAddressOption).toInt(&ok);
    if (!ok || maxPerAddress < 1)
        return fail(ExitUsage, QStringLiteral("--max-per-address needs a number of at least 1"));
    int helloTimeoutMs = 0;
    if (!parseSeconds(parser.value(helloTimeoutOption), &helloTimeoutMs))
        return fail(ExitUsage, QStringLiteral("--hello-timeout needs a number of seconds"));
    int stallTimeoutMs = 0;
    if (!parseSeconds(parser.value(stallTimeoutOption), &stallTimeoutMs))
        return fail(ExitUsage, QStringLiteral("--stall-timeout needs a number of seconds"));
    const int keepAlive = parser.value(keepAliveOption).toInt(&ok);
    if (!ok || keepAlive < 0 || keepAlive > 86400)
        return fail(ExitUsage, QStringLiteral("--keepalive needs a whole number of seconds"));
    QList<QPair<QHostAddress, int>> allowed;
    for (const QString &text : parser.values(allowOption)) {
        QPair<QHostAddress, int> subnet = QHostAddress::parseSubnet(text);
        if (subnet.first.isNull())
            return fail(
                ExitUsage,
                QStringLiteral("--allow needs ADDRESS or ADDRESS/PREFIX, not \"%1\"").arg(text));
        allowed.append(subnet);
    }
    // A socket handed over by the service manager takes the place of --listen and --port.
    SocketActivation activation;
    if (!activation.take())
        return fail(ExitUsage, activation.errorString());
    QSize exportSize = PictureRenderer::DefaultSize;
    if (parser.isSet(exportSizeOption) && !parseSize(parser.value(exportSizeOption), &exportSize))
        return fail(ExitUsage, QStringLiteral("--export-size needs WIDTHxHEIGHT, each 1 to 8192"));

    Picture picture =
        parser.isSet(demoOption) ? samplePicture(formatNumber) : Picture(formatNumber);
    std::optional<RedisPictureStore::Settings> redis;
    if (parser.isSet(redisOption)) {
        if (parser.isSet(pictureOption))
            return fail(ExitUsage, QStringLiteral("--picture and --redis exclude each other"));
        redis = RedisPictureStore::Settings();
        QString error;
        if (!parseRedisAddress(parser.value(redisOption), &*redis, &error))
            return fail(ExitUsage, error);
        const double keepDays = parser.value(historyKeepOption).toDouble(&ok);
        if (!ok || keepDays < 0 || keepDays > 36500)
            return fail(ExitUsage, QStringLiteral("--history-keep needs a number of days"));
        redis->keepMs = qint64(keepDays * 86400 * 1000);
        qint64 maxSize = 0;
        if (!parseByteSize(parser.value(historyMaxSizeOption), &maxSize))
            return fail(ExitUsage,
                        QStringLiteral("--history-max-size needs a size such as 800K, 256M or 2G"));
        redis->maxEntries = qMax<qint64>(1, maxSize / RedisPictureStore::EstimatedEntryBytes);
        redis->key = parser.value(redisKeyOption).toUtf8();
        if (redis->key.isEmpty())
            return fail(ExitUsage, QStringLiteral("--redis-key needs a name"));
        if (parser.isSet(redisPasswordOption)) {
            QFile file(parser.value(redisPasswordOption));
            if (!file.open(QIODevice::ReadOnly))
                return fail(ExitUsage,
                            QStringLiteral("%1: %2").arg(file.fileName(), file.errorString()));
            redis->password = file.readLine().trimmed();
        }
        if (parser.isSet(exportOption)) {
            RedisPictureHistory history(redis->host, redis->port, redis->password, redis->key);
            const std::optional<Picture> current =
                history.open() ? history.pictureAt(history.lastSeq()) : std::nullopt;
            if (!current)
                return fail(ExitPictureFile, history.errorString());
            picture = *current;
        }
    }
    QString picturePath = parser.value(pictureOption);
    std::unique_ptr<QLockFile> lock;
    if (!picturePath.isEmpty()) {
        PictureFile file(picturePath);
        // Before anything opens it: a FIFO would block the first read for ever.
        if (!file.settle())
            return fail(ExitPictureFile,
                        QStringLiteral("%1; refusing to use it").arg(file.errorString()));
        picturePath = file.path();
        if (!parser.isSet(exportOption)) {
            // Two servers on one file would each overwrite the other's edits. The lock file is
            // also the probe that the folder takes new files, which every save needs.
            lock = std::make_unique<QLockFile>(picturePath + QStringLiteral(".lock"));
            lock->setStaleLockTime(0);
            if (!lock->tryLock(0)) {
                if (lock->error() == QLockFile::LockFailedError) {
                    qint64 pid = 0;
                    QString host;
                    QString application;
                    lock->getLockInfo(&pid, &host, &application);
                    return fail(ExitPictureFile,
                                QStringLiteral("%1 is in use by another server (pid %2 on %3, "
                                               "lock %4.lock)")
                                    .arg(picturePath)
                                    .arg(pid)
                                    .arg(host, picturePath));
                }
                return fail(ExitPictureFile,
                            QStringLiteral("%1: cannot create files in its folder %2, so it "
                                           "could never be saved")
                                .arg(picturePath, QFileInfo(picturePath).absolutePath()));
            }
        }
        const PictureFile::LoadResult loaded = file.load(&picture);
        if (loaded == PictureFile::Refused)
            return fail(
                ExitPictureFile,
                QStringLiteral("%1; refusing to use or overwrite it").arg(file.errorString()));
        // A path that cannot be written should show now, not at the first edit.
        if (loaded == PictureFile::Missing && !parser.isSet(exportOption) && !file.save(picture))
            return fail(ExitPictureFile, file.errorString());
    }

    if (parser.isSet(exportOption)) {
        const QString pngPath = parser.value(exportOption);
        if (!PictureRenderer::render(picture, exportSize).save(pngPath, "PNG"))
            return fail(ExitPictureFile, QStringLiteral("%1: cannot write the image").arg(pngPath));
        return ExitOk;
    }

    std::unique_ptr<PictureStore> store;
    if (redis) {
        auto *redisStore = new RedisPictureStore(*redis, picture);
        store.reset(redisStore);
        // Served only once the picture is loaded: a key that holds something else is refused
        // before anything listens, and until Redis answers there is nothing to serve.
        QEventLoop waiting;
        QString refusal;
        QObject::connect(redisStore, &RedisPictureStore::refused, &waiting,
                         [&](const QString &reason) {
                             refusal = reason;
                             waiting.exit(ExitPictureFile);
                         });
        QObject::connect(redisStore, &PictureStore::availabilityChanged, &waiting,
                         [&](bool available) {
                             if (available)
                                 waiting.exit(ExitOk);
                         });
        redisStore->start();
        if (waiting.exec() != ExitOk)
            return fail(ExitPictureFile, QStringLiteral("Redis at %1: %2; refusing to use it")
                                             .arg(redisStore->address(), refusal));
        QObject::connect(redisStore, &RedisPictureStore::refused, &application,
                         [](const QString &reason) {
                             qCritical("celvane-server: stopping: %s", qPrintable(reason));
                             QCoreApplication::exit(ExitPictureFile);
                         });
    } else {
        store = std::make_unique<LocalPictureStore>(picture);
    }
    PictureServer server(store.get());
    server.setMaxClients(maxClients);
    server.setMaxPerAddress(maxPerAddress);
    server.setHelloTimeout(helloTimeoutMs);
    server.setStallTimeout(stallTimeoutMs);
    server.setKeepAlive(keepAlive);
    server.setAllowed(allowed);
    ClientSession::Limits limits = server.sessionLimits();
    limits.readOnly = parser.isSet(readOnlyOption);
    server.setSessionLimits(limits);
    if (activation.descriptor() >= 0) {
        if (parser.isSet(listenOption) || parser.isSet(portOption))
            qWarning("celvane-server: --listen and --port are ignored: the service manager "
                     "handed over the socket to listen on");
        if (!server.listenOn(activation.descriptor()))
            return fail(ExitUsage, QStringLiteral("cannot listen on the socket the service "
                                                  "manager handed over: %1")
                                       .arg(server.errorString()));
    } else if (!server.listen(address, quint16(port))) {
        return fail(ExitUsage, QStringLiteral("cannot listen on %1 port %2: %3")
                                   .arg(address.toString())
                                   .arg(port)
                                   .arg(server.errorString()));
    }

    PictureSaver *saver = nullptr;
    if (!picturePath.isEmpty()) {
        saver = new PictureSaver(picturePath, &server.picture(), &server);
        QObject::connect(&server, &PictureServer::pictureChanged, saver,
                         &PictureSaver::scheduleSave);
    }

    int status = ExitOk;
    SignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &SignalWatcher::terminationRequested, &application, [&] {
        ServiceNotifier::stopping();
        if (saver && !saver->saveNow()) {
            status = ExitPictureFile;
            qCritical("celvane-server: stopping with edits that could not be saved; %s keeps "
                      "the last picture that was",
                      qPrintable(picturePath));
        }
        QCoreApplication::exit(status);
    });

    const QHostAddress listening = server.serverAddress();
    const QString shownAddress = listening.protocol() == QAbstractSocket::IPv6Protocol
                                     ? QStringLiteral("[%1]").arg(listening.toString())
                                     : listening.toString();
    if (!isLoopback(listening))
        qWarning("celvane-server: warning: listening on %s, not loopback: anyone who can reach "
                 "it may %s the picture%s",
                 qPrintable(shownAddress), limits.readOnly ? "see" : "edit",
                 allowed.isEmpty() ? " (see --allow and --read-only)" : " from --allow");
    std::printf("listening on %s:%u\n", qPrintable(shownAddress), unsigned(server.serverPort()));
    std::fflush(stdout);
    ServiceNotifier::ready(
        QStringLiteral("Serving on %1:%2").arg(shownAddress).arg(server.serverPort()));

    application.exec();

    const PictureServer::Counters &counters = server.counters();
    qCInfo(lcServer).noquote() << "stopped after" << counters.messages
                               << "messages:" << counters.applied << "edits applied,"
                               << counters.refused << "refused," << counters.clientsTurnedAway
                               << "clients turned away," << counters.clientsDropped << "dropped";
    return status;
}
