#include "web/webimport.h"

#include "connection/protocol.h"
#include "model/canvasformat.h"
#include "model/imagetocells.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>

WebImport::Result WebImport::rows(QByteArrayView file, const CanvasFormat &format)
{
    // The desktop program hands the file's name to QImage, which picks the decoder by the
    // suffix and falls back on the content when that decoder cannot read it; a body has no name,
    // so the content alone decides. Every file the suffix would have read is one whose content
    // says the same, so both read the same image.
    QByteArray bytes = file.toByteArray();
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setDecideFormatFromContent(true);
    reader.setAllocationLimit(AllocationLimitMiB);
    const QSize size = reader.size();
    if (size.isValid() && qint64(size.width()) * size.height() > MaxPixels)
        return {413, QByteArrayLiteral("The image has more than ") + QByteArray::number(MaxPixels) +
                         " pixels.\n"};
    const QImage source = reader.read();
    if (source.width() == 0 || source.height() == 0 ||
        qint64(source.width()) * source.height() > MaxPixels)
        return {400, QByteArrayLiteral("Unable to open image.")};

    const QImage cells = imageToCells(source, format);
    Result result;
    for (int y = 0; y < format.rows; ++y)
        result.body +=
            Protocol::encodeRowData(quint8(y), quint8(format.columns), cells.constScanLine(y));
    return result;
}
