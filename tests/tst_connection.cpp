#include "app/celvane.h"
#include "canvas/canvas.h"
#include "connection/protocol.h"
#include "dialogs/connectdialog.h"
#include "model/canvasformat.h"
#include "painting/canvasgeometry.h"
#include "settings/connectionpreferences.h"
#include "tests/support/fakepictureserver.h"
#include "tests/support/modalwatcher.h"
#include "tests/support/paintcounter.h"
#include "tests/support/testsupport.h"

#include <QAction>
#include <QActionGroup>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <array>
#include <memory>

using namespace TestSupport;

namespace {

QByteArray command(int opcode, int a, int b, int c)
{
    return Protocol::encodeCommand(quint8(opcode), quint8(a), quint8(b), quint8(c));
}

QByteArray updateMessage(int formatNumber, int border, int background, const QByteArray &cells)
{
    return Protocol::encodeUpdate(quint8(formatNumber), quint8(border), quint8(background), cells);
}

} // namespace

class tst_Connection : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<Celvane> window;
    std::unique_ptr<FakePictureServer> server;

    const Ui::CelvaneClass &ui() const { return window->form(); }
    Canvas *canvas() const { return canvasOf(*window); }
    QString status() const { return statusText(*window); }

    // Connects the window to the fake server and waits until the Hello has arrived.
    void connectAndGreet()
    {
        server->clearReceived();
        window->connectToServer(FakePictureServer::host(), server->port());
        QTRY_VERIFY(server->hasClient());
        QTRY_COMPARE(server->received(), Protocol::encodeHello());
        server->clearReceived();
    }

    void connectAndInstall(int formatNumber, int border, int background)
    {
        connectAndGreet();
        server->sendUpdate(quint8(formatNumber), quint8(border), quint8(background),
                           patternCells(formatNumber));
        QTRY_COMPARE(status(), QStringLiteral("Connected"));
    }

    void checkFlags(bool menuBar, bool connect, bool disconnect, bool clear, bool loadImage,
                    bool border, bool background, bool drawing, const QString &text)
    {
        QCOMPARE(ui().menuBar->isEnabled(), menuBar);
        QCOMPARE(ui().actionConnect->isEnabled(), connect);
        QCOMPARE(ui().actionDisconnect->isEnabled(), disconnect);
        QCOMPARE(ui().actionClear->isEnabled(), clear);
        QCOMPARE(ui().actionLoadImage->isEnabled(), loadImage);
        QCOMPARE(ui().menuBorderColor->isEnabled(), border);
        QCOMPARE(ui().menuBackgroundColor->isEnabled(), background);
        QCOMPARE(ui().menuDrawingColor->isEnabled(), drawing);
        QCOMPARE(status(), text);
    }

    void checkDisconnected()
    {
        checkFlags(true, true, false, false, false, false, false, false,
                   QStringLiteral("Disconnected"));
        QVERIFY(!canvas()->format());
    }

    void checkColorMenu(QMenu *menu, const QList<QColor> &palette, int checked)
    {
        const auto actions = menu->actions();
        QCOMPARE(actions.size(), palette.size());
        QActionGroup *group = actions.first()->actionGroup();
        QVERIFY(group);
        QVERIFY(group->isExclusive());
        QCOMPARE(group->parent(), menu);
        QCOMPARE(group->actions(), actions);
        // Earlier pictures' groups are gone with their entries.
        QCOMPARE(menu->findChildren<QActionGroup *>(QString(), Qt::FindDirectChildrenOnly).size(),
                 1);
        for (int i = 0; i < actions.size(); ++i) {
            QAction *action = actions.at(i);
            QCOMPARE(action->text(), palette.at(i).name());
            QCOMPARE(action->data().typeId(), QMetaType::Int);
            QCOMPARE(action->data().toInt(), i);
            QVERIFY(action->isCheckable());
            QCOMPARE(action->isChecked(), i == checked);
            QVERIFY(action->isIconVisibleInMenu());
            QCOMPARE(action->parent(), menu);
            QCOMPARE(action->actionGroup(), group);
            QCOMPARE(action->icon().availableSizes(), QList<QSize>({QSize(10, 10)}));
            const QImage swatch = action->icon().pixmap(QSize(10, 10)).toImage();
            QCOMPARE(swatch.pixelColor(0, 0).rgb(), palette.at(i).rgb());
            QCOMPARE(swatch.pixelColor(9, 9).rgb(), palette.at(i).rgb());
        }
    }

    // A widget point inside cell (x, y), checked against the mapping the canvas itself uses.
    QPoint cellPoint(int x, int y)
    {
        const CanvasFormat &format = *canvas()->format();
        const QRectF rect = canvas()->canvasRect();
        const CellSize size = cellSize(rect, format);
        const QPoint point =
            QPointF(rect.left() + (x + 0.5) * size.width, rect.top() + (y + 0.4) * size.height)
                .toPoint();
        int hitX = -1;
        int hitY = -1;
        if (!cellAt(rect, format, point, &hitX, &hitY) || hitX != x || hitY != y)
            qWarning("point %d,%d misses cell %d,%d", point.x(), point.y(), x, y);
        return point;
    }

private Q_SLOTS:
    void init()
    {
        window = std::make_unique<Celvane>();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        server = std::make_unique<FakePictureServer>();
        QVERIFY(server->listen());
    }

    void cleanup()
    {
        window.reset();
        server.reset();
    }

    void startsDisconnected()
    {
        checkDisconnected();
        QVERIFY(window->findChildren<QTcpSocket *>().isEmpty());
    }

    void updateInstalled_data()
    {
        QTest::addColumn<int>("formatNumber");
        QTest::addColumn<int>("border");
        QTest::addColumn<int>("background");

        QTest::newRow("format 0") << 0 << 0 << 0;
        QTest::newRow("format 1") << 1 << 1 << 0;
        QTest::newRow("format 2") << 2 << 7 << 3;
        QTest::newRow("format 3") << 3 << 6 << 14;
    }

    void updateInstalled()
    {
        QFETCH(int, formatNumber);
        QFETCH(int, border);
        QFETCH(int, background);

        window->connectToServer(FakePictureServer::host(), server->port());
        // Connecting has passed by the time the connect returns; the Update is awaited with
        // the menu bar locked.
        checkFlags(false, true, false, false, false, false, false, false,
                   QStringLiteral("Receiving update..."));
        QTRY_COMPARE(server->received(), Protocol::encodeHello());
        QCOMPARE(server->connectionCount(), 1);

        server->sendUpdate(quint8(formatNumber), quint8(border), quint8(background),
                           patternCells(formatNumber));
        QTRY_COMPARE(status(), QStringLiteral("Connected"));

        const CanvasFormat *format = canvasFormats().at(formatNumber);
        const bool frames = format->hasFrameColors;
        checkFlags(true, false, true, true, true, frames, frames, true,
                   QStringLiteral("Connected"));
        QCOMPARE(canvas()->format(), format);
        QCOMPARE(cellsOf(canvas()), patternCells(formatNumber));
        QCOMPARE(int(canvas()->borderColor()), border);
        QCOMPARE(int(canvas()->backgroundColor()), background);
        QCOMPARE(int(canvas()->penColor()), 1);

        checkColorMenu(ui().menuDrawingColor, format->palette, 1);
        if (frames) {
            checkColorMenu(ui().menuBorderColor, format->palette, border);
            checkColorMenu(ui().menuBackgroundColor, format->palette, background);
        } else {
            QVERIFY(ui().menuBorderColor->actions().isEmpty());
            QVERIFY(ui().menuBackgroundColor->actions().isEmpty());
        }
        // The client answers nothing.
        QCOMPARE(server->received(), Protocol::encodeHello());
    }

    void outOfPaletteValuesInstalledAsReceived()
    {
        connectAndGreet();
        QByteArray cells = patternCells(2);
        cells[0] = char(EmptyCell);
        cells[1] = char(8);
        cells[2] = char(200);
        server->sendUpdate(2, 200, 8, cells);
        QTRY_COMPARE(status(), QStringLiteral("Connected"));

        QCOMPARE(cellsOf(canvas()), cells);
        QCOMPARE(int(canvas()->borderColor()), 200);
        QCOMPARE(int(canvas()->backgroundColor()), 8);
        QCOMPARE(ui().menuBorderColor->actions().size(), 8);
        QCOMPARE(checkedIndex(ui().menuBorderColor), -1);
        QCOMPARE(checkedIndex(ui().menuBackgroundColor), -1);
        QCOMPARE(checkedIndex(ui().menuDrawingColor), 1);
    }

    void paintingAndErasingSendCells()
    {
        connectAndInstall(3, 0, 0);
        Canvas *c = canvas();
        QByteArray expected;

        QTest::mouseClick(c, Qt::LeftButton, {}, cellPoint(3, 2));
        QCOMPARE(int(c->cell(3, 2)), 1);
        expected += command(Protocol::SetCellCommand, 3, 2, 1);
        QTRY_COMPARE(server->received(), expected);

        QTest::mouseClick(c, Qt::RightButton, {}, cellPoint(3, 2));
        QCOMPARE(int(c->cell(3, 2)), int(EmptyCell));
        expected += command(Protocol::SetCellCommand, 3, 2, 255);

        // Erasing an empty cell and painting a cell that already holds the pen colour change
        // nothing and send nothing.
        QTest::mouseClick(c, Qt::RightButton, {}, cellPoint(3, 2));
        QCOMPARE(int(c->cell(1, 0)), 1);
        QTest::mouseClick(c, Qt::LeftButton, {}, cellPoint(1, 0));

        // A drag paints every cell it crosses.
        QTest::mousePress(c, Qt::LeftButton, {}, cellPoint(10, 24));
        QTest::mouseMove(c, cellPoint(11, 24));
        QTest::mouseMove(c, cellPoint(12, 24));
        QTest::mouseRelease(c, Qt::LeftButton, {}, cellPoint(12, 24));
        expected += command(Protocol::SetCellCommand, 10, 24, 1);
        expected += command(Protocol::SetCellCommand, 11, 24, 1);
        expected += command(Protocol::SetCellCommand, 12, 24, 1);

        ui().actionClear->trigger();
        expected += command(Protocol::ClearCommand, 0, 0, 0);
        QTRY_COMPARE(server->received(), expected);
    }

    void clearEmptiesAndSends()
    {
        connectAndInstall(0, 0, 0);
        ui().actionClear->trigger();
        QCOMPARE(cellsOf(canvas()), QByteArray(1000, char(EmptyCell)));
        QTRY_COMPARE(server->received(), QByteArray::fromHex("0300040000000000"));
    }

    void frameAndPenChoices()
    {
        connectAndInstall(3, 6, 14);
        QByteArray expected;

        ui().menuBorderColor->actions().at(3)->trigger();
        QCOMPARE(int(canvas()->borderColor()), 3);
        QCOMPARE(checkedIndex(ui().menuBorderColor), 3);
        expected += QByteArray::fromHex("03000400"
                                        "01030e00");
        QTRY_COMPARE(server->received(), expected);

        ui().menuBackgroundColor->actions().at(9)->trigger();
        QCOMPARE(int(canvas()->backgroundColor()), 9);
        expected += QByteArray::fromHex("03000400"
                                        "01030900");
        QTRY_COMPARE(server->received(), expected);

        // The entry already chosen sends the same colours again.
        ui().menuBorderColor->actions().at(3)->trigger();
        QCOMPARE(checkedIndex(ui().menuBorderColor), 3);
        expected += QByteArray::fromHex("03000400"
                                        "01030900");

        // A drawing colour stays local; the next painted cell carries it.
        ui().menuDrawingColor->actions().at(5)->trigger();
        QCOMPARE(int(canvas()->penColor()), 5);
        QCOMPARE(checkedIndex(ui().menuDrawingColor), 5);
        QTest::mouseClick(canvas(), Qt::LeftButton, {}, cellPoint(0, 0));
        expected += command(Protocol::SetCellCommand, 0, 0, 5);
        QTRY_COMPARE(server->received(), expected);
        QCOMPARE(int(canvas()->borderColor()), 3);
        QCOMPARE(int(canvas()->backgroundColor()), 9);
    }

    void serverCloseReturnsToDisconnected()
    {
        connectAndInstall(2, 1, 2);
        server->closeConnection();
        QTRY_COMPARE(status(), QStringLiteral("Disconnected"));
        checkDisconnected();
        // The menus keep their entries, disabled, until the next picture.
        QCOMPARE(ui().menuDrawingColor->actions().size(), 8);
        QTRY_VERIFY(window->findChildren<QTcpSocket *>().isEmpty());

        // Nothing to write to any more, and no harm in trying; nor is anything kept back for the
        // next connection, whose first edit follows its Hello directly.
        window->sendCommand(Protocol::ClearCommand, 0, 0, 0);
        const quint8 row[2] = {0, 1};
        window->sendRow(0, 2, row);
        QCOMPARE(status(), QStringLiteral("Disconnected"));
        connectAndInstall(2, 1, 2);
        QCOMPARE(server->connectionCount(), 2);
        ui().actionClear->trigger();
        QTRY_COMPARE(server->received(), command(Protocol::ClearCommand, 0, 0, 0));
    }

    void serverCloseBeforeAnyUpdate()
    {
        connectAndGreet();
        QCOMPARE(status(), QStringLiteral("Receiving update..."));
        server->closeConnection();
        QTRY_COMPARE(status(), QStringLiteral("Disconnected"));
        checkDisconnected();
        QVERIFY(ui().menuDrawingColor->actions().isEmpty());
    }

    void userDisconnect()
    {
        connectAndInstall(0, 0, 0);
        QSignalSpy gone(server.get(), &FakePictureServer::clientDisconnected);
        ui().actionDisconnect->trigger();
        QTRY_COMPARE(status(), QStringLiteral("Disconnected"));
        checkDisconnected();
        QTRY_COMPARE(gone.count(), 1);
        QVERIFY(server->received().isEmpty());
    }

    void secondConnectWorksLikeFirst()
    {
        connectAndInstall(3, 6, 14);
        ui().menuDrawingColor->actions().at(4)->trigger();
        server->closeConnection();
        QTRY_COMPARE(status(), QStringLiteral("Disconnected"));

        window->connectToServer(FakePictureServer::host(), server->port());
        QCOMPARE(status(), QStringLiteral("Receiving update..."));
        QVERIFY(!ui().menuBar->isEnabled());
        QTRY_COMPARE(server->received(), Protocol::encodeHello());
        QTRY_COMPARE(server->connectionCount(), 2);

        server->sendUpdate(0, 0, 0, patternCells(0));
        QTRY_COMPARE(status(), QStringLiteral("Connected"));
        QCOMPARE(canvas()->format(), canvasFormats().at(0));
        QCOMPARE(cellsOf(canvas()), patternCells(0));
        QCOMPARE(int(canvas()->penColor()), 1);
        checkColorMenu(ui().menuDrawingColor, canvasFormats().at(0)->palette, 1);
        QVERIFY(ui().menuBorderColor->actions().isEmpty());
        QVERIFY(!ui().menuBorderColor->isEnabled());

        QTest::mouseClick(canvas(), Qt::RightButton, {}, cellPoint(1, 0));
        QTRY_COMPARE(server->received(),
                     Protocol::encodeHello() + command(Protocol::SetCellCommand, 1, 0, 255));
    }

    void twoUpdatesInOneWrite()
    {
        connectAndGreet();
        QByteArray cells = patternCells(3);
        cells[999] = char(15);
        server->sendBytes(updateMessage(2, 1, 2, patternCells(2)) + updateMessage(3, 5, 6, cells));
        QTRY_COMPARE(canvas()->format(), canvasFormats().at(3));
        QCOMPARE(status(), QStringLiteral("Connected"));
        QCOMPARE(cellsOf(canvas()), cells);
        checkColorMenu(ui().menuBorderColor, canvasFormats().at(3)->palette, 5);
        checkColorMenu(ui().menuBackgroundColor, canvasFormats().at(3)->palette, 6);
        checkColorMenu(ui().menuDrawingColor, canvasFormats().at(3)->palette, 1);
    }

    void furtherUpdateForSameFormatReplacesCells()
    {
        connectAndInstall(3, 6, 14);
        ui().menuDrawingColor->actions().at(7)->trigger();
        ui().menuBorderColor->actions().at(2)->trigger();

        QByteArray cells(1000, char(EmptyCell));
        cells[0] = char(4);
        server->sendUpdate(3, 9, 10, cells);
        QTRY_COMPARE(int(canvas()->borderColor()), 9);
        QCOMPARE(cellsOf(canvas()), cells);
        QCOMPARE(int(canvas()->backgroundColor()), 10);
        QCOMPARE(int(canvas()->penColor()), 1);
        checkColorMenu(ui().menuBorderColor, canvasFormats().at(3)->palette, 9);
        checkColorMenu(ui().menuBackgroundColor, canvasFormats().at(3)->palette, 10);
        checkColorMenu(ui().menuDrawingColor, canvasFormats().at(3)->palette, 1);
    }

    // A server that sends pictures for as long as the connection lasts must not make the menus
    // grow: each picture's entries replace the last one's.
    void manyUpdatesKeepTheMenusSmall()
    {
        connectAndInstall(3, 0, 0);
        const int childrenAfterOne = ui().menuDrawingColor->children().size();
        QByteArray stream;
        for (int i = 0; i < 100; ++i)
            stream += updateMessage(3, quint8(i % 16), 0, patternCells(3));
        server->sendBytes(stream);
        QTRY_COMPARE(int(canvas()->borderColor()), 99 % 16);
        QCOMPARE(ui().menuDrawingColor->children().size(), childrenAfterOne);
        checkColorMenu(ui().menuBorderColor, canvasFormats().at(3)->palette, 99 % 16);
        checkColorMenu(ui().menuBackgroundColor, canvasFormats().at(3)->palette, 0);
        checkColorMenu(ui().menuDrawingColor, canvasFormats().at(3)->palette, 1);
    }

    void twoColourUpdateAfterEightColours()
    {
        connectAndInstall(2, 1, 2);
        server->sendUpdate(0, 0, 0, patternCells(0));
        QTRY_COMPARE(canvas()->format(), canvasFormats().at(0));
        // The frame menus are emptied; nothing disables them until the connection ends.
        QVERIFY(ui().menuBorderColor->actions().isEmpty());
        QVERIFY(ui().menuBackgroundColor->actions().isEmpty());
        QVERIFY(ui().menuBorderColor->findChildren<QActionGroup *>().isEmpty());
        QVERIFY(ui().menuBackgroundColor->findChildren<QActionGroup *>().isEmpty());
        QVERIFY(ui().menuBorderColor->isEnabled());
        QVERIFY(ui().menuBackgroundColor->isEnabled());
        checkColorMenu(ui().menuDrawingColor, canvasFormats().at(0)->palette, 1);
    }

    void unknownFormatKeepsWaiting_data()
    {
        QTest::addColumn<int>("formatNumber");
        QTest::newRow("4") << 4;
        QTest::newRow("255") << 255;
    }

    void unknownFormatKeepsWaiting()
    {
        QFETCH(int, formatNumber);
        connectAndGreet();
        const QByteArray next = updateMessage(0, 0, 0, patternCells(0));
        // Two bytes of the next message show that the first has been consumed.
        server->sendBytes(updateMessage(formatNumber, 0, 0, patternCells(1)) + next.first(2));
        QTRY_COMPARE(window->pendingBytes(), 2);
        checkFlags(false, true, false, false, false, false, false, false,
                   QStringLiteral("Receiving update..."));
        QVERIFY(!canvas()->format());

        server->sendBytes(next.sliced(2));
        QTRY_COMPARE(status(), QStringLiteral("Connected"));
        QCOMPARE(canvas()->format(), canvasFormats().at(0));
    }

    void strayAndMalformedMessages()
    {
        // A reserved byte that is not zero, which the window must not look at.
        constexpr int Reserved = 0x5a;
        connectAndGreet();
        QByteArray junk;
        junk += rawMessage(Protocol::Hello, QByteArray::fromHex("03000000"), Reserved);
        junk += rawMessage(Protocol::Command, QByteArray::fromHex("00000000"), Reserved);
        junk += rawMessage(Protocol::RowData, QByteArray::fromHex("0001000007"), Reserved);
        junk += rawMessage(0, QByteArray(), Reserved);
        junk += rawMessage(5, QByteArray("five"), Reserved);
        junk += rawMessage(9, QByteArray(), Reserved);
        junk += rawMessage(255, QByteArray(300, '\2'), Reserved);
        // Updates too short for any format, or for their own.
        junk += rawMessage(Protocol::Update, QByteArray(), Reserved);
        junk += rawMessage(Protocol::Update, QByteArray::fromHex("000000"), Reserved);
        junk += rawMessage(Protocol::Update,
                           QByteArray::fromHex("02000000") + QByteArray(505, '\1'), Reserved);
        junk += rawMessage(Protocol::Update,
                           QByteArray::fromHex("01000000") + QByteArray(1000, '\1'), Reserved);

        // An over-long Update whose surplus would be a valid Update of another format if it
        // were read as the next message.
        const QByteArray decoy = updateMessage(3, 0, 0, QByteArray(1000, '\5'));
        const QByteArray overLong = rawMessage(
            Protocol::Update, QByteArray::fromHex("02030100") + patternCells(2) + decoy, Reserved);

        server->sendBytes(junk + overLong.first(3));
        QTRY_COMPARE(window->pendingBytes(), 3);
        QCOMPARE(status(), QStringLiteral("Receiving update..."));
        QVERIFY(!canvas()->format());
        QVERIFY(liveSocketOf(*window));

        const QByteArray last = updateMessage(1, 0, 1, patternCells(1));
        server->sendBytes(overLong.sliced(3) + rawMessage(9, "x") + last.first(1));
        QTRY_COMPARE(window->pendingBytes(), 1);
        QCOMPARE(status(), QStringLiteral("Connected"));
        QCOMPARE(canvas()->format(), canvasFormats().at(2));
        QCOMPARE(cellsOf(canvas()), patternCells(2));
        QCOMPARE(int(canvas()->borderColor()), 3);
        QCOMPARE(int(canvas()->backgroundColor()), 1);

        server->sendBytes(last.sliced(1));
        QTRY_COMPARE(canvas()->format(), canvasFormats().at(1));
        QCOMPARE(cellsOf(canvas()), patternCells(1));
        QCOMPARE(window->pendingBytes(), 0);
        QVERIFY(liveSocketOf(*window));
        QVERIFY(server->received().isEmpty());
    }

    void failedConnect_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("closedPort");

        QTest::newRow("refused") << FakePictureServer::host() << true;
        // Neither is an address: the attempt fails without anything being looked up or dialled.
        QTest::newRow("a name") << QStringLiteral("picture-server") << false;
        QTest::newRow("placeholder in the text") << QStringLiteral("127.0.0.1%1") << false;
    }

    void failedConnect()
    {
        QFETCH(QString, host);
        QFETCH(bool, closedPort);

        // A port that nothing listens on: taken from the system, then given back.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 port = closedPort ? probe.serverPort() : server->port();
        probe.close();

        QTcpSocket reference;
        reference.connectToHost(QHostAddress(host), port);
        QVERIFY(!reference.waitForConnected(5000));
        const QString expectedText = reference.errorString();
        QVERIFY(!expectedText.isEmpty());

        ModalWatcher watcher(
            {[&](QWidget *modal) {
                 auto *box = qobject_cast<QMessageBox *>(modal);
                 QVERIFY(box);
                 QCOMPARE(box->parentWidget(), window.get());
                 QCOMPARE(box->windowTitle(), QStringLiteral("Unable to connect to ") + host +
                                                  QLatin1Char(':') + QString::number(port) +
                                                  QLatin1Char('.'));
                 QCOMPARE(box->text(), expectedText);
                 QCOMPARE(box->icon(), QMessageBox::Information);
                 QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
                 // Until the box is dismissed the window still says it is connecting.
                 QCOMPARE(status(), QStringLiteral("Connecting..."));
                 QVERIFY(!ui().menuBar->isEnabled());
                 box->button(QMessageBox::Ok)->click();
             },
             ModalWatcher::unexpected()});
        window->connectToServer(host, port);
        QCOMPARE(watcher.handledCount(), 1);
        checkDisconnected();
        QTRY_VERIFY(window->findChildren<QTcpSocket *>().isEmpty());
        QCOMPARE(server->connectionCount(), 0);
    }

    void connectThroughDialog_data()
    {
        QTest::addColumn<bool>("accept");
        QTest::newRow("OK") << true;
        QTest::newRow("Cancel") << false;
    }

    void connectThroughDialog()
    {
        QFETCH(bool, accept);
        connectionPreferences().host = FakePictureServer::host();
        connectionPreferences().port = server->port();

        ModalWatcher watcher(
            {[&](QWidget *modal) {
                 auto *dialog = qobject_cast<ConnectDialog *>(modal);
                 QVERIFY(dialog);
                 // Only ever accept a loopback address.
                 if (dialog->form().host->text() != FakePictureServer::host()) {
                     dialog->reject();
                     QFAIL("the dialog does not offer the loopback address");
                 }
                 QCOMPARE(dialog->form().port->text(), QString::number(server->port()));
                 if (accept)
                     QTest::mouseClick(dialog->form().okButton, Qt::LeftButton);
                 else
                     QTest::mouseClick(dialog->form().cancelButton, Qt::LeftButton);
             },
             ModalWatcher::unexpected()});
        ui().actionConnect->trigger();
        QCOMPARE(watcher.handledCount(), 1);

        if (!accept) {
            QVERIFY(window->findChildren<QTcpSocket *>().isEmpty());
            checkDisconnected();
            return;
        }
        QTRY_COMPARE(server->received(), Protocol::encodeHello());
        QCOMPARE(status(), QStringLiteral("Receiving update..."));
        server->sendUpdate(1, 0, 0, patternCells(1));
        QTRY_COMPARE(status(), QStringLiteral("Connected"));
        QCOMPARE(canvas()->format(), canvasFormats().at(1));
    }

    void relaysAppliedOnlyWhenAnnounced_data()
    {
        QTest::addColumn<int>("formatNumber");
        QTest::addColumn<QByteArray>("relays");
        QTest::addColumn<QByteArray>("cells"); // expected; the Update held patternCells()
        QTest::addColumn<int>("border");       // the Update's are 2 and 5
        QTest::addColumn<int>("background");

        // Format 3's cells with each {x, y, value} set.
        const auto with = [](QByteArray cells, QList<std::array<int, 3>> changes) {
            for (const auto &c : changes)
                cells[c[1] * 40 + c[0]] = char(c[2]);
            return cells;
        };
        // A RowData for row y that says count cells and holds count + extra, written out by hand.
        const auto row = [](int y, int count, int value, int extra = 0) {
            return rawMessage(Protocol::RowData, QByteArray(1, char(y)) + char(count) +
                                                     QByteArray(2, '\0') +
                                                     QByteArray(count + extra, char(value)));
        };
        const QByteArray cells3 = patternCells(3);
        const QByteArray empty3(1000, char(EmptyCell));
        // A collaborator's fast stroke, every cell twice: each holds the later relay's colour.
        QByteArray stroke;
        QByteArray stroked(1000, '\0');
        for (int i = 0; i < 2000; ++i) {
            stroke += command(2, i % 40, (i / 40) % 25, i % 16);
            stroked[i % 1000] = char(i % 16);
        }

        QTest::newRow("cell") << 3 << command(2, 5, 7, 9) << with(cells3, {{5, 7, 9}}) << 2 << 5;
        QTest::newRow("erase") << 3 << command(2, 0, 0, 255) << with(cells3, {{0, 0, 255}}) << 2
                               << 5;
        QTest::newRow("header byte 1 ignored")
            << 3 << rawMessage(Protocol::Command, QByteArray::fromHex("02270c0f"), 0x5a)
            << with(cells3, {{39, 12, 15}}) << 2 << 5;
        QTest::newRow("last row of format 2")
            << 2 << row(22, 22, 4) << patternCells(2).chopped(22) + QByteArray(22, char(4)) << 2
            << 5;
        QTest::newRow("clear keeps the frame") << 3 << command(0, 0, 0, 0) << empty3 << 2 << 5;
        QTest::newRow("colours") << 3 << command(1, 14, 6, 0) << cells3 << 14 << 6;
        QTest::newRow("colours beyond the palette")
            << 2 << command(1, 200, 3, 0) << patternCells(2) << 200 << 3;
        QTest::newRow("colours in a two-colour format")
            << 0 << command(1, 1, 0, 0) << patternCells(0) << 1 << 0;
        QTest::newRow("in order: cell, clear, cell")
            << 3 << command(2, 1, 1, 2) + command(0, 0, 0, 0) + command(2, 2, 2, 3)
            << with(empty3, {{2, 2, 3}}) << 2 << 5;
        QTest::newRow("a stroke of 2000 relays") << 3 << stroke << stroked << 2 << 5;
        QTest::newRow("malformed skipped, the valid one kept")
            << 2
            << command(2, 22, 0, 1) + command(2, 0, 23, 1) + row(23, 22, 1) + row(0, 21, 1) +
                   row(0, 23, 1) + row(1, 22, 1, -1) +
                   rawMessage(Protocol::RowData, QByteArray::fromHex("021600")) +
                   command(3, 0, 0, 0) +
                   rawMessage(Protocol::Command, QByteArray::fromHex("0201010100")) +
                   rawMessage(Protocol::Command, QByteArray::fromHex("020101")) +
                   command(2, 21, 22, 7)
            << patternCells(2).chopped(1) + char(7) << 2 << 5;
    }

    void relaysAppliedOnlyWhenAnnounced()
    {
        QFETCH(int, formatNumber);
        QFETCH(QByteArray, relays);
        QFETCH(QByteArray, cells);
        QFETCH(int, border);
        QFETCH(int, background);
        const QByteArray picture = patternCells(formatNumber);
        const int frameEntries = canvasFormats().at(formatNumber)->hasFrameColors
                                     ? int(canvasFormats().at(formatNumber)->palette.size())
                                     : 0;

        // Never announced; announced; announced by one Update and withdrawn by the next.
        for (const int round : {0, 1, 2}) {
            const bool announced = round == 1;
            connectAndGreet();
            if (round == 2) {
                server->sendBytes(Protocol::encodeUpdate(quint8(formatNumber), 2, 9, picture,
                                                         Protocol::UpdateRelaysEdits));
                QTRY_VERIFY(status() == QLatin1String("Connected") &&
                            canvas()->backgroundColor() == 9);
            }
            server->sendBytes(
                Protocol::encodeUpdate(quint8(formatNumber), 2, 5, picture,
                                       announced ? Protocol::UpdateRelaysEdits : quint8(0)));
            QTRY_VERIFY(status() == QLatin1String("Connected") && canvas()->backgroundColor() == 5);
            ui().menuDrawingColor->actions().first()->trigger();
            QCOMPARE(int(canvas()->penColor()), 0);

            // The relays go out in one write, followed by the first byte of one more message:
            // the window holding exactly that byte proves every relay before it was read.
            QSignalSpy cellChanged(canvas(), &Canvas::CellChanged);
            QSignalSpy reads(liveSocketOf(*window), &QTcpSocket::readyRead);
            auto *paints = new PaintCounter(canvas());
            server->sendBytes(relays + command(2, 0, 0, 0).first(1));
            QTRY_COMPARE(window->pendingBytes(), 1);

            QCOMPARE(cellsOf(canvas()), announced ? cells : picture);
            const int b = announced ? border : 2;
            const int bg = announced ? background : 5;
            QCOMPARE(int(canvas()->borderColor()), b);
            QCOMPARE(int(canvas()->backgroundColor()), bg);
            QCOMPARE(ui().menuBorderColor->actions().size(), frameEntries);
            QCOMPARE(checkedIndex(ui().menuBorderColor), b < frameEntries ? b : -1);
            QCOMPARE(checkedIndex(ui().menuBackgroundColor), bg < frameEntries ? bg : -1);
            // Relays are nobody's edits: silent, never sent, and the pen stays the user's.
            QCOMPARE(cellChanged.count(), 0);
            QCOMPARE(int(canvas()->penColor()), 0);
            QCOMPARE(checkedIndex(ui().menuDrawingColor), 0);
            QVERIFY(server->received().isEmpty());
            // Changed cells are shown, with at most one repaint for each read however many
            // relays it brought.
            if (announced && cells != picture)
                QTRY_VERIFY(paints->count > 0);
            QVERIFY2(
                paints->count <= reads.count(),
                qPrintable(
                    QStringLiteral("%1 paints in %2 reads").arg(paints->count).arg(reads.count())));
            if (!announced)
                QCOMPARE(paints->count, 0);

            window->form().actionDisconnect->trigger();
            QTRY_COMPARE(status(), QStringLiteral("Disconnected"));
        }
    }
};

CELVANE_TEST_MAIN(tst_Connection)
#include "tst_connection.moc"
