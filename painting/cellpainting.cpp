#include "painting/cellpainting.h"

#include "painting/canvasgeometry.h"

#include <QPainter>

const QColor noPictureColor(0x44, 0x44, 0x44);

QColor frameColor(const CanvasFormat &format, uint8 index)
{
    return index < format.palette.size() ? format.palette.at(index) : noPictureColor;
}

void paintPicture(QPainter &painter, const PictureView &picture, int firstColumn, int lastColumn,
                  int firstRow, int lastRow)
{
    const CanvasFormat &format = *picture.format;
    painter.fillRect(picture.area, frameColor(format, picture.border));
    painter.fillRect(picture.canvasRect, frameColor(format, picture.background));

    const CellSize size = cellSize(picture.canvasRect, format);
    const qsizetype paletteSize = format.palette.size();
    for (int y = firstRow; y <= lastRow; ++y) {
        const uint8 *cell = picture.cells + size_t(y) * format.columns;
        for (int x = firstColumn; x <= lastColumn; ++x) {
            if (cell[x] < paletteSize)
                painter.fillRect(cellPaintRect(picture.canvasRect, size, format, x, y),
                                 format.palette.at(cell[x]));
        }
    }
}

void paintPicture(QPainter &painter, const PictureView &picture)
{
    paintPicture(painter, picture, 0, picture.format->columns - 1, 0, picture.format->rows - 1);
}
