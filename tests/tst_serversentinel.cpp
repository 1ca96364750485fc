// Servers sharing a picture through Redis that is replicated and watched by Sentinels: the
// primary is killed in the middle of a burst, and the servers follow the replica promoted in its
// place without losing anything a window was shown.

#include "connection/protocol.h"
#include "redis/redispicturehistory.h"
#include "tests/support/sentinelcluster.h"
#include "tests/support/serverclient.h"
#include "tests/support/serverprocess.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

constexpr int Format = 2;
constexpr int Columns = 22;
constexpr int Rows = 23;
constexpr int Colours = 8;
constexpr int BurstEdits = 20000;
// With Sentinel's down-after of one second, serving again takes the servers less than this.
constexpr qint64 FailoverWithinMs = 10000;

QByteArray command(int opcode, int a, int b, int c)
{
    return Protocol::encodeCommand(quint8(opcode), quint8(a), quint8(b), quint8(c));
}

bool applyAll(Picture *picture, const QList<QByteArray> &relays)
{
    for (const QByteArray &relay : relays)
        if (picture->apply(quint8(relay.at(0)),
                           QByteArrayView(relay).sliced(Protocol::HeaderSize)) != Picture::Applied)
            return false;
    return true;
}

// The edit the server's log says it served again at, after following Sentinel; -1 if it did not.
qsizetype servedAgainAt(ServerProcess *server)
{
    static const QRegularExpression line(
        QStringLiteral("following Sentinel to the primary at \\S+ - serving again at edit (\\d+)"));
    const QRegularExpressionMatch match = line.match(QString::fromUtf8(server->standardError()));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

} // namespace

class tst_ServerSentinel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void primaryKilledMidBurst();
};

void tst_ServerSentinel::initTestCase()
{
    if (!SentinelCluster::isInstalled())
        QSKIP(SentinelCluster::missingMessage());
}

void tst_ServerSentinel::primaryKilledMidBurst()
{
    SentinelCluster cluster;
    QVERIFY2(cluster.start(2, 3), cluster.failure());
    const QStringList redis{QStringLiteral("--redis-sentinel"), cluster.sentinels(),
                            QStringLiteral("--redis-master"),
                            QString::fromUtf8(SentinelCluster::masterName())};
    const QStringList options =
        redis + QStringList{QStringLiteral("--redis-replicas"),  QStringLiteral("1"),
                            QStringLiteral("--format"),          QString::number(Format),
                            QStringLiteral("--max-per-address"), QStringLiteral("64")};
    std::vector<std::unique_ptr<ServerProcess>> servers;
    for (int s = 0; s < 2; ++s) {
        servers.push_back(std::make_unique<ServerProcess>(QStringLiteral(CELVANE_SERVER_PATH)));
        servers.back()->begin(options);
    }
    // Two windows on each server; the first of each draws a burst.
    std::vector<std::unique_ptr<ServerClient>> windows;
    std::vector<ServerProcess *> serverOf;
    for (auto &server : servers) {
        QVERIFY2(server->waitUntilListening(), server->failure());
        for (int w = 0; w < 2; ++w) {
            windows.push_back(std::make_unique<ServerClient>());
            QVERIFY(windows.back()->connectTo(server->port()));
            QVERIFY(windows.back()->fetchPicture());
            serverOf.push_back(server.get());
        }
    }
    for (int s = 0; s < 2; ++s) {
        QByteArray burst;
        for (int i = 0; i < BurstEdits; ++i)
            burst += command(Protocol::SetCellCommand, (i + s) % Columns, (i / Columns) % Rows,
                             (i + s) % Colours);
        windows[size_t(2 * s)]->send(burst);
    }

    // Killed once edits of the burst are shown, with the rest on their way, and with the last few
    // hundred edits in the primary alone: its replicas are cut off for that while (a password the
    // primary does not take keeps them from coming back), so that a window shown any of those
    // would find them missing.
    const std::optional<QList<QByteArray>> first = windows.back()->waitForRelays(1);
    QVERIFY(first);
    const auto held = [&cluster] {
        return cluster.primary()
            .cli({QStringLiteral("XLEN"), QStringLiteral("celvane:edits")})
            .toInt();
    };
    const auto setPassword = [&cluster](const QString &password) {
        for (int r = 1; r <= 2; ++r)
            if (cluster.replica(r).cli({QStringLiteral("CONFIG"), QStringLiteral("SET"),
                                        QStringLiteral("masterauth"), password}) != "OK")
                return false;
        return true;
    };
    QVERIFY(setPassword(QStringLiteral("refused")));
    QCOMPARE(cluster.primary().cli({QStringLiteral("CLIENT"), QStringLiteral("KILL"),
                                    QStringLiteral("TYPE"), QStringLiteral("replica")}),
             "2");
    const int heldByReplicas = held();
    QTRY_VERIFY(held() > heldByReplicas + 200);
    cluster.primary().kill();
    QVERIFY(setPassword(QString()));
    QElapsedTimer sinceKill;
    sinceKill.start();
    for (auto &server : servers) {
        QTRY_VERIFY_WITH_TIMEOUT(servedAgainAt(server.get()) >= 0, 2 * FailoverWithinMs);
        QCOMPARE(server->countLogLines("following Sentinel"), 1);
    }
    QVERIFY2(sinceKill.elapsed() < FailoverWithinMs,
             qPrintable(QString::number(sinceKill.elapsed())));

    // An edit made after the failover marks the end of what every window must come to show.
    const QByteArray marker = command(Protocol::SetColorsCommand, 7, 7, 0);
    ServerClient author;
    QVERIFY(author.connectTo(servers.front()->port(), QHostAddress(QStringLiteral("127.0.0.9"))));
    author.send(marker);
    RedisProcess *promoted = cluster.namedPrimary();
    QVERIFY(promoted && promoted != &cluster.primary());
    RedisPictureHistory history(QStringLiteral("127.0.0.1"), promoted->port(), QByteArray(),
                                SentinelCluster::masterName());
    QVERIFY2(history.open(), qPrintable(history.errorString()));

    for (size_t w = 0; w < windows.size(); ++w) {
        QList<QByteArray> seen = w + 1 == windows.size() ? *first : QList<QByteArray>();
        while (!seen.contains(marker)) {
            const std::optional<QList<QByteArray>> next = windows[w]->waitForRelays(1);
            QVERIFY(next);
            seen += *next;
        }
        seen.resize(seen.indexOf(marker) + 1);
        // What the window was shown is the stream up to where its server lost the primary, then
        // the stream from where it served again: nothing it was shown is missing or moved.
        QList<QByteArray> stream;
        history.forEachEdit(history.oldestSeq(), history.lastSeq(),
                            [&stream](const PictureHistory::Edit &edit) {
                                stream.append(edit.message.toByteArray());
                                return true;
                            });
        const qsizetype at = servedAgainAt(serverOf[w]);
        const qsizetype after = stream.indexOf(marker) + 1 - at;
        const qsizetype before = seen.size() - after;
        QVERIFY2(before >= 0 && before <= at,
                 qPrintable(QStringLiteral("window %1 saw %2 edits, the promoted replica holds %3 "
                                           "and its server served again at %4")
                                .arg(w)
                                .arg(seen.size())
                                .arg(stream.size())
                                .arg(at)));
        QCOMPARE(seen.first(before), stream.first(before));
        QCOMPARE(seen.mid(before), stream.mid(at, after));
        // Its picture was replaced by the promoted replica's, and the edits after lead it to the
        // one picture every window shows.
        const std::optional<QByteArray> update = windows[w]->waitForUpdate();
        QVERIFY(update);
        std::optional<Picture> shown = ServerClient::toPicture(*update);
        QVERIFY(shown);
        QCOMPARE(*shown, history.pictureAt(quint64(at)).value());
        QVERIFY(applyAll(&*shown, seen.mid(before)));
        QCOMPARE(*shown, history.pictureAt(quint64(at + after)).value());
    }

    // The commands that run once find the promoted replica through Sentinel too.
    ServerProcess tool(QStringLiteral(CELVANE_SERVER_PATH));
    QCOMPARE(tool.runToExit(QStringList{QStringLiteral("history")} + redis +
                            QStringList{QStringLiteral("--address"), QStringLiteral("127.0.0.9")}),
             0);
    QVERIFY(tool.process().readAllStandardOutput().contains(" 127.0.0.9 "));
}

QTEST_GUILESS_MAIN(tst_ServerSentinel)
#include "tst_serversentinel.moc"
