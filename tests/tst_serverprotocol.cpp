#include "connection/protocol.h"
#include "model/canvasformat.h"
#include "server/clientsession.h"
#include "tests/support/serverclient.h"
#include "tests/support/serverprocess.h"

#include <QtTest>

// The real server program, spoken to over loopback exactly as a client would.
class tst_ServerProtocol : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void helloGetsWholePicture_data();
    void helloGetsWholePicture();
    void everyHelloIsAnswered();
    void editsChangeExactlyTheirCells_data();
    void editsChangeExactlyTheirCells();
    void laterClientsSeeEarlierEdits();
    void editsReachOtherClientsAsRelaysOnly();
    void versionAndHelp();
};

void tst_ServerProtocol::helloGetsWholePicture_data()
{
    QTest::addColumn<int>("formatNumber");
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<int>("size");
    QTest::newRow("format 0") << 0 << QByteArray::fromHex("0200ec0300000001") << 1008;
    QTest::newRow("format 1") << 1 << QByteArray::fromHex("0200d40701000001") << 2008;
    QTest::newRow("format 2") << 2 << QByteArray::fromHex("0200fe0102000001") << 514;
    QTest::newRow("format 3") << 3 << QByteArray::fromHex("0200ec0303000001") << 1008;
}

void tst_ServerProtocol::helloGetsWholePicture()
{
    QFETCH(int, formatNumber);
    QFETCH(QByteArray, header);
    QFETCH(int, size);

    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start({QStringLiteral("--format"), QString::number(formatNumber)}),
             server.failure());
    ServerClient client;
    QVERIFY(client.connectTo(server.port()));
    // The eight bytes exactly as the client writes them.
    client.send(QByteArray::fromHex("0100040003000000"));
    const auto update = client.waitForUpdate();
    QVERIFY(update);
    QCOMPARE(update->size(), size);
    QCOMPARE(update->left(8), header);
    QCOMPARE(update->mid(8), QByteArray(size - 8, char(EmptyCell)));

    // Nothing else follows: the next thing to arrive is the answer to a later Hello, which alone
    // shows the cell set just before it.
    client.send(Protocol::encodeCommand(Protocol::SetCellCommand, 0, 0, 1) +
                Protocol::encodeHello());
    const auto marker = client.waitForUpdate();
    QVERIFY(marker);
    QCOMPARE(marker->at(8), char(1));
    QCOMPARE(marker->mid(9), update->mid(9));
    QCOMPARE(client.pendingBytes(), 0);
}

void tst_ServerProtocol::everyHelloIsAnswered()
{
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start({QStringLiteral("--format"), QStringLiteral("2")}), server.failure());
    ServerClient client;
    QVERIFY(client.connectTo(server.port()));

    // Three Hellos in one write, an edit between the second and the third. The first is
    // answered at once; the other two together by one Update an interval later, which shows the
    // picture as it stands by then.
    QElapsedTimer clock;
    clock.start();
    client.send(Protocol::encodeHello() + Protocol::encodeHello() +
                Protocol::encodeCommand(Protocol::SetCellCommand, 1, 2, 3) +
                Protocol::encodeHello());
    const auto first = client.waitForUpdate();
    const auto second = client.waitForUpdate();
    QVERIFY(first && second);
    QVERIFY2(clock.elapsed() >= ClientSession::Limits().updateIntervalMs,
             QByteArray::number(clock.elapsed()));
    QCOMPARE(first->at(8 + 2 * 22 + 1), char(EmptyCell));
    QCOMPARE(second->at(8 + 2 * 22 + 1), char(3));
    QCOMPARE(second->size(), 514);
    // Nothing more is owed: the next Hello gets the next Update, and no other comes with it.
    QVERIFY(client.fetchPicture());
    QCOMPARE(client.updatesReceived(), 0);
    QCOMPARE(client.pendingBytes(), 0);
}

void tst_ServerProtocol::editsChangeExactlyTheirCells_data()
{
    QTest::addColumn<int>("formatNumber");
    QTest::addColumn<QByteArray>("edit");
    // Offsets into the Update message (header included) and the bytes expected there; every
    // other byte must be unchanged.
    QTest::addColumn<QList<int>>("offsets");
    QTest::addColumn<QByteArray>("values");

    auto cellOffset = [](int columns, int x, int y) {
        return 8 + y * columns + x;
    };

    QTest::newRow("set cell (5, 7) in format 3")
        << 3 << QByteArray::fromHex("0300040002050709") << QList<int>{cellOffset(40, 5, 7)}
        << QByteArray("\x09", 1);
    QTest::newRow("erase cell is stored as 255 too")
        << 0 << QByteArray::fromHex("03000400020507ff") << QList<int>{} << QByteArray();
    QTest::newRow("last cell of format 1")
        << 1 << QByteArray::fromHex("03000400024f1801") << QList<int>{cellOffset(80, 79, 24)}
        << QByteArray("\x01", 1);
    QTest::newRow("set colours") << 3 << QByteArray::fromHex("0300040001020d00") << QList<int>{5, 6}
                                 << QByteArray("\x02\x0d", 2);
    QTest::newRow("row 3 of format 2, 22 cells")
        << 2 << QByteArray::fromHex("04001a0003160000") + QByteArray(22, 5) <<
        [] {
            QList<int> o;
            for (int x = 0; x < 22; ++x)
                o.append(8 + 3 * 22 + x);
            return o;
        }()
        << QByteArray(22, 5);
    QTest::newRow("short row changes only its cells")
        << 3 << QByteArray::fromHex("0400070018030000") + QByteArray("\x01\x02\x03", 3)
        << QList<int>{cellOffset(40, 0, 24), cellOffset(40, 1, 24), cellOffset(40, 2, 24)}
        << QByteArray("\x01\x02\x03", 3);
}

void tst_ServerProtocol::editsChangeExactlyTheirCells()
{
    QFETCH(int, formatNumber);
    QFETCH(QByteArray, edit);
    QFETCH(QList<int>, offsets);
    QFETCH(QByteArray, values);

    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start({QStringLiteral("--format"), QString::number(formatNumber)}),
             server.failure());
    ServerClient client;
    QVERIFY(client.connectTo(server.port()));
    client.send(Protocol::encodeHello());
    const auto before = client.waitForUpdate();
    QVERIFY(before);

    client.send(edit + Protocol::encodeHello());
    const auto after = client.waitForUpdate();
    QVERIFY(after);

    QByteArray expected = *before;
    for (int i = 0; i < offsets.size(); ++i)
        expected[offsets.at(i)] = values.at(i);
    QCOMPARE(after->toHex(), expected.toHex());
}

void tst_ServerProtocol::laterClientsSeeEarlierEdits()
{
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start(), server.failure());

    {
        ServerClient first;
        QVERIFY(first.connectTo(server.port()));
        first.send(Protocol::encodeHello());
        QVERIFY(first.waitForUpdate());
        first.send(Protocol::encodeCommand(Protocol::SetCellCommand, 0, 0, 1));
        first.send(Protocol::encodeCommand(Protocol::SetColorsCommand, 14, 6, 0));
        const quint8 row[40] = {2, 3, 4};
        first.send(Protocol::encodeRowData(10, 40, row));
        // Wait until the server has read everything before leaving.
        QVERIFY(first.fetchPicture());
    }

    ServerClient second;
    QVERIFY(second.connectTo(server.port()));
    second.send(Protocol::encodeCommand(Protocol::SetCellCommand, 39, 24, 15));
    const auto seenBySecond = second.fetchPicture();
    QVERIFY(seenBySecond);

    ServerClient third;
    QVERIFY(third.connectTo(server.port()));
    const auto picture = third.fetchPicture();
    QVERIFY(picture);
    QVERIFY(*picture == *seenBySecond);
    QCOMPARE(picture->cell(0, 0), quint8(1));
    QCOMPARE(picture->border(), quint8(14));
    QCOMPARE(picture->background(), quint8(6));
    QCOMPARE(picture->cell(0, 10), quint8(2));
    QCOMPARE(picture->cell(2, 10), quint8(4));
    QCOMPARE(picture->cell(3, 10), quint8(0));
    QCOMPARE(picture->cell(39, 24), quint8(15));
    QCOMPARE(picture->cell(1, 1), quint8(EmptyCell));

    // A clear from a later client empties what the earlier ones drew; frame colours stay.
    third.send(Protocol::encodeCommand(Protocol::ClearCommand, 0, 0, 0));
    const auto cleared = third.fetchPicture();
    QVERIFY(cleared);
    QCOMPARE(cleared->cells(), QByteArray(1000, char(EmptyCell)));
    QCOMPARE(cleared->border(), quint8(14));
}

void tst_ServerProtocol::editsReachOtherClientsAsRelaysOnly()
{
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start(), server.failure());
    ServerClient watcher;
    QVERIFY(watcher.connectTo(server.port()));
    QVERIFY(watcher.fetchPicture());

    ServerClient editor;
    QVERIFY(editor.connectTo(server.port()));
    editor.send(Protocol::encodeCommand(Protocol::SetCellCommand, 4, 4, 4));
    QVERIFY(editor.fetchPicture());
    editor.send(Protocol::encodeCommand(Protocol::SetCellCommand, 5, 5, 5));
    QVERIFY(editor.fetchPicture());

    // The edits come as themselves, in the order applied, never as an Update the watcher did not
    // ask for.
    const auto relays = watcher.waitForRelays(2);
    QVERIFY(relays);
    QCOMPARE(*relays,
             (QList<QByteArray>{Protocol::encodeCommand(Protocol::SetCellCommand, 4, 4, 4),
                                Protocol::encodeCommand(Protocol::SetCellCommand, 5, 5, 5)}));
    QCOMPARE(watcher.pendingBytes(), 0);
    const auto picture = watcher.fetchPicture();
    QVERIFY(picture);
    QCOMPARE(picture->cell(4, 4), quint8(4));
    QCOMPARE(picture->cell(5, 5), quint8(5));
    QCOMPARE(watcher.pendingBytes(), 0);
}

void tst_ServerProtocol::versionAndHelp()
{
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QCOMPARE(server.runToExit({QStringLiteral("--version")}), 0);
    QVERIFY(server.process().readAllStandardOutput().contains(CELVANE_VERSION));
    QCOMPARE(server.runToExit({QStringLiteral("--help")}), 0);
    const QByteArray help = server.process().readAllStandardOutput();
    for (const char *option :
         {"--listen", "--port", "--format", "--picture", "--export-png", "--max-clients",
          "--verbose", "shared live", "--redis", "--redis-key", "--redis-password-file"})
        QVERIFY2(help.contains(option), option);

    QCOMPARE(server.runToExit({QStringLiteral("--format"), QStringLiteral("4")}), 1);
    QVERIFY(server.standardError().contains("--format"));
    QCOMPARE(server.runToExit({QStringLiteral("--listen"), QStringLiteral("localhost")}), 1);
    QCOMPARE(server.runToExit({QStringLiteral("--port"), QStringLiteral("70000")}), 1);
}

QTEST_GUILESS_MAIN(tst_ServerProtocol)
#include "tst_serverprotocol.moc"
