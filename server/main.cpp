#include "connection/protocol.h"
#include "server/picturefile.h"
#include "server/picturerenderer.h"
#include "server/picturesaver.h"
#include "server/pictureserver.h"
#include "server/samplepicture.h"
#include "server/serverlogging.h"
#include "server/signalwatcher.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstdio>

namespace {

enum ExitStatus {
    ExitOk = 0,
    ExitUsage = 1,       // a bad option, or the address cannot be listened on
    ExitPictureFile = 2, // the picture file is refused, or cannot be written
};

const char description[] =
    "Serves one cell-grid picture to Celvane clients over TCP.\n"
    "\n"
    "Every Hello is answered with the whole picture; edits (clear, frame colours, cells, rows)\n"
    "change it. Edits are not pushed to the other clients: each client sees the edits of the\n"
    "others when it next connects. Messages that cannot be applied are ignored and logged.\n"
    "\n"
    "With --picture, the picture is read from FILE if it exists, and its own format is served\n"
    "whatever --format says; edits are written back about once a second and on SIGINT or\n"
    "SIGTERM. A file that is not a Celvane picture file is refused and left alone.\n"
    "\n"
    "When ready the server prints one line, \"listening on ADDRESS:PORT\", to standard output.\n"
    "Exit status: 0 on a clean stop, 1 for a bad option or an address it cannot listen on,\n"
    "2 for a picture file that is refused or cannot be written.";

int fail(ExitStatus status, const QString &message)
{
    std::fprintf(stderr, "celvane-server: %s\n", qPrintable(message));
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

} // namespace

int main(int argc, char *argv[])
{
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
    const QCommandLineOption verboseOption(QStringLiteral("verbose"),
                                           QStringLiteral("Log every message received."));
    parser.addOptions({listenOption, portOption, formatOption, pictureOption, demoOption,
                       exportOption, exportSizeOption, maxClientsOption, verboseOption});
    parser.process(application);

    // Clients coming and going and refused messages are worth a line; every message only when
    // asked for. QT_LOGGING_RULES still overrides both.
    QString rules = QStringLiteral("celvane.server.info=true");
    if (parser.isSet(verboseOption))
        rules += QStringLiteral("\ncelvane.server.debug=true");
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
    QSize exportSize = PictureRenderer::DefaultSize;
    if (parser.isSet(exportSizeOption) && !parseSize(parser.value(exportSizeOption), &exportSize))
        return fail(ExitUsage, QStringLiteral("--export-size needs WIDTHxHEIGHT, each 1 to 8192"));

    Picture picture =
        parser.isSet(demoOption) ? samplePicture(formatNumber) : Picture(formatNumber);
    const QString picturePath = parser.value(pictureOption);
    if (!picturePath.isEmpty()) {
        PictureFile file(picturePath);
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

    PictureServer server(picture);
    server.setMaxClients(maxClients);
    if (!server.listen(address, quint16(port)))
        return fail(ExitUsage, QStringLiteral("cannot listen on %1 port %2: %3")
                                   .arg(address.toString())
                                   .arg(port)
                                   .arg(server.errorString()));

    PictureSaver *saver = nullptr;
    if (!picturePath.isEmpty()) {
        saver = new PictureSaver(picturePath, &server.picture(), &server);
        QObject::connect(&server, &PictureServer::pictureChanged, saver,
                         &PictureSaver::scheduleSave);
    }

    int status = ExitOk;
    SignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &SignalWatcher::terminationRequested, &application, [&] {
        if (saver && !saver->saveNow())
            status = ExitPictureFile;
        QCoreApplication::exit(status);
    });

    const QString shownAddress = address.protocol() == QAbstractSocket::IPv6Protocol
                                     ? QStringLiteral("[%1]").arg(address.toString())
                                     : address.toString();
    std::printf("listening on %s:%u\n", qPrintable(shownAddress), unsigned(server.serverPort()));
    std::fflush(stdout);

    application.exec();

    const PictureServer::Counters &counters = server.counters();
    qCInfo(lcServer).noquote() << "stopped after" << counters.messages
                               << "messages:" << counters.applied << "edits applied,"
                               << counters.refused << "refused," << counters.clientsTurnedAway
                               << "clients turned away," << counters.clientsDropped << "dropped";
    return status;
}
