// The canvas keeps a rendered image of its picture and repairs it cell by cell. Whatever it does
// internally, what it shows must be exactly what painting every cell directly gives: these tests
// paint each picture the plain way, border, background and then every cell with a float
// rectangle fill, and compare the two pixel for pixel.

#include "canvas/canvas.h"
#include "model/canvasformat.h"
#include "painting/canvasgeometry.h"
#include "tests/support/testsupport.h"

#include <QApplication>
#include <QPainter>
#include <QRandomGenerator>
#include <QScreen>
#include <QWindow>
#include <QtTest>

#include <vector>

namespace {

// A colour no palette has, so that a pixel left unpainted cannot pass for a painted one.
constexpr QRgb Unpainted = 0xff123456;

// The picture as the test believes it to be, kept apart from the widget's own copy.
struct Picture
{
    const CanvasFormat *format = nullptr;
    std::vector<uint8> cells;
    uint8 border = 0;
    uint8 background = 0;
};

QImage paintDirectly(const QSize &size, int pixelRatio, const Picture &picture)
{
    QImage image(size * pixelRatio, QImage::Format_RGB32);
    image.setDevicePixelRatio(pixelRatio);
    image.fill(Unpainted);
    QPainter painter(&image);
    const CanvasFormat &format = *picture.format;
    const QRect widgetRect(QPoint(0, 0), size);
    const QRectF canvasRect = fitCanvasRect(widgetRect, format);
    painter.fillRect(widgetRect, format.palette.at(picture.border));
    painter.fillRect(canvasRect, format.palette.at(picture.background));
    const CellSize pitch = cellSize(canvasRect, format);
    for (int y = 0; y < format.rows; ++y) {
        for (int x = 0; x < format.columns; ++x) {
            const uint8 value = picture.cells[size_t(y) * format.columns + x];
            if (value < format.palette.size())
                painter.fillRect(cellPaintRect(canvasRect, pitch, format, x, y),
                                 format.palette.at(value));
        }
    }
    return image;
}

QImage renderWidget(Canvas &canvas, int pixelRatio = 1)
{
    QImage image(canvas.size() * pixelRatio, QImage::Format_RGB32);
    image.setDevicePixelRatio(pixelRatio);
    image.fill(Unpainted);
    // No window background first: every pixel must come from the canvas itself.
    canvas.render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
    return image;
}

// Empty when both images hold the same pixels, else where and how they first differ.
QString difference(const QImage &actual, const QImage &expected)
{
    if (actual.size() != expected.size())
        return QStringLiteral("size %1x%2, expected %3x%4")
            .arg(actual.width())
            .arg(actual.height())
            .arg(expected.width())
            .arg(expected.height());
    const QImage a = actual.convertToFormat(QImage::Format_RGB32);
    const QImage e = expected.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < a.height(); ++y) {
        const auto *lineA = reinterpret_cast<const QRgb *>(a.constScanLine(y));
        const auto *lineE = reinterpret_cast<const QRgb *>(e.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            if (lineA[x] != lineE[x])
                return QStringLiteral("pixel (%1, %2) is #%3, expected #%4")
                    .arg(x)
                    .arg(y)
                    .arg(lineA[x], 8, 16, QLatin1Char('0'))
                    .arg(lineE[x], 8, 16, QLatin1Char('0'));
        }
    }
    return QString();
}

#define COMPARE_PIXELS(actual, expected)                                                           \
    do {                                                                                           \
        const QString why = difference(actual, expected);                                          \
        QVERIFY2(why.isEmpty(), qPrintable(why));                                                  \
    } while (false)

// Mostly colours, with empty cells and values past the palette mixed in, which must all show
// the background.
uint8 randomCell(QRandomGenerator &random, const CanvasFormat &format)
{
    const int roll = random.bounded(10);
    if (roll == 0)
        return EmptyCell;
    if (roll == 1)
        return uint8(format.palette.size() + random.bounded(3));
    return uint8(random.bounded(int(format.palette.size())));
}

// Sizes where cells overlap or leave gaps after rounding, grids smaller than a pixel per cell,
// the figures the program is measured at, and a spread of odd ones.
QList<QSize> widgetSizes()
{
    QList<QSize> sizes = {{1, 1},     {2, 3},     {3, 2},     {7, 5},      {17, 13},    {40, 25},
                          {41, 26},   {99, 101},  {123, 77},  {300, 400},  {400, 300},  {473, 400},
                          {592, 500}, {641, 479}, {801, 601}, {1024, 769}, {1920, 1080}};
    QRandomGenerator random(7);
    for (int i = 0; i < 24; ++i)
        sizes.append(QSize(1 + random.bounded(900), 1 + random.bounded(700)));
    return sizes;
}

} // namespace

class tst_CanvasRendering : public QObject
{
    Q_OBJECT

private:
    // The canvas lives in a shown window, so that resizes reach it at once as they do on screen.
    QWidget window;
    Canvas *canvas = nullptr;
    Picture picture;
    QRandomGenerator random{42};

    void install(int formatNumber, const QSize &size)
    {
        canvas->setFormat(nullptr);
        canvas->resize(size);
        picture.format = canvasFormat(uint8(formatNumber));
        picture.cells.resize(size_t(picture.format->cellCount()));
        for (uint8 &cell : picture.cells)
            cell = randomCell(random, *picture.format);
        canvas->setFormat(picture.format, picture.cells.data());
        picture.border = uint8(random.bounded(int(picture.format->palette.size())));
        picture.background = uint8(random.bounded(int(picture.format->palette.size())));
        canvas->setBorderColor(picture.border);
        canvas->setBackgroundColor(picture.background);
    }

    void setRandomCell()
    {
        const CanvasFormat &format = *picture.format;
        const int x = random.bounded(format.columns);
        const int y = random.bounded(format.rows);
        const uint8 value = randomCell(random, format);
        picture.cells[size_t(y) * format.columns + x] = value;
        canvas->setCell(uint8(x), uint8(y), value);
    }

private Q_SLOTS:
    void initTestCase()
    {
        window.resize(2000, 1200);
        canvas = new Canvas(&window);
        canvas->move(7, 13);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
    }

    void wholePicture_data()
    {
        QTest::addColumn<int>("formatNumber");
        QTest::addColumn<QSize>("size");
        for (int number = 0; number < 4; ++number) {
            for (const QSize &size : widgetSizes())
                QTest::addRow("format %d, %dx%d", number, size.width(), size.height())
                    << number << size;
        }
    }

    void wholePicture()
    {
        QFETCH(int, formatNumber);
        QFETCH(QSize, size);
        install(formatNumber, size);
        QCOMPARE(canvas->size(), size);
        COMPARE_PIXELS(renderWidget(*canvas), paintDirectly(size, 1, picture));
        // Painting again from what is kept changes nothing, and neither does a device that is
        // not an image in memory.
        COMPARE_PIXELS(renderWidget(*canvas), paintDirectly(size, 1, picture));
        COMPARE_PIXELS(canvas->grab().toImage(), paintDirectly(size, 1, picture));
    }

    void singleCellChanges_data() { wholePicture_data(); }

    void singleCellChanges()
    {
        QFETCH(int, formatNumber);
        QFETCH(QSize, size);
        install(formatNumber, size);
        renderWidget(*canvas);

        // One change per paint, a few changes per paint, and more than are ever repaired one by
        // one, each followed by a comparison.
        for (int batch : {1, 1, 1, 1, 1, 1, 1, 1, 2, 3, 5, 8, 70, 1, 1, 1, 1}) {
            for (int i = 0; i < batch; ++i)
                setRandomCell();
            COMPARE_PIXELS(renderWidget(*canvas), paintDirectly(size, 1, picture));
        }
    }

    // Single cells on an empty grid, where whole bands of pixel rows start out alike and each
    // new cell sets its rows apart from the ones above and below.
    void cellsOnEmptyPicture_data() { everyCellOnce_data(); }

    void cellsOnEmptyPicture()
    {
        QFETCH(int, formatNumber);
        QFETCH(QSize, size);
        install(formatNumber, size);
        canvas->clear();
        std::fill(picture.cells.begin(), picture.cells.end(), EmptyCell);
        renderWidget(*canvas);
        for (int i = 0; i < 30; ++i) {
            setRandomCell();
            COMPARE_PIXELS(renderWidget(*canvas), paintDirectly(size, 1, picture));
        }
    }

    // Every cell of a small grid in turn, so that each one's neighbours are repaired in every
    // arrangement of overlaps and gaps the rounding produces.
    void everyCellOnce_data()
    {
        QTest::addColumn<int>("formatNumber");
        QTest::addColumn<QSize>("size");
        for (int number = 0; number < 4; ++number) {
            for (const QSize &size : {QSize(97, 61), QSize(131, 173), QSize(9, 7), QSize(473, 400)})
                QTest::addRow("format %d, %dx%d", number, size.width(), size.height())
                    << number << size;
        }
    }

    void everyCellOnce()
    {
        QFETCH(int, formatNumber);
        QFETCH(QSize, size);
        install(formatNumber, size);
        renderWidget(*canvas);
        const CanvasFormat &format = *picture.format;
        for (int y = 0; y < format.rows; ++y) {
            for (int x = 0; x < format.columns; ++x) {
                const uint8 value = uint8((x + y) % format.palette.size());
                picture.cells[size_t(y) * format.columns + x] = value;
                canvas->setCell(uint8(x), uint8(y), value);
                canvas->repaint();
            }
        }
        COMPARE_PIXELS(renderWidget(*canvas), paintDirectly(size, 1, picture));
    }

    void wholeChanges()
    {
        install(3, QSize(473, 400));
        renderWidget(*canvas);
        const auto check = [this] {
            return difference(renderWidget(*canvas), paintDirectly(canvas->size(), 1, picture));
        };

        canvas->clear();
        std::fill(picture.cells.begin(), picture.cells.end(), EmptyCell);
        QCOMPARE(check(), QString());

        for (uint8 &cell : picture.cells)
            cell = randomCell(random, *picture.format);
        canvas->replaceCells(picture.cells.data());
        QCOMPARE(check(), QString());

        for (uint8 index : {uint8(5), uint8(5), uint8(0), uint8(15)}) {
            picture.border = index;
            canvas->setBorderColor(index);
            QCOMPARE(check(), QString());
            setRandomCell();
            picture.background = uint8(15 - index);
            canvas->setBackgroundColor(picture.background);
            QCOMPARE(check(), QString());
        }

        for (const QSize &size : {QSize(474, 400), QSize(0, 0), QSize(0, 50), QSize(50, 0),
                                  QSize(1, 1), QSize(1920, 1080), QSize(473, 401)}) {
            canvas->resize(size);
            setRandomCell();
            setRandomCell();
            if (!size.isEmpty())
                QCOMPARE(check(), QString());
        }

        // The picture goes and the same format comes back: nothing of the old one may show.
        canvas->setFormat(nullptr);
        canvas->setFormat(picture.format);
        std::fill(picture.cells.begin(), picture.cells.end(), EmptyCell);
        picture.border = 0;
        picture.background = 0;
        QCOMPARE(check(), QString());
    }

    void mouseEditing()
    {
        install(1, QSize(473, 400));
        canvas->setPenColor(1);
        renderWidget(*canvas);
        const QRectF grid = canvas->canvasRect();
        const int y = int(grid.center().y());
        QTest::mousePress(canvas, Qt::LeftButton, {}, QPoint(int(grid.left()) + 1, y));
        for (int x = int(grid.left()); x < int(grid.right()); x += 3)
            QTest::mouseMove(canvas, QPoint(x, y));
        QTest::mouseRelease(canvas, Qt::LeftButton, {}, QPoint(int(grid.right()) - 1, y));
        for (int row = 0; row < picture.format->rows; ++row) {
            for (int column = 0; column < picture.format->columns; ++column)
                picture.cells[size_t(row) * picture.format->columns + column] =
                    canvas->cell(column, row);
        }
        COMPARE_PIXELS(renderWidget(*canvas), paintDirectly(canvas->size(), 1, picture));
    }

    // What reaches the window's backing store, where the canvas sits away from the origin.
    void onScreen()
    {
        install(0, QSize(641, 479));
        for (int i = 0; i < 20; ++i) {
            setRandomCell();
            const QImage shown = window.screen()
                                     ->grabWindow(window.winId())
                                     .toImage()
                                     .copy(QRect(canvas->pos(), canvas->size()));
            COMPARE_PIXELS(shown, paintDirectly(canvas->size(), 1, picture));
        }
    }

    void doublePixelRatio()
    {
        install(1, QSize(473, 400));
        COMPARE_PIXELS(renderWidget(*canvas, 2), paintDirectly(canvas->size(), 2, picture));
        for (int i = 0; i < 20; ++i) {
            setRandomCell();
            COMPARE_PIXELS(renderWidget(*canvas, 2), paintDirectly(canvas->size(), 2, picture));
            COMPARE_PIXELS(renderWidget(*canvas), paintDirectly(canvas->size(), 1, picture));
        }
    }
};

CELVANE_TEST_MAIN(tst_CanvasRendering)
#include "tst_canvasrendering.moc"
