#include "server/picturerenderer.h"

#include "canvas/canvasformat.h"
#include "canvas/canvasgeometry.h"
#include "server/picture.h"

#include <QPainter>

namespace {

// What the canvas paints for a frame colour index that its palette lacks.
const QColor missingFrameColor(0x44, 0x44, 0x44);

QColor frameColor(const CanvasFormat &format, quint8 index)
{
    return index < format.palette.size() ? format.palette.at(index) : missingFrameColor;
}

} // namespace

QImage PictureRenderer::render(const Picture &picture, QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    const CanvasFormat &format = picture.format();
    const QRect area(QPoint(0, 0), size);
    const QRectF canvasRect = fitCanvasRect(area, format);

    QPainter painter(&image);
    painter.fillRect(area, frameColor(format, picture.border()));
    painter.fillRect(canvasRect, frameColor(format, picture.background()));

    const CellSize cell = cellSize(canvasRect, format);
    const qsizetype paletteSize = format.palette.size();
    const auto *value = reinterpret_cast<const quint8 *>(picture.cells().constData());
    for (int y = 0; y < format.rows; ++y) {
        for (int x = 0; x < format.columns; ++x, ++value) {
            if (*value < paletteSize)
                painter.fillRect(cellPaintRect(canvasRect, cell, format, x, y),
                                 format.palette.at(*value));
        }
    }
    return image;
}
