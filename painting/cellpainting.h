#pragma once

#include "model/canvasformat.h"

#include <QColor>
#include <QRect>
#include <QRectF>

class QPainter;

// What a canvas shows without a picture, and what it paints in place of a frame colour index that
// the palette does not have.
extern const QColor noPictureColor;

// The colour of a border or background index: its palette entry, or noPictureColor beyond it.
QColor frameColor(const CanvasFormat &format, uint8 index);

// The picture as a canvas paints it, in the order that decides overlapping pixels: the border over
// the whole area, the background over canvasRect, then the cells of the given columns and rows
// (inclusive) row by row. Cells whose value is outside the palette are left unpainted.
struct PictureView
{
    const CanvasFormat *format = nullptr;
    QRect area;
    QRectF canvasRect;
    uint8 border = 0;
    uint8 background = 0;
    const uint8 *cells = nullptr; // rows x columns, row by row
};
void paintPicture(QPainter &painter, const PictureView &picture, int firstColumn, int lastColumn,
                  int firstRow, int lastRow);
void paintPicture(QPainter &painter, const PictureView &picture);
