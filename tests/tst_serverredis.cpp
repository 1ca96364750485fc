// Several real server programs sharing one picture through a real redis-server: one order for
// every window on every server, servers that die, fall behind or lose Redis, and keys that are
// not theirs to use.

#include "connection/protocol.h"
#include "redis/redispicturehistory.h"
#include "redis/redispicturestore.h"
#include "server/picture.h"
#include "server/picturerenderer.h"
#include "server/samplepicture.h"
#include "tests/support/redisprocess.h"
#include "tests/support/serverclient.h"
#include "tests/support/serverprocess.h"

#include <QRandomGenerator>
#include <QTcpServer>
#include <QtTest>

#include <csignal>
#include <memory>
#include <vector>

namespace {

// Format 2: 22 columns, 23 rows, 8 colours.
constexpr int Format = 2;
constexpr int Columns = 22;
constexpr int Rows = 23;
constexpr int Colours = 8;

QByteArray command(int opcode, int a, int b, int c)
{
    return Protocol::encodeCommand(quint8(opcode), quint8(a), quint8(b), quint8(c));
}

QByteArray row(int y, const QByteArray &cells)
{
    return Protocol::encodeRowData(quint8(y), quint8(cells.size()),
                                   reinterpret_cast<const quint8 *>(cells.constData()));
}

// Every kind of edit, each one the picture takes: cells, frame colours, whole and short rows,
// and now and then a clear.
QByteArray randomEdit(QRandomGenerator &random)
{
    const int pick = int(random.bounded(100));
    if (pick < 2)
        return command(Protocol::ClearCommand, 0, 0, 0);
    if (pick < 10)
        return command(Protocol::SetColorsCommand, int(random.bounded(Colours)),
                       int(random.bounded(Colours)), 0);
    if (pick < 25) {
        QByteArray cells(int(random.bounded(Columns + 1)), 0);
        for (char &cell : cells)
            cell = char(random.bounded(4) == 0 ? EmptyCell : random.bounded(Colours));
        return row(int(random.bounded(Rows)), cells);
    }
    return command(Protocol::SetCellCommand, int(random.bounded(Columns)),
                   int(random.bounded(Rows)), int(random.bounded(Colours)));
}

bool applyAll(Picture *picture, const QList<QByteArray> &relays)
{
    for (const QByteArray &relay : relays)
        if (picture->apply(quint8(relay.at(0)),
                           QByteArrayView(relay).sliced(Protocol::HeaderSize)) != Picture::Applied)
            return false;
    return true;
}

// The edits Redis holds, as relayed, in the stream's order.
QList<QByteArray> streamOf(RedisPictureHistory *history)
{
    QList<QByteArray> messages;
    history->forEachEdit(history->oldestSeq(), history->lastSeq(),
                         [&messages](const PictureHistory::Edit &edit) {
                             messages.append(edit.message.toByteArray());
                             return true;
                         });
    return messages;
}

// Takes relays into the picture a window holds until it shows wanted; false if a relay does not
// apply or none comes in time.
bool relaysLeadTo(ServerClient *window, Picture *shown, const Picture &wanted)
{
    while (*shown != wanted) {
        const std::optional<QList<QByteArray>> relays = window->waitForRelays(1);
        if (!relays || !applyAll(shown, *relays))
            return false;
    }
    return true;
}

QString utc(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

void signalProcess(ServerProcess *server, int signalNumber)
{
    ::kill(pid_t(server->process().processId()), signalNumber);
}

} // namespace

class tst_ServerRedis : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void threeServersRelayOneOrder();
    void serverKilledMidBurstLosesNothingApplied();
    void redisStoppedAndStartedAgain();
    void redisThatStopsAnsweringCountsAsLost();
    void serverPausedPastTheTrimCatchesUp();
    void serversCreatingTheKeyAtOnceMakeOnePicture();
    void editsOfTheServerItselfReachEveryServer();
    void refusesWhatIsNotItsPicture_data();
    void refusesWhatIsNotItsPicture();
    void recoveryCommandsGoThroughRedis();
    void recoveryCommandsWithoutRedis_data();
    void recoveryCommandsWithoutRedis();
    void saysHowRedisKeepsItsData_data();
    void saysHowRedisKeepsItsData();
    void bansAndLocksReachEveryServer();

private:
    std::unique_ptr<ServerProcess> startServer(const QStringList &extra = {});
    std::unique_ptr<ServerClient> connectWithPicture(const ServerProcess &server);
    std::unique_ptr<RedisPictureHistory> openHistory();

    std::unique_ptr<RedisProcess> m_redis;
};

void tst_ServerRedis::init()
{
    if (!RedisProcess::isInstalled())
        QSKIP(RedisProcess::missingMessage());
    m_redis = std::make_unique<RedisProcess>();
}

std::unique_ptr<ServerProcess> tst_ServerRedis::startServer(const QStringList &extra)
{
    auto server = std::make_unique<ServerProcess>(QStringLiteral(CELVANE_SERVER_PATH));
    if (!server->start(QStringList{QStringLiteral("--redis"), m_redis->address(),
                                   QStringLiteral("--format"), QString::number(Format),
                                   QStringLiteral("--max-per-address"), QStringLiteral("64")} +
                       extra)) {
        qWarning("%s", server->failure());
        return nullptr;
    }
    return server;
}

std::unique_ptr<ServerClient> tst_ServerRedis::connectWithPicture(const ServerProcess &server)
{
    auto client = std::make_unique<ServerClient>();
    if (!client->connectTo(server.port()) || !client->fetchPicture())
        return nullptr;
    return client;
}

std::unique_ptr<RedisPictureHistory> tst_ServerRedis::openHistory()
{
    auto history = std::make_unique<RedisPictureHistory>(
        QStringLiteral("127.0.0.1"), m_redis->port(), QByteArray(), QByteArrayLiteral("celvane"));
    if (!history->open()) {
        qWarning("%s", qPrintable(history->errorString()));
        return nullptr;
    }
    return history;
}

void tst_ServerRedis::threeServersRelayOneOrder()
{
    QVERIFY2(m_redis->start(), m_redis->failure());
    std::vector<std::unique_ptr<ServerProcess>> servers;
    std::vector<std::unique_ptr<ServerClient>> clients;
    for (int s = 0; s < 3; ++s) {
        servers.push_back(startServer());
        QVERIFY(servers.back());
        for (int c = 0; c < 2; ++c) {
            clients.push_back(connectWithPicture(*servers.back()));
            QVERIFY(clients.back());
        }
    }

    // Each client sends its own edits a few at a time, in turns, so that the servers' edits
    // reach Redis interleaved. Halfway, Redis forgets the script, as a restart without
    // persistence or SCRIPT FLUSH would have it, with edits in flight.
    constexpr int EditsPerClient = 80;
    QRandomGenerator random(21);
    for (int sent = 0; sent < EditsPerClient; sent += 4) {
        if (sent == EditsPerClient / 2)
            QCOMPARE(m_redis->cli({QStringLiteral("SCRIPT"), QStringLiteral("FLUSH")}), "OK");
        for (auto &client : clients) {
            QByteArray burst;
            for (int i = 0; i < 4; ++i)
                burst += randomEdit(random);
            client->send(burst);
        }
    }
    const int total = EditsPerClient * int(clients.size());

    std::optional<QList<QByteArray>> first;
    for (auto &client : clients) {
        const std::optional<QList<QByteArray>> relays = client->waitForRelays(total);
        QVERIFY(relays);
        if (!first)
            first = relays;
        QCOMPARE(*relays, *first);
    }
    for (const QByteArray &relay : *first)
        if (relay.at(0) == Protocol::RowData)
            QCOMPARE(relay.size(), Protocol::HeaderSize + Protocol::RowDataPrefixSize + Columns);

    Picture expected(Format);
    QVERIFY(applyAll(&expected, *first));
    for (const auto &server : servers) {
        ServerClient fresh;
        QVERIFY(fresh.connectTo(server->port()));
        QCOMPARE(fresh.fetchPicture(), std::optional<Picture>(expected));
    }

    // The stream is the history: the same edits, numbered from 1, each under the connection of
    // the client that sent it.
    const std::unique_ptr<RedisPictureHistory> history = openHistory();
    QVERIFY(history);
    QCOMPARE(history->oldestSeq(), quint64(1));
    QCOMPARE(history->lastSeq(), quint64(total));
    QCOMPARE(streamOf(history.get()), *first);
    QCOMPARE(history->pictureAt(quint64(total)), std::optional<Picture>(expected));
    QCOMPARE(history->pictureAt(0), std::optional<Picture>(Picture(Format)));
    QSet<quint64> connections;
    history->forEachEdit(1, quint64(total), [&connections](const PictureHistory::Edit &edit) {
        connections.insert(edit.connection);
        return true;
    });
    QCOMPARE(connections.size(), qsizetype(clients.size()));
    for (const quint64 id : connections) {
        const std::optional<PictureHistory::Connection> connection = history->connection(id);
        QVERIFY(connection);
        QCOMPARE(connection->address, QStringLiteral("127.0.0.1"));
        QCOMPARE(connection->leftMs, qint64(-1));
    }

    // And the picture at a moment is exported from it.
    QTemporaryDir folder;
    const QString png = folder.filePath(QStringLiteral("now.png"));
    ServerProcess exporter(QStringLiteral(CELVANE_SERVER_PATH));
    const QStringList exportNow{QStringLiteral("--redis"), m_redis->address(),
                                QStringLiteral("--export-png"), png};
    QCOMPARE(
        exporter.runToExit(exportNow + QStringList{QStringLiteral("--at"), QStringLiteral("0s")}),
        0);
    QCOMPARE(QImage(png).convertToFormat(QImage::Format_RGB32),
             PictureRenderer::render(expected, PictureRenderer::DefaultSize)
                 .convertToFormat(QImage::Format_RGB32));
    QCOMPARE(
        exporter.runToExit(exportNow + QStringList{QStringLiteral("--at"), QStringLiteral("1h")}),
        1);
    QVERIFY(exporter.standardError().contains("is before the oldest kept moment"));
}

void tst_ServerRedis::serverKilledMidBurstLosesNothingApplied()
{
    QVERIFY2(m_redis->start(), m_redis->failure());
    std::unique_ptr<ServerProcess> doomed = startServer();
    std::unique_ptr<ServerProcess> second = startServer();
    std::unique_ptr<ServerProcess> third = startServer();
    QVERIFY(doomed && second && third);
    std::unique_ptr<ServerClient> sender = connectWithPicture(*doomed);
    std::unique_ptr<ServerClient> watcher = connectWithPicture(*second);
    std::unique_ptr<ServerClient> otherWatcher = connectWithPicture(*third);
    QVERIFY(sender && watcher && otherWatcher);

    QByteArray burst;
    for (int i = 0; i < 20000; ++i)
        burst += command(Protocol::SetCellCommand, i % Columns, (i / Columns) % Rows, i % Colours);
    sender->send(burst);
    // Killed once its edits are on their way through Redis.
    const std::optional<QList<QByteArray>> first = watcher->waitForRelays(1);
    doomed->kill();
    QVERIFY(first);

    // An edit sent after the kill marks the end: whatever Redis took from the dead server comes
    // before it in the stream.
    const QByteArray marker = command(Protocol::SetColorsCommand, 7, 7, 0);
    watcher->send(marker);
    QList<QByteArray> seen = *first;
    while (seen.constLast() != marker) {
        const std::optional<QList<QByteArray>> next = watcher->waitForRelays(1);
        QVERIFY(next);
        seen += *next;
    }

    const std::unique_ptr<RedisPictureHistory> history = openHistory();
    QVERIFY(history);
    const QList<QByteArray> stream = streamOf(history.get());
    QCOMPARE(stream.indexOf(marker), seen.size() - 1);
    QCOMPARE(seen, stream.first(seen.size()));
    const std::optional<QList<QByteArray>> others = otherWatcher->waitForRelays(int(stream.size()));
    QVERIFY(others);
    QCOMPARE(*others, stream);
}

void tst_ServerRedis::redisStoppedAndStartedAgain()
{
    QVERIFY2(m_redis->start({QStringLiteral("--appendonly"), QStringLiteral("yes"),
                             QStringLiteral("--appendfsync"), QStringLiteral("everysec")}),
             m_redis->failure());
    std::unique_ptr<ServerProcess> server = startServer();
    QVERIFY(server);
    std::unique_ptr<ServerClient> client = connectWithPicture(*server);
    QVERIFY(client);
    QRandomGenerator random(7);
    QByteArray edits;
    for (int i = 0; i < 50; ++i)
        edits += randomEdit(random);
    client->send(edits);
    const std::optional<QList<QByteArray>> relays = client->waitForRelays(50);
    QVERIFY(relays);
    Picture expected(Format);
    QVERIFY(applyAll(&expected, *relays));

    QVERIFY(m_redis->stop());
    QVERIFY(client->waitForDisconnected());
    QTRY_COMPARE(server->countLogLines("lost Redis at"), 1);
    ServerClient newcomer;
    QVERIFY(newcomer.connectTo(server->port()));
    newcomer.send(Protocol::encodeHello());
    QVERIFY(newcomer.waitForDisconnected());
    QCOMPARE(newcomer.updatesReceived(), 0);
    QTRY_COMPARE(server->countLogLines("turned away client"), 1);

    QVERIFY2(m_redis->restart(), m_redis->failure());
    QTRY_COMPARE_WITH_TIMEOUT(server->countLogLines("is back: serving again at edit 50"), 1, 15000);
    ServerClient returning;
    QVERIFY(returning.connectTo(server->port()));
    QCOMPARE(returning.fetchPicture(), std::optional<Picture>(expected));
    // One line when Redis went, however long it stayed away, and none per client closed.
    QCOMPARE(server->countLogLines("lost Redis"), 1);
    QCOMPARE(server->countLogLines("cannot reach Redis"), 0);
    QCOMPARE(server->countLogLines(" gone after "), 0);
}

void tst_ServerRedis::redisThatStopsAnsweringCountsAsLost()
{
    QVERIFY2(m_redis->start(), m_redis->failure());
    std::unique_ptr<ServerProcess> server = startServer();
    QVERIFY(server);
    std::unique_ptr<ServerClient> client = connectWithPicture(*server);
    QVERIFY(client);

    // Its connections stay open, so only the unanswered pings tell.
    m_redis->pause();
    const bool closed = client->waitForDisconnected(15000);
    m_redis->resume();
    QVERIFY(closed);
    QCOMPARE(server->countLogLines("no answer within"), 1);

    QTRY_COMPARE_WITH_TIMEOUT(server->countLogLines("is back: serving again at edit 0"), 1, 15000);
    const std::unique_ptr<ServerClient> returning = connectWithPicture(*server);
    QVERIFY(returning);
    const QByteArray edit = command(Protocol::SetCellCommand, 3, 3, 3);
    returning->send(edit);
    QCOMPARE(returning->waitForRelays(1), std::optional<QList<QByteArray>>({edit}));
}

void tst_ServerRedis::serverPausedPastTheTrimCatchesUp()
{
    QVERIFY2(m_redis->start(), m_redis->failure());
    // About 100 edits kept, a whole picture every 12.
    const QStringList small{QStringLiteral("--history-max-size"), QStringLiteral("10K")};
    std::unique_ptr<ServerProcess> paused = startServer(small);
    std::unique_ptr<ServerProcess> busy = startServer(small);
    QVERIFY(paused && busy);
    std::unique_ptr<ServerClient> waiting = connectWithPicture(*paused);
    std::unique_ptr<ServerClient> drawing = connectWithPicture(*busy);
    QVERIFY(waiting && drawing);

    signalProcess(paused.get(), SIGSTOP);
    // In bursts well within what is kept, so that only the paused server falls behind.
    QRandomGenerator random(3);
    QList<QByteArray> relays;
    for (int burst = 0; burst < 10; ++burst) {
        QByteArray edits;
        for (int i = 0; i < 30; ++i)
            edits += randomEdit(random);
        drawing->send(edits);
        const std::optional<QList<QByteArray>> relayed = drawing->waitForRelays(30);
        QVERIFY(relayed);
        relays += *relayed;
    }
    signalProcess(paused.get(), SIGCONT);
    QCOMPARE(drawing->updatesReceived(), 0);
    Picture expected(Format);
    QVERIFY(applyAll(&expected, relays));
    const std::unique_ptr<RedisPictureHistory> history = openHistory();
    QVERIFY(history);
    QVERIFY(history->oldestSeq() > 200);
    QVERIFY(history->oldestSeq() < 300);
    // The kept past still rebuilds every kept moment, the oldest one included.
    QCOMPARE(history->pictureAt(300), std::optional<Picture>(expected));
    Picture atOldest(Format);
    QVERIFY(applyAll(&atOldest, relays.first(int(history->oldestSeq()) - 1)));
    QCOMPARE(history->pictureAt(history->oldestSeq() - 1), std::optional<Picture>(atOldest));

    // What the paused server read before it stopped may come first; then the fresh picture.
    const std::optional<QByteArray> update = waiting->waitForUpdate();
    QVERIFY(update);
    QCOMPARE(ServerClient::toPicture(*update), std::optional<Picture>(expected));
    QTRY_COMPARE(paused->countLogLines("reloading the picture"), 1);
    waiting->waitForRelays(waiting->relaysReceived());

    // And it relays again, in the one order.
    const QByteArray last = command(Protocol::SetCellCommand, 1, 2, 3);
    waiting->send(last);
    QCOMPARE(waiting->waitForRelays(1), std::optional<QList<QByteArray>>({last}));
    QCOMPARE(drawing->waitForRelays(1), std::optional<QList<QByteArray>>({last}));
}

void tst_ServerRedis::serversCreatingTheKeyAtOnceMakeOnePicture()
{
    QVERIFY2(m_redis->start(), m_redis->failure());
    ServerProcess demo(QStringLiteral(CELVANE_SERVER_PATH));
    ServerProcess empty(QStringLiteral(CELVANE_SERVER_PATH));
    demo.begin({QStringLiteral("--redis"), m_redis->address(), QStringLiteral("--format"),
                QStringLiteral("1"), QStringLiteral("--demo")});
    empty.begin({QStringLiteral("--redis"), m_redis->address(), QStringLiteral("--format"),
                 QStringLiteral("2")});
    QVERIFY2(demo.waitUntilListening(), demo.failure());
    QVERIFY2(empty.waitUntilListening(), empty.failure());

    ServerClient first;
    ServerClient second;
    QVERIFY(first.connectTo(demo.port()));
    QVERIFY(second.connectTo(empty.port()));
    const std::optional<Picture> fromDemo = first.fetchPicture();
    const std::optional<Picture> fromEmpty = second.fetchPicture();
    QVERIFY(fromDemo);
    QCOMPARE(fromEmpty, fromDemo);
    QVERIFY(*fromDemo == samplePicture(1) || *fromDemo == Picture(2));
    QCOMPARE(m_redis->cli({QStringLiteral("HLEN"), QStringLiteral("celvane:snapshots")}), "1");
    QCOMPARE(m_redis->cli({QStringLiteral("HGET"), QStringLiteral("celvane:meta"),
                           QStringLiteral("servers")}),
             "2");
}

// What a repair carried out on the picture does: a store of its own, under a connection named
// "control", whose edits every server relays like any other.
void tst_ServerRedis::editsOfTheServerItselfReachEveryServer()
{
    QVERIFY2(m_redis->start(), m_redis->failure());
    std::unique_ptr<ServerProcess> server = startServer();
    QVERIFY(server);
    std::unique_ptr<ServerClient> client = connectWithPicture(*server);
    QVERIFY(client);

    RedisPictureStore::Settings settings;
    settings.host = QStringLiteral("127.0.0.1");
    settings.port = m_redis->port();
    RedisPictureStore store(settings, Picture(0));
    QSignalSpy availability(&store, &PictureStore::availabilityChanged);
    store.start();
    QVERIFY(availability.wait());
    QCOMPARE(availability.takeFirst(), QVariantList{true});
    // The key existed: its format, not this store's, is the picture's.
    QCOMPARE(store.picture().formatNumber(), quint8(Format));

    const quint64 control = store.openConnection(QHostAddress(), 0);
    const QList<QByteArray> repair{command(Protocol::SetColorsCommand, 2, 3, 0),
                                   row(4, QByteArray(3, char(5)))};
    QSignalSpy settled(&store, &RedisPictureStore::settled);
    for (const QByteArray &edit : repair)
        QCOMPARE(store.submit(control, quint8(edit.at(0)), edit), Picture::Applied);
    QCOMPARE(store.submit(control, Protocol::Command, command(Protocol::SetCellCommand, 99, 0, 1)),
             Picture::OutsideGrid);
    QVERIFY(settled.wait());
    QCOMPARE(store.pendingEdits(), 0);
    store.closeConnection(control);

    Picture expected(Format);
    QVERIFY(applyAll(&expected, repair));
    const std::optional<QList<QByteArray>> relays = client->waitForRelays(2);
    QVERIFY(relays);
    QCOMPARE(relays->first(), repair.first());
    QCOMPARE(relays->last(), row(4, expected.cells().mid(4 * Columns, Columns)));
    QTRY_COMPARE(store.appliedSeq(), quint64(2));
    QCOMPARE(store.picture(), expected);

    const std::unique_ptr<RedisPictureHistory> history = openHistory();
    QVERIFY(history);
    QTRY_VERIFY(history->connection(control) && history->connection(control)->leftMs >= 0);
    QCOMPARE(history->connection(control)->address, QStringLiteral("control"));
    QCOMPARE(history->connection(control)->name, QString());

    // A named editor's connection keeps its name beside its record, and --author finds it; a
    // ban of the name (NAME:bans author:alice) reaches the store and refuses its edits.
    const quint64 named = store.openNamedConnection(QHostAddress(QStringLiteral("127.0.0.7")), 7,
                                                    QStringLiteral("alice"));
    const QByteArray edit = command(Protocol::SetCellCommand, 1, 1, 1);
    QCOMPARE(store.submit(named, Protocol::Command, edit), Picture::Applied);
    QVERIFY(client->waitForRelays(1));
    QTRY_COMPARE(history->connection(named).value_or(PictureHistory::Connection()).name,
                 QStringLiteral("alice"));
    ServerProcess tool(QStringLiteral(CELVANE_SERVER_PATH));
    const QStringList redis{QStringLiteral("--redis"), m_redis->address()};
    QCOMPARE(tool.runToExit(QStringList{"history"} + redis + QStringList{"--author", "alice"}), 0);
    const QByteArray listed = tool.process().readAllStandardOutput();
    QVERIFY2(listed.contains("127.0.0.7  alice") && listed.contains("total: 1 edit from 1 conn"),
             listed.constData());
    QCOMPARE(tool.runToExit(QStringList{"ban"} + redis + QStringList{"--author", "alice"}), 0);
    QCOMPARE(m_redis->cli({"HEXISTS", "celvane:bans", "author:alice"}), "1");
    QTRY_VERIFY(store.moderation().bansAuthor(QStringLiteral("alice"),
                                              QDateTime::currentMSecsSinceEpoch()));
    QCOMPARE(store.submit(named, Protocol::Command, edit), Picture::Banned);
    QCOMPARE(tool.runToExit(QStringList{"unban"} + redis + QStringList{"--author", "alice"}), 0);
    QCOMPARE(history->moderation(), std::optional<Moderation>(Moderation()));
}

void tst_ServerRedis::refusesWhatIsNotItsPicture_data()
{
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("a list") << QStringList{"RPUSH", "celvane", "x"} << QStringList() << 2
                            << QByteArray("WRONGTYPE celvane holds a list, not a string");
    QTest::newRow("a stream where the edits go")
        << QStringList{"XADD", "celvane:edits", "*", "a", "b"} << QStringList() << 2
        << QByteArray("celvane is missing beside its history");
    QTest::newRow("a hash where the edits go")
        << QStringList{"HSET", "other:edits", "a", "b"} << QStringList{"--redis-key", "other"} << 2
        << QByteArray("WRONGTYPE other:edits holds a hash, not a stream");
    QTest::newRow("another program's string")
        << QStringList{"SET", "celvane", "hello"} << QStringList() << 2
        << QByteArray("holds a string that is not a Celvane picture");
    QTest::newRow("a damaged picture")
        << QStringList{"SET", "celvane", "CVL1junk"} << QStringList() << 2
        << QByteArray("celvane holds a picture that is damaged");
    QTest::newRow("a picture file as well")
        << QStringList() << QStringList{"--picture", "drawing.cvp"} << 1
        << QByteArray("--picture and --redis exclude each other");
    QTest::newRow("no port") << QStringList() << QStringList{"--redis", "127.0.0.1"} << 1
                             << QByteArray("--redis needs HOST:PORT");
}

void tst_ServerRedis::refusesWhatIsNotItsPicture()
{
    QFETCH(QStringList, setup);
    QFETCH(QStringList, extra);
    QFETCH(int, status);
    QFETCH(QByteArray, message);

    QVERIFY2(m_redis->start(), m_redis->failure());
    if (!setup.isEmpty())
        m_redis->cli(setup);
    const QByteArray before = m_redis->cli({QStringLiteral("DUMP"), setup.value(1)});

    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QCOMPARE(server.runToExit(QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1"),
                                          QStringLiteral("--port"), QStringLiteral("0"),
                                          QStringLiteral("--redis"), m_redis->address()} +
                              extra),
             status);
    QVERIFY2(server.standardError().contains(message), server.standardError().constData());
    QCOMPARE(m_redis->cli({QStringLiteral("DUMP"), setup.value(1)}), before);
    QVERIFY(!QFileInfo::exists(QStringLiteral("drawing.cvp")));
}

// A drawer on one server, a vandal on the other, a repairer after them, and a window on each
// server: history lists them, revert of the vandal reaches both windows through Redis and leaves
// the repair alone, and restore puts back the moment the drawing ended.
void tst_ServerRedis::recoveryCommandsGoThroughRedis()
{
    QVERIFY2(m_redis->start(), m_redis->failure());
    std::unique_ptr<ServerProcess> first = startServer();
    std::unique_ptr<ServerProcess> second = startServer();
    QVERIFY(first && second);
    std::vector<std::unique_ptr<ServerClient>> windows;
    std::vector<Picture> shown;
    for (const ServerProcess *server : {first.get(), second.get()}) {
        auto window = std::make_unique<ServerClient>();
        QVERIFY(window->connectTo(server->port(), QHostAddress(QStringLiteral("127.0.0.5"))));
        const std::optional<Picture> picture = window->fetchPicture();
        QVERIFY(picture);
        shown.push_back(*picture);
        windows.push_back(std::move(window));
    }
    struct Author
    {
        const char *address;
        ServerProcess *server;
        QList<QByteArray> edits;
    };
    const QList<Author> authors{
        {"127.0.0.2",
         first.get(),
         {command(Protocol::SetColorsCommand, 6, 0, 0), row(0, QByteArray(Columns, char(1))),
          row(1, QByteArray(Columns, char(2))), command(Protocol::SetCellCommand, 5, 5, 3)}},
        {"127.0.0.3",
         second.get(),
         {command(Protocol::ClearCommand, 0, 0, 0), command(Protocol::SetColorsCommand, 2, 2, 0),
          row(1, QByteArray(Columns, char(7))), command(Protocol::SetCellCommand, 5, 5, 7)}},
        {"127.0.0.4", first.get(), {command(Protocol::SetCellCommand, 5, 5, 4)}},
    };
    Picture expected(Format);
    Picture drawn(Format);
    qint64 drawnMs = 0;
    for (const Author &author : authors) {
        if (drawnMs > 0) // the next edit must come in a later millisecond than the moment
            QVERIFY(QTest::qWaitFor([&] { return QDateTime::currentMSecsSinceEpoch() > drawnMs; }));
        ServerClient client;
        QVERIFY(client.connectTo(author.server->port(),
                                 QHostAddress(QString::fromLatin1(author.address))));
        for (const QByteArray &edit : author.edits)
            client.send(edit);
        QVERIFY(applyAll(&expected, author.edits));
        // Both windows show the author's edits: Redis applied them before the next author's.
        for (size_t i = 0; i < windows.size(); ++i)
            QVERIFY(relaysLeadTo(windows[i].get(), &shown[i], expected));
        if (drawnMs == 0) {
            drawn = expected;
            drawnMs = QDateTime::currentMSecsSinceEpoch();
        }
    }

    ServerProcess tool(QStringLiteral(CELVANE_SERVER_PATH));
    const QStringList redis{QStringLiteral("--redis"), m_redis->address()};
    QCOMPARE(tool.runToExit(QStringList{QStringLiteral("history")} + redis), 0);
    const QList<QByteArray> lines = tool.process().readAllStandardOutput().split('\n');
    // A heading, the three authors oldest first and the windows, which made no edits, not at all.
    QCOMPARE(lines.size(), 6);
    QVERIFY2(lines.at(0).trimmed().startsWith("CONN  ADDRESS "), lines.join("\n").constData());
    for (int i = 0; i < 3; ++i) {
        QVERIFY2(lines.at(i + 1).contains(" " + QByteArray(authors.at(i).address) + " "),
                 lines.at(i + 1).constData());
        QVERIFY(
            lines.at(i + 1).contains(" " + QByteArray::number(authors.at(i).edits.size()) + "  "));
    }
    QVERIFY(lines.at(4).startsWith("total: 9 edits from 3 connections, "));

    // Back to the drawing everywhere, but for the repaired cell.
    Picture reverted = drawn;
    QCOMPARE(
        reverted.apply(Protocol::Command, QByteArrayView(command(Protocol::SetCellCommand, 5, 5, 4))
                                              .sliced(Protocol::HeaderSize)),
        Picture::Applied);
    const QStringList revertVandal =
        QStringList{QStringLiteral("revert")} + redis +
        QStringList{QStringLiteral("--address"), QStringLiteral("127.0.0.3")};
    // Weighed first: nothing reaches the stream, and the vandal's work is named.
    const std::unique_ptr<RedisPictureHistory> before = openHistory();
    QVERIFY(before);
    QCOMPARE(tool.runToExit(revertVandal + QStringList{QStringLiteral("--dry-run")}), 0);
    const QByteArray weighed = tool.process().readAllStandardOutput();
    QVERIFY2(weighed.startsWith("reverted 127.0.0.3 (dry run, nothing changed): 44 cells and 2 "
                                "frame colours would change (through Redis)\n"),
             weighed.constData());
    QVERIFY2(weighed.contains(" 127.0.0.3     44        2"), weighed.constData());
    const std::unique_ptr<RedisPictureHistory> afterWeighing = openHistory();
    QVERIFY(afterWeighing);
    QCOMPARE(afterWeighing->lastSeq(), before->lastSeq());
    QCOMPARE(afterWeighing->pictureAt(afterWeighing->lastSeq()), std::optional<Picture>(expected));

    QCOMPARE(tool.runToExit(revertVandal), 0);
    QCOMPARE(tool.process().readAllStandardOutput(),
             QByteArray("reverted 127.0.0.3: 44 cells and 2 frame colours changed (through "
                        "Redis)\n"));
    for (size_t i = 0; i < windows.size(); ++i)
        QVERIFY(relaysLeadTo(windows[i].get(), &shown[i], reverted));
    QCOMPARE(tool.runToExit(QStringList{QStringLiteral("history")} + redis +
                            QStringList{QStringLiteral("--address"), QStringLiteral("control")}),
             0);
    // Under a connection of its own, with its label.
    const QByteArray actions = tool.process().readAllStandardOutput();
    QVERIFY2(actions.contains("  control  ") && actions.contains("  revert 127.0.0.3 by "),
             actions.constData());

    // The revert was a new edit on top: restoring the drawing's moment undoes the repair too.
    QCOMPARE(tool.runToExit(QStringList{QStringLiteral("restore")} + redis +
                            QStringList{QStringLiteral("--at"), utc(drawnMs)}),
             0);
    QVERIFY(tool.process().readAllStandardOutput().startsWith("restored the picture of "));
    for (size_t i = 0; i < windows.size(); ++i)
        QVERIFY(relaysLeadTo(windows[i].get(), &shown[i], drawn));
    const std::unique_ptr<RedisPictureHistory> history = openHistory();
    QVERIFY(history);
    QCOMPARE(history->pictureAt(history->lastSeq()), std::optional<Picture>(drawn));
}

void tst_ServerRedis::recoveryCommandsWithoutRedis_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("message");
    const QByteArray unreachable("cannot reach Redis at 127.0.0.1:<port>: Connection refused");
    QTest::newRow("history") << QStringList{"history", "--redis", "ADDRESS"} << unreachable;
    QTest::newRow("revert") << QStringList{"revert", "--redis", "ADDRESS", "--address", "127.0.0.3"}
                            << unreachable;
    QTest::newRow("restore") << QStringList{"restore", "--redis", "ADDRESS", "--at", "10m"}
                             << unreachable;
    QTest::newRow("timelapse") << QStringList{"timelapse", "--redis", "ADDRESS", "out.gif"}
                               << unreachable;
    QTest::newRow("FILE as well") << QStringList{"history", "picture.cvp", "--redis", "ADDRESS"}
                                  << QByteArray(
                                         "history takes one FILE (with --redis in place of FILE)");
    QTest::newRow("no port") << QStringList{"restore", "--at", "10m", "--redis", "127.0.0.1"}
                             << QByteArray("--redis needs HOST:PORT, not \"127.0.0.1\"");
    QTest::newRow("empty key") << QStringList{"history", "--redis", "ADDRESS", "--redis-key", ""}
                               << QByteArray("--redis-key needs a name");
    // Every Sentinel is asked in turn before the command gives up.
    const QByteArray refused("127.0.0.1:<port>: Connection refused");
    QTest::newRow("no Sentinel") << QStringList{"history", "--redis-sentinel", "ADDRESS,ADDRESS",
                                                "--redis-master", "celvane"}
                                 << "no Sentinel names the primary of celvane (" + refused + "; " +
                                        refused + ")";
    QTest::newRow("Sentinel without a name")
        << QStringList{"revert", "--redis-sentinel", "ADDRESS", "--address", "127.0.0.3"}
        << QByteArray("--redis-sentinel and --redis-master go together");
    QTest::newRow("a name without Sentinel")
        << QStringList{"history", "--redis-master", "celvane"}
        << QByteArray("--redis-sentinel and --redis-master go together");
    QTest::newRow("server: a name without Sentinel")
        << QStringList{"--redis-master", "celvane"}
        << QByteArray("--redis-sentinel and --redis-master go together");
    QTest::newRow("Redis and Sentinel")
        << QStringList{"history", "--redis",        "ADDRESS", "--redis-sentinel",
                       "ADDRESS", "--redis-master", "celvane"}
        << QByteArray("--redis and --redis-sentinel exclude each "
                      "other");
    QTest::newRow("Sentinel without a port")
        << QStringList{"history", "--redis-sentinel", "ADDRESS,127.0.0.1", "--redis-master", "m"}
        << QByteArray("--redis-sentinel needs HOST:PORT, not \"127.0.0.1\"");
    QTest::newRow("too many replicas")
        << QStringList{"history", "--redis", "ADDRESS", "--redis-replicas", "101"}
        << QByteArray("--redis-replicas needs a number from 0 to 100");
}

void tst_ServerRedis::saysHowRedisKeepsItsData_data()
{
    QTest::addColumn<QStringList>("redisArguments");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("warned");
    QTest::newRow("nothing") << QStringList() << QByteArray("keeps nothing on disk") << true;
    QTest::newRow("append-only file")
        << QStringList{"--appendonly", "yes"}
        << QByteArray("keeps its data on disk (appendonly yes") << false;
    QTest::newRow("snapshots") << QStringList{"--save", "3600 1"}
                               << QByteArray("keeps its data on disk (appendonly no - save 3600 1)")
                               << false;
    QTest::newRow("CONFIG renamed")
        << QStringList{"--rename-command", "CONFIG", ""}
        << QByteArray("does not say how it keeps its data (CONFIG refused)") << false;
}

// One line at start: a warning for a Redis whose restart loses the picture, and no warning for
// one that keeps it or will not say.
void tst_ServerRedis::saysHowRedisKeepsItsData()
{
    QFETCH(QStringList, redisArguments);
    QFETCH(QByteArray, line);
    QFETCH(bool, warned);
    QVERIFY2(m_redis->start(redisArguments), m_redis->failure());
    const std::unique_ptr<ServerProcess> server = startServer();
    QVERIFY(server);
    QTRY_COMPARE(server->countLogLines(line), 1);
    QCOMPARE(server->countLogLines("keeps nothing on disk"), int(warned));
    // The picture is served all the same.
    QVERIFY(connectWithPicture(*server));
}

// Nothing listens on the port: one line saying so, exit status 1, and nothing written.
void tst_ServerRedis::recoveryCommandsWithoutRedis()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, message);
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    const QString address = QStringLiteral("127.0.0.1:%1").arg(port);
    probe.close();
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    ServerProcess tool(QStringLiteral(CELVANE_SERVER_PATH));
    tool.process().setWorkingDirectory(folder.path());
    arguments.replaceInStrings(QStringLiteral("ADDRESS"), address);
    QCOMPARE(tool.runToExit(arguments), 1);
    const QByteArray error = tool.standardError();
    QCOMPARE(error.count('\n'), 1);
    QVERIFY2(
        error.startsWith("celvane-server: " + message.replace("<port>", QByteArray::number(port))),
        error.constData());
    QVERIFY(QDir(folder.path()).isEmpty());
}

// A ban set through Redis closes the vandal's window on whichever server it is connected to and
// undoes its edits everywhere; a lock holds on every server.
void tst_ServerRedis::bansAndLocksReachEveryServer()
{
    QVERIFY2(m_redis->start(), m_redis->failure());
    std::unique_ptr<ServerProcess> first = startServer();
    std::unique_ptr<ServerProcess> second = startServer();
    QVERIFY(first && second);
    ServerClient window, drawer, vandal;
    QVERIFY(window.connectTo(first->port(), QHostAddress(QStringLiteral("127.0.0.5"))));
    QVERIFY(drawer.connectTo(second->port(), QHostAddress(QStringLiteral("127.0.0.2"))));
    QVERIFY(vandal.connectTo(second->port(), QHostAddress(QStringLiteral("127.0.0.3"))));
    std::optional<Picture> shown = window.fetchPicture();
    QVERIFY(shown && drawer.fetchPicture() && vandal.fetchPicture());
    const Picture empty = *shown;
    Picture drawn = empty;
    const QByteArray drawing = row(1, QByteArray(Columns, char(2)));
    drawer.send(drawing);
    QVERIFY(applyAll(&drawn, {drawing}));
    QVERIFY(relaysLeadTo(&window, &*shown, drawn));
    Picture vandalised = drawn;
    const QList<QByteArray> damage{command(Protocol::ClearCommand, 0, 0, 0),
                                   command(Protocol::SetCellCommand, 3, 3, 5)};
    for (const QByteArray &edit : damage)
        vandal.send(edit);
    QVERIFY(applyAll(&vandalised, damage));
    QVERIFY(relaysLeadTo(&window, &*shown, vandalised));

    ServerProcess tool(QStringLiteral(CELVANE_SERVER_PATH));
    const QStringList redis{QStringLiteral("--redis"), m_redis->address()};
    QCOMPARE(tool.runToExit(QStringList{"ban"} + redis +
                            QStringList{"--address", "127.0.0.3", "--revert"}),
             0);
    QVERIFY(tool.process().readAllStandardOutput().startsWith(
        "banned 127.0.0.3 until lifted; reverted its edits: "));
    QVERIFY(vandal.waitForDisconnected());
    QVERIFY(relaysLeadTo(&window, &*shown, drawn));
    QVERIFY(drawer.isConnected());
    // The revert under a connection of its own, labelled in NAME:labels like any repair.
    QCOMPARE(tool.runToExit(QStringList{"history"} + redis + QStringList{"--address", "control"}),
             0);
    const QByteArray actions = tool.process().readAllStandardOutput();
    QVERIFY2(actions.contains("  ban 127.0.0.3 by "), actions.constData());

    QCOMPARE(tool.runToExit(QStringList{"lock"} + redis + QStringList{"--area", "0,0,5,5"}), 0);
    for (ServerProcess *server : {first.get(), second.get()})
        QTRY_COMPARE(server->countLogLines("now 1 bans and 1 locks in force"), 1);
    drawer.send(command(Protocol::SetCellCommand, 1, 1, 6));
    drawer.send(command(Protocol::SetCellCommand, 10, 10, 6));
    QCOMPARE(window.waitForRelays(1),
             QList<QByteArray>({command(Protocol::SetCellCommand, 10, 10, 6)}));
    QCOMPARE(tool.runToExit(QStringList{"locks"} + redis), 0);
    QVERIFY(tool.process().readAllStandardOutput().startsWith("area 0,0,5,5  by "));
}

QTEST_GUILESS_MAIN(tst_ServerRedis)
#include "tst_serverredis.moc"
