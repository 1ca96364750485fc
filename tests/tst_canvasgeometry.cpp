#include "canvas/canvas.h"
#include "model/canvasformat.h"
#include "painting/canvasgeometry.h"

#include <QtTest>

namespace {

struct FormatShape
{
    int rows;
    int columns;
    float cellAspect;
};

// The formats' grids as published, kept apart from the table so that the expectations below do
// not lean on the code under test.
const FormatShape formatShapes[] = {
    {25, 40, 0.74f}, {25, 80, 0.37f}, {23, 22, 1.6f}, {25, 40, 0.74f}};

// What any correct fit satisfies, stated without redoing its arithmetic: the grid is centred in the
// widget, keeps the cell's shape, and leaves a tenth of the binding dimension free on either side
// of it (so that it also lies inside the widget).
void checkFitProperties(const QRectF &actual, QSize size, const FormatShape &shape)
{
    const double w = size.width();
    const double h = size.height();
    const double tolerance = 1e-4 * qMax(1.0, qMax(w, h));
    const auto near = [tolerance](double a, double b) {
        return qAbs(a - b) <= tolerance;
    };
    QString text;
    QDebug(&text).nospace() << qSetRealNumberPrecision(9) << actual;
    const QByteArray got = "got " + text.toUtf8();

    QVERIFY2(near(actual.center().x(), w / 2) && near(actual.center().y(), h / 2),
             "not centred; " + got);
    if (!actual.isEmpty()) {
        const double aspect = (actual.width() / shape.columns) / (actual.height() / shape.rows);
        QVERIFY2(qAbs(aspect / double(shape.cellAspect) - 1) < 1e-5, "cell shape lost; " + got);
    }
    const double pictureRatio = double(shape.columns) / shape.rows * double(shape.cellAspect);
    // A widget of no height has an infinite ratio, so its height binds; one of no size at all
    // has none, and its width binds.
    const bool heightBinds = h > 0 ? w / h > pictureRatio : w > 0;
    if (heightBinds)
        QVERIFY2(near(actual.top(), 0.1 * h) && near(actual.height(), 0.8 * h),
                 "height binds, without a tenth free above and below; " + got);
    else
        QVERIFY2(near(actual.left(), 0.1 * w) && near(actual.width(), 0.8 * w),
                 "width binds, without a tenth free left and right; " + got);
}

void compareExactly(const QRectF &actual, const QRectF &expected)
{
    // Bit-for-bit: a stray double where a float belongs shows up in the last digits.
    QVERIFY2(actual.x() == expected.x() && actual.y() == expected.y() &&
                 actual.width() == expected.width() && actual.height() == expected.height(),
             qPrintable(QStringLiteral("got (%1, %2, %3, %4), expected (%5, %6, %7, %8)")
                            .arg(actual.x(), 0, 'g', 17)
                            .arg(actual.y(), 0, 'g', 17)
                            .arg(actual.width(), 0, 'g', 17)
                            .arg(actual.height(), 0, 'g', 17)
                            .arg(expected.x(), 0, 'g', 17)
                            .arg(expected.y(), 0, 'g', 17)
                            .arg(expected.width(), 0, 'g', 17)
                            .arg(expected.height(), 0, 'g', 17)));
}

void compareRoughly(const QRectF &actual, const QRectF &figure)
{
    const double tolerance = 0.005;
    QVERIFY2(qAbs(actual.x() - figure.x()) < tolerance &&
                 qAbs(actual.y() - figure.y()) < tolerance &&
                 qAbs(actual.width() - figure.width()) < tolerance &&
                 qAbs(actual.height() - figure.height()) < tolerance,
             qPrintable(QStringLiteral("got (%1, %2, %3, %4)")
                            .arg(actual.x())
                            .arg(actual.y())
                            .arg(actual.width())
                            .arg(actual.height())));
}

} // namespace

class tst_CanvasGeometry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fitCanvasRect_data();
    void fitCanvasRect();
    void widgetCanvasRect_data() { fitCanvasRect_data(); }
    void widgetCanvasRect();
    void widgetWithoutFormatKeepsRect();
    void cellPaintRects_data();
    void cellPaintRects();
    void neighboursShareEdges_data();
    void neighboursShareEdges();
    void noSeamBetweenCells();
    void dragCells_data();
    void dragCells();
    void cellAt_data();
    void cellAt();
};

void tst_CanvasGeometry::fitCanvasRect_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QSize>("size");
    // Rounded figures worked out by hand, checked to within 0.005; a null rect means none.
    QTest::addColumn<QRectF>("figure");
    // Figures worked out in single precision, checked bit for bit; a null rect means none.
    QTest::addColumn<QRectF>("exact");

    QTest::newRow("0 at 400x300, height binds")
        << 0 << QSize(400, 300) << QRectF(57.92, 30, 284.16, 240) << QRectF();
    QTest::newRow("0 at 300x400, width binds")
        << 0 << QSize(300, 400) << QRectF(30, 98.6486, 240, 202.7027) << QRectF();
    QTest::newRow("0 at 592x500, equal ratios, width binds")
        << 0 << QSize(592, 500) << QRectF(59.2, 50, 473.6, 400) << QRectF();
    // Here the two branches round differently, so only this row tells which one was taken.
    QTest::newRow("0 at 1036x875, equal ratios, width binds")
        << 0 << QSize(1036, 875) << QRectF(103.6, 87.5, 828.8, 700)
        << QRectF(103.60000610351562, 87.50003051757812, 828.7999877929688, 699.9999389648438);
    QTest::newRow("0 at 0x300") << 0 << QSize(0, 300) << QRectF(0, 150, 0, 0) << QRectF();
    QTest::newRow("0 at 400x0") << 0 << QSize(400, 0) << QRectF(200, 0, 0, 0) << QRectF();
    QTest::newRow("0 at 0x0") << 0 << QSize(0, 0) << QRectF(0, 0, 0, 0) << QRectF();
    QTest::newRow("0 at 700x500") << 0 << QSize(700, 500) << QRectF(113.2, 50, 473.6, 400)
                                  << QRectF();
    QTest::newRow("2 at 400x300, width binds")
        << 2 << QSize(400, 300) << QRectF(40, 45.4545, 320, 209.0909) << QRectF();
    QTest::newRow("2 at 600x300, height binds")
        << 2 << QSize(600, 300) << QRectF(116.3478, 30, 367.3043, 240) << QRectF();

    const QSize sizes[] = {QSize(400, 300),  QSize(300, 400), QSize(592, 500), QSize(473, 356),
                           QSize(1, 1),      QSize(1000, 7),  QSize(7, 1000),  QSize(1920, 1080),
                           QSize(1036, 875), QSize(0, 250),   QSize(250, 0)};
    for (int number = 0; number < 4; ++number) {
        for (const QSize &size : sizes) {
            const QByteArray name = QByteArray::number(number) + " at " +
                                    QByteArray::number(size.width()) + "x" +
                                    QByteArray::number(size.height());
            QTest::newRow(name.constData()) << number << size << QRectF() << QRectF();
        }
    }
}

void tst_CanvasGeometry::fitCanvasRect()
{
    QFETCH(int, number);
    QFETCH(QSize, size);
    QFETCH(QRectF, figure);
    QFETCH(QRectF, exact);

    const QRectF actual = ::fitCanvasRect(QRect(QPoint(0, 0), size), *canvasFormat(uint8(number)));
    checkFitProperties(actual, size, formatShapes[number]);
    if (!figure.isNull())
        compareRoughly(actual, figure);
    if (!exact.isNull())
        compareExactly(actual, exact);
    if (size.isEmpty())
        QVERIFY(actual.isEmpty());
}

void tst_CanvasGeometry::widgetCanvasRect()
{
    QFETCH(int, number);
    QFETCH(QSize, size);

    // A child of a shown window gets its resize events at once, for every size including zero.
    QWidget host;
    host.resize(200, 200);
    Canvas *canvas = new Canvas(&host);
    canvas->setFormat(canvasFormat(uint8(number)));
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));

    canvas->resize(size);
    QCOMPARE(canvas->size(), size);
    // The widget fits with the same function that paints and maps the mouse.
    compareExactly(canvas->canvasRect(),
                   ::fitCanvasRect(QRect(QPoint(0, 0), size), *canvasFormat(uint8(number))));
    checkFitProperties(canvas->canvasRect(), size, formatShapes[number]);

    // Installing a format fits the grid too, without a resize.
    Canvas installed(&host);
    installed.resize(size);
    installed.setFormat(canvasFormat(uint8(number)));
    compareExactly(installed.canvasRect(), canvas->canvasRect());
}

void tst_CanvasGeometry::widgetWithoutFormatKeepsRect()
{
    QWidget host;
    Canvas *canvas = new Canvas(&host);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));

    canvas->resize(400, 300);
    QCOMPARE(canvas->canvasRect(), QRectF(0, 0, 0, 0));
    QVERIFY(canvas->canvasRect().isNull());

    canvas->setFormat(canvasFormat(0));
    const QRectF fitted = canvas->canvasRect();
    compareRoughly(fitted, QRectF(57.92, 30, 284.16, 240));

    // Dropping the picture leaves the rectangle where it was, even across resizes.
    canvas->setFormat(nullptr);
    canvas->resize(300, 400);
    compareExactly(canvas->canvasRect(), fitted);
}

void tst_CanvasGeometry::cellPaintRects_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("y");
    QTest::addColumn<QRectF>("expected");

    // Format 0 and 3 in a 700x500 widget: canvasRect (113.2, 50, 473.6, 400), cells 11.84 x 16.
    QTest::newRow("0: first cell, seven eighths high")
        << 0 << 0 << 0 << QRectF(113.2, 50, 11.84, 14);
    QTest::newRow("0: cell 5,3") << 0 << 5 << 3 << QRectF(172.4, 98, 11.84, 14);
    QTest::newRow("0: last cell") << 0 << 39 << 24 << QRectF(574.96, 434, 11.84, 14);
    QTest::newRow("3: first cell, full height") << 3 << 0 << 0 << QRectF(113.2, 50, 11.84, 16);
    QTest::newRow("3: last cell") << 3 << 39 << 24 << QRectF(574.96, 434, 11.84, 16);
    QTest::newRow("1: cell 79,1") << 1 << 79 << 1 << QRectF(580.88, 66, 5.92, 14);
}

void tst_CanvasGeometry::cellPaintRects()
{
    QFETCH(int, number);
    QFETCH(int, x);
    QFETCH(int, y);
    QFETCH(QRectF, expected);

    const CanvasFormat &format = *canvasFormat(uint8(number));
    const QRectF canvasRect = ::fitCanvasRect(QRect(0, 0, 700, 500), format);
    const CellSize size = cellSize(canvasRect, format);
    QCOMPARE(size.width, float(canvasRect.width()) / float(format.columns));
    QCOMPARE(size.height, float(canvasRect.height()) / float(format.rows));

    const QRectF actual = cellPaintRect(canvasRect, size, format, x, y);
    compareRoughly(actual, expected);
    // Rows follow each other at the full pitch whatever part of it is painted.
    const QRectF below = cellPaintRect(canvasRect, size, format, x, y + 1);
    QCOMPARE(float(below.top() - actual.top()), size.height);
}

void tst_CanvasGeometry::neighboursShareEdges_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QSize>("size");
    const QSize sizes[] = {{473, 359}, {473, 378}, {400, 300},  {1920, 1080},
                           {641, 479}, {333, 777}, {1036, 875}, {97, 61}};
    for (int number = 0; number < 4; ++number)
        for (const QSize &size : sizes)
            QTest::addRow("%d at %dx%d", number, size.width(), size.height()) << number << size;
}

void tst_CanvasGeometry::neighboursShareEdges()
{
    QFETCH(int, number);
    QFETCH(QSize, size);
    const CanvasFormat &format = *canvasFormat(uint8(number));
    const QRectF canvasRect = ::fitCanvasRect(QRect(QPoint(0, 0), size), format);
    const CellSize pitch = cellSize(canvasRect, format);

    for (int y = 0; y < format.rows; ++y) {
        for (int x = 0; x < format.columns; ++x) {
            const QRectF cell = cellPaintRect(canvasRect, pitch, format, x, y);
            if (x + 1 < format.columns) {
                const QRectF right = cellPaintRect(canvasRect, pitch, format, x + 1, y);
                QVERIFY2(cell.right() == right.left(),
                         qPrintable(QStringLiteral("%1,%2").arg(x).arg(y)));
            }
            if (y + 1 < format.rows && !format.rowGap) {
                const QRectF below = cellPaintRect(canvasRect, pitch, format, x, y + 1);
                QVERIFY2(cell.bottom() == below.top(),
                         qPrintable(QStringLiteral("%1,%2").arg(x).arg(y)));
            }
        }
    }
}

// At the window's default size an edge of format 3 falls on half a pixel; the neighbouring fills
// must still meet there rather than leave a line of background between them.
void tst_CanvasGeometry::noSeamBetweenCells()
{
    Canvas canvas;
    canvas.resize(473, 359);
    canvas.show();
    QVERIFY(QTest::qWaitForWindowExposed(&canvas));

    const CanvasFormat *format = canvasFormat(3);
    const QByteArray white(format->cellCount(), char(1));
    canvas.setFormat(format, reinterpret_cast<const uint8 *>(white.constData()));
    canvas.setBorderColor(6);
    canvas.setBackgroundColor(0);

    const QImage image = canvas.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRect inside = canvas.canvasRect().toAlignedRect().adjusted(1, 1, -1, -1);
    int seams = 0;
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x)
            seams += image.pixel(x, y) != qRgb(0xff, 0xff, 0xff);
    QCOMPARE(seams, 0);
}

void tst_CanvasGeometry::dragCells_data()
{
    QTest::addColumn<QPoint>("from");
    QTest::addColumn<QPoint>("to");
    QTest::addColumn<QList<QPoint>>("cells");

    // A 40 x 25 grid. The sloped rows are chosen so that the line never passes exactly between
    // two cells: each expected cell is the one the straight line runs through at that column
    // (or row), rounded.
    QTest::newRow("stays in a cell") << QPoint(5, 5) << QPoint(5, 5) << QList<QPoint>{{5, 5}};
    QTest::newRow("stays outside") << QPoint(-1, 5) << QPoint(-1, 5) << QList<QPoint>{};
    QTest::newRow("neighbour") << QPoint(5, 5) << QPoint(6, 5) << QList<QPoint>{{6, 5}};
    QTest::newRow("diagonal neighbour") << QPoint(5, 5) << QPoint(4, 6) << QList<QPoint>{{4, 6}};
    QTest::newRow("skips to the right")
        << QPoint(2, 3) << QPoint(7, 3) << QList<QPoint>{{3, 3}, {4, 3}, {5, 3}, {6, 3}, {7, 3}};
    QTest::newRow("skips upwards")
        << QPoint(4, 6) << QPoint(4, 2) << QList<QPoint>{{4, 5}, {4, 4}, {4, 3}, {4, 2}};
    QTest::newRow("diagonal") << QPoint(0, 0) << QPoint(3, 3)
                              << QList<QPoint>{{1, 1}, {2, 2}, {3, 3}};
    QTest::newRow("shallow slope") << QPoint(0, 0) << QPoint(6, 2)
                                   << QList<QPoint>{{1, 0}, {2, 1}, {3, 1}, {4, 1}, {5, 2}, {6, 2}};
    QTest::newRow("steep slope, left and down")
        << QPoint(10, 10) << QPoint(8, 16)
        << QList<QPoint>{{10, 11}, {9, 12}, {9, 13}, {9, 14}, {8, 15}, {8, 16}};
    QTest::newRow("enters from the left")
        << QPoint(-3, 4) << QPoint(2, 4) << QList<QPoint>{{0, 4}, {1, 4}, {2, 4}};
    QTest::newRow("leaves at the bottom")
        << QPoint(39, 22) << QPoint(39, 27) << QList<QPoint>{{39, 23}, {39, 24}};
    QTest::newRow("leaves at the top-right corner")
        << QPoint(37, 2) << QPoint(42, -3) << QList<QPoint>{{38, 1}, {39, 0}};
    QList<QPoint> row2;
    for (int x = 0; x < 40; ++x)
        row2.append(QPoint(x, 2));
    QTest::newRow("crosses from outside to outside") << QPoint(-1, 2) << QPoint(40, 2) << row2;
    QTest::newRow("passes beside the grid") << QPoint(-5, -1) << QPoint(45, -1) << QList<QPoint>{};
}

void tst_CanvasGeometry::dragCells()
{
    QFETCH(QPoint, from);
    QFETCH(QPoint, to);
    QFETCH(QList<QPoint>, cells);
    QCOMPARE(::dragCells(from, to, QRect(0, 0, 40, 25)), cells);
}

void tst_CanvasGeometry::cellAt_data()
{
    QTest::addColumn<QSize>("widget");
    QTest::addColumn<QPointF>("point");
    QTest::addColumn<QPoint>("expected"); // (-1, -1) for no cell

    const QPoint none(-1, -1);
    // 700x500, format 0: canvasRect (113.2, 50, 473.6, 400), cells 11.84 x 16.
    const QSize wide(700, 500);
    QTest::newRow("top left corner") << wide << QPointF(113.2, 50) << QPoint(0, 0);
    QTest::newRow("inside cell 5,3")
        << wide << QPointF(113.2 + 11.84 * 5.5, 50 + 16 * 3.5) << QPoint(5, 3);
    QTest::newRow("just before cell 6")
        << wide << QPointF(113.2 + 11.84 * 6 - 0.01, 60) << QPoint(5, 0);
    QTest::newRow("bottom right cell") << wide << QPointF(586.7, 449.9) << QPoint(39, 24);
    QTest::newRow("band left of the grid") << wide << QPointF(113, 60) << none;
    QTest::newRow("a cell left of the grid") << wide << QPointF(100, 60) << none;
    QTest::newRow("widget corner") << wide << QPointF(0, 0) << none;
    QTest::newRow("band above the grid") << wide << QPointF(200, 49.5) << none;
    QTest::newRow("right edge") << wide << QPointF(586.81, 60) << none;
    QTest::newRow("bottom edge") << wide << QPointF(200, 450) << none;
    QTest::newRow("far right") << wide << QPointF(699, 60) << none;
    // 300x400: canvasRect top about 98.65, so pixel row 98 lies in the band above row 0.
    QTest::newRow("band above, width binding") << QSize(300, 400) << QPointF(100, 98) << none;
    QTest::newRow("first row, width binding")
        << QSize(300, 400) << QPointF(100, 99) << QPoint(11, 0);
    QTest::newRow("zero height") << QSize(400, 0) << QPointF(200, 0) << none;
    QTest::newRow("zero width") << QSize(0, 300) << QPointF(0, 150) << none;
}

void tst_CanvasGeometry::cellAt()
{
    QFETCH(QSize, widget);
    QFETCH(QPointF, point);
    QFETCH(QPoint, expected);

    const CanvasFormat &format = *canvasFormat(0);
    const QRectF canvasRect = ::fitCanvasRect(QRect(QPoint(0, 0), widget), format);
    int x = -1;
    int y = -1;
    const bool hit = ::cellAt(canvasRect, format, point, &x, &y);
    QCOMPARE(hit, expected != QPoint(-1, -1));
    if (hit)
        QCOMPARE(QPoint(x, y), expected);
}

QTEST_MAIN(tst_CanvasGeometry)
#include "tst_canvasgeometry.moc"
