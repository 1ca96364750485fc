#include "painting/canvasgeometry.h"

#include "model/canvasformat.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

QRectF fitCanvasRect(const QRect &widgetRect, const CanvasFormat &format)
{
    const int w = widgetRect.width();
    const int h = widgetRect.height();
    const float widgetRatio = float(double(w) / double(h));
    const float pictureRatio = float(format.columns) / float(format.rows) * format.cellAspect;

    float cellWidth;
    float cellHeight;
    if (widgetRatio > pictureRatio) {
        const float margin = float(h) * 0.1f;
        cellHeight = (float(h) - 2 * margin) / float(format.rows);
        cellWidth = cellHeight * format.cellAspect;
    } else {
        // Equal ratios, and a widget with no area at all (NaN), take the width-binding branch.
        const float margin = float(w) * 0.1f;
        cellWidth = (float(w) - 2 * margin) / float(format.columns);
        cellHeight = cellWidth / format.cellAspect;
    }
    const float gridWidth = float(format.columns) * cellWidth;
    const float gridHeight = float(format.rows) * cellHeight;

    return QRectF(widgetRect.left() + w * 0.5 - gridWidth * 0.5,
                  widgetRect.top() + h * 0.5 - gridHeight * 0.5, gridWidth, gridHeight);
}

CellSize cellSize(const QRectF &canvasRect, const CanvasFormat &format)
{
    return {float(canvasRect.width()) / float(format.columns),
            float(canvasRect.height()) / float(format.rows)};
}

QRectF cellPaintRect(const QRectF &canvasRect, CellSize size, const CanvasFormat &format, int x,
                     int y)
{
    // Each edge is computed once from its own index, so a cell ends exactly where its neighbour
    // starts. Taking "left + width" instead lets the two differ in the last bit, and where an edge
    // falls on half a pixel the fills then round apart and leave a line of background between
    // two cells.
    const double left = canvasRect.x() + float(x) * size.width;
    const double right = canvasRect.x() + float(x + 1) * size.width;
    const double top = canvasRect.y() + float(y) * size.height;
    const double bottom =
        format.rowGap ? top + size.height * 0.875f : canvasRect.y() + float(y + 1) * size.height;
    return QRectF(QPointF(left, top), QPointF(right, bottom));
}

bool cellAt(const QRectF &canvasRect, const CanvasFormat &format, const QPointF &point, int *x,
            int *y)
{
    const CellSize size = cellSize(canvasRect, format);
    if (!(size.width > 0) || !(size.height > 0))
        return false;

    // Floor rather than truncate, so that the band just left of or above the grid is not taken
    // for column or row 0. Range checks happen in floating point, before any conversion to int.
    const double column = std::floor((point.x() - canvasRect.left()) / double(size.width));
    const double row = std::floor((point.y() - canvasRect.top()) / double(size.height));
    if (!(column >= 0 && column < format.columns && row >= 0 && row < format.rows))
        return false;

    *x = int(column);
    *y = int(row);
    return true;
}

bool cellUnder(const QRectF &canvasRect, const CanvasFormat &format, const QPointF &point,
               QPoint *cell)
{
    const CellSize size = cellSize(canvasRect, format);
    if (!(size.width > 0) || !(size.height > 0))
        return false;

    // The limit keeps the conversion to int defined and a line from far outside short.
    constexpr double Limit = 1e6;
    const double column = std::floor((point.x() - canvasRect.left()) / double(size.width));
    const double row = std::floor((point.y() - canvasRect.top()) / double(size.height));
    *cell = QPoint(int(std::clamp(column, -Limit, Limit)), int(std::clamp(row, -Limit, Limit)));
    return true;
}

QList<QPoint> dragCells(const QPoint &from, const QPoint &to, const QRect &grid)
{
    QList<QPoint> cells;
    if (from == to) {
        if (grid.contains(to))
            cells.append(to);
        return cells;
    }

    const int dx = std::abs(to.x() - from.x());
    const int dy = -std::abs(to.y() - from.y());
    const int stepX = from.x() < to.x() ? 1 : -1;
    const int stepY = from.y() < to.y() ? 1 : -1;
    int error = dx + dy;
    QPoint at = from;
    while (at != to) {
        const int twice = 2 * error;
        if (twice >= dy) {
            error += dy;
            at.rx() += stepX;
        }
        if (twice <= dx) {
            error += dx;
            at.ry() += stepY;
        }
        if (grid.contains(at))
            cells.append(at);
    }
    return cells;
}
