#pragma once

#include <QList>
#include <QPoint>
#include <QRect>
#include <QRectF>

struct CanvasFormat;

// The mapping between widget pixels and cells. Painting and mouse editing both go through these
// functions, so a cell is always hit where it is drawn. The arithmetic is deliberately done in
// single precision where the picture's measures are concerned: the figures it produces are part
// of how the picture looks, and tests compare them exactly.

// Fits the grid into a widget rectangle: the grid keeps its shape, takes eight tenths of the
// binding dimension and is centred. A widget of zero width or height yields an empty rectangle.
QRectF fitCanvasRect(const QRect &widgetRect, const CanvasFormat &format);

struct CellSize
{
    float width = 0;
    float height = 0;
};

// The pitch of one cell inside canvasRect.
CellSize cellSize(const QRectF &canvasRect, const CanvasFormat &format);

// The rectangle filled for cell (x, y). With a row gap, only the upper seven eighths of the row.
QRectF cellPaintRect(const QRectF &canvasRect, CellSize size, const CanvasFormat &format, int x,
                     int y);

// The cell under a widget point. Points left of or above canvasRect select nothing, as do points
// beyond its right or bottom edge and every point of an empty canvasRect.
bool cellAt(const QRectF &canvasRect, const CanvasFormat &format, const QPointF &point, int *x,
            int *y);

// Like cellAt, but also for points outside the grid, which give columns and rows below 0 or
// beyond the last; false only when the grid has no size. Points very far out are brought in to
// a million cells around the grid.
bool cellUnder(const QRectF &canvasRect, const CanvasFormat &format, const QPointF &point,
               QPoint *cell);

// The cells a drag paints when the pointer moves from cell `from` to cell `to`: the Bresenham
// line between them in the order the pointer crosses them, without `from` itself, which the drag
// has painted already, unless the pointer stayed there. Cells outside `grid` are left out.
QList<QPoint> dragCells(const QPoint &from, const QPoint &to, const QRect &grid);
