#include "bench/directpainting.h"

#include "painting/canvasgeometry.h"

#include <QPainter>

DirectPainting::DirectPainting(const CanvasFormat &format, const QByteArray &cells)
    : m_format(format)
    , m_cells(cells)
{
}

void DirectPainting::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRectF canvasRect = fitCanvasRect(rect(), m_format);
    painter.fillRect(rect(), m_format.palette.at(0));
    painter.fillRect(canvasRect, m_format.palette.at(0));
    const CellSize size = cellSize(canvasRect, m_format);
    for (int y = 0; y < m_format.rows; ++y) {
        for (int x = 0; x < m_format.columns; ++x) {
            const auto value = uint8(m_cells.at(y * m_format.columns + x));
            if (value < m_format.palette.size())
                painter.fillRect(cellPaintRect(canvasRect, size, m_format, x, y),
                                 m_format.palette.at(value));
        }
    }
}
