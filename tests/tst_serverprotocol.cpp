#include "connection/protocol.h"
#include "model/canvasformat.h"
#include "server/clientsession.h"
#include "server/correctionqueue.h"
#include "server/localpicturestore.h"
#include "server/pictureserver.h"
#include "server/samplepicture.h"
#include "tests/support/serverclient.h"
#include "tests/support/serverprocess.h"

#include <QtTest>

#include <functional>

namespace {

QByteArray setCell(int x, int y, int value)
{
    return Protocol::encodeCommand(Protocol::SetCellCommand, quint8(x), quint8(y), quint8(value));
}

QByteArray rowOf(const Picture &picture, int y)
{
    const int columns = picture.format().columns;
    return Protocol::encodeRowData(quint8(y), quint8(columns),
                                   reinterpret_cast<const quint8 *>(picture.cells().constData()) +
                                       y * columns);
}

int messageCount(QByteArrayView stream)
{
    int count = 0;
    for (qsizetype at = 0; at + 4 <= stream.size(); ++count)
        at += 4 + (quint8(stream[at + 2]) | quint8(stream[at + 3]) << 8);
    return count;
}

// Messages back to back, as a client reads them.
QByteArray joined(const QList<QByteArray> &messages)
{
    QByteArray out;
    for (const QByteArray &message : messages)
        out += message;
    return out;
}

// A stand-in for any rule of the store's own, such as a lock: cells in the top left 10 x 5
// corner are refused, everything else applied.
class CornerLockedStore : public LocalPictureStore
{
public:
    using LocalPictureStore::LocalPictureStore;
    Picture::EditResult submit(quint64 connection, quint8 kind, QByteArrayView message) override
    {
        const QByteArrayView payload = message.sliced(Protocol::HeaderSize);
        if (kind == Protocol::Command && payload.size() == 4 &&
            payload[0] == Protocol::SetCellCommand && quint8(payload[1]) < 10 &&
            quint8(payload[2]) < 5)
            return Picture::NotAllowed;
        return LocalPictureStore::submit(connection, kind, message);
    }
};

// What a refused edit's sender should be sent, from the picture as it stands.
using Expected = std::function<QByteArray(const Picture &)>;

} // namespace

Q_DECLARE_METATYPE(Expected)

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
    void refusedEditsAreCorrected_data();
    void refusedEditsAreCorrected();
    void cooldownIsPerAddressAndChangesLive();
    void refusedFloodWritesNoMoreThanItReads();
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

void tst_ServerProtocol::refusedEditsAreCorrected_data()
{
    QTest::addColumn<QString>("rule");
    QTest::addColumn<QByteArray>("edits");
    // What the sender gets back, all but the last a relay of its applied edits or a correction,
    // and what every other client gets.
    QTest::addColumn<Expected>("senderGets");
    QTest::addColumn<QList<QByteArray>>("othersGet");

    const QByteArray clear = Protocol::encodeCommand(Protocol::ClearCommand, 0, 0, 0);
    const QByteArray colours = Protocol::encodeCommand(Protocol::SetColorsCommand, 1, 2, 0);
    const quint8 ones[40] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                             1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    const QByteArray row3 = Protocol::encodeRowData(3, 40, ones);
    const auto cell = [](int x, int y) {
        return Expected([x, y](const Picture &p) { return setCell(x, y, p.cell(x, y)); });
    };
    const auto colourNow = [](const Picture &p) {
        return Protocol::encodeCommand(Protocol::SetColorsCommand, p.border(), p.background(), 0);
    };
    // After a refused Clear, every row that is not empty; after a refused row, that row too.
    const auto nonEmptyRows = [](const Picture &p, int alsoRow = -1) {
        QByteArray out;
        for (int y = 0; y < p.format().rows; ++y)
            if (y == alsoRow || p.cells().mid(y * 40, 40) != QByteArray(40, char(EmptyCell)))
                out += rowOf(p, y);
        return out;
    };
    // A flood of one cell in one write: corrected once.
    QByteArray flood;
    for (int i = 0; i < 100; ++i)
        flood += setCell(5, 7, 3);
    // The picture could never take these: nothing to put right, and counted against the client.
    const QByteArray malformed = setCell(40, 0, 1) + setCell(0, 25, 1) + setCell(0, 0, 16) +
                                 Protocol::encodeCommand(Protocol::SetColorsCommand, 16, 0, 0) +
                                 Protocol::encodeCommand(7, 0, 0, 0) +
                                 Protocol::encodeRowData(25, 0, nullptr);

    QTest::newRow("read-only: a cell refused 100 times")
        << "read-only" << flood << cell(5, 7) << QList<QByteArray>{};
    QTest::newRow("read-only: frame colours")
        << "read-only" << colours << Expected(colourNow) << QList<QByteArray>{};
    QTest::newRow("read-only: a row")
        << "read-only" << row3 << Expected([](const Picture &p) { return rowOf(p, 3); })
        << QList<QByteArray>{};
    QTest::newRow("read-only: clear, the rows that hold anything")
        << "read-only" << clear << Expected([=](const Picture &p) { return nonEmptyRows(p); })
        << QList<QByteArray>{};
    QTest::newRow("read-only: malformed ones are not corrected")
        << "read-only" << malformed << Expected([](const Picture &) { return QByteArray(); })
        << QList<QByteArray>{};
    QTest::newRow("cooldown: a second cell too soon, after the first's relay")
        << "cooldown" << setCell(1, 1, 3) + setCell(2, 2, 4)
        << Expected([](const Picture &p) { return setCell(1, 1, 3) + setCell(2, 2, p.cell(2, 2)); })
        << QList<QByteArray>{setCell(1, 1, 3)};
    QTest::newRow("cooldown: only cells")
        << "cooldown" << clear + colours + row3 + setCell(1, 1, 3)
        << Expected([=](const Picture &p) {
               return setCell(1, 1, 3) + colourNow(p) + nonEmptyRows(p, 3);
           })
        << QList<QByteArray>{setCell(1, 1, 3)};
    QTest::newRow("lock: cells inside refused, outside applied")
        << "lock" << setCell(9, 4, 1) + setCell(10, 4, 1) + setCell(9, 5, 1) + setCell(0, 0, 2)
        << Expected([](const Picture &p) {
               return setCell(10, 4, 1) + setCell(9, 5, 1) + setCell(0, 0, p.cell(0, 0)) +
                      setCell(9, 4, p.cell(9, 4));
           })
        << QList<QByteArray>{setCell(10, 4, 1), setCell(9, 5, 1)};
}

// A real server on loopback with one rule in force: the sender of refused edits gets, after the
// relays of what was applied, exactly the relays that show its window the picture again, once;
// everybody else gets only the relays.
void tst_ServerProtocol::refusedEditsAreCorrected()
{
    QFETCH(QString, rule);
    QFETCH(QByteArray, edits);
    QFETCH(Expected, senderGets);
    QFETCH(QList<QByteArray>, othersGet);

    CornerLockedStore locked(samplePicture(3));
    LocalPictureStore open(samplePicture(3));
    PictureServer server(rule == "lock" ? static_cast<PictureStore *>(&locked) : &open);
    ClientSession::Limits limits;
    limits.readOnly = rule == "read-only";
    // Every Hello answered at once: the test asks for the picture to see what came before it.
    limits.updateIntervalMs = 0;
    server.setSessionLimits(limits);
    server.setCooldown(rule == "cooldown" ? 300 * 1000 : 0);
    QVERIFY(server.listen(QHostAddress(QHostAddress::LocalHost), 0));

    ServerClient sender;
    ServerClient other;
    for (ServerClient *client : {&sender, &other}) {
        QVERIFY(client->connectTo(server.serverPort()));
        QVERIFY(client->fetchPicture());
    }
    // Once the server has read them all, a Hello: the answer comes after whatever the edits
    // brought, relays and corrections alike, which the end of their turn sends.
    const quint64 before = server.counters().messages;
    sender.send(edits);
    QTRY_COMPARE(server.counters().messages, before + quint64(messageCount(edits)));
    QVERIFY(sender.fetchPicture());
    const QByteArray expected = senderGets(server.picture());
    QCOMPARE(joined(*sender.waitForRelays(sender.relaysReceived())).toHex(' '),
             expected.toHex(' '));

    // Nothing more for the sender, and the others got the applied edits alone.
    const auto picture = sender.fetchPicture();
    QVERIFY(picture);
    QVERIFY(*picture == server.picture());
    QCOMPARE(sender.relaysReceived(), 0);
    QVERIFY(other.fetchPicture());
    QCOMPARE(other.relaysReceived(), int(othersGet.size()));
    QCOMPARE(*other.waitForRelays(int(othersGet.size())), othersGet);
    QCOMPARE(server.counters().correctionBytes,
             quint64(expected.size() - joined(othersGet).size()));
    QVERIFY(sender.isConnected());
}

// Each address may change one cell per interval, whichever of its connections sends it; another
// address has a wait of its own; a new interval applies from the next edit, to waits already
// running too.
void tst_ServerProtocol::cooldownIsPerAddressAndChangesLive()
{
    PictureServer server(Picture(3));
    server.setCooldown(300 * 1000);
    QVERIFY(server.listen(QHostAddress(QHostAddress::LocalHost), 0));
    ServerClient a;
    ServerClient b; // the same address as a
    ServerClient c;
    QVERIFY(a.connectTo(server.serverPort()) && b.connectTo(server.serverPort()));
    QVERIFY(c.connectTo(server.serverPort(), QHostAddress(QStringLiteral("127.0.0.2"))));
    for (ServerClient *client : {&a, &b, &c})
        QVERIFY(client->fetchPicture());
    const auto expect = [](ServerClient &client, const QList<QByteArray> &messages) {
        const auto got = client.waitForRelays(int(messages.size()));
        return got && *got == messages;
    };
    const QByteArray erased22 = setCell(2, 2, EmptyCell);

    a.send(setCell(1, 1, 1));
    QVERIFY(expect(a, {setCell(1, 1, 1)}));
    b.send(setCell(2, 2, 2));
    QVERIFY(expect(b, {setCell(1, 1, 1), erased22}));
    c.send(setCell(3, 3, 3));
    QVERIFY(expect(c, {setCell(1, 1, 1), setCell(3, 3, 3)}));

    server.setCooldown(0);
    b.send(setCell(2, 2, 2));
    QVERIFY(expect(b, {setCell(3, 3, 3), setCell(2, 2, 2)}));
    server.setCooldown(300 * 1000);
    a.send(setCell(4, 4, 4));
    QVERIFY(expect(a, {setCell(3, 3, 3), setCell(2, 2, 2), setCell(4, 4, EmptyCell)}));

    const auto picture = c.fetchPicture();
    QVERIFY(picture);
    QCOMPARE(c.relaysReceived(), 1); // b's second cell
    QCOMPARE(picture->cell(1, 1), quint8(1));
    QCOMPARE(picture->cell(2, 2), quint8(2));
    QCOMPARE(picture->cell(3, 3), quint8(3));
    QCOMPARE(picture->cell(4, 4), quint8(EmptyCell));
    QCOMPARE(server.counters().refused, quint64(2));

    // The table forgets waits that are over as it grows: a thousand addresses one after another,
    // ten of them waiting at any time, never fill it.
    EditCooldown table;
    for (quint32 i = 0; i < 1000; ++i) {
        table.started(QString::number(i), i, 10);
        QVERIFY(table.size() < 64);
    }
    QVERIFY(!table.allows(QStringLiteral("999"), 1000, 10));
    QVERIFY(table.allows(QStringLiteral("990"), 1000, 10));
}

// A client that has edits refused one by one, each read in a turn of its own, so that none
// coalesce: a Clear asks for a whole picture's rows, yet what it is sent back never exceeds what
// it sent by more than the credit a queue starts with. It is not closed for it, and in the end
// its window is put right.
void tst_ServerProtocol::refusedFloodWritesNoMoreThanItReads()
{
    ClientSession::Limits limits;
    limits.readOnly = true;
    limits.updateIntervalMs = 0;
    PictureServer server(samplePicture(3));
    server.setSessionLimits(limits);
    QVERIFY(server.listen(QHostAddress(QHostAddress::LocalHost), 0));
    ServerClient flooder;
    QVERIFY(flooder.connectTo(server.serverPort()));
    QVERIFY(flooder.fetchPicture());

    const QByteArray edits = Protocol::encodeCommand(Protocol::ClearCommand, 0, 0, 0) +
                             setCell(1, 1, 1) +
                             Protocol::encodeCommand(Protocol::SetColorsCommand, 1, 2, 0);
    qint64 sent = 0;
    qint64 received = 0;
    for (int i = 0; i < 300; ++i) {
        const quint64 before = server.counters().messages;
        flooder.send(edits);
        sent += edits.size();
        QTRY_COMPARE(server.counters().messages, before + 3);
        received += joined(*flooder.waitForRelays(flooder.relaysReceived())).size();
    }
    QVERIFY(flooder.fetchPicture());
    received += joined(*flooder.waitForRelays(flooder.relaysReceived())).size();
    const qint64 limit = CorrectionQueue::creditLimit(server.picture().format());
    QVERIFY2(received <= sent + limit,
             qPrintable(QStringLiteral("%1 > %2").arg(received).arg(sent)));
    // Not starved either: nearly everything it paid for went back to it.
    QVERIFY2(received >= sent - limit, qPrintable(QString::number(received)));
    QCOMPARE(quint64(received), server.counters().correctionBytes);
    QCOMPARE(server.counters().refused, quint64(900));
    QVERIFY(flooder.isConnected());
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
