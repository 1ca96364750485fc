#pragma once

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
