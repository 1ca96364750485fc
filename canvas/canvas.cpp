#include "canvas/canvas.h"

#include "canvas/canvasgeometry.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// What the widget shows without a picture, and what stands in for a frame colour index that the
// palette does not have.
const QColor noPictureColor(0x44, 0x44, 0x44);

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

void Canvas::clear()
{
    if (!m_format)
        return;
    std::fill(m_cells.begin(), m_cells.end(), EmptyCell);
    invalidatePicture();
    repaint();
}

void Canvas::setCell(uint8 x, uint8 y, uint8 value)
{
    if (!m_format)
        return;
    const int index = y * m_format->columns + x;
    m_cells[size_t(index)] = value;
    cellChanged(index);
    repaint();
}

void Canvas::setBorderColor(uint8 index)
{
    if (index != m_borderColor)
        invalidatePicture();
    m_borderColor = index;
    repaint();
}

void Canvas::setBackgroundColor(uint8 index)
{
    if (index != m_backgroundColor)
        invalidatePicture();
    m_backgroundColor = index;
    repaint();
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
    paintAt(event->position().toPoint());
}

void Canvas::mouseReleaseEvent(QMouseEvent *)
{
    m_mouseMode = Idle;
}

void Canvas::mouseMoveEvent(QMouseEvent *event)
{
    if (m_mouseMode != Idle)
        paintAt(event->position().toPoint());
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
    if (!m_format || !cellAt(m_canvasRect, *m_format, point, &x, &y))
        return;

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

QColor Canvas::frameColor(uint8 index) const
{
    return index < m_format->palette.size() ? m_format->palette.at(index) : noPictureColor;
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
    }
    m_changedCells.clear();
}

void Canvas::paintPicture(QPainter &painter, int firstColumn, int lastColumn, int firstRow,
                          int lastRow) const
{
    painter.fillRect(rect(), frameColor(m_borderColor));
    painter.fillRect(m_canvasRect, frameColor(m_backgroundColor));

    const CanvasFormat &format = *m_format;
    const CellSize size = cellSize(m_canvasRect, format);
    const qsizetype paletteSize = format.palette.size();
    for (int y = firstRow; y <= lastRow; ++y) {
        const uint8 *cell = m_cells.data() + size_t(y) * format.columns;
        for (int x = firstColumn; x <= lastColumn; ++x) {
            if (cell[x] < paletteSize)
                painter.fillRect(cellPaintRect(m_canvasRect, size, format, x, y),
                                 format.palette.at(cell[x]));
        }
    }
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
    painter.drawImage(QPoint(0, 0), m_picture);
}
