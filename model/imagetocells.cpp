#include "model/imagetocells.h"

#include "model/canvasformat.h"

#include <QList>

QImage imageToCells(const QImage &source, const CanvasFormat &format)
{
    QList<QRgb> colorTable;
    colorTable.reserve(format.palette.size());
    for (const QColor &color : format.palette)
        colorTable.append(color.rgba());

    const QImage scaled =
        source.scaled(format.columns, format.rows, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    // Qt hands an image that is already indexed back unchanged, with its own colour table, so
    // indexed and one-bit images are expanded to 32-bit colour first and then mapped like any
    // other: every byte of the result is an index into the palette.
    return scaled.convertToFormat(QImage::Format_ARGB32)
        .convertToFormat(QImage::Format_Indexed8, colorTable, Qt::AutoColor);
}
