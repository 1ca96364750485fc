#include "canvas/canvas.h"
#include "model/canvasformat.h"
#include "tests/support/paintcounter.h"
#include "tests/support/testsupport.h"

#include <QtTest>

#include <cmath>
#include <vector>

namespace {

const QColor grey(0x44, 0x44, 0x44);

// Mouse events with an explicit set of held buttons: moves reach a widget without mouse tracking
// only while some button is held, and several tests hold a button the widget must ignore.
void mouse(QWidget *widget, QEvent::Type type, Qt::MouseButton button, Qt::MouseButtons buttons,
           const QPoint &pos)
{
    QMouseEvent event(type, QPointF(pos), QPointF(widget->mapToGlobal(pos)), button, buttons,
                      Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

void press(QWidget *w, Qt::MouseButton button, Qt::MouseButtons held, const QPoint &pos)
{
    mouse(w, QEvent::MouseButtonPress, button, held | button, pos);
}

void release(QWidget *w, Qt::MouseButton button, Qt::MouseButtons stillHeld, const QPoint &pos)
{
    mouse(w, QEvent::MouseButtonRelease, button, stillHeld, pos);
}

void move(QWidget *w, Qt::MouseButtons held, const QPoint &pos)
{
    mouse(w, QEvent::MouseMove, Qt::NoButton, held, pos);
}

// A point inside cell (x, y), at the given fraction of the cell's width and height.
QPoint cellPoint(const Canvas &canvas, int x, int y, double fx = 0.5, double fy = 0.5)
{
    const QRectF r = canvas.canvasRect();
    const CanvasFormat *format = canvas.format();
    const double w = r.width() / format->columns;
    const double h = r.height() / format->rows;
    return QPoint(int(std::floor(r.left() + (x + fx) * w)),
                  int(std::floor(r.top() + (y + fy) * h)));
}

QString pixel(const QImage &image, const QPoint &pos)
{
    return image.pixelColor(pos).name();
}

// The cells in the form the canvas takes them.
std::vector<uint8> cellsOf(const Canvas &canvas)
{
    const QByteArray cells = TestSupport::cellsOf(&canvas);
    return std::vector<uint8>(cells.begin(), cells.end());
}

using Change = QList<int>;

QList<Change> changes(const QSignalSpy &spy)
{
    QList<Change> result;
    for (const QList<QVariant> &arguments : spy) {
        Change change;
        for (const QVariant &argument : arguments) {
            // The signal carries the one-byte type, not a widened integer.
            if (argument.metaType() != QMetaType::fromType<uint8>())
                return {};
            change.append(argument.value<uint8>());
        }
        result.append(change);
    }
    return result;
}

} // namespace

class tst_Canvas : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void withoutFormatShowsGrey();
    void paintsFrameAndCells_data();
    void paintsFrameAndCells();
    void rowGap_data();
    void rowGap();
    void outOfRangeFrameColors_data();
    void outOfRangeFrameColors();

    void leftClickPaintsOnce();
    void rightPressErases();
    void middleButtonDoesNothing();
    void otherButtonKeepsMode();
    void dragEmitsPerChangedCell();
    void fastDragPaintsWholeLine_data();
    void fastDragPaintsWholeLine();
    void releaseEndsDrag();
    void secondButtonSwitchesMode();
    void pressesWithoutFormat();
    void pressesOutsideGrid_data();
    void pressesOutsideGrid();
    void zeroSizedWidget_data();
    void zeroSizedWidget();

    void operationsAreSilent_data();
    void operationsAreSilent();
    void installingSameFormatChangesNothing();
    void installingOtherFormatResets();
    void installingFormatKeepsMouseMode();

private:
    Canvas *canvas = nullptr;
    PaintCounter *paints = nullptr;
};

void tst_Canvas::init()
{
    canvas = new Canvas;
    // 700x500 puts formats 0, 1 and 3 at canvasRect (113.2, 50, 473.6, 400) with rows 16 high.
    canvas->resize(700, 500);
    canvas->show();
    QVERIFY(QTest::qWaitForWindowExposed(canvas));
    QCoreApplication::processEvents();
    paints = new PaintCounter(canvas);
}

void tst_Canvas::cleanup()
{
    delete canvas;
    canvas = nullptr;
    paints = nullptr;
}

void tst_Canvas::withoutFormatShowsGrey()
{
    const QImage empty = canvas->grab().toImage();
    QCOMPARE(empty.size(), QSize(700, 500));
    for (int y = 0; y < empty.height(); y += 7)
        for (int x = 0; x < empty.width(); x += 7)
            QCOMPARE(empty.pixelColor(x, y), grey);

    canvas->setFormat(canvasFormat(3));
    canvas->setBorderColor(1);
    QCOMPARE(pixel(canvas->grab().toImage(), QPoint(1, 1)), QStringLiteral("#ffffff"));

    canvas->setFormat(nullptr);
    QCOMPARE(canvas->format(), nullptr);
    const QImage dropped = canvas->grab().toImage();
    QCOMPARE(dropped.pixelColor(1, 1), grey);
    QCOMPARE(dropped.pixelColor(350, 250), grey);
    QCOMPARE(dropped.pixelColor(699, 499), grey);
}

void tst_Canvas::paintsFrameAndCells_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("border");
    QTest::addColumn<int>("background");
    QTest::addColumn<int>("color");

    QTest::newRow("0") << 0 << 1 << 0 << 1;
    QTest::newRow("1") << 1 << 1 << 0 << 1;
    QTest::newRow("2") << 2 << 2 << 3 << 7;
    QTest::newRow("3") << 3 << 14 << 0 << 15;
}

void tst_Canvas::paintsFrameAndCells()
{
    QFETCH(int, number);
    QFETCH(int, border);
    QFETCH(int, background);
    QFETCH(int, color);

    const CanvasFormat *format = canvasFormat(uint8(number));
    const QList<QColor> &palette = format->palette;
    const uint8 beyondPalette = uint8(palette.size());

    canvas->setFormat(format);
    canvas->setBorderColor(uint8(border));
    canvas->setBackgroundColor(uint8(background));
    canvas->setCell(2, 1, uint8(color));
    canvas->setCell(4, 1, beyondPalette);
    canvas->setCell(5, 1, 254);
    canvas->setCell(uint8(format->columns - 1), uint8(format->rows - 1), uint8(color));
    const QImage image = canvas->grab().toImage();

    const QRectF r = canvas->canvasRect();
    const QString borderName = palette.at(border).name();
    const QString backgroundName = palette.at(background).name();
    const QString colorName = palette.at(color).name();

    QCOMPARE(pixel(image, QPoint(0, 0)), borderName);
    QCOMPARE(pixel(image, QPoint(699, 499)), borderName);
    QCOMPARE(pixel(image, QPoint(int(r.left()) - 2, int(r.center().y()))), borderName);
    QCOMPARE(pixel(image, QPoint(int(r.center().x()), int(r.top()) - 2)), borderName);
    QCOMPARE(pixel(image, QPoint(int(r.right()) + 2, int(r.center().y()))), borderName);
    QCOMPARE(pixel(image, QPoint(int(r.center().x()), int(r.bottom()) + 2)), borderName);

    QCOMPARE(pixel(image, cellPoint(*canvas, 2, 1)), colorName);
    QCOMPARE(pixel(image, cellPoint(*canvas, format->columns - 1, format->rows - 1)), colorName);
    QCOMPARE(pixel(image, cellPoint(*canvas, 0, 0)), backgroundName);
    QCOMPARE(pixel(image, cellPoint(*canvas, 3, 1)), backgroundName);
    QCOMPARE(pixel(image, cellPoint(*canvas, 4, 1)), backgroundName);
    QCOMPARE(pixel(image, cellPoint(*canvas, 5, 1)), backgroundName);
    // Values the palette does not have are kept as they are, only not painted.
    QCOMPARE(canvas->cell(4, 1), beyondPalette);
    QCOMPARE(canvas->cell(5, 1), uint8(254));
}

void tst_Canvas::rowGap_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<bool>("gap");

    QTest::newRow("0") << 0 << true;
    QTest::newRow("1") << 1 << true;
    QTest::newRow("2") << 2 << false;
    QTest::newRow("3") << 3 << false;
}

void tst_Canvas::rowGap()
{
    QFETCH(int, number);
    QFETCH(bool, gap);

    const CanvasFormat *format = canvasFormat(uint8(number));
    std::vector<uint8> cells(size_t(format->cellCount()), 1);
    canvas->setFormat(format, cells.data());
    canvas->setBackgroundColor(0);
    const QImage image = canvas->grab().toImage();
    const QString cellName = format->palette.at(1).name();
    const QString backgroundName = format->palette.at(0).name();

    for (int y : {0, 1, format->rows / 2, format->rows - 1}) {
        for (int x : {0, format->columns / 2, format->columns - 1}) {
            QCOMPARE(pixel(image, cellPoint(*canvas, x, y, 0.5, 0.1)), cellName);
            QCOMPARE(pixel(image, cellPoint(*canvas, x, y, 0.5, 0.8)), cellName);
            // Inside the lowest eighth of the row.
            QCOMPARE(pixel(image, cellPoint(*canvas, x, y, 0.5, 0.96)),
                     gap ? backgroundName : cellName);
        }
    }
}

void tst_Canvas::outOfRangeFrameColors_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("border");
    QTest::addColumn<int>("background");

    QTest::newRow("0: border at palette size") << 0 << 2 << 1;
    QTest::newRow("0: background at palette size") << 0 << 1 << 2;
    QTest::newRow("2: both beyond") << 2 << 8 << 200;
    QTest::newRow("3: border 16") << 3 << 16 << 1;
    QTest::newRow("3: background 255") << 3 << 5 << 255;
}

void tst_Canvas::outOfRangeFrameColors()
{
    QFETCH(int, number);
    QFETCH(int, border);
    QFETCH(int, background);

    const CanvasFormat *format = canvasFormat(uint8(number));
    const qsizetype paletteSize = format->palette.size();
    canvas->setFormat(format);
    canvas->setCell(1, 1, 1);
    canvas->setBorderColor(uint8(border));
    canvas->setBackgroundColor(uint8(background));
    QCOMPARE(canvas->borderColor(), uint8(border));
    QCOMPARE(canvas->backgroundColor(), uint8(background));

    const QImage image = canvas->grab().toImage();
    const QColor expectedBorder = border < paletteSize ? format->palette.at(border) : grey;
    const QColor expectedBackground =
        background < paletteSize ? format->palette.at(background) : grey;
    QCOMPARE(image.pixelColor(3, 3), expectedBorder);
    QCOMPARE(image.pixelColor(cellPoint(*canvas, 0, 0)), expectedBackground);
    QCOMPARE(image.pixelColor(cellPoint(*canvas, 1, 1)), format->palette.at(1));
}

void tst_Canvas::leftClickPaintsOnce()
{
    canvas->setFormat(canvasFormat(3));
    canvas->setPenColor(5);
    QSignalSpy spy(canvas, &Canvas::CellChanged);
    const QPoint target = cellPoint(*canvas, 3, 2);
    // Whoever hears of the change sees the picture already painted with it.
    int paintsAtSignal = -1;
    connect(canvas, &Canvas::CellChanged, this, [&] { paintsAtSignal = paints->count; });

    paints->count = 0;
    QTest::mouseClick(canvas, Qt::LeftButton, Qt::NoModifier, target);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(changes(spy), QList<Change>{Change({3, 2, 5})});
    QCOMPARE(canvas->cell(3, 2), uint8(5));
    QCOMPARE(paints->count, 1);
    QCOMPARE(paintsAtSignal, 1);
    QCOMPARE(pixel(canvas->grab().toImage(), target), canvasFormat(3)->palette.at(5).name());

    // The cell already holds the pen colour: neither a repaint nor a signal.
    paints->count = 0;
    QTest::mouseClick(canvas, Qt::LeftButton, Qt::NoModifier, cellPoint(*canvas, 3, 2, 0.1, 0.9));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(paints->count, 0);
}

void tst_Canvas::rightPressErases()
{
    std::vector<uint8> cells(size_t(canvasFormat(2)->cellCount()), EmptyCell);
    cells[1 * 22 + 1] = 7;
    cells[2 * 22 + 1] = 100; // beyond the palette, yet not empty
    canvas->setFormat(canvasFormat(2), cells.data());
    canvas->setPenColor(3);
    QSignalSpy spy(canvas, &Canvas::CellChanged);

    paints->count = 0;
    press(canvas, Qt::RightButton, {}, cellPoint(*canvas, 1, 1));
    release(canvas, Qt::RightButton, {}, cellPoint(*canvas, 1, 1));
    QCOMPARE(changes(spy), QList<Change>{Change({1, 1, 255})});
    QCOMPARE(canvas->cell(1, 1), EmptyCell);
    QCOMPARE(paints->count, 1);

    press(canvas, Qt::RightButton, {}, cellPoint(*canvas, 0, 0));
    release(canvas, Qt::RightButton, {}, cellPoint(*canvas, 0, 0));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(paints->count, 1);

    press(canvas, Qt::RightButton, {}, cellPoint(*canvas, 1, 2));
    release(canvas, Qt::RightButton, {}, cellPoint(*canvas, 1, 2));
    QCOMPARE(spy.count(), 2);
    QCOMPARE(changes(spy).at(1), Change({1, 2, 255}));
}

void tst_Canvas::middleButtonDoesNothing()
{
    canvas->setFormat(canvasFormat(0));
    canvas->setPenColor(1);
    QSignalSpy spy(canvas, &Canvas::CellChanged);
    const std::vector<uint8> before = cellsOf(*canvas);

    paints->count = 0;
    press(canvas, Qt::MiddleButton, {}, cellPoint(*canvas, 4, 4));
    for (int x = 4; x < 10; ++x)
        move(canvas, Qt::MiddleButton, cellPoint(*canvas, x, 4));
    release(canvas, Qt::MiddleButton, {}, cellPoint(*canvas, 9, 4));

    QCOMPARE(spy.count(), 0);
    QCOMPARE(paints->count, 0);
    QVERIFY(cellsOf(*canvas) == before);
}

void tst_Canvas::otherButtonKeepsMode()
{
    canvas->setFormat(canvasFormat(0));
    canvas->setPenColor(1);
    QSignalSpy spy(canvas, &Canvas::CellChanged);

    press(canvas, Qt::LeftButton, {}, cellPoint(*canvas, 1, 1));
    press(canvas, Qt::MiddleButton, Qt::LeftButton, cellPoint(*canvas, 2, 1));
    QCOMPARE(canvas->cell(2, 1), EmptyCell);
    // The ignored press starts no line of its own: the drag goes on from where the left one was.
    move(canvas, Qt::LeftButton | Qt::MiddleButton, cellPoint(*canvas, 3, 1));
    QCOMPARE(changes(spy), QList<Change>({{1, 1, 1}, {2, 1, 1}, {3, 1, 1}}));
}

void tst_Canvas::dragEmitsPerChangedCell()
{
    canvas->setFormat(canvasFormat(0));
    canvas->setPenColor(1);
    canvas->setCell(5, 2, 1);
    QSignalSpy spy(canvas, &Canvas::CellChanged);

    press(canvas, Qt::LeftButton, {}, cellPoint(*canvas, 2, 2));
    paints->count = 0;
    // Wandering inside one cell changes nothing more.
    move(canvas, Qt::LeftButton, cellPoint(*canvas, 2, 2, 0.1, 0.1));
    move(canvas, Qt::LeftButton, cellPoint(*canvas, 2, 2, 0.9, 0.9));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(paints->count, 0);

    move(canvas, Qt::LeftButton, cellPoint(*canvas, 3, 2));
    move(canvas, Qt::LeftButton, cellPoint(*canvas, 4, 2));
    move(canvas, Qt::LeftButton, cellPoint(*canvas, 5, 2)); // already the pen colour
    move(canvas, Qt::LeftButton, cellPoint(*canvas, 6, 2));
    move(canvas, Qt::LeftButton, cellPoint(*canvas, 5, 2)); // painted a moment ago
    move(canvas, Qt::LeftButton, cellPoint(*canvas, 6, 3));
    release(canvas, Qt::LeftButton, {}, cellPoint(*canvas, 6, 3));

    QCOMPARE(changes(spy), QList<Change>({{2, 2, 1}, {3, 2, 1}, {4, 2, 1}, {6, 2, 1}, {6, 3, 1}}));
    QCOMPARE(paints->count, 4);
}

void tst_Canvas::fastDragPaintsWholeLine_data()
{
    // The first point is pressed, the others are reached by single move events; points are cell
    // centres, the grid is format 0's 40 x 25. The line's shape is tst_CanvasGeometry's; these
    // rows are about what the widget makes of it.
    QTest::addColumn<QList<QPoint>>("path");
    QTest::addColumn<QList<QPoint>>("alreadyPainted");
    QTest::addColumn<QList<Change>>("expected");

    QTest::newRow("painted cells stay silent")
        << QList<QPoint>{{2, 3}, {6, 3}} << QList<QPoint>{{4, 3}}
        << QList<Change>{{2, 3, 1}, {3, 3, 1}, {5, 3, 1}, {6, 3, 1}};
    QTest::newRow("back over its own line")
        << QList<QPoint>{{5, 5}, {8, 5}, {3, 5}} << QList<QPoint>{}
        << QList<Change>{{5, 5, 1}, {6, 5, 1}, {7, 5, 1}, {8, 5, 1}, {4, 5, 1}, {3, 5, 1}};
    QTest::newRow("off the right edge and back")
        << QList<QPoint>{{37, 10}, {43, 10}, {43, 12}, {38, 12}} << QList<QPoint>{}
        << QList<Change>{{37, 10, 1}, {38, 10, 1}, {39, 10, 1}, {39, 12, 1}, {38, 12, 1}};
    QTest::newRow("in from above")
        << QList<QPoint>{{4, -3}, {4, 1}} << QList<QPoint>{} << QList<Change>{{4, 0, 1}, {4, 1, 1}};
}

void tst_Canvas::fastDragPaintsWholeLine()
{
    QFETCH(QList<QPoint>, path);
    QFETCH(QList<QPoint>, alreadyPainted);
    QFETCH(QList<Change>, expected);

    canvas->setFormat(canvasFormat(0));
    canvas->setPenColor(1);
    for (const QPoint &cell : alreadyPainted)
        canvas->setCell(uint8(cell.x()), uint8(cell.y()), 1);
    QSignalSpy spy(canvas, &Canvas::CellChanged);

    press(canvas, Qt::LeftButton, {}, cellPoint(*canvas, path.first().x(), path.first().y()));
    for (qsizetype i = 1; i < path.size(); ++i)
        move(canvas, Qt::LeftButton, cellPoint(*canvas, path.at(i).x(), path.at(i).y()));
    release(canvas, Qt::LeftButton, {}, cellPoint(*canvas, path.last().x(), path.last().y()));

    QCOMPARE(changes(spy), expected);
    for (const Change &change : expected)
        QCOMPARE(canvas->cell(change.at(0), change.at(1)), 1);

    // A new press starts a new line: the next move draws from it, not from the old end.
    spy.clear();
    press(canvas, Qt::LeftButton, {}, cellPoint(*canvas, 20, 20));
    move(canvas, Qt::LeftButton, cellPoint(*canvas, 21, 20));
    QCOMPARE(changes(spy), QList<Change>({{20, 20, 1}, {21, 20, 1}}));
}

void tst_Canvas::releaseEndsDrag()
{
    canvas->setFormat(canvasFormat(0));
    canvas->setPenColor(1);
    QSignalSpy spy(canvas, &Canvas::CellChanged);

    press(canvas, Qt::LeftButton, {}, cellPoint(*canvas, 0, 0));
    release(canvas, Qt::LeftButton, {}, cellPoint(*canvas, 0, 0));
    // Even with a button reported as held, nothing paints until the next press.
    move(canvas, Qt::LeftButton, cellPoint(*canvas, 1, 0));
    move(canvas, Qt::RightButton, cellPoint(*canvas, 0, 0));
    QCOMPARE(changes(spy), QList<Change>{Change({0, 0, 1})});

    // Releasing either of two held buttons ends the drag.
    canvas->setCell(4, 0, 1);
    press(canvas, Qt::LeftButton, {}, cellPoint(*canvas, 2, 0));
    press(canvas, Qt::RightButton, Qt::LeftButton, cellPoint(*canvas, 3, 0));
    release(canvas, Qt::RightButton, Qt::LeftButton, cellPoint(*canvas, 3, 0));
    move(canvas, Qt::LeftButton, cellPoint(*canvas, 4, 0));
    QCOMPARE(changes(spy), QList<Change>({{0, 0, 1}, {2, 0, 1}}));
    QCOMPARE(canvas->cell(4, 0), uint8(1));
}

void tst_Canvas::secondButtonSwitchesMode()
{
    canvas->setFormat(canvasFormat(0));
    canvas->setPenColor(1);
    canvas->setCell(5, 5, 1);
    QSignalSpy spy(canvas, &Canvas::CellChanged);

    press(canvas, Qt::LeftButton, {}, cellPoint(*canvas, 4, 5));
    press(canvas, Qt::RightButton, Qt::LeftButton, cellPoint(*canvas, 4, 5));
    move(canvas, Qt::LeftButton | Qt::RightButton, cellPoint(*canvas, 5, 5));
    press(canvas, Qt::LeftButton, Qt::RightButton, cellPoint(*canvas, 6, 5));
    move(canvas, Qt::LeftButton | Qt::RightButton, cellPoint(*canvas, 7, 5));

    QCOMPARE(changes(spy),
             QList<Change>({{4, 5, 1}, {4, 5, 255}, {5, 5, 255}, {6, 5, 1}, {7, 5, 1}}));
}

void tst_Canvas::pressesWithoutFormat()
{
    // Moves without a held button never reach the widget, so a drag cannot outlive its button.
    QVERIFY(!canvas->hasMouseTracking());
    QSignalSpy spy(canvas, &Canvas::CellChanged);
    paints->count = 0;
    for (Qt::MouseButton button : {Qt::LeftButton, Qt::RightButton}) {
        press(canvas, button, {}, QPoint(350, 250));
        move(canvas, button, QPoint(360, 260));
        release(canvas, button, {}, QPoint(360, 260));
    }
    QCOMPARE(spy.count(), 0);
    QCOMPARE(paints->count, 0);

    // A press without a picture starts no drag that a later picture would continue.
    press(canvas, Qt::LeftButton, {}, QPoint(350, 250));
    canvas->setFormat(canvasFormat(0));
    canvas->setPenColor(1);
    move(canvas, Qt::LeftButton, QPoint(360, 260));
    QCOMPARE(spy.count(), 0);
}

void tst_Canvas::pressesOutsideGrid_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QPoint>("point");

    // Format 0: canvasRect (113.2, 50, 473.6, 400). Format 2: (70, 67.05, 560, 365.9).
    QTest::newRow("widget corner") << 0 << QPoint(0, 0);
    QTest::newRow("left of the grid") << 0 << QPoint(100, 60);
    QTest::newRow("band just left of the grid") << 0 << QPoint(113, 60);
    QTest::newRow("above the grid") << 0 << QPoint(200, 40);
    QTest::newRow("band just above the grid") << 2 << QPoint(200, 67);
    QTest::newRow("right of the grid") << 0 << QPoint(587, 60);
    QTest::newRow("below the grid") << 0 << QPoint(200, 450);
    QTest::newRow("far corner") << 2 << QPoint(699, 499);
}

void tst_Canvas::pressesOutsideGrid()
{
    QFETCH(int, number);
    QFETCH(QPoint, point);

    const CanvasFormat *format = canvasFormat(uint8(number));
    std::vector<uint8> cells(size_t(format->cellCount()), 1);
    canvas->setFormat(format, cells.data());
    canvas->setPenColor(0);
    QSignalSpy spy(canvas, &Canvas::CellChanged);

    paints->count = 0;
    for (Qt::MouseButton button : {Qt::LeftButton, Qt::RightButton}) {
        press(canvas, button, {}, point);
        release(canvas, button, {}, point);
    }
    QCOMPARE(spy.count(), 0);
    QCOMPARE(paints->count, 0);
    QVERIFY(cellsOf(*canvas) == cells);
}

void tst_Canvas::zeroSizedWidget_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("no height") << QSize(400, 0);
    QTest::newRow("no width") << QSize(0, 300);
}

void tst_Canvas::zeroSizedWidget()
{
    QFETCH(QSize, size);

    QWidget host;
    host.resize(500, 500);
    Canvas *child = new Canvas(&host);
    child->setFormat(canvasFormat(0));
    child->setPenColor(1);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    child->resize(size);
    QVERIFY(child->canvasRect().isEmpty());

    QSignalSpy spy(child, &Canvas::CellChanged);
    const std::vector<uint8> before = cellsOf(*child);
    const QPoint centre(size.width() / 2, size.height() / 2);
    for (const QPoint &point : {QPoint(0, 0), centre, QPoint(size.width(), size.height())}) {
        press(child, Qt::LeftButton, {}, point);
        move(child, Qt::LeftButton, point + QPoint(1, 1));
        release(child, Qt::LeftButton, {}, point);
    }
    QCOMPARE(spy.count(), 0);
    QVERIFY(cellsOf(*child) == before);
}

enum Operation {
    InstallFormat,
    InstallNone,
    ReplaceCells,
    Clear,
    SetCell,
    SetCellToSameValue,
    SetBorderColor,
    SetBackgroundColor,
    SetPenColor
};

void tst_Canvas::operationsAreSilent_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<int>("repaints");

    QTest::newRow("setFormat") << int(InstallFormat) << 1;
    QTest::newRow("setFormat(nullptr)") << int(InstallNone) << 1;
    QTest::newRow("replaceCells") << int(ReplaceCells) << 1;
    QTest::newRow("clear") << int(Clear) << 1;
    QTest::newRow("setCell") << int(SetCell) << 1;
    QTest::newRow("setCell, same value") << int(SetCellToSameValue) << 1;
    QTest::newRow("setBorderColor") << int(SetBorderColor) << 1;
    QTest::newRow("setBackgroundColor") << int(SetBackgroundColor) << 1;
    QTest::newRow("setPenColor") << int(SetPenColor) << 0;
}

void tst_Canvas::operationsAreSilent()
{
    QFETCH(int, operation);
    QFETCH(int, repaints);

    std::vector<uint8> cells(size_t(canvasFormat(3)->cellCount()), 4);
    canvas->setFormat(canvasFormat(3), cells.data());
    canvas->setCell(7, 7, 9);
    QSignalSpy spy(canvas, &Canvas::CellChanged);
    paints->count = 0;

    switch (Operation(operation)) {
    case InstallFormat:
        canvas->setFormat(canvasFormat(2), cells.data());
        QCOMPARE(canvas->format(), canvasFormat(2));
        QCOMPARE(canvas->cell(21, 22), uint8(4));
        break;
    case InstallNone:
        canvas->setFormat(nullptr);
        QCOMPARE(canvas->format(), nullptr);
        break;
    case ReplaceCells:
        cells[0] = 6;
        canvas->replaceCells(cells.data());
        QCOMPARE(canvas->cell(0, 0), uint8(6));
        QCOMPARE(canvas->cell(7, 7), uint8(4));
        break;
    case Clear:
        canvas->clear();
        QVERIFY(cellsOf(*canvas) == std::vector<uint8>(cells.size(), EmptyCell));
        break;
    case SetCell:
        canvas->setCell(39, 24, 15);
        QCOMPARE(canvas->cell(39, 24), uint8(15));
        break;
    case SetCellToSameValue:
        canvas->setCell(7, 7, 9);
        QCOMPARE(canvas->cell(7, 7), uint8(9));
        break;
    case SetBorderColor:
        canvas->setBorderColor(3);
        QCOMPARE(canvas->borderColor(), uint8(3));
        break;
    case SetBackgroundColor:
        canvas->setBackgroundColor(200);
        QCOMPARE(canvas->backgroundColor(), uint8(200));
        break;
    case SetPenColor:
        canvas->setPenColor(11);
        QCOMPARE(canvas->penColor(), uint8(11));
        break;
    }
    QCOMPARE(spy.count(), 0);
    QCOMPARE(paints->count, repaints);
}

void tst_Canvas::installingSameFormatChangesNothing()
{
    std::vector<uint8> cells(size_t(canvasFormat(3)->cellCount()), 2);
    canvas->setFormat(canvasFormat(3), cells.data());
    canvas->setBorderColor(5);
    canvas->setBackgroundColor(6);
    canvas->setPenColor(7);
    const QRectF rect = canvas->canvasRect();

    const std::vector<uint8> other(cells.size(), 9);
    QSignalSpy spy(canvas, &Canvas::CellChanged);
    paints->count = 0;
    canvas->setFormat(canvasFormat(3), other.data());
    canvas->setFormat(canvasFormat(3));

    QVERIFY(cellsOf(*canvas) == cells);
    QCOMPARE(canvas->borderColor(), uint8(5));
    QCOMPARE(canvas->backgroundColor(), uint8(6));
    QCOMPARE(canvas->penColor(), uint8(7));
    QCOMPARE(canvas->canvasRect(), rect);
    QCOMPARE(paints->count, 0);
    QCOMPARE(spy.count(), 0);

    // None while none is installed is the same record too.
    canvas->setFormat(nullptr);
    paints->count = 0;
    canvas->setFormat(nullptr);
    QCOMPARE(paints->count, 0);
}

void tst_Canvas::installingOtherFormatResets()
{
    std::vector<uint8> cells(size_t(canvasFormat(3)->cellCount()), 2);
    canvas->setFormat(canvasFormat(3), cells.data());
    canvas->setBorderColor(5);
    canvas->setBackgroundColor(6);
    canvas->setPenColor(7);

    // Format 0 has the same grid, so only a comparison by record can tell it apart.
    canvas->setFormat(canvasFormat(0));
    QCOMPARE(canvas->format(), canvasFormat(0));
    QVERIFY(cellsOf(*canvas) == std::vector<uint8>(cells.size(), EmptyCell));
    QCOMPARE(canvas->borderColor(), uint8(0));
    QCOMPARE(canvas->backgroundColor(), uint8(0));
    QCOMPARE(canvas->penColor(), uint8(0));

    canvas->setPenColor(1);
    canvas->setFormat(nullptr);
    QCOMPARE(canvas->penColor(), uint8(0));
    canvas->clear();
    canvas->setCell(0, 0, 1);
    QCOMPARE(canvas->format(), nullptr);
    QCOMPARE(canvas->grab().toImage().pixelColor(350, 250), grey);

    std::vector<uint8> small(size_t(canvasFormat(2)->cellCount()));
    for (size_t i = 0; i < small.size(); ++i)
        small[i] = uint8(i % 8);
    canvas->setFormat(canvasFormat(2), small.data());
    QVERIFY(cellsOf(*canvas) == small);
    QCOMPARE(canvas->cell(21, 22), uint8((22 * 22 + 21) % 8));
}

void tst_Canvas::installingFormatKeepsMouseMode()
{
    canvas->setFormat(canvasFormat(0));
    QSignalSpy spy(canvas, &Canvas::CellChanged);

    press(canvas, Qt::RightButton, {}, cellPoint(*canvas, 0, 0));
    std::vector<uint8> cells(size_t(canvasFormat(3)->cellCount()), 3);
    canvas->setFormat(canvasFormat(3), cells.data());
    move(canvas, Qt::RightButton, cellPoint(*canvas, 1, 0));
    QCOMPARE(changes(spy), QList<Change>{Change({1, 0, 255})});
}

QTEST_MAIN(tst_Canvas)
#include "tst_canvas.moc"
