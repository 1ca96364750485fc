// celvane-server's web side with a stand-in for the journal: every state of the picture is kept
// in memory with the moment it began, so that the page's slider, ?at= and /timelapse.gif can be
// tested before a real history exists. It takes --listen, --port, --http and --format, and prints
// the same two lines as celvane-server.

#include "server/pictureserver.h"
#include "server/signalwatcher.h"
#include "web/webfrontend.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>

#include <cstdio>
#include <utility>
#include <vector>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption listen(QStringLiteral("listen"), QString(), QStringLiteral("A"),
                                    QStringLiteral("127.0.0.1"));
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("N"),
                                  QStringLiteral("0"));
    const QCommandLineOption http(QStringLiteral("http"), QString(), QStringLiteral("PORT"),
                                  QStringLiteral("0"));
    const QCommandLineOption format(QStringLiteral("format"), QString(), QStringLiteral("N"),
                                    QStringLiteral("3"));
    parser.addOptions({listen, port, http, format});
    parser.process(application);

    const QHostAddress address(parser.value(listen));
    PictureServer server(Picture(parser.value(format).toInt()));
    if (!server.listen(address, quint16(parser.value(port).toUInt())))
        return 1;

    std::vector<std::pair<QDateTime, Picture>> states{
        {QDateTime::currentDateTimeUtc(), server.picture()}};
    QObject::connect(&server, &PictureServer::pictureChanged, [&] {
        states.emplace_back(QDateTime::currentDateTimeUtc(), server.picture());
    });

    WebHistory history;
    history.keptRange = [&]() -> std::optional<WebHistory::Range> {
        return WebHistory::Range{states.front().first, states.back().first};
    };
    // The stand-in reads ISO 8601 alone; the journal's reader takes the other forms too.
    history.pictureAt = [&](const QString &time, QString *error) -> std::optional<Picture> {
        const QDateTime moment = QDateTime::fromString(time, Qt::ISODateWithMs);
        if (!moment.isValid()) {
            *error = QStringLiteral("unreadable time");
            return std::nullopt;
        }
        if (moment < states.front().first) {
            *error = QStringLiteral("before the kept range");
            return std::nullopt;
        }
        std::optional<Picture> found;
        for (const auto &state : states)
            if (state.first <= moment)
                found = state.second;
        return found;
    };
    // One transparent pixel: the web side's caching and serving are tested, not the GIF.
    int timelapses = 0;
    history.timelapse = [&timelapses] {
        ++timelapses;
        return QByteArray::fromHex("47494638396101000100800000000000ffffff21f90401000000002c0000"
                                   "0000010001000002024401003b");
    };

    WebFrontEnd web(&server);
    web.setHistory(history);
    web.addMetricsSource([&timelapses] {
        return "# TYPE standin_timelapses_made_total counter\nstandin_timelapses_made_total " +
               QByteArray::number(timelapses) + '\n';
    });
    if (!web.listen(address, quint16(parser.value(http).toUInt())))
        return 1;
    std::printf("listening on %s:%u\nweb page at http://%s:%u/\n", qPrintable(address.toString()),
                unsigned(server.serverPort()), qPrintable(address.toString()),
                unsigned(web.serverPort()));
    std::fflush(stdout);
    // Stopped like the real server, so that a sanitizer can look at what is left at exit.
    SignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &SignalWatcher::terminationRequested, &application,
                     [] { QCoreApplication::exit(0); });
    return application.exec();
}
