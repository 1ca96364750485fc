#include "app/celvane.h"
#include "canvas/canvas.h"
#include "model/canvasformat.h"
#include "model/imagetocells.h"
#include "painting/canvasgeometry.h"
#include "server/picturerenderer.h"
#include "server/samplepicture.h"
#include "tests/support/serverclient.h"
#include "tests/support/serverprocess.h"
#include "tests/support/testsupport.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLinearGradient>
#include <QMenu>
#include <QPainter>
#include <QtTest>

namespace {

const QString loopback = QStringLiteral("127.0.0.1");

QPoint cellCentre(const Canvas &canvas, int x, int y)
{
    const CanvasFormat &format = *canvas.format();
    const QRectF rect =
        cellPaintRect(canvas.canvasRect(), cellSize(canvas.canvasRect(), format), format, x, y);
    return rect.center().toPoint();
}

bool connectWindow(Celvane &window, quint16 port)
{
    window.connectToServer(loopback, port);
    return QTest::qWaitFor(
        [&] { return TestSupport::statusText(window) == QLatin1String("Connected"); }, 5000);
}

} // namespace

// The real main window against the real server program.
class tst_ServerClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void windowAndServerTogether();
};

void tst_ServerClient::windowAndServerTogether()
{
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start({QStringLiteral("--demo")}), server.failure());

    Celvane window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(connectWindow(window, server.port()));
    Canvas *canvas = TestSupport::canvasOf(window);
    QCOMPARE(canvas->format(), canvasFormat(3));
    const Picture sample = samplePicture(3);
    QCOMPARE(TestSupport::cellsOf(canvas), sample.cells());
    QCOMPARE(canvas->borderColor(), sample.border());
    // An exported picture is what the window shows, pixel for pixel.
    QCOMPARE(canvas->grab().toImage().convertToFormat(QImage::Format_RGB32),
             PictureRenderer::render(sample, canvas->size()));

    // The picture as a newcomer sees it. A connection of its own each time: a client that asked
    // before would wait out the server's interval between two Updates to one client.
    const auto fetchPicture = [&server]() -> std::optional<Picture> {
        ServerClient observer;
        return observer.connectTo(server.port()) ? observer.fetchPicture() : std::nullopt;
    };

    // Paint with real mouse events: a click, a drag across three cells, and a right-click that
    // erases a cell of the scene.
    QTest::mouseClick(canvas, Qt::LeftButton, {}, cellCentre(*canvas, 2, 3));
    QTest::mousePress(canvas, Qt::LeftButton, {}, cellCentre(*canvas, 5, 2));
    QTest::mouseMove(canvas, cellCentre(*canvas, 6, 2));
    QTest::mouseMove(canvas, cellCentre(*canvas, 7, 2));
    QTest::mouseRelease(canvas, Qt::LeftButton, {}, cellCentre(*canvas, 7, 2));
    QVERIFY(sample.cell(5, 22) != EmptyCell);
    QTest::mouseClick(canvas, Qt::RightButton, {}, cellCentre(*canvas, 5, 22));
    for (const QPoint cell : {QPoint(2, 3), QPoint(5, 2), QPoint(6, 2), QPoint(7, 2)})
        QCOMPARE(canvas->cell(cell.x(), cell.y()), quint8(1));
    QCOMPARE(canvas->cell(5, 22), quint8(EmptyCell));

    std::optional<Picture> seen;
    QTRY_VERIFY((seen = fetchPicture()) && seen->cells() == TestSupport::cellsOf(canvas));
    QVERIFY(seen->cells() != sample.cells());

    // A border colour from the menu.
    QAction *orange = window.form().menuBorderColor->actions().at(8);
    orange->trigger();
    QCOMPARE(canvas->borderColor(), quint8(8));
    QTRY_VERIFY((seen = fetchPicture()) && seen->border() == 8);
    QCOMPARE(seen->background(), sample.background());

    // Clear.
    window.form().actionClear->trigger();
    QTRY_VERIFY((seen = fetchPicture()) && seen->cells() == QByteArray(1000, char(EmptyCell)));

    // Import, the way Load Image hands a picked file on: every cell into the canvas, one row at
    // a time to the server.
    QImage source(97, 61, QImage::Format_RGB32);
    {
        QPainter painter(&source);
        QLinearGradient gradient(0, 0, 97, 61);
        gradient.setColorAt(0, Qt::red);
        gradient.setColorAt(0.5, Qt::yellow);
        gradient.setColorAt(1, Qt::blue);
        painter.fillRect(source.rect(), gradient);
    }
    const QImage cells = imageToCells(source, *canvas->format());
    QByteArray imported;
    for (int y = 0; y < 25; ++y) {
        const uchar *line = cells.constScanLine(y);
        for (int x = 0; x < 40; ++x)
            canvas->setCell(uint8(x), uint8(y), line[x]);
        window.sendRow(uint8(y), 40, line);
        imported.append(reinterpret_cast<const char *>(line), 40);
    }
    QVERIFY(QSet<char>(imported.cbegin(), imported.cend()).size() > 2);
    QTRY_VERIFY((seen = fetchPicture()) && seen->cells() == imported);
    QCOMPARE(TestSupport::cellsOf(canvas), imported);

    // A second window connecting later sees the same picture.
    Celvane second;
    second.show();
    QVERIFY(QTest::qWaitForWindowExposed(&second));
    QVERIFY(connectWindow(second, server.port()));
    QCOMPARE(TestSupport::cellsOf(TestSupport::canvasOf(second)), imported);
    QCOMPARE(TestSupport::canvasOf(second)->borderColor(), quint8(8));

    // And the server saw nothing it had to refuse.
    QCOMPARE(server.countLogLines("refused a message"), 0);
    QCOMPARE(server.terminate(), 0);
    QTRY_COMPARE(TestSupport::statusText(window), QStringLiteral("Disconnected"));
}

CELVANE_TEST_MAIN(tst_ServerClient)
#include "tst_serverclient.moc"
