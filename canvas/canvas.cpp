#include "canvas/canvas.h"

#include "canvas/canvasgeometry.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cstring>

namespace {

// What the widget shows without a picture, and what stands in for a frame colour index that the
// palette does not have.
const QColor noPictureColor(0x44, 0x44, 0x44);

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
    repaint();
}

void Canvas::clear()
{
    if (!m_format)
        return;
    std::fill(m_cells.begin(), m_cells.end(), EmptyCell);
    repaint();
}

void Canvas::setCell(uint8 x, uint8 y, uint8 value)
{
    if (!m_format)
        return;
    m_cells[size_t(y) * m_format->columns + x] = value;
    repaint();
}

void Canvas::setBorderColor(uint8 index)
{
    m_borderColor = index;
    repaint();
}

void Canvas::setBackgroundColor(uint8 index)
{
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
    uint8 &cell = m_cells[size_t(y) * m_format->columns + x];
    if (cell == value)
        return;

    cell = value;
    repaint();
    Q_EMIT CellChanged(uint8(x), uint8(y), value);
}

QColor Canvas::frameColor(uint8 index) const
{
    return index < m_format->palette.size() ? m_format->palette.at(index) : noPictureColor;
}

void Canvas::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (!m_format) {
        painter.fillRect(rect(), noPictureColor);
        return;
    }

    painter.fillRect(rect(), frameColor(m_borderColor));
    painter.fillRect(m_canvasRect, frameColor(m_backgroundColor));

    const CanvasFormat &format = *m_format;
    const CellSize size = cellSize(m_canvasRect, format);
    const qsizetype paletteSize = format.palette.size();
    const uint8 *cell = m_cells.data();
    for (int y = 0; y < format.rows; ++y) {
        for (int x = 0; x < format.columns; ++x, ++cell) {
            if (*cell < paletteSize)
                painter.fillRect(cellPaintRect(m_canvasRect, size, format, x, y),
                                 format.palette.at(*cell));
        }
    }
}
