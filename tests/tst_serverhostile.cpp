#include "connection/protocol.h"
#include "model/canvasformat.h"
#include "server/pictureserver.h"
#include "tests/support/serverclient.h"
#include "tests/support/serverprocess.h"

#include <QRandomGenerator>
#include <QtTest>

namespace {

QByteArray header(quint8 kind, quint16 length)
{
    QByteArray out;
    out.append(char(kind));
    out.append(char(0));
    out.append(char(length & 0xff));
    out.append(char(length >> 8));
    return out;
}

QByteArray message(quint8 kind, const QByteArray &payload)
{
    return header(kind, quint16(payload.size())) + payload;
}

QByteArray setCell(quint8 x, quint8 y, quint8 value)
{
    return Protocol::encodeCommand(Protocol::SetCellCommand, x, y, value);
}

QByteArray rowData(quint8 row, quint8 count, int cells, quint8 value)
{
    QByteArray payload;
    payload.append(char(row));
    payload.append(char(count));
    payload.append(2, char(0));
    payload.append(cells, char(value));
    return message(Protocol::RowData, payload);
}

} // namespace

// Clients that do everything wrong, against the real server program (and, where the server's
// insides must be watched, against the server class in this process). The well-behaved clients
// around them must notice nothing.
class tst_ServerHostile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void byteByByte();
    void splitAtEveryBoundary();
    void unusableMessagesAreRefusedAndCounted_data();
    void unusableMessagesAreRefusedAndCounted();
    void oversizedLengthHoldsOneMessageAtMost();
    void floodOfLargestMessagesStaysBounded();
    void clientThatNeverReadsIsDropped();
    void disconnectMidMessage();
    void tooManyClients();
    void wellBehavedEditsSurviveHostileNeighbours();
};

void tst_ServerHostile::byteByByte()
{
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start({QStringLiteral("--format"), QStringLiteral("1")}), server.failure());
    ServerClient client;
    QVERIFY(client.connectTo(server.port()));

    const QByteArray stream = Protocol::encodeHello() + setCell(79, 24, 1) + rowData(2, 80, 80, 0) +
                              Protocol::encodeCommand(Protocol::SetColorsCommand, 1, 0, 0) +
                              Protocol::encodeHello();
    for (char byte : stream) {
        client.send(QByteArrayView(&byte, 1));
        // Let each byte travel on its own.
        QTest::qWait(1);
    }

    const auto first = client.waitForUpdate();
    const auto second = client.waitForUpdate();
    QVERIFY(first && second);
    QCOMPARE(*first, Picture(1).encodeUpdate());
    const auto picture = ServerClient::toPicture(*second);
    QVERIFY(picture);
    QCOMPARE(picture->cell(79, 24), quint8(1));
    QCOMPARE(picture->cells().mid(2 * 80, 80), QByteArray(80, 0));
    QCOMPARE(picture->cell(0, 1), quint8(EmptyCell));
    QCOMPARE(picture->cell(0, 3), quint8(EmptyCell));
    QCOMPARE(picture->border(), quint8(1));
    QCOMPARE(server.countLogLines("refused a message"), 0);
}

void tst_ServerHostile::splitAtEveryBoundary()
{
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start({QStringLiteral("--format"), QStringLiteral("2")}), server.failure());
    ServerClient client;
    QVERIFY(client.connectTo(server.port()));

    // A row and a Hello, cut in two at every position; each round writes other values.
    for (int cut = 1; cut < 30 + 8; ++cut) {
        const quint8 value = quint8(cut % 8);
        const QByteArray stream =
            rowData(quint8(cut % 23), 22, 22, value) + Protocol::encodeHello();
        client.send(stream.left(cut));
        QTest::qWait(5);
        client.send(stream.mid(cut));
        const auto update = client.waitForUpdate();
        QVERIFY2(update, qPrintable(QStringLiteral("no answer with the cut at %1").arg(cut)));
        const auto picture = ServerClient::toPicture(*update);
        QVERIFY(picture);
        QCOMPARE(picture->cells().mid((cut % 23) * 22, 22), QByteArray(22, char(value)));
    }
    QCOMPARE(server.countLogLines("refused a message"), 0);
}

void tst_ServerHostile::unusableMessagesAreRefusedAndCounted_data()
{
    QTest::addColumn<int>("formatNumber");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("kind 0, empty") << 3 << header(0, 0);
    QTest::newRow("kind 2, an Update") << 3 << Picture(3).encodeUpdate();
    QTest::newRow("kind 5") << 3 << message(5, "abc");
    QTest::newRow("kind 255, 300 bytes") << 3 << message(255, QByteArray(300, 'x'));
    QTest::newRow("kind 255 shaped like a clear") << 3 << message(255, QByteArray(4, 0));
    QTest::newRow("opcode 3") << 3 << Protocol::encodeCommand(3, 1, 1, 1);
    QTest::newRow("opcode 255") << 3 << Protocol::encodeCommand(255, 0, 0, 0);
    QTest::newRow("command of 5 bytes") << 3 << message(Protocol::Command, QByteArray(5, 0));
    QTest::newRow("command of 0 bytes") << 3 << header(Protocol::Command, 0);
    QTest::newRow("cell column 40") << 3 << setCell(40, 0, 1);
    QTest::newRow("cell row 25") << 3 << setCell(0, 25, 1);
    QTest::newRow("cell (255, 255)") << 0 << setCell(255, 255, 1);
    QTest::newRow("cell column 22 of format 2") << 2 << setCell(22, 0, 1);
    QTest::newRow("cell row 23 of format 2") << 2 << setCell(0, 23, 1);
    QTest::newRow("row 25") << 3 << rowData(25, 40, 40, 1);
    QTest::newRow("row 23 of format 2") << 2 << rowData(23, 22, 22, 1);
    QTest::newRow("row of 41 cells") << 3 << rowData(0, 41, 41, 1);
    QTest::newRow("row of 81 cells in format 1") << 1 << rowData(0, 81, 81, 1);
    QTest::newRow("row count above its length") << 3 << rowData(0, 40, 20, 1);
    QTest::newRow("row count below its length") << 3 << rowData(0, 2, 40, 1);
    QTest::newRow("row of 2 bytes") << 3 << message(Protocol::RowData, QByteArray(2, 0));
}

void tst_ServerHostile::unusableMessagesAreRefusedAndCounted()
{
    QFETCH(int, formatNumber);
    QFETCH(QByteArray, bytes);

    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start({QStringLiteral("--format"), QString::number(formatNumber)}),
             server.failure());
    ServerClient client;
    QVERIFY(client.connectTo(server.port()));
    const auto before = client.fetchPicture();
    QVERIFY(before);

    // The refused message sits between two good edits; both are applied, it is not, and the
    // client stays connected.
    client.send(setCell(0, 0, 1) + bytes + setCell(1, 0, 0));
    const auto after = client.fetchPicture();
    QVERIFY(after);
    Picture expected = *before;
    expected.setCell(0, 0, 1);
    expected.setCell(1, 0, 0);
    QCOMPARE(after->cells().toHex(), expected.cells().toHex());
    QCOMPARE(after->border(), before->border());
    QCOMPARE(after->background(), before->background());
    QVERIFY(client.isConnected());
    QTRY_COMPARE(server.countLogLines("refused a message"), 1);
}

void tst_ServerHostile::oversizedLengthHoldsOneMessageAtMost()
{
    PictureServer server(Picture(3));
    QVERIFY(server.listen(QHostAddress(QHostAddress::LocalHost), 0));

    ServerClient hostile;
    QVERIFY(hostile.connectTo(server.serverPort()));
    // The largest length there is, and one byte short of it.
    hostile.send(header(9, 0xffff) + QByteArray(0xffff - 1, 'x'));
    QTRY_COMPARE(server.largestBufferedInput(), qint64(Protocol::MaxMessageSize - 1));
    QVERIFY(server.largestBufferedInput() <= Protocol::MaxMessageSize);

    ServerClient neighbour;
    QVERIFY(neighbour.connectTo(server.serverPort()));
    neighbour.send(setCell(3, 3, 3));
    const auto picture = neighbour.fetchPicture();
    QVERIFY(picture);
    QCOMPARE(picture->cell(3, 3), quint8(3));

    // The last byte completes it: refused, and the buffer is empty again.
    hostile.send("x");
    QTRY_COMPARE(server.counters().refused, quint64(1));
    QCOMPARE(server.largestBufferedInput(), qint64(0));
    QVERIFY(hostile.fetchPicture());
    QCOMPARE(server.clientCount(), 2);
}

void tst_ServerHostile::floodOfLargestMessagesStaysBounded()
{
    PictureServer server(Picture(3));
    QVERIFY(server.listen(QHostAddress(QHostAddress::LocalHost), 0));
    ServerClient hostile;
    QVERIFY(hostile.connectTo(server.serverPort()));

    constexpr int Count = 64;
    const QByteArray largest = header(7, 0xffff) + QByteArray(0xffff, 'z');
    QByteArray flood;
    for (int i = 0; i < Count; ++i)
        flood += largest;
    hostile.socket().write(flood);

    // The server's own buffers never hold more than one message in its reader and one in the
    // socket, however much the peer has sent.
    qint64 largestSeen = 0;
    QVERIFY(QTest::qWaitFor(
        [&] {
            largestSeen = qMax(largestSeen, server.largestBufferedInput());
            return server.counters().refused == Count;
        },
        10000));
    QVERIFY2(largestSeen <= 2 * Protocol::MaxMessageSize, QByteArray::number(largestSeen));
    QVERIFY(hostile.fetchPicture());
}

void tst_ServerHostile::clientThatNeverReadsIsDropped()
{
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start({QStringLiteral("--format"), QStringLiteral("1")}), server.failure());

    // Asks for a great many pictures and never reads one: the kernel's buffers fill, then the
    // server's queue, and the server gives up on it.
    QTcpSocket greedy;
    greedy.setReadBufferSize(1);
    greedy.connectToHost(QHostAddress(QHostAddress::LocalHost), server.port());
    QVERIFY(greedy.waitForConnected(5000));
    QByteArray hellos;
    for (int i = 0; i < 40000; ++i)
        hellos += Protocol::encodeHello();
    greedy.write(hellos);
    QTRY_COMPARE_WITH_TIMEOUT(server.countLogLines("dropping client"), 1, 10000);
    QVERIFY(server.standardError().contains("without reading"));

    ServerClient polite;
    QVERIFY(polite.connectTo(server.port()));
    QVERIFY(polite.fetchPicture());
}

void tst_ServerHostile::disconnectMidMessage()
{
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start(), server.failure());

    for (int cut : {1, 3, 4, 20}) {
        ServerClient quitter;
        QVERIFY(quitter.connectTo(server.port()));
        quitter.send(setCell(5, 5, 5) + rowData(6, 40, 40, 6).left(cut));
        quitter.disconnectNow();
    }
    QTRY_COMPARE(server.countLogLines(" gone "), 4);

    ServerClient next;
    QVERIFY(next.connectTo(server.port()));
    const auto picture = next.fetchPicture();
    QVERIFY(picture);
    QCOMPARE(picture->cell(5, 5), quint8(5));
    QCOMPARE(picture->cells().mid(6 * 40, 40), QByteArray(40, char(EmptyCell)));
    QCOMPARE(server.countLogLines("refused a message"), 0);
}

void tst_ServerHostile::tooManyClients()
{
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start({QStringLiteral("--max-clients"), QStringLiteral("2")}),
             server.failure());

    ServerClient first;
    ServerClient second;
    QVERIFY(first.connectTo(server.port()));
    QVERIFY(second.connectTo(server.port()));
    QVERIFY(first.fetchPicture());
    QVERIFY(second.fetchPicture());

    ServerClient third;
    QVERIFY(third.connectTo(server.port()));
    third.send(Protocol::encodeHello());
    QVERIFY(third.waitForDisconnected());
    QCOMPARE(third.pendingBytes(), 0);
    QCOMPARE(server.countLogLines("turned away"), 1);

    // The two it serves carry on, and a place that comes free is taken again.
    first.send(setCell(1, 1, 1));
    QVERIFY(first.fetchPicture());
    second.disconnectNow();
    QTRY_COMPARE(server.countLogLines(" gone "), 1);
    ServerClient fourth;
    QVERIFY(fourth.connectTo(server.port()));
    const auto picture = fourth.fetchPicture();
    QVERIFY(picture);
    QCOMPARE(picture->cell(1, 1), quint8(1));
}

void tst_ServerHostile::wellBehavedEditsSurviveHostileNeighbours()
{
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start({QStringLiteral("--max-clients"), QStringLiteral("8")}),
             server.failure());

    ServerClient garbage;
    ServerClient flooder;
    ServerClient good;
    QVERIFY(garbage.connectTo(server.port()));
    QVERIFY(flooder.connectTo(server.port()));
    QVERIFY(good.connectTo(server.port()));

    QRandomGenerator random(42);
    for (int round = 0; round < 25; ++round) {
        // Kinds from 5 up carry no edit, whatever their bytes.
        QByteArray noise(int(random.bounded(1, 600)), Qt::Uninitialized);
        for (char &byte : noise)
            byte = char(random.bounded(256));
        garbage.send(message(quint8(random.bounded(5, 256)), noise));
        flooder.send(message(200, QByteArray(0xffff, 'f')));
        ServerClient quitter;
        if (quitter.connectTo(server.port())) {
            quitter.send(setCell(0, 0, 9).left(int(random.bounded(1, 8))));
            quitter.disconnectNow();
        }
        for (int i = 0; i < 40; ++i)
            good.send(setCell(quint8(i), quint8(round), quint8((i + round) % 16)));
        QTest::qWait(2);
    }

    const auto picture = good.fetchPicture();
    QVERIFY(picture);
    for (int y = 0; y < 25; ++y)
        for (int x = 0; x < 40; ++x)
            QCOMPARE(picture->cell(x, y), quint8((x + y) % 16));
    QVERIFY(garbage.fetchPicture());
    QVERIFY(flooder.fetchPicture());
}

QTEST_GUILESS_MAIN(tst_ServerHostile)
#include "tst_serverhostile.moc"
