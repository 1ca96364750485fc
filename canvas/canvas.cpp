#include "canvas/canvas.h"

#include "painting/canvasgeometry.h"
#include "painting/cellpainting.h"

#include <QMouseEvent>
#include <QPaintEngine>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Past this many cells stored without a paint in between (while the widget is hidden, say),
// rendering the whole picture again costs less than repairing it cell by cell.
constexpr size_t MaxChangedCells = 64;

// The cells along one axis, first to last, whose fills can reach a pixel in [from, to). A fill
// covers the pixels that its rounded edges enclose, so one pixel and one cell of slack on each
// side keep the range on the safe side whichever way the rounding goes. Cells of no size (an
// empty grid) give the whole axis, which costs nothing as they paint nothing.
void cellSpan(double origin, float pitch, int count, int from, int to, int *first, int *last)
{
    if (!(pitch > 0)) {
        *first = 0;
        *last = count - 1;
        return;
    }
    const double low = std::floor((from - 1 - origin) / pitch) - 1;
    const double high = std::floor((to + 1 - origin) / pitch) + 1;
    *first = int(std::clamp(low, 0.0, double(count - 1)));
    *last = int(std::clamp(high, 0.0, double(count - 1)));
}

} // namespace

Canvas::Canvas(QWidget *parent)
    : QWidget(parent)
{
}

Canvas::~Canvas() = default;

void Canvas::setFormat(const CanvasFormat *format, const uint8 *cells)
{
    if (format == m_format)
        return;

    m_format = format;
    m_cells.clear();
    m_cells.shrink_to_fit();
    m_borderColor = 0;
    m_backgroundColor = 0;
    m_penColor = 0;
    invalidatePicture();
    if (!m_format)
        m_picture = QImage();

    if (m_format) {
        m_cells.resize(size_t(m_format->cellCount()), EmptyCell);
        if (cells)
            std::memcpy(m_cells.data(), cells, m_cells.size());
    }

    updateCanvasRect();
    repaint();
}

void Canvas::replaceCells(const uint8 *cells)
{
    if (!m_format)
        return;
    std::memcpy(m_cells.data(), cells, m_cells.size());
    invalidatePicture();
    repaint();
}

void Canvas::clear(Repaint repaint)
{
    if (!m_format)
        return;
    std::fill(m_cells.begin(), m_cells.end(), EmptyCell);
    invalidatePicture();
    if (repaint == RepaintNow)
        this->repaint();
}

void Canvas::setCell(uint8 x, uint8 y, uint8 value, Repaint repaint)
{
    if (!m_format)
        return;
    const int index = y * m_format->columns + x;
    m_cells[size_t(index)] = value;
    cellChanged(index);
    if (repaint == RepaintNow)
        this->repaint();
}

void Canvas::setRow(uint8 y, const uint8 *cells, Repaint repaint)
{
    if (!m_format)
        return;
    const int first = y * m_format->columns;
    for (int x = 0; x < m_format->columns; ++x) {
        uint8 &cell = m_cells[size_t(first + x)];
        if (cell != cells[x]) {
            cell = cells[x];
            cellChanged(first + x);
        }
    }
    if (repaint == RepaintNow)
        this->repaint();
}

void Canvas::setBorderColor(uint8 index, Repaint repaint)
{
    if (index != m_borderColor)
        invalidatePicture();
    m_borderColor = index;
    if (repaint == RepaintNow)
        this->repaint();
}

void Canvas::setBackgroundColor(uint8 index, Repaint repaint)
{
    if (index != m_backgroundColor)
        invalidatePicture();
    m_backgroundColor = index;
    if (repaint == RepaintNow)
        this->repaint();
}

void Canvas::setPenColor(uint8 index)
{
    // The pen colour is not visible, so there is nothing to repaint.
    m_penColor = index;
}

void Canvas::mousePressEvent(QMouseEvent *event)
{
    if (!m_format)
        return;
    if (event->button() == Qt::LeftButton)
        m_mouseMode = Drawing;
    else if (event->button() == Qt::RightButton)
        m_mouseMode = Erasing;
    else
        return;
    m_lastDragPoint = event->position().toPoint();
    paintAt(m_lastDragPoint);
}

void Canvas::mouseReleaseEvent(QMouseEvent *)
{
    m_mouseMode = Idle;
}

void Canvas::mouseMoveEvent(QMouseEvent *event)
{
    if (m_mouseMode != Idle)
        paintLineTo(event->position().toPoint());
}

void Canvas::resizeEvent(QResizeEvent *)
{
    updateCanvasRect();
    invalidatePicture();
}

void Canvas::updateCanvasRect()
{
    if (m_format)
        m_canvasRect = fitCanvasRect(rect(), *m_format);
}

void Canvas::paintAt(const QPoint &point)
{
    int x;
    int y;
    if (m_format && cellAt(m_canvasRect, *m_format, point, &x, &y))
        paintCell(x, y);
}

// Move events come every few milliseconds, and a quick drag crosses several cells between two of
// them: painting only where the events land would leave a dotted line.
void Canvas::paintLineTo(const QPoint &point)
{
    const QPoint previous = m_lastDragPoint;
    m_lastDragPoint = point;
    QPoint from;
    QPoint to;
    if (!m_format || !cellUnder(m_canvasRect, *m_format, previous, &from) ||
        !cellUnder(m_canvasRect, *m_format, point, &to))
        return;
    const CanvasFormat *format = m_format;
    for (const QPoint &cell : dragCells(from, to, QRect(0, 0, format->columns, format->rows))) {
        // A slot connected to CellChanged may have replaced or dropped the picture.
        if (m_format != format)
            return;
        paintCell(cell.x(), cell.y());
    }
}

void Canvas::paintCell(int x, int y)
{
    const uint8 value = m_mouseMode == Drawing ? m_penColor : EmptyCell;
    const int index = y * m_format->columns + x;
    uint8 &cell = m_cells[size_t(index)];
    if (cell == value)
        return;

    cell = value;
    cellChanged(index);
    repaint();
    Q_EMIT CellChanged(uint8(x), uint8(y), value);
}

void Canvas::cellChanged(int index)
{
    if (!m_pictureValid)
        return;
    if (m_changedCells.size() >= MaxChangedCells)
        invalidatePicture();
    else
        m_changedCells.push_back(index);
}

void Canvas::invalidatePicture()
{
    m_pictureValid = false;
    m_changedCells.clear();
}

// The kept picture can stand in for painting only where it lands pixel for pixel on the device:
// moved by whole pixels and scaled by a whole factor, at which it is rendered. Anything else (a
// fractional device pixel ratio, a rotating or shearing painter) paints the cells directly.
bool Canvas::pictureFits(const QTransform &deviceTransform, int *scale) const
{
    if (width() <= 0 || height() <= 0 || deviceTransform.type() > QTransform::TxScale)
        return false;
    const qreal factor = deviceTransform.m11();
    if (factor < 1 || factor > 8 || factor != std::floor(factor) ||
        deviceTransform.m22() != factor ||
        deviceTransform.dx() != std::floor(deviceTransform.dx()) ||
        deviceTransform.dy() != std::floor(deviceTransform.dy()))
        return false;
    *scale = int(factor);
    return true;
}

void Canvas::renderPicture(int scale)
{
    const QSize pixels = size() * scale;
    if (m_picture.size() != pixels)
        m_picture = QImage(pixels, QImage::Format_RGB32);
    m_picture.setDevicePixelRatio(scale);

    QPainter painter(&m_picture);
    paintPicture(painter, 0, m_format->columns - 1, 0, m_format->rows - 1);
    painter.end();
    findRepeatedRows(0, m_picture.height() - 1);
    m_pictureValid = true;
    m_changedCells.clear();
}

// Fills do not stay inside their cells: after rounding, neighbours may overlap by a pixel or leave
// one uncovered, and where they overlap the later fill wins. So a changed cell is repaired by
// repeating, clipped to the pixels it can touch, every fill of a whole repaint that reaches them,
// in the same order: border, background, then the nearby cells row by row.
void Canvas::renderChangedCells()
{
    if (m_changedCells.empty())
        return;

    const CanvasFormat &format = *m_format;
    const CellSize size = cellSize(m_canvasRect, format);
    int top = height();
    int bottom = -1;
    QPainter painter(&m_picture);
    for (const int index : m_changedCells) {
        const int x = index % format.columns;
        const int y = index / format.columns;
        // Rounding moves an edge to one of the two whole pixels beside it, never further.
        const QRect pixels =
            cellPaintRect(m_canvasRect, size, format, x, y).toAlignedRect() & rect();
        if (pixels.isEmpty())
            continue;

        int firstColumn;
        int lastColumn;
        int firstRow;
        int lastRow;
        cellSpan(m_canvasRect.x(), size.width, format.columns, pixels.left(),
                 pixels.left() + pixels.width(), &firstColumn, &lastColumn);
        cellSpan(m_canvasRect.y(), size.height, format.rows, pixels.top(),
                 pixels.top() + pixels.height(), &firstRow, &lastRow);
        painter.setClipRect(pixels);
        paintPicture(painter, firstColumn, lastColumn, firstRow, lastRow);
        top = std::min(top, pixels.top());
        bottom = std::max(bottom, pixels.bottom());
    }
    painter.end();
    m_changedCells.clear();

    // A changed row may now differ from its neighbours, above and below.
    const int scale = int(m_picture.devicePixelRatio());
    findRepeatedRows(top * scale, (bottom + 1) * scale);
}

void Canvas::findRepeatedRows(int top, int bottom)
{
    m_rowRepeats.resize(size_t(m_picture.height()));
    const int scale = int(m_picture.devicePixelRatio());
    const QRect grid = gridPixels();
    const size_t offset = size_t(grid.left()) * scale * 4;
    const size_t length = size_t(grid.width()) * scale * 4;
    for (int y = std::max(top, 0); y <= std::min(bottom, m_picture.height() - 1); ++y) {
        m_rowRepeats[size_t(y)] =
            y > 0 && std::memcmp(m_picture.constScanLine(y) + offset,
                                 m_picture.constScanLine(y - 1) + offset, length) == 0;
    }
}

// Outside the grid, give or take a pixel of rounding, nothing but the border is ever painted.
QRect Canvas::gridPixels() const
{
    return m_canvasRect.toAlignedRect().adjusted(-1, -1, 1, 1) & rect();
}

// Drawing the kept image reads as many bytes as it writes, which on a large widget costs twice
// what filling it does. But the grid is made of bands of identical pixel rows, one or two for
// each row of cells, so when the painter works on a plain 32-bit image in memory (the window's
// backing store, or an image the widget is rendered into), each row is copied there straight
// from the first row of its band: only a few distinct rows are ever read, and they stay in the
// cache. Any other device gets the image drawn the ordinary way.
bool Canvas::copyGridRows(QPainter &painter, const QRect &grid, int scale) const
{
    QPaintEngine *engine = painter.paintEngine();
    if (!engine || engine->type() != QPaintEngine::Raster || !engine->paintDevice() ||
        engine->paintDevice()->devType() != QInternal::Image)
        return false;
    auto *target = static_cast<QImage *>(engine->paintDevice());
    // Opaque colours have the same pixels in both formats. A shared image would be copied on
    // the first write, away from the memory the painter paints on.
    if ((target->format() != QImage::Format_RGB32 &&
         target->format() != QImage::Format_ARGB32_Premultiplied) ||
        !target->isDetached())
        return false;

    const QTransform transform = painter.deviceTransform();
    const QPoint offset(int(transform.dx()), int(transform.dy()));
    const QRect source(grid.topLeft() * scale, grid.size() * scale);
    QRegion region = engine->systemClip();
    if (region.isEmpty())
        region = target->rect();
    region &= source.translated(offset) & target->rect();

    uchar *bits = target->bits();
    const qsizetype stride = target->bytesPerLine();
    for (const QRect &part : region) {
        const uchar *row = nullptr;
        for (int y = part.top(); y <= part.bottom(); ++y) {
            const int sourceY = y - offset.y();
            if (!row || !m_rowRepeats[size_t(sourceY)])
                row = m_picture.constScanLine(sourceY);
            std::memcpy(bits + y * stride + part.left() * 4, row + (part.left() - offset.x()) * 4,
                        size_t(part.width()) * 4);
        }
    }
    return true;
}

void Canvas::paintPicture(QPainter &painter, int firstColumn, int lastColumn, int firstRow,
                          int lastRow) const
{
    const PictureView picture{m_format,          rect(),        m_canvasRect, m_borderColor,
                              m_backgroundColor, m_cells.data()};
    ::paintPicture(painter, picture, firstColumn, lastColumn, firstRow, lastRow);
}

void Canvas::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (!m_format) {
        painter.fillRect(rect(), noPictureColor);
        return;
    }

    int scale = 1;
    if (!pictureFits(painter.deviceTransform(), &scale)) {
        paintPicture(painter, 0, m_format->columns - 1, 0, m_format->rows - 1);
        return;
    }
    if (!m_pictureValid || m_picture.size() != size() * scale ||
        m_picture.devicePixelRatio() != scale)
        renderPicture(scale);
    else
        renderChangedCells();

    // Around the grid there is only the border: filling it writes memory without reading any.
    const QRect grid = gridPixels();
    const QColor border = frameColor(*m_format, m_borderColor);
    painter.fillRect(QRect(0, 0, width(), grid.top()), border);
    painter.fillRect(QRect(0, grid.top(), grid.left(), grid.height()), border);
    painter.fillRect(QRect(grid.right() + 1, grid.top(), width() - grid.right() - 1, grid.height()),
                     border);
    painter.fillRect(QRect(0, grid.bottom() + 1, width(), height() - grid.bottom() - 1), border);
    if (!copyGridRows(painter, grid, scale))
        painter.drawImage(grid.topLeft(), m_picture,
                          QRect(grid.topLeft() * scale, grid.size() * scale));
}
