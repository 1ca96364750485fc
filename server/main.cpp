#include "connection/protocol.h"
#include "journal/journalhistory.h"
#include "journal/journalstore.h"
#include "journal/moment.h"
#include "options/optionset.h"
#include "recovery/controlserver.h"
#include "recovery/recoverycommands.h"
#include "recovery/timelapse.h"
#include "redis/redisoptions.h"
#include "redis/redispicturehistory.h"
#include "redis/redispicturestore.h"
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
#include "web/webfrontend.h"
#include "web/webhistory.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QLoggingCategory>

#include <sys/resource.h>

#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <optional>

namespace {

enum ExitStatus {
    ExitOk = 0,
    ExitUsage = 1,       // a bad option, or the address cannot be listened on
    ExitPictureFile = 2, // the picture file, its journal or the Redis key is refused, or cannot
                         // be written
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
    "Every edit is also kept in a journal beside the picture, FILE.history (an SQLite\n"
    "database; see the manual page for how to read it): when it was made, from which\n"
    "connection, and the picture as a whole at intervals. Edits are committed to it at most\n"
    "250 ms after they are applied, so a crash or power cut loses at most that much, and the\n"
    "next start brings FILE up to date from it. It keeps --history-keep days of edits and at\n"
    "most --history-max-size bytes; older edits fold into the picture as it then stood.\n"
    "A journal that cannot be written is logged and the picture is served and saved as ever;\n"
    "one that is damaged or not a Celvane journal is refused. --export-png with --at\n"
    "exports the picture as it stood at a kept moment.\n"
    "\n"
    "With --redis, the picture lives in Redis instead, and any number of servers started with\n"
    "the same Redis and --redis-key serve it together: every edit goes through Redis, and every\n"
    "window on every server sees every edit in the same order. A key that does not exist yet is\n"
    "created from --format and --demo. While Redis cannot be reached the server closes its\n"
    "clients and turns new ones away, and serves again once it is back. The edits are kept in\n"
    "Redis as the history, within --history-keep and --history-max-size.\n"
    "With --redis-sentinel and --redis-master in place of --redis, the primary is the one the\n"
    "Sentinels name, and a failover is followed: the clients are kept while Sentinel promotes\n"
    "a replica, then sent its picture afresh. --redis-replicas N relays an edit only once N\n"
    "replicas hold it, so that a failover loses nothing anyone was shown.\n"
    "\n"
    "Each connection may have at most --max-edits-per-second edits applied (twice that at\n"
    "once); beyond that the server reads no more from it until its allowance returns, so the\n"
    "sender is slowed down and nothing is refused.\n"
    "\n"
    "Anyone who can reach the port may edit the picture: listen on loopback (the default),\n"
    "or limit who may connect with --allow, or serve it unchanged with --read-only.\n"
    "\n"
    "When ready the server prints one line, \"listening on ADDRESS:PORT\", to standard output.\n"
    "Exit status: 0 on a clean stop, 1 for a bad option, an address it cannot listen on or a\n"
    "moment that is not kept, 2 for a picture file, journal or Redis key that is refused, in\n"
    "use or cannot be written, including a stop whose last save failed.";

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

// Raises the soft limit on open descriptors to the hard one, as daemons do: each client holds
// one, and the soft limit is often a tenth of what the system would allow. Returns the limit now
// in force, or 0 when there is none to speak of.
rlim_t raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? 0 : limit.rlim_cur;
}

// A size in bytes with an optional K, M or G (powers of 1024); false for anything else.
bool parseByteSize(const QString &text, qint64 *bytes)
{
    QString digits = text.trimmed().toUpper();
    qint64 unit = 1;
    if (digits.endsWith(QLatin1Char('K')))
        unit = 1LL << 10;
    else if (digits.endsWith(QLatin1Char('M')))
        unit = 1LL << 20;
    else if (digits.endsWith(QLatin1Char('G')))
        unit = 1LL << 30;
    if (unit > 1)
        digits.chop(1);
    bool ok = false;
    const qint64 count = digits.toLongLong(&ok);
    if (!ok || count < 0 || count > (1LL << 50) / unit)
        return false;
    *bytes = count * unit;
    return true;
}

// TIME as --at takes it; nothing, said on standard error, for anything else.
std::optional<qint64> atMoment(const QString &text)
{
    const std::optional<qint64> moment = parseMoment(text, QDateTime::currentDateTime());
    if (!moment)
        fail(ExitUsage, QStringLiteral("--at needs an ISO 8601 date and time, a time of day "
                                       "(14:05) or a span ago (90s, 10m, 2h, 3d), not \"%1\"")
                            .arg(text));
    return moment;
}

// The picture as it stood at a moment, from a kept history, written as a PNG.
int exportAt(PictureHistory *history, qint64 moment, const QString &pngPath, const QSize &size)
{
    const std::optional<quint64> seq = history->seqAt(moment);
    const QString shown = QDateTime::fromMSecsSinceEpoch(moment).toString(Qt::ISODate);
    if (!seq)
        return fail(
            ExitUsage,
            QStringLiteral("%1 is before the oldest kept moment, %2")
                .arg(shown,
                     QDateTime::fromMSecsSinceEpoch(history->oldestMs()).toString(Qt::ISODate)));
    const std::optional<Picture> picture = history->pictureAt(*seq);
    if (!picture)
        return fail(ExitPictureFile, history->errorString());
    if (!PictureRenderer::render(*picture, size).save(pngPath, "PNG"))
        return fail(ExitPictureFile, QStringLiteral("%1: cannot write the image").arg(pngPath));
    qInfo("celvane-server: exported the picture at %s (after edit %llu)", qPrintable(shown),
          static_cast<unsigned long long>(*seq));
    return ExitOk;
}

// The same from the journal beside a picture file.
int exportAt(const QString &journalPath, const QString &momentText, const QString &pngPath,
             const QSize &size)
{
    const std::optional<qint64> moment = atMoment(momentText);
    if (!moment)
        return ExitUsage;
    JournalHistory history(journalPath);
    const JournalDatabase::OpenResult opened = history.open();
    if (opened == JournalDatabase::Missing)
        return fail(
            ExitUsage,
            QStringLiteral("%1: no journal, so no earlier picture is kept").arg(journalPath));
    if (opened != JournalDatabase::Opened)
        return fail(ExitPictureFile, history.errorString());
    return exportAt(&history, *moment, pngPath, size);
}

// [ADDRESS:]PORT, with an IPv6 address in brackets; the address is left alone when not given.
bool parseEndpoint(const QString &text, QHostAddress *address, quint16 *port)
{
    QString portText = text;
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        QString host = text.left(colon);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        else if (host.contains(QLatin1Char(':')))
            return false;
        const QHostAddress parsed(host);
        if (parsed.isNull())
            return false;
        *address = parsed;
        portText = text.mid(colon + 1);
    }
    bool ok = false;
    const uint number = portText.toUInt(&ok);
    if (!ok || number > 65535)
        return false;
    *port = quint16(number);
    return true;
}

QString shownAddress(const QHostAddress &address)
{
    return address.protocol() == QAbstractSocket::IPv6Protocol
               ? QStringLiteral("[%1]").arg(address.toString())
               : address.toString();
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
    if (argc > 1 && RecoveryCommands::isCommand(QString::fromLocal8Bit(argv[1])))
        return RecoveryCommands::run(QCoreApplication::arguments());

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(description) + QStringLiteral("\n\n") +
                                     RecoveryCommands::summary());
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
        QStringLiteral("Clients served at once (as many as the descriptor limit allows, up to "
                       "%1); more are turned away.")
            .arg(PictureServer::DefaultMaxClients),
        QStringLiteral("N"));
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
    const QCommandLineOption atOption(
        QStringLiteral("at"),
        QStringLiteral(
            "With --export-png: the picture as it stood at TIME, from the journal or Redis: "
            "2026-12-07T14:05 (local time, or with Z or an offset), 14:05 (today), "
            "or 90s, 10m, 2h, 3d ago."),
        QStringLiteral("TIME"));
    const QCommandLineOption noHistoryOption(
        QStringLiteral("no-history"),
        QStringLiteral("Keep no journal beside the picture file: only its latest picture."));
    const QCommandLineOption historyKeepOption(
        QStringLiteral("history-keep"),
        QStringLiteral("Days of edits the journal keeps (%1); 0 keeps them all.")
            .arg(JournalStore::Options().keepDays),
        QStringLiteral("DAYS"), QString::number(JournalStore::Options().keepDays));
    const QCommandLineOption historyMaxSizeOption(
        QStringLiteral("history-max-size"),
        QStringLiteral("Most the journal may hold, with K, M or G (256M); 0 sets no bound."),
        QStringLiteral("SIZE"), QStringLiteral("256M"));
    const QCommandLineOption maxEditsOption(
        QStringLiteral("max-edits-per-second"),
        QStringLiteral("Edits applied per second from one connection (%1, twice that at once); "
                       "a faster sender is read more slowly. 0 sets no bound.")
            .arg(PictureServer::DefaultMaxEditsPerSecond),
        QStringLiteral("N"), QString::number(PictureServer::DefaultMaxEditsPerSecond));
    const QCommandLineOption httpOption(
        QStringLiteral("http"),
        QStringLiteral("Also serve the picture on the web: a live page at /, the picture at "
                       "/picture.png, the counters at /metrics. ADDRESS defaults to --listen's; "
                       "PORT 0 picks a free one."),
        QStringLiteral("[ADDRESS:]PORT"));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"),
                                           QStringLiteral("Log every message received."));
    parser.addOptions({listenOption,       portOption,         formatOption,
                       pictureOption,      demoOption,         exportOption,
                       exportSizeOption,   maxClientsOption,   maxPerAddressOption,
                       helloTimeoutOption, stallTimeoutOption, keepAliveOption,
                       allowOption,        readOnlyOption,     atOption,
                       noHistoryOption,    historyKeepOption,  historyMaxSizeOption,
                       maxEditsOption,     httpOption,         verboseOption});
    OptionSet redisOptions;
    redisOptions.add(redisOptionTable());
    redisOptions.addTo(&parser);
    parser.process(application);

    // Clients coming and going and refused messages are worth a line; every message only when
    // asked for. QT_LOGGING_RULES still overrides both.
    QString rules = QStringLiteral(
        "celvane.server.info=true\ncelvane.journal.info=true\ncelvane.recovery.info=true\n"
        "celvane.web.info=true\ncelvane.redis.info=true");
    if (parser.isSet(verboseOption))
        rules += QStringLiteral(
            "\ncelvane.server.debug=true\ncelvane.journal.debug=true\ncelvane.redis.debug=true");
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
    const rlim_t descriptorLimit = raiseDescriptorLimit();
    // 0 until the server listens: then as many as the descriptors allow, up to the default.
    const int maxClients =
        parser.isSet(maxClientsOption) ? parser.value(maxClientsOption).toInt(&ok) : 0;
    if (parser.isSet(maxClientsOption) && (!ok || maxClients < 1))
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
    JournalStore::Options journalOptions;
    journalOptions.keepDays = parser.value(historyKeepOption).toInt(&ok);
    if (!ok || journalOptions.keepDays < 0 || journalOptions.keepDays > 100000)
        return fail(ExitUsage, QStringLiteral("--history-keep needs a whole number of days"));
    if (!parseByteSize(parser.value(historyMaxSizeOption), &journalOptions.maxBytes))
        return fail(ExitUsage,
                    QStringLiteral("--history-max-size needs a size such as 512K, 256M or 2G"));
    const int maxEdits = parser.value(maxEditsOption).toInt(&ok);
    if (!ok || maxEdits < 0 || maxEdits > 100000000)
        return fail(ExitUsage,
                    QStringLiteral("--max-edits-per-second needs a number of at least 0"));
    OptionValues redisValues;
    QString redisProblem;
    if (!redisOptions.read(parser, &redisValues, &redisProblem))
        return fail(ExitUsage, redisProblem);
    if (parser.isSet(atOption) &&
        (!parser.isSet(exportOption) || (!parser.isSet(pictureOption) && !usesRedis(redisValues))))
        return fail(ExitUsage, QStringLiteral("--at needs --export-png and --picture or --redis"));
    // The web side's address is --listen's (or the handed-over socket's) unless given.
    QHostAddress httpAddress;
    quint16 httpPort = 0;
    if (parser.isSet(httpOption) &&
        !parseEndpoint(parser.value(httpOption), &httpAddress, &httpPort))
        return fail(ExitUsage, QStringLiteral("--http needs [ADDRESS:]PORT with a numeric "
                                              "address, not \"%1\"")
                                   .arg(parser.value(httpOption)));
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
    if (usesRedis(redisValues)) {
        if (parser.isSet(pictureOption))
            return fail(ExitUsage, QStringLiteral("--picture and --redis exclude each other"));
        redis = RedisPictureStore::Settings();
        if (!redisSettingsFrom(redisValues, &*redis, &redisProblem))
            return fail(ExitUsage, redisProblem);
        redis->warnWithoutPersistence = true;
        // 0 sets no bound, as for the journal.
        constexpr qint64 Unbounded = std::numeric_limits<qint64>::max() / 2;
        redis->keepMs = journalOptions.keepDays > 0 ? qint64(journalOptions.keepDays) * 86400 * 1000
                                                    : Unbounded;
        redis->maxEntries =
            journalOptions.maxBytes > 0
                ? qMax<qint64>(1, journalOptions.maxBytes / RedisPictureStore::EstimatedEntryBytes)
                : Unbounded;
        if (parser.isSet(exportOption)) {
            std::optional<qint64> moment;
            if (parser.isSet(atOption) && !(moment = atMoment(parser.value(atOption))))
                return ExitUsage;
            RedisPictureHistory history(*redis);
            if (!history.open())
                return fail(ExitPictureFile, history.errorString());
            if (moment)
                return exportAt(&history, *moment, parser.value(exportOption), exportSize);
            const std::optional<Picture> current = history.pictureAt(history.lastSeq());
            if (!current)
                return fail(ExitPictureFile, history.errorString());
            picture = *current;
        }
    }
    QString picturePath = parser.value(pictureOption);
    std::unique_ptr<QLockFile> lock;
    bool pictureFileExisted = false;
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
        if (parser.isSet(atOption))
            return exportAt(JournalStore::journalPathFor(picturePath), parser.value(atOption),
                            parser.value(exportOption), exportSize);
        const PictureFile::LoadResult loaded = file.load(&picture);
        pictureFileExisted = loaded == PictureFile::Loaded;
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

    // With a picture file, the journal beside it holds the picture; without one, or with
    // --no-history, the server holds it alone and the file is saved as it changes.
    std::unique_ptr<JournalStore> journal;
    if (!picturePath.isEmpty() && !parser.isSet(noHistoryOption)) {
        journal = std::make_unique<JournalStore>(picturePath, picture, pictureFileExisted,
                                                 journalOptions);
        if (journal->start() != JournalStore::Started)
            return fail(ExitPictureFile,
                        QStringLiteral("%1; refusing to start").arg(journal->errorString()));
    }
    std::unique_ptr<RedisPictureStore> redisStore;
    if (redis) {
        redisStore = std::make_unique<RedisPictureStore>(*redis, picture);
        // Served only once the picture is loaded: a key that holds something else is refused
        // before anything listens, and until Redis answers there is nothing to serve.
        QEventLoop waiting;
        QString refusal;
        QObject::connect(redisStore.get(), &RedisPictureStore::refused, &waiting,
                         [&](const QString &reason) {
                             refusal = reason;
                             waiting.exit(ExitPictureFile);
                         });
        QObject::connect(redisStore.get(), &PictureStore::availabilityChanged, &waiting,
                         [&](bool available) {
                             if (available)
                                 waiting.exit(ExitOk);
                         });
        redisStore->start();
        if (waiting.exec() != ExitOk)
            return fail(ExitPictureFile, QStringLiteral("Redis at %1: %2; refusing to use it")
                                             .arg(redisStore->address(), refusal));
        QObject::connect(redisStore.get(), &RedisPictureStore::refused, &application,
                         [](const QString &reason) {
                             qCritical("celvane-server: stopping: %s", qPrintable(reason));
                             QCoreApplication::exit(ExitPictureFile);
                         });
    }
    PictureStore *store = journal ? static_cast<PictureStore *>(journal.get()) : redisStore.get();
    const auto server =
        store ? std::make_unique<PictureServer>(store) : std::make_unique<PictureServer>(picture);
    server->setMaxEditsPerSecond(maxEdits);
    if (maxClients > 0)
        server->setMaxClients(maxClients);
    server->setMaxPerAddress(maxPerAddress);
    server->setHelloTimeout(helloTimeoutMs);
    server->setStallTimeout(stallTimeoutMs);
    server->setKeepAlive(keepAlive);
    server->setAllowed(allowed);
    ClientSession::Limits limits = server->sessionLimits();
    limits.readOnly = parser.isSet(readOnlyOption);
    server->setSessionLimits(limits);
    if (activation.descriptor() >= 0) {
        if (parser.isSet(listenOption) || parser.isSet(portOption))
            qWarning("celvane-server: --listen and --port are ignored: the service manager "
                     "handed over the socket to listen on");
        if (!server->listenOn(activation.descriptor()))
            return fail(ExitUsage, QStringLiteral("cannot listen on the socket the service "
                                                  "manager handed over: %1")
                                       .arg(server->errorString()));
    } else if (!server->listen(address, quint16(port))) {
        return fail(ExitUsage, QStringLiteral("cannot listen on %1 port %2: %3")
                                   .arg(address.toString())
                                   .arg(port)
                                   .arg(server->errorString()));
    }

    const int budget = PictureServer::clientDescriptorBudget();
    if (maxClients == 0)
        server->setMaxClients(qBound(1, budget, PictureServer::DefaultMaxClients));
    const int room = qMin(server->maxClients(), budget);
    qCInfo(lcServer).noquote()
        << QStringLiteral("room for %1 clients (--max-clients %2; %3)")
               .arg(room)
               .arg(server->maxClients())
               .arg(descriptorLimit > 0
                        ? QStringLiteral("descriptor limit %1").arg(quint64(descriptorLimit))
                        : QStringLiteral("no descriptor limit"));
    // Made after the picture server and so gone before it: its viewers are the server's clients.
    std::unique_ptr<WebFrontEnd> web;
    if (parser.isSet(httpOption)) {
        if (httpAddress.isNull())
            httpAddress = server->serverAddress();
        web = std::make_unique<WebFrontEnd>(server.get());
        // The page's slider and ?at= read the journal's kept past, with --at's reader of TIME,
        // and /timelapse.gif is the timelapse command's GIF of the whole of it.
        if (journal) {
            WebHistory history = webHistoryOf(
                [&journal] { return journal->history(); },
                [](const QString &text, QString *error) -> std::optional<qint64> {
                    const std::optional<qint64> moment =
                        parseMoment(text, QDateTime::currentDateTime());
                    if (!moment)
                        *error = QStringLiteral("TIME must be an ISO 8601 date and time, a time "
                                                "of day (14:05) or a span ago (90s, 10m, 2h, 3d)");
                    return moment;
                });
            history.timelapse = [&journal] {
                QString problem;
                const std::optional<QByteArray> gif =
                    Timelapse::gif(journal->history(), Timelapse::Options(), &problem);
                if (!gif)
                    qCWarning(lcServer).noquote() << "no time-lapse for the web page:" << problem;
                return gif.value_or(QByteArray());
            };
            web->setHistory(history);
        }
        if (!web->listen(httpAddress, httpPort))
            return fail(ExitUsage, QStringLiteral("cannot listen for --http on %1 port %2: %3")
                                       .arg(httpAddress.toString())
                                       .arg(httpPort)
                                       .arg(web->errorString()));
    }

    PictureSaver *saver = journal ? journal->saver() : nullptr;
    if (!picturePath.isEmpty() && !journal) {
        saver = new PictureSaver(picturePath, &server->picture(), server.get());
        QObject::connect(server.get(), &PictureServer::pictureChanged, saver,
                         &PictureSaver::scheduleSave);
    }
    if (!picturePath.isEmpty()) {
        // revert and restore reach the running server here. The journal records the changes
        // under its own "control" connection and saves the picture after them itself.
        std::function<quint64()> openControl;
        if (journal)
            openControl = [store = journal.get()] {
                return store->openControlConnection();
            };
        auto *control = new ControlServer(server->store(), openControl, server.get());
        if (!journal)
            QObject::connect(control, &ControlServer::changed, saver, &PictureSaver::scheduleSave);
        const QString controlPath = ControlServer::socketPath(picturePath);
        if (!control->listen(controlPath))
            qCWarning(lcServer).noquote()
                << "cannot listen on the control socket" << controlPath << ":"
                << control->errorString() << "; revert and restore need the server stopped";
    }

    int status = ExitOk;
    SignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &SignalWatcher::terminationRequested, &application, [&] {
        ServiceNotifier::stopping();
        // The journal's last batch is committed beside the last save.
        if (saver && !(journal ? journal->finish() : saver->saveNow())) {
            status = ExitPictureFile;
            qCritical("celvane-server: stopping with edits that could not be saved; %s keeps "
                      "the last picture that was",
                      qPrintable(picturePath));
        }
        QCoreApplication::exit(status);
    });

    const QHostAddress listening = server->serverAddress();
    if (web && !isLoopback(httpAddress))
        qWarning("celvane-server: warning: serving the web page on %s, not loopback: anyone who "
                 "can reach it may watch the picture%s",
                 qPrintable(shownAddress(httpAddress)),
                 allowed.isEmpty() ? " (see --allow)" : " from --allow");
    if (!isLoopback(listening))
        qWarning("celvane-server: warning: listening on %s, not loopback: anyone who can reach "
                 "it may %s the picture%s",
                 qPrintable(shownAddress(listening)), limits.readOnly ? "see" : "edit",
                 allowed.isEmpty() ? " (see --allow and --read-only)" : " from --allow");
    std::printf("listening on %s:%u\n", qPrintable(shownAddress(listening)),
                unsigned(server->serverPort()));
    if (web)
        std::printf("web page at http://%s:%u/\n", qPrintable(shownAddress(httpAddress)),
                    unsigned(web->serverPort()));
    std::fflush(stdout);
    ServiceNotifier::ready(
        QStringLiteral("Serving on %1:%2").arg(shownAddress(listening)).arg(server->serverPort()));

    application.exec();

    const PictureServer::Counters &counters = server->counters();
    qCInfo(lcServer).noquote() << "stopped after" << counters.messages
                               << "messages:" << counters.applied << "edits applied,"
                               << counters.refused << "refused," << counters.clientsTurnedAway
                               << "clients turned away," << counters.clientsDropped << "dropped";
    return status;
}
