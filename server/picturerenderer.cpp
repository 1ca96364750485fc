#include "server/picturerenderer.h"

#include "model/canvasformat.h"
#include "painting/canvasgeometry.h"
#include "painting/cellpainting.h"
#include "server/picture.h"

#include <QPainter>

QImage PictureRenderer::render(const Picture &picture, QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    const CanvasFormat &format = picture.format();
    const QRect area(QPoint(0, 0), size);

    QPainter painter(&image);
    const PictureView view{&format,
                           area,
                           fitCanvasRect(area, format),
                           picture.border(),
                           picture.background(),
                           reinterpret_cast<const uint8 *>(picture.cells().constData())};
    paintPicture(painter, view);
    return image;
}
