// The relay path of the server class, in this process so that the sanitizers watch its memory:
// hundreds of clients each get every relay in order; a client that stops reading is held in the
// server's own queue, then either catches up with every byte in order or is dropped at the queue
// limit while the others go on; and peers that reset in the middle of a pass over every client
// are removed after it, with nothing freed under the pass; and limits changed on the running server
// close exactly the clients they no longer admit, while the rest see every relay.

#include "connection/protocol.h"
#include "server/pictureserver.h"
#include "tests/support/serverclient.h"
#include "tests/support/testsupport.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QtTest>

#include <sys/socket.h>

#include <memory>
#include <vector>

namespace {

QByteArray setCell(int x, int y, int value)
{
    return Protocol::encodeCommand(Protocol::SetCellCommand, quint8(x), quint8(y), quint8(value));
}

// A whole row of format 3, which the server relays as it came.
QByteArray fullRow(int y, int value)
{
    const QByteArray cells(40, char(value));
    return Protocol::encodeRowData(quint8(y), 40,
                                   reinterpret_cast<const quint8 *>(cells.constData()));
}

QList<QByteArray> messagesOf(QByteArrayView stream)
{
    QList<QByteArray> messages;
    while (stream.size() >= Protocol::HeaderSize) {
        const qsizetype size = Protocol::HeaderSize + Protocol::decodeHeader(stream.data()).length;
        messages.append(stream.first(size).toByteArray());
        stream = stream.sliced(size);
    }
    return messages;
}

std::unique_ptr<PictureServer> startServer()
{
    auto server = std::make_unique<PictureServer>(Picture(3));
    server->setMaxPerAddress(1000);
    server->setMaxClients(1000);
    if (!server->listen(QHostAddress(QHostAddress::LocalHost), 0))
        return nullptr;
    return server;
}

} // namespace

class tst_ServerFanOut : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void everyClientGetsEveryRelayInOrder();
    void clientThatStopsReading_data();
    void clientThatStopsReading();
    void peersResetDuringAPass_data();
    void peersResetDuringAPass();
    void changedLimitsCloseOnlyThoseBeyond_data();
    void changedLimitsCloseOnlyThoseBeyond();
};

void tst_ServerFanOut::everyClientGetsEveryRelayInOrder()
{
    const auto server = startServer();
    QVERIFY(server);
    constexpr int Clients = 300;
    std::vector<std::unique_ptr<ServerClient>> clients;
    for (int i = 0; i < Clients; ++i) {
        clients.push_back(std::make_unique<ServerClient>());
        QVERIFY(clients.back()->connectTo(server->serverPort()));
        QVERIFY(clients.back()->fetchPicture());
    }

    // Three editors, in bursts of different sizes, so that passes carry one relay or many.
    QList<QByteArray> sent;
    int edits = 0;
    for (int burst = 0; burst < 30; ++burst) {
        ServerClient &editor = *clients[std::size_t(burst % 3) * 100];
        QByteArray bytes;
        for (int i = 0; i <= burst % 7; ++i, ++edits) {
            const QByteArray edit = edits % 5 == 4 ? fullRow(edits % 25, edits % 16)
                                                   : setCell(edits % 40, 0, edits % 16);
            bytes += edit;
            sent.append(edit);
        }
        editor.send(bytes);
        QVERIFY(editor.waitForRelays(0)); // let the server run between bursts
        QVERIFY(
            TestSupport::waitUntil([&] { return server->counters().applied == quint64(edits); }));
    }
    for (auto &client : clients) {
        const auto relays = client->waitForRelays(int(sent.size()));
        QVERIFY(relays);
        QCOMPARE(*relays, sent);
        QCOMPARE(client->relaysReceived(), 0);
    }
    QCOMPARE(server->counters().relayed, quint64(Clients) * quint64(sent.size()));
    QCOMPARE(server->clientCount(), Clients);
}

void tst_ServerFanOut::clientThatStopsReading_data()
{
    QTest::addColumn<bool>("readsAgain");
    QTest::newRow("reads again") << true;
    QTest::newRow("never reads again") << false;
}

// The stalled client takes its Update and then nothing: its kernel buffers fill, then the
// server's queue. Meanwhile the editor and a reader get every relay.
void tst_ServerFanOut::clientThatStopsReading()
{
    QFETCH(bool, readsAgain);

    const auto server = startServer();
    QVERIFY(server);
    if (readsAgain)
        server->setMaxQueuedOutput(qint64(64) << 20);

    ServerClient reader;
    QVERIFY(reader.connectTo(server->serverPort()));
    reader.send(Protocol::encodeHello());
    const auto update = reader.waitForUpdate();
    QVERIFY(update);

    QTcpSocket stalled;
    stalled.setReadBufferSize(1);
    stalled.connectToHost(QHostAddress(QHostAddress::LocalHost), server->serverPort());
    QVERIFY(stalled.waitForConnected(5000));
    stalled.write(Protocol::encodeHello());
    stalled.flush();
    QVERIFY(TestSupport::waitUntil([&] { return stalled.bytesAvailable() > 0; }));

    ServerClient editor;
    QVERIFY(editor.connectTo(server->serverPort()));
    QVERIFY(editor.fetchPicture());

    QByteArray rows;
    for (int i = 0; i < 1000; ++i)
        rows += fullRow(i % 25, i % 16);
    const QList<QByteArray> roundRelays = messagesOf(rows);
    QByteArray relayed;
    bool held = false;
    for (int round = 0; round < 300 && server->clientCount() == 3; ++round) {
        editor.send(rows);
        QCOMPARE(*editor.waitForRelays(1000), roundRelays);
        QCOMPARE(*reader.waitForRelays(1000), roundRelays);
        relayed += rows;
        if (server->clientCount() == 3 && server->largestQueuedOutput() > 0) {
            held = true;
            if (readsAgain)
                break;
        }
    }
    QVERIFY(held);

    if (readsAgain) {
        QCOMPARE(server->clientCount(), 3);
        // Everything arrives, once and in order: the Update, then every relay.
        stalled.setReadBufferSize(0);
        QByteArray received;
        const QByteArray expected = *update + relayed;
        QVERIFY(TestSupport::waitUntil(
            [&] { return (received += stalled.readAll()).size() >= expected.size(); }, 20000));
        QCOMPARE(received.size(), expected.size());
        QVERIFY(received == expected);
        QTRY_COMPARE(server->largestQueuedOutput(), 0);
        QCOMPARE(server->counters().clientsDropped, quint64(0));
    } else {
        QCOMPARE(server->clientCount(), 2);
        QCOMPARE(server->counters().clientsDropped, quint64(1));
    }
    // The others go on.
    editor.send(setCell(1, 2, 3));
    QCOMPARE(*reader.waitForRelays(1), QList<QByteArray>{setCell(1, 2, 3)});
    QCOMPARE(*editor.waitForRelays(1), QList<QByteArray>{setCell(1, 2, 3)});
}

void tst_ServerFanOut::peersResetDuringAPass_data()
{
    QTest::addColumn<int>("holders");
    QTest::addColumn<int>("resets");
    QTest::newRow("one of twelve") << 12 << 1;
    QTest::newRow("five of twelve") << 12 << 5;
    QTest::newRow("all twelve") << 12 << 12;
}

// The edit and the newcomer's Hello reach the server before the resets, and all in one turn of
// its loop: the Hello's Update sends the edit's relay first, in a pass whose writes to the reset
// peers fail. Those are removed after the pass; their own events, later in the same turn, find
// them gone but not yet freed.
void tst_ServerFanOut::peersResetDuringAPass()
{
    QFETCH(int, holders);
    QFETCH(int, resets);

    const auto server = startServer();
    QVERIFY(server);
    std::vector<std::unique_ptr<ServerClient>> clients;
    for (int i = 0; i < holders; ++i) {
        clients.push_back(std::make_unique<ServerClient>());
        QVERIFY(clients.back()->connectTo(server->serverPort()));
        QVERIFY(clients.back()->fetchPicture());
    }
    ServerClient editor;
    QVERIFY(editor.connectTo(server->serverPort()));
    QVERIFY(editor.fetchPicture());
    ServerClient newcomer;
    QVERIFY(newcomer.connectTo(server->serverPort()));
    QTRY_COMPARE(server->clientCount(), holders + 2);

    const QByteArray edit = setCell(7, 7, 7);
    editor.send(edit);
    newcomer.send(Protocol::encodeHello());
    for (int i = 0; i < resets; ++i) {
        const linger hard{1, 0};
        ::setsockopt(int(clients[std::size_t(i)]->socket().socketDescriptor()), SOL_SOCKET,
                     SO_LINGER, &hard, sizeof hard);
        clients[std::size_t(i)]->disconnectNow();
    }

    const auto update = newcomer.waitForUpdate();
    QVERIFY(update);
    QCOMPARE(ServerClient::toPicture(*update)->cell(7, 7), quint8(7));
    QTRY_COMPARE(server->clientCount(), holders - resets + 2);
    QCOMPARE(*editor.waitForRelays(1), QList<QByteArray>{edit});
    for (int i = resets; i < holders; ++i)
        QCOMPARE(*clients[std::size_t(i)]->waitForRelays(1), QList<QByteArray>{edit});

    // The server goes on as before, the newcomer now among those that get relays.
    const QByteArray next = setCell(8, 8, 8);
    editor.send(next);
    QCOMPARE(*newcomer.waitForRelays(1), QList<QByteArray>{next});
    for (int i = resets; i < holders; ++i)
        QCOMPARE(*clients[std::size_t(i)]->waitForRelays(1), QList<QByteArray>{next});
    QCOMPARE(server->counters().clientsDropped, quint64(0));
}

void tst_ServerFanOut::changedLimitsCloseOnlyThoseBeyond_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QList<int>>("from");   // each client's address, 127.0.0.N, as they connect
    QTest::addColumn<QList<int>>("closed"); // the clients the change closes

    QTest::newRow("allow list without one address")
        << "allow 127.0.0.2/32 127.0.0.4/32" << QList<int>{2, 3, 4} << QList<int>{1};
    QTest::newRow("allow list without one address, two clients from it")
        << "allow 127.0.0.2 127.0.0.4" << QList<int>{3, 2, 4, 3} << QList<int>{0, 3};
    QTest::newRow("allow list of a subnet that still holds every one")
        << "allow 127.0.0.0/29" << QList<int>{2, 3, 4} << QList<int>{};
    QTest::newRow("per address, lowered to one")
        << "per-address 1" << QList<int>{2, 2, 3, 2, 4, 3} << QList<int>{1, 3, 5};
    QTest::newRow("per address, lowered to two")
        << "per-address 2" << QList<int>{2, 2, 3, 2, 2} << QList<int>{3, 4};
    QTest::newRow("in all, lowered to two") << "clients 2" << QList<int>{2, 3, 4} << QList<int>{2};
    QTest::newRow("in all, at the number served")
        << "clients 3" << QList<int>{4, 3, 2} << QList<int>{};
}

// The first client edits before and after the change: every client that stays gets both
// relays, byte for byte, and nothing else; those closed are closed, not dropped.
void tst_ServerFanOut::changedLimitsCloseOnlyThoseBeyond()
{
    QFETCH(QString, change);
    QFETCH(QList<int>, from);
    QFETCH(QList<int>, closed);

    const auto server = startServer();
    QVERIFY(server);
    server->setMaxPerAddress(4);
    std::vector<std::unique_ptr<ServerClient>> clients;
    for (int last : from) {
        clients.push_back(std::make_unique<ServerClient>());
        const QHostAddress address(QStringLiteral("127.0.0.%1").arg(last));
        QVERIFY(clients.back()->connectTo(server->serverPort(), address));
        QVERIFY(clients.back()->fetchPicture());
    }
    QCOMPARE(server->clientCount(), int(from.size()));

    const QByteArray before = setCell(1, 1, 1);
    const QByteArray after = fullRow(2, 2);
    int editor = 0;
    while (closed.contains(editor))
        ++editor;
    clients[std::size_t(editor)]->send(before);
    QVERIFY(QTest::qWaitFor([&] { return server->counters().applied == 1; }));

    const QStringList words = change.split(QLatin1Char(' '));
    if (words.first() == "allow") {
        QList<QPair<QHostAddress, int>> subnets;
        for (const QString &subnet : words.mid(1))
            subnets.append(QHostAddress::parseSubnet(subnet));
        server->setAllowed(subnets);
    } else if (words.first() == "per-address") {
        server->setMaxPerAddress(words.at(1).toInt());
    } else {
        server->setMaxClients(words.at(1).toInt());
    }
    QCOMPARE(server->clientCount(), int(from.size() - closed.size()));
    clients[std::size_t(editor)]->send(after);

    for (int i = 0; i < int(from.size()); ++i) {
        ServerClient &client = *clients[std::size_t(i)];
        if (closed.contains(i)) {
            QVERIFY2(client.waitForDisconnected(), qPrintable(QString::number(i)));
            continue;
        }
        const auto relays = client.waitForRelays(2);
        QVERIFY2(relays, qPrintable(QString::number(i)));
        QCOMPARE(*relays, (QList<QByteArray>{before, after}));
        QVERIFY(client.isConnected());
    }
    QCOMPARE(server->counters().clientsDropped, quint64(0));
    QCOMPARE(server->counters().relayed,
             quint64(from.size()) + quint64(from.size() - closed.size()));
}

QTEST_GUILESS_MAIN(tst_ServerFanOut)
#include "tst_serverfanout.moc"
