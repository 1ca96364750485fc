// The real main window against servers that misbehave: bytes dribbled one at a time, a huge
// announced length and then silence, random garbage, a flood of Updates, connections that end
// mid-message or under a modal box, and many connections in a row. Everything runs over loopback
// against a QTcpServer of the test's own on a port the system picks.

#include "app/celvane.h"
#include "canvas/canvas.h"
#include "connection/protocol.h"
#include "model/canvasformat.h"
#include "tests/support/modalwatcher.h"
#include "tests/support/testsupport.h"

#include <QFile>
#include <QFileDialog>
#include <QImage>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

#if defined(__SANITIZE_ADDRESS__)
#define CELVANE_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CELVANE_UNDER_ASAN 1
#endif
#endif

using namespace TestSupport;

namespace {

// Unlike TestSupport's pattern, this one holds a value just past the palette's end as well.
QByteArray patternCells(int formatNumber, int seed)
{
    const CanvasFormat *format = canvasFormat(uint8(formatNumber));
    QByteArray cells(format->cellCount(), Qt::Uninitialized);
    for (int i = 0; i < cells.size(); ++i)
        cells[i] = char((i * 7 + seed) % (format->palette.size() + 1));
    return cells;
}

// An all-green PNG of this size in dir, for the import tests; empty if it could not be written.
QString greenPicture(const QTemporaryDir &dir, const QSize &size)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::green);
    const QString path = dir.filePath(QStringLiteral("picture.png"));
    return dir.isValid() && image.save(path) ? path : QString();
}

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toLongLong() * 4096;
}

// What the window must show after a stream: found by walking the bytes independently of the
// client's reader.
struct Expectation
{
    int formatNumber = -1;
    QByteArray cells;
    uint8 border = 0;
    uint8 background = 0;
    qsizetype leftover = 0;
};

Expectation walk(const QByteArray &stream)
{
    Expectation expected;
    qsizetype at = 0;
    const auto byte = [&](qsizetype i) {
        return quint8(stream.at(i));
    };
    while (stream.size() - at >= 4) {
        const qsizetype length = byte(at + 2) | (byte(at + 3) << 8);
        if (stream.size() - at < 4 + length)
            break;
        if (byte(at) == 2 && length >= 4 && byte(at + 4) < canvasFormats().size()) {
            const CanvasFormat *format = canvasFormats().at(byte(at + 4));
            if (length >= 4 + format->cellCount()) {
                expected.formatNumber = byte(at + 4);
                expected.border = byte(at + 5);
                expected.background = byte(at + 6);
                expected.cells = stream.mid(at + 8, format->cellCount());
            }
        }
        at += 4 + length;
    }
    expected.leftover = stream.size() - at;
    return expected;
}

// Appends zero bytes until the stream ends on a message boundary.
void completeLastMessage(QByteArray &stream, qsizetype leftover)
{
    if (leftover == 0)
        return;
    const qsizetype start = stream.size() - leftover;
    if (leftover < 4)
        stream.append(4 - leftover, char(0));
    const qsizetype length = quint8(stream.at(start + 2)) | (quint8(stream.at(start + 3)) << 8);
    stream.append(start + 4 + length - stream.size(), char(0));
}

} // namespace

class tst_HostileServer : public QObject
{
    Q_OBJECT

private:
    // Shows the window if need be, connects it to the test's server and returns the server's
    // end, with the Hello read.
    std::unique_ptr<QTcpSocket> connectWindow(Celvane &window)
    {
        window.show();
        if (!QTest::qWaitForWindowExposed(&window))
            return nullptr;
        window.connectToServer(QStringLiteral("127.0.0.1"), server.serverPort());
        if (!waitUntil([this] { return server.hasPendingConnections(); }))
            return nullptr;
        std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());
        peer->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        if (!waitUntil([&peer] { return peer->bytesAvailable() >= 8; }) ||
            peer->readAll() != Protocol::encodeHello())
            return nullptr;
        return peer;
    }

    QTcpServer server;

private Q_SLOTS:
    void initTestCase() { QVERIFY(server.listen(QHostAddress::LocalHost, 0)); }

    void updateOneByteAtATime()
    {
        Celvane window;
        auto peer = connectWindow(window);
        QVERIFY(peer);

        const QByteArray cells = patternCells(2, 3);
        const QByteArray update = Protocol::encodeUpdate(2, 5, 6, cells);
        for (qsizetype i = 0; i + 1 < update.size(); ++i) {
            peer->write(update.constData() + i, 1);
            peer->flush();
            QVERIFY2(waitUntil([&] { return window.pendingBytes() == i + 1; }),
                     qPrintable(QStringLiteral("byte %1").arg(i)));
            QCOMPARE(canvasOf(window)->format(), nullptr);
        }
        QCOMPARE(statusText(window), QStringLiteral("Receiving update..."));

        peer->write(update.right(1));
        QTRY_COMPARE(statusText(window), QStringLiteral("Connected"));
        QCOMPARE(window.pendingBytes(), 0);
        QCOMPARE(canvasOf(window)->format(), canvasFormat(2));
        QCOMPARE(cellsOf(canvasOf(window)), cells);
        QCOMPARE(canvasOf(window)->borderColor(), 5);
        QCOMPARE(canvasOf(window)->backgroundColor(), 6);
    }

    void hugeLengthThenSilence_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("payloadSent");
        QTest::newRow("Update, header only") << 2 << 0;
        QTest::newRow("Update, some payload") << 2 << 1000;
        QTest::newRow("Update, one byte short") << 2 << 65534;
        QTest::newRow("unknown kind, one byte short") << 77 << 65534;
    }

    void hugeLengthThenSilence()
    {
        QFETCH(int, kind);
        QFETCH(int, payloadSent);

        auto window = std::make_unique<Celvane>();
        auto peer = connectWindow(*window);
        QVERIFY(peer);

        QByteArray bytes = rawHeader(kind, 0xffff) + QByteArray(payloadSent, char(1));
        if (payloadSent > 0)
            bytes[4] = 0; // a known format, should the message ever be taken as complete
        // The last byte goes on its own: by the time the window has taken it, it has had every
        // chance to act on the rest, and must still be waiting.
        peer->write(bytes.chopped(1));
        QTRY_COMPARE(window->pendingBytes(), bytes.size() - 1);
        peer->write(bytes.right(1));
        QTRY_COMPARE(window->pendingBytes(), bytes.size());
        QVERIFY(window->pendingBytes() <= Protocol::MaxMessageSize);
        QCOMPARE(statusText(*window), QStringLiteral("Receiving update..."));
        QCOMPARE(canvasOf(*window)->format(), nullptr);

        // Closing the window with the message still open ends the connection cleanly.
        QVERIFY(window->close());
        window.reset();
        QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
    }

    void randomGarbage_data()
    {
        QTest::addColumn<bool>("shaped");
        QTest::newRow("uniform bytes") << false;
        QTest::newRow("random messages") << true;
    }

    void randomGarbage()
    {
        QFETCH(bool, shaped);

        QRandomGenerator random(shaped ? 20261207 : 7);
        QByteArray stream;
        constexpr qsizetype StreamSize = 3 * 1024 * 1024;
        while (stream.size() < StreamSize) {
            if (!shaped) {
                stream.append(char(random.bounded(256)));
                continue;
            }
            // Headers of every kind with mostly plausible lengths and format numbers, so that
            // Updates of all formats, short ones and over-long ones turn up among the rest.
            const int length = random.bounded(2100);
            stream.append(char(random.bounded(6))).append(char(random.bounded(256)));
            stream.append(char(length & 0xff)).append(char(length >> 8));
            for (int i = 0; i < length; ++i)
                stream.append(char(i == 0 ? random.bounded(6) : random.bounded(256)));
        }
        // The shaped stream is meant to hold pictures; make sure this seed still does.
        QVERIFY(!shaped || walk(stream).formatNumber >= 0);
        // Then whatever message the garbage left open is completed and a picture of the test's
        // own follows: the window can show it only if it has kept in step with the whole stream,
        // and only once it has consumed every byte.
        completeLastMessage(stream, walk(stream).leftover);
        stream.append(Protocol::encodeUpdate(2, 5, 6, patternCells(2, 41)));
        const Expectation expected = walk(stream);
        QCOMPARE(expected.leftover, 0);
        QCOMPARE(expected.cells, patternCells(2, 41));

        // Shown (connectWindow() does that), so that every installed picture, colours out of the
        // palette and all, is painted.
        Celvane window;
        auto peer = connectWindow(window);
        QVERIFY(peer);
        peer->write(stream);
        const Canvas *canvas = canvasOf(window);
        qsizetype largestPending = 0;
        QVERIFY(waitUntil(
            [&] {
                largestPending = qMax(largestPending, window.pendingBytes());
                return window.pendingBytes() == 0 && cellsOf(canvas) == expected.cells;
            },
            60000));
        QVERIFY(largestPending <= Protocol::MaxMessageSize);
        QCOMPARE(canvas->format(), canvasFormat(2));
        QCOMPARE(canvas->borderColor(), 5);
        QCOMPARE(canvas->backgroundColor(), 6);
        QCOMPARE(statusText(window), QStringLiteral("Connected"));

        peer->abort();
        QTRY_COMPARE(statusText(window), QStringLiteral("Disconnected"));
        QCOMPARE(canvas->format(), nullptr);
        QCOMPARE(window.pendingBytes(), 0);
    }

    void floodOfUpdates()
    {
        // Mostly maximal messages (Updates whose cells are followed by padding), so that 50 MB
        // are a few hundred Updates; the last one is exact and must be what the canvas shows.
        QByteArray stream;
        constexpr qsizetype FloodSize = 50 * 1024 * 1024;
        for (int i = 0; stream.size() < FloodSize; ++i) {
            const int formatNumber = i % 4;
            QByteArray cells = patternCells(formatNumber, i);
            cells.append(QByteArray(Protocol::MaxPayloadSize, char(i)));
            stream.append(
                Protocol::encodeUpdate(uint8(formatNumber), uint8(i), uint8(i + 1), cells));
        }
        const QByteArray lastCells = patternCells(1, 99);
        stream.append(Protocol::encodeUpdate(1, 7, 8, lastCells));

        // Shown (connectWindow() does that), so that every installed picture, colours out of the
        // palette and all, is painted.
        Celvane window;
        auto peer = connectWindow(window);
        QVERIFY(peer);
        peer->write(stream);
        qsizetype largestPending = 0;
        // No earlier Update has this format and border together.
        QVERIFY(waitUntil(
            [&] {
                largestPending = qMax(largestPending, window.pendingBytes());
                return window.pendingBytes() == 0 &&
                       canvasOf(window)->format() == canvasFormat(1) &&
                       canvasOf(window)->borderColor() == 7;
            },
            60000));
        QVERIFY(largestPending <= Protocol::MaxMessageSize);
        QCOMPARE(cellsOf(canvasOf(window)), lastCells);
        QCOMPARE(canvasOf(window)->backgroundColor(), 8);
        QCOMPARE(statusText(window), QStringLiteral("Connected"));
    }

    void floodInstallsLastUpdate_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<bool>("frameMenusEnabled");

        // Back-to-back Updates of every format, about 1 KiB each, ending in a two-colour one:
        // the frame menus stay enabled and empty, as the eight- and sixteen-colour ones left them.
        QByteArray cycling;
        for (int i = 0; i < 6000; ++i)
            cycling.append(Protocol::encodeUpdate(uint8(i % 4), uint8(i), uint8(i + 1),
                                                  patternCells(i % 4, i)));
        cycling.append(Protocol::encodeUpdate(0, 1, 0, patternCells(0, 7)));
        QTest::newRow("1 KiB Updates cycling formats") << cycling << true;

        // Maximal messages: Updates padded to 64 KiB, with 64 KiB of an unknown kind between.
        QByteArray maximal;
        for (int i = 0; i < 120; ++i) {
            maximal.append(Protocol::encodeUpdate(
                uint8(i % 2), 1, 0,
                patternCells(i % 2, i) + QByteArray(Protocol::MaxPayloadSize, char(i))));
            maximal.append(rawHeader(77, 0xffff) + QByteArray(Protocol::MaxPayloadSize, char(2)));
        }
        QTest::newRow("64 KiB messages")
            << maximal + Protocol::encodeUpdate(2, 5, 6, patternCells(2, 9)) << true;
        QTest::newRow("64 KiB messages, two colours only")
            << maximal + Protocol::encodeUpdate(1, 1, 1, patternCells(1, 9)) << false;
    }

    // Of the Updates that arrive together only the last is installed, and the window still
    // ends exactly as if it had installed each one.
    void floodInstallsLastUpdate()
    {
        QFETCH(QByteArray, stream);
        QFETCH(bool, frameMenusEnabled);
        const Expectation expected = walk(stream);
        QVERIFY(expected.formatNumber >= 0);
        const CanvasFormat *format = canvasFormat(uint8(expected.formatNumber));

        Celvane window;
        auto peer = connectWindow(window);
        QVERIFY(peer);
        const QPointer<QTcpSocket> socket = liveSocketOf(window);
        QVERIFY(socket);
        // Qt's buffer takes no more from the system than this, whatever the server sends.
        const qint64 bufferLimit = socket->readBufferSize();
        QVERIFY(bufferLimit > 0 && bufferLimit <= Protocol::MaxMessageSize);

        peer->write(stream);
        const Canvas *canvas = canvasOf(window);
        qsizetype largestPending = 0;
        qint64 largestBuffered = 0;
        QVERIFY(waitUntil(
            [&] {
                largestPending = qMax(largestPending, window.pendingBytes());
                largestBuffered = qMax(largestBuffered, socket ? socket->bytesAvailable() : 0);
                // Only the stream's last Update has this format, these cells and these frame
                // colours all at once.
                return peer->bytesToWrite() == 0 && window.pendingBytes() == 0 && socket &&
                       socket->bytesAvailable() == 0 && canvas->format() == format &&
                       canvas->borderColor() == expected.border &&
                       canvas->backgroundColor() == expected.background &&
                       cellsOf(canvas) == expected.cells;
            },
            60000));
        QVERIFY(largestPending <= Protocol::MaxMessageSize);
        QVERIFY(largestBuffered <= bufferLimit);

        QCOMPARE(canvas->penColor(), 1);
        QCOMPARE(statusText(window), QStringLiteral("Connected"));
        const Ui::CelvaneClass &form = window.form();
        QCOMPARE(form.menuDrawingColor->actions().size(), format->palette.size());
        QCOMPARE(checkedIndex(form.menuDrawingColor), 1);
        QVERIFY(form.menuDrawingColor->isEnabled());
        const int frameEntries = format->hasFrameColors ? int(format->palette.size()) : 0;
        QCOMPARE(form.menuBorderColor->actions().size(), frameEntries);
        QCOMPARE(form.menuBackgroundColor->actions().size(), frameEntries);
        QCOMPARE(checkedIndex(form.menuBorderColor), frameEntries ? int(expected.border) : -1);
        QCOMPARE(checkedIndex(form.menuBackgroundColor),
                 frameEntries ? int(expected.background) : -1);
        QCOMPARE(form.menuBorderColor->isEnabled(), frameMenusEnabled);
        QCOMPARE(form.menuBackgroundColor->isEnabled(), frameMenusEnabled);
    }

    void noPictureDeadline_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("nothing") << QByteArray();
        QTest::newRow("unknown format") << Protocol::encodeUpdate(4, 1, 1, patternCells(0, 0));
        QTest::newRow("short Update")
            << Protocol::encodeUpdate(3, 1, 1, patternCells(3, 0).left(999));
        QTest::newRow("half a message")
            << Protocol::encodeUpdate(2, 1, 1, patternCells(2, 0)).left(300);
    }

    // A server that connects but sends no usable picture would leave every menu disabled; the
    // window gives it up and says so, as for a failed connect.
    void noPictureDeadline()
    {
        QFETCH(QByteArray, bytes);
        Celvane::setPictureDeadline(1000);
        const auto restoreDeadline = qScopeGuard([] { Celvane::setPictureDeadline(10000); });

        Celvane window;
        QString title;
        QString text;
        QString statusUnderBox;
        ModalWatcher watcher({[&](QWidget *modal) {
                                  auto *box = qobject_cast<QMessageBox *>(modal);
                                  QVERIFY(box);
                                  title = box->windowTitle();
                                  text = box->text();
                                  statusUnderBox = statusText(window);
                                  box->button(QMessageBox::Ok)->click();
                              },
                              ModalWatcher::unexpected()});
        auto peer = connectWindow(window);
        QVERIFY(peer);
        peer->write(bytes);

        QTRY_VERIFY_WITH_TIMEOUT(watcher.handledCount() == 1, 30000);
        QCOMPARE(title,
                 QStringLiteral("Unable to connect to 127.0.0.1:%1.").arg(server.serverPort()));
        QCOMPARE(text, QStringLiteral("The server sent no picture."));
        QCOMPARE(statusUnderBox, QStringLiteral("Receiving update..."));
        QTRY_COMPARE(statusText(window), QStringLiteral("Disconnected"));
        QVERIFY(window.form().menuBar->isEnabled());
        QVERIFY(window.form().actionConnect->isEnabled());
        QCOMPARE(canvasOf(window)->format(), nullptr);
        QCOMPARE(window.pendingBytes(), 0);
        QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
        QTRY_VERIFY(window.findChildren<QTcpSocket *>().isEmpty());
    }

    // Closing the window right after an import must not throw away the rows still in the
    // socket's buffer: a peer that reads only afterwards still gets all of them.
    void quitAfterImportWritesEverything()
    {
        QTemporaryDir dir;
        const QString picture = greenPicture(dir, QSize(40, 25));
        QVERIFY(!picture.isEmpty());

        auto window = std::make_unique<Celvane>();
        auto peer = connectWindow(*window);
        QVERIFY(peer);
        peer->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 1024);
        peer->write(Protocol::encodeUpdate(0, 0, 0, patternCells(0, 0)));
        QTRY_COMPARE(statusText(*window), QStringLiteral("Connected"));

        ModalWatcher watcher(
            {[&](QWidget *modal) {
                 auto *dialog = qobject_cast<QFileDialog *>(modal);
                 QVERIFY(dialog);
                 dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(picture);
                 static_cast<QDialog *>(dialog)->accept();
             },
             ModalWatcher::unexpected()});
        window->form().actionLoadImage->trigger();
        QCOMPARE(watcher.handledCount(), 1);
        // Straight from the import to closing: the event loop does not run in between.
        QVERIFY(window->close());
        window.reset();

        QByteArray received;
        QVERIFY(waitUntil([&] {
            received.append(peer->read(64));
            return peer->state() == QAbstractSocket::UnconnectedState &&
                   peer->bytesAvailable() == 0;
        }));
        // All 25 rows of format 0, every cell green, palette entry 1.
        QByteArray row = QByteArray::fromHex("00280000") + QByteArray(40, char(1));
        QByteArray expected;
        for (int y = 0; y < 25; ++y) {
            row[0] = char(y);
            expected += rawMessage(Protocol::RowData, row);
        }
        QCOMPARE(received, expected);
    }

    void closeMidMessage_data()
    {
        QTest::addColumn<bool>("firstUpdate");
        QTest::addColumn<int>("partialBytes");
        QTest::newRow("before any Update, mid-header") << false << 2;
        QTest::newRow("before any Update, mid-payload") << false << 700;
        QTest::newRow("connected, mid-header") << true << 3;
        QTest::newRow("connected, header only") << true << 4;
        QTest::newRow("connected, one byte short") << true << 1007;
    }

    void closeMidMessage()
    {
        QFETCH(bool, firstUpdate);
        QFETCH(int, partialBytes);

        Celvane window;
        auto peer = connectWindow(window);
        QVERIFY(peer);
        if (firstUpdate) {
            peer->write(Protocol::encodeUpdate(2, 1, 2, patternCells(2, 0)));
            QTRY_COMPARE(statusText(window), QStringLiteral("Connected"));
        }
        const QByteArray next = Protocol::encodeUpdate(3, 1, 2, patternCells(3, 1));
        peer->write(next.left(partialBytes));
        QTRY_COMPARE(window.pendingBytes(), partialBytes);

        peer->disconnectFromHost();
        QTRY_COMPARE(statusText(window), QStringLiteral("Disconnected"));
        QCOMPARE(canvasOf(window)->format(), nullptr);
        QCOMPARE(window.pendingBytes(), 0);
        QVERIFY(window.form().actionConnect->isEnabled());
        QVERIFY(!window.form().actionDisconnect->isEnabled());
        QVERIFY(!window.form().menuDrawingColor->isEnabled());

        // The half message is gone for good: the next connection starts from a clean stream.
        peer = connectWindow(window);
        QVERIFY(peer);
        peer->write(Protocol::encodeUpdate(0, 0, 0, patternCells(0, 2)));
        QTRY_COMPARE(statusText(window), QStringLiteral("Connected"));
        QCOMPARE(cellsOf(canvasOf(window)), patternCells(0, 2));
    }

    void connectionLostUnderImportDialogs_data()
    {
        QTest::addColumn<bool>("duringWarning");
        QTest::newRow("file dialog open") << false;
        QTest::newRow("warning box open") << true;
    }

    void connectionLostUnderImportDialogs()
    {
        QFETCH(bool, duringWarning);

        QTemporaryDir dir;
        const QString picture = greenPicture(dir, QSize(30, 20));
        QVERIFY(!picture.isEmpty());
        const QString notPicture = dir.filePath(QStringLiteral("not-a-picture.png"));
        QFile file(notPicture);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("these bytes are text, not an image");
        file.close();

        Celvane window;
        auto peer = connectWindow(window);
        QVERIFY(peer);
        peer->write(Protocol::encodeUpdate(0, 0, 0, patternCells(0, 0)));
        QTRY_COMPARE(statusText(window), QStringLiteral("Connected"));

        // Drives the modal boxes from inside their own event loops, one step per tick.
        int step = 0;
        QString warningTitle;
        QString warningText;
        QTimer driver;
        driver.setInterval(5);
        connect(&driver, &QTimer::timeout, this, [&] {
            QWidget *modal = QApplication::activeModalWidget();
            const bool disconnected = statusText(window) == QLatin1String("Disconnected");
            if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
                if (!duringWarning && step == 0) {
                    peer->abort();
                    step = 1;
                } else if (duringWarning || disconnected) {
                    // The name goes into the name field as a user would type it: selectFile()
                    // leaves a focused field alone until the folder has been listed.
                    dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))
                        ->setText(duringWarning ? notPicture : picture);
                    // QFileDialog hides accept(); QDialog's public one reaches its override.
                    static_cast<QDialog *>(dialog)->accept();
                    step = 2;
                }
            } else if (auto *box = qobject_cast<QMessageBox *>(modal)) {
                if (step == 2) {
                    warningTitle = box->windowTitle();
                    warningText = box->text();
                    peer->abort();
                    step = 3;
                } else if (step == 3 && disconnected) {
                    box->button(QMessageBox::Ok)->click();
                    step = 4;
                }
            }
        });
        driver.start();
        window.form().actionLoadImage->trigger();
        driver.stop();

        QCOMPARE(step, duringWarning ? 4 : 2);
        if (duringWarning) {
            QCOMPARE(warningTitle, QStringLiteral("Error"));
            QCOMPARE(warningText, QStringLiteral("Unable to open image."));
        }
        QCOMPARE(statusText(window), QStringLiteral("Disconnected"));
        QCOMPARE(canvasOf(window)->format(), nullptr);
        QTRY_VERIFY(window.findChildren<QTcpSocket *>().isEmpty());
    }

    void manyConnections()
    {
        constexpr int Cycles = 200;
        constexpr int WarmUp = 20;
        Celvane window;

        qint64 rssAfterWarmUp = 0;
        for (int cycle = 0; cycle < Cycles; ++cycle) {
            auto peer = connectWindow(window);
            QVERIFY2(peer, qPrintable(QStringLiteral("cycle %1").arg(cycle)));
            const int formatNumber = cycle % 4;
            peer->write(Protocol::encodeUpdate(uint8(formatNumber), 1, 0,
                                               patternCells(formatNumber, cycle)));
            // Woken by the window's own events rather than QTRY's 50 ms polls, for 200 rounds.
            QVERIFY(waitUntil([&] { return statusText(window) == QLatin1String("Connected"); }));

            // Alternate who ends it: the user, or the server.
            if (cycle % 2)
                window.form().actionDisconnect->trigger();
            else
                peer->abort();
            QVERIFY(waitUntil([&] { return statusText(window) == QLatin1String("Disconnected"); }));

            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QVERIFY2(window.findChildren<QTcpSocket *>().isEmpty(),
                     qPrintable(QStringLiteral("cycle %1").arg(cycle)));
            if (cycle + 1 == WarmUp)
                rssAfterWarmUp = residentBytes();
        }
        const qint64 growth = residentBytes() - rssAfterWarmUp;
        QVERIFY(rssAfterWarmUp > 0);
        qInfo("resident memory changed by %lld KiB over the last %d connections", growth / 1024,
              Cycles - WarmUp);
#ifdef CELVANE_UNDER_ASAN
        // AddressSanitizer holds freed blocks back for a while, so resident memory climbs
        // regardless; its leak check at exit stands in for this bound.
        Q_UNUSED(growth);
#else
        QVERIFY2(growth < 4 * 1024 * 1024, qPrintable(QStringLiteral("grew by %1").arg(growth)));
#endif
    }
};

CELVANE_TEST_MAIN(tst_HostileServer)
#include "tst_hostileserver.moc"
