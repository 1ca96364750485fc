// Live edits on the real server program: the exact bytes it relays and to whom, the client that
// stops reading, and real Celvane windows drawing on one picture until they agree with the server
// and with the order of its relays.

#include "app/celvane.h"
#include "canvas/canvas.h"
#include "connection/protocol.h"
#include "model/canvasformat.h"
#include "server/pictureserver.h"
#include "server/samplepicture.h"
#include "tests/support/serverclient.h"
#include "tests/support/serverprocess.h"
#include "tests/support/testsupport.h"

#include <QAction>
#include <QHostAddress>
#include <QLabel>
#include <QMenu>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QtTest>

#include <memory>
#include <vector>

using namespace TestSupport;

namespace {

QByteArray command(int opcode, int a, int b, int c)
{
    return Protocol::encodeCommand(quint8(opcode), quint8(a), quint8(b), quint8(c));
}

QByteArray row(int y, int count, int value)
{
    const QByteArray cells(count, char(value));
    return Protocol::encodeRowData(quint8(y), quint8(count),
                                   reinterpret_cast<const quint8 *>(cells.constData()));
}

// Frame colours that no edit of the tests sends: they change the border only, so the background
// stays 0 until this marker sets it to 1 (every format has a colour 1). Once a window shows it,
// it has applied every relay sent before it.
const QByteArray FinalMarker = command(Protocol::SetColorsCommand, 1, 1, 0);

// Counts what a window writes: every byte handed to its socket, whether sent yet or not.
struct WriteCounter
{
    explicit WriteCounter(QTcpSocket *socket)
        : socket(socket)
        , base(socket->bytesToWrite())
    {
        QObject::connect(socket, &QIODevice::bytesWritten, socket,
                         [this](qint64 count) { written += count; });
    }
    qint64 total() const { return written + socket->bytesToWrite() - base; }

    QTcpSocket *socket;
    qint64 base;
    qint64 written = 0;
};

} // namespace

class tst_ServerRelay : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void relaysExactlyTheAppliedMessages_data();
    void relaysExactlyTheAppliedMessages();
    void clientThatNeverReadsRelaysIsDropped();
    void windowsConverge_data();
    void windowsConverge();
    void refusedPaintingIsUndoneInTheWindow_data();
    void refusedPaintingIsUndoneInTheWindow();

private:
    std::unique_ptr<Celvane> openWindow(quint16 port);
};

void tst_ServerRelay::relaysExactlyTheAppliedMessages_data()
{
    QTest::addColumn<int>("formatNumber");
    QTest::addColumn<QByteArray>("edits");
    QTest::addColumn<QList<QByteArray>>("relays");

    const QByteArray cell = command(2, 5, 7, 3);
    QByteArray odd = cell;
    odd[1] = char(0x5a);
    QTest::newRow("cell") << 3 << cell << QList<QByteArray>{cell};
    QTest::newRow("header byte 1 kept") << 3 << odd << QList<QByteArray>{odd};
    QTest::newRow("erase, colours, clear")
        << 2 << command(2, 21, 22, 255) + command(1, 6, 0, 0) + command(0, 0, 0, 0)
        << QList<QByteArray>{command(2, 21, 22, 255), command(1, 6, 0, 0), command(0, 0, 0, 0)};
    QTest::newRow("colours in a two-colour picture")
        << 0 << command(1, 1, 0, 0) << QList<QByteArray>{command(1, 1, 0, 0)};
    QTest::newRow("80-cell row") << 1 << row(24, 80, 1) << QList<QByteArray>{row(24, 80, 1)};
    QTest::newRow("short row goes out whole") << 3 << row(3, 2, 9) << QList<QByteArray>{[] {
        QByteArray cells(40, char(EmptyCell));
        cells[0] = cells[1] = 9;
        return Protocol::encodeRowData(3, 40, reinterpret_cast<const quint8 *>(cells.data()));
    }()};
    QTest::newRow("refused ones are not relayed")
        << 2
        << command(2, 22, 0, 1) + command(2, 0, 23, 1) + row(23, 22, 1) + row(0, 23, 1) +
               command(7, 0, 0, 0) + command(1, 250, 9, 0) + command(2, 0, 0, 200) +
               Protocol::encodeHello().replace(0, 1, "\x09") + cell
        << QList<QByteArray>{cell};
}

void tst_ServerRelay::relaysExactlyTheAppliedMessages()
{
    QFETCH(int, formatNumber);
    QFETCH(QByteArray, edits);
    QFETCH(QList<QByteArray>, relays);

    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start({QStringLiteral("--format"), QString::number(formatNumber)}),
             server.failure());
    ServerClient sender;
    ServerClient other;
    ServerClient silent; // connected, never asked for the picture
    for (ServerClient *client : {&sender, &other, &silent})
        QVERIFY(client->connectTo(server.port()));
    QVERIFY(sender.fetchPicture() && other.fetchPicture());

    // A marker after the edits: once it is back, everything before it has been relayed.
    const QByteArray marker = command(2, 0, 0, 1);
    sender.send(edits + marker);
    for (ServerClient *client : {&sender, &other}) {
        const auto got = client->waitForRelays(int(relays.size()) + 1);
        QVERIFY(got);
        QCOMPARE(*got, relays + QList<QByteArray>{marker});
    }

    // A late joiner gets all of it in its Update, with the bit that announces relays, and from
    // then on only what comes after: a relay sent to it before would have arrived ahead.
    silent.send(Protocol::encodeHello());
    const auto update = silent.waitForUpdate();
    QVERIFY(update);
    QCOMPARE(update->at(7), char(Protocol::UpdateRelaysEdits));
    QCOMPARE(silent.relaysReceived(), 0);
    other.send(marker);
    QCOMPARE(silent.waitForRelays(1), QList<QByteArray>{marker});

    // What a client that reads only Updates gets: the picture with every edit, as before.
    const auto picture = other.fetchPicture();
    QVERIFY(picture && *picture == *ServerClient::toPicture(*update));
}

void tst_ServerRelay::clientThatNeverReadsRelaysIsDropped()
{
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    // Edits as fast as they come: the point is the stalled reader, not the sender's pace.
    QVERIFY2(server.start({QStringLiteral("--format"), QStringLiteral("1"),
                           QStringLiteral("--max-edits-per-second"), QStringLiteral("0")}),
             server.failure());

    // Has the picture, so relays go to it, and stops reading once the Update has arrived.
    QTcpSocket stalled;
    stalled.setReadBufferSize(1);
    stalled.connectToHost(QHostAddress(QHostAddress::LocalHost), server.port());
    QVERIFY(stalled.waitForConnected(5000));
    stalled.write(Protocol::encodeHello());

    ServerClient editor;
    QVERIFY(editor.connectTo(server.port()));
    QVERIFY(editor.fetchPicture());

    // Rows until the server gives up on the stalled client: its kernel buffers fill, then the
    // server's queue. The editor reads its own relays meanwhile, and is not dropped.
    QByteArray rows;
    for (int i = 0; i < 12000; ++i)
        rows += row(i % 25, 80, i % 2);
    for (int round = 0; round < 64 && server.countLogLines("dropping client") == 0; ++round) {
        editor.send(rows);
        QVERIFY(editor.waitForRelays(12000));
    }
    QCOMPARE(server.countLogLines("dropping client"), 1);
    QCOMPARE(server.countLogLines("does not read what is sent to it"), 1);

    QVERIFY(editor.isConnected());
    const auto picture = editor.fetchPicture();
    QVERIFY(picture);
    QCOMPARE(picture->cells().mid(24 * 80, 80), QByteArray(80, char((12000 - 1) % 2)));
}

std::unique_ptr<Celvane> tst_ServerRelay::openWindow(quint16 port)
{
    auto window = std::make_unique<Celvane>();
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get()))
        return nullptr;
    window->connectToServer(QStringLiteral("127.0.0.1"), port);
    if (!QTest::qWaitFor(
            [&] { return statusLabelOf(*window)->text() == QStringLiteral("Connected"); }))
        return nullptr;
    return window;
}

void tst_ServerRelay::windowsConverge_data()
{
    QTest::addColumn<int>("formatNumber");
    QTest::addColumn<quint32>("seed");
    QTest::newRow("format 3, seed 1") << 3 << 1u;
    QTest::newRow("format 3, seed 2") << 3 << 2u;
    QTest::newRow("format 2, seed 3") << 2 << 3u;
    QTest::newRow("format 1, seed 4") << 1 << 4u;
}

// Four windows edit at once, crowded onto a few rows so that their edits collide: cells, rows,
// frame colours and clears, mixed with the relays coming in. The windows read in pieces of
// different sizes, so that relays arrive cut anywhere. When all is quiet, every window shows
// exactly the picture a fresh Update brings, and that is the picture the relays build in the
// order the server sent them. No relay makes a window send anything, raise CellChanged, or move
// its pen colour or the marks in its colour menus away from what it shows.
void tst_ServerRelay::windowsConverge()
{
    QFETCH(int, formatNumber);
    QFETCH(quint32, seed);

    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start({QStringLiteral("--format"), QString::number(formatNumber)}),
             server.failure());
    ServerClient observer;
    QVERIFY(observer.connectTo(server.port()));
    auto replay = observer.fetchPicture();
    QVERIFY(replay);

    const CanvasFormat &format = *canvasFormats().at(formatNumber);
    const int colours = int(format.palette.size());
    const qint64 readSizes[] = {0, 1, 7, 100};
    std::vector<std::unique_ptr<Celvane>> windows;
    std::vector<std::unique_ptr<WriteCounter>> writes;
    for (const qint64 readSize : readSizes) {
        windows.push_back(openWindow(server.port()));
        QVERIFY(windows.back());
        QTcpSocket *socket = liveSocketOf(*windows.back());
        QVERIFY(socket);
        socket->setReadBufferSize(readSize);
        writes.push_back(std::make_unique<WriteCounter>(socket));
        // Each window's own pen: window i draws with colour i + 1.
        windows.back()
            ->form()
            .menuDrawingColor->actions()
            .at(int(windows.size()) % colours)
            ->trigger();
    }

    // One real stroke first: a click in the first window paints with its pen and sends the cell.
    Canvas *clicked = canvasOf(*windows[0]);
    const QRectF rect = clicked->canvasRect();
    QTest::mouseClick(clicked, Qt::LeftButton, {},
                      QPoint(int(rect.left() + rect.width() * 10.5 / format.columns),
                             int(rect.top() + rect.height() * 1.5 / format.rows)));
    QCOMPARE(int(clicked->cell(10, 1)), 1);
    std::vector<std::unique_ptr<QSignalSpy>> cellSignals;
    for (auto &window : windows)
        cellSignals.push_back(
            std::make_unique<QSignalSpy>(canvasOf(*window), &Canvas::CellChanged));

    QRandomGenerator random(seed);
    constexpr int Rounds = 60;
    int edits = 1;
    qint64 expectedBytes = 8;
    for (int round = 0; round < Rounds; ++round) {
        for (auto &window : windows) {
            Canvas *canvas = canvasOf(*window);
            const Ui::CelvaneClass &ui = window->form();
            const int choice = random.bounded(100);
            const quint8 x = quint8(random.bounded(format.columns));
            const quint8 y = quint8(random.bounded(3));
            const quint8 value = quint8(random.bounded(colours));
            if (choice < 70) {
                // What painting does: the cell at once, then its message.
                canvas->setCell(x, y, value);
                window->sendCommand(Protocol::SetCellCommand, x, y, value);
            } else if (choice < 85) {
                // What an image import does for one row.
                std::vector<quint8> cells(size_t(format.columns), value);
                for (int i = 0; i < format.columns; ++i)
                    canvas->setCell(quint8(i), y, cells[size_t(i)]);
                window->sendRow(y, quint8(format.columns), cells.data());
                expectedBytes += format.columns;
            } else if (choice < 95 && format.hasFrameColors) {
                ui.menuBorderColor->actions().at(value)->trigger();
            } else if (choice < 97) {
                ui.actionClear->trigger();
            } else {
                continue;
            }
            ++edits;
            expectedBytes += 8;
        }
        // Let relays in between the edits, sometimes.
        if (random.bounded(3) == 0)
            QCoreApplication::processEvents();
    }

    // Quiet: once the observer has every edit back, the server has applied them all; then one
    // last edit, and every window that shows it has applied every relay.
    const auto relays = observer.waitForRelays(edits);
    QVERIFY(relays);
    observer.send(FinalMarker);
    for (auto &window : windows) {
        Canvas *canvas = canvasOf(*window);
        QTRY_VERIFY_WITH_TIMEOUT(canvas->borderColor() == 1 && canvas->backgroundColor() == 1,
                                 10000);
    }
    const auto truth = observer.fetchPicture();
    QVERIFY(truth);
    for (const QByteArray &m : *relays + QList<QByteArray>{FinalMarker})
        QCOMPARE(replay->apply(quint8(m.at(0)), QByteArrayView(m).sliced(4)), Picture::Applied);
    QVERIFY(*replay == *truth);
    for (size_t i = 0; i < windows.size(); ++i) {
        Canvas *canvas = canvasOf(*windows[i]);
        QVERIFY2(cellsOf(canvas) == truth->cells(), qPrintable(QStringLiteral("window %1").arg(i)));
        QCOMPARE(int(canvas->borderColor()), int(truth->border()));
        QCOMPARE(int(canvas->backgroundColor()), int(truth->background()));
        const Ui::CelvaneClass &ui = windows[i]->form();
        QCOMPARE(int(canvas->penColor()), int(i + 1) % colours);
        QVERIFY(ui.menuDrawingColor->actions().at(int(i + 1) % colours)->isChecked());
        QVERIFY(!format.hasFrameColors ||
                (ui.menuBorderColor->actions().at(truth->border())->isChecked() &&
                 ui.menuBackgroundColor->actions().at(truth->background())->isChecked()));
        QCOMPARE(cellSignals[i]->count(), 0);
    }
    // Nothing was sent back because of a relay: the windows wrote exactly the edits made.
    qint64 written = 0;
    for (const auto &counter : writes)
        written += counter->total();
    QCOMPARE(written, expectedBytes);
}

void tst_ServerRelay::refusedPaintingIsUndoneInTheWindow_data()
{
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<int>("cooldownMs");
    QTest::newRow("read-only") << true << 0;
    // The first cell is taken; the rest of the stroke, the colour and the clear come too soon.
    QTest::newRow("cooldown") << false << 300 * 1000;
}

// A window painting on a server that refuses its edits shows them at once, as it always does;
// the server's corrections then bring back exactly the server's picture: the cells it clicked
// and dragged over, the frame colour it picked, and the picture it cleared.
void tst_ServerRelay::refusedPaintingIsUndoneInTheWindow()
{
    QFETCH(bool, readOnly);
    QFETCH(int, cooldownMs);
    const bool firstCellKept = !readOnly;

    PictureServer server(samplePicture(3));
    ClientSession::Limits limits;
    limits.readOnly = readOnly;
    limits.updateIntervalMs = 0;
    server.setSessionLimits(limits);
    server.setCooldown(cooldownMs);
    QVERIFY(server.listen(QHostAddress(QHostAddress::LocalHost), 0));
    ServerClient observer;
    QVERIFY(observer.connectTo(server.serverPort(), QHostAddress(QStringLiteral("127.0.0.2"))));
    const auto before = observer.fetchPicture();
    QVERIFY(before);
    auto window = openWindow(server.serverPort());
    QVERIFY(window);
    Canvas *canvas = canvasOf(*window);
    const QRectF rect = canvas->canvasRect();
    const auto at = [&](int x, int y) {
        return QPoint(int(rect.left() + rect.width() * (x + 0.5) / 40),
                      int(rect.top() + rect.height() * (y + 0.5) / 25));
    };
    // A pen colour that the demo picture does not hold at the painted cells.
    window->form().menuDrawingColor->actions().at(15)->trigger();
    QTest::mouseClick(canvas, Qt::LeftButton, {}, at(2, 20));
    QCOMPARE(int(canvas->cell(2, 20)), 15);
    QTest::mousePress(canvas, Qt::LeftButton, {}, at(5, 21));
    for (int x = 6; x < 30; ++x)
        QTest::mouseMove(canvas, at(x, 21));
    QTest::mouseRelease(canvas, Qt::LeftButton, {}, at(29, 21));
    window->form().menuBorderColor->actions().at(7)->trigger();
    QCOMPARE(int(canvas->borderColor()), 7);
    window->form().actionClear->trigger();
    QCOMPARE(cellsOf(canvas), QByteArray(1000, char(EmptyCell)));

    Picture truth = *before;
    if (firstCellKept)
        truth.setCell(2, 20, 15);
    QTRY_VERIFY_WITH_TIMEOUT(
        cellsOf(canvas) == truth.cells() && canvas->borderColor() == truth.border(), 10000);
    QCOMPARE(int(canvas->backgroundColor()), int(truth.background()));
    const auto now = observer.fetchPicture();
    QVERIFY(now && *now == truth);
    QCOMPARE(observer.relaysReceived(), firstCellKept ? 1 : 0);
    QCOMPARE(server.counters().applied, quint64(firstCellKept ? 1 : 0));
    QVERIFY(server.counters().refused > 0);
    QCOMPARE(statusLabelOf(*window)->text(), QStringLiteral("Connected"));
}

CELVANE_TEST_MAIN(tst_ServerRelay)
#include "tst_serverrelay.moc"
