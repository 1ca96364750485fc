#include "web/webimport.h"

#include "connection/protocol.h"
#include "model/canvasformat.h"
#include "model/imagetocells.h"
#include "web/httprequest.h"
#include "web/webaccess.h"

#include <QBuffer>
#include <QHostAddress>
#include <QImage>
#include <QImageReader>
#include <QUrlQuery>

#include <iterator>

int WebImport::refusal(const HttpRequest &head, const QHostAddress &address,
                       const WebAccess &access, qint64 nowMs) const
{
    const QByteArray authorization = head.header("authorization");
    const bool mayEdit = authorization.isEmpty()
                             ? access.editForAll()
                             : access.editorFor(WebAccess::bearerKey(authorization)).has_value();
    if (!mayEdit)
        return 403;
    const auto last = m_last.find(address.toString());
    if (last != m_last.end() && nowMs - last->second < IntervalMs)
        return 429;
    return 0;
}

WebImport::Answer WebImport::answer(const HttpRequest &request, const QHostAddress &address,
                                    const WebAccess &access, int format, qint64 nowMs)
{
    if (const int status = refusal(request, address, access, nowMs))
        return {status, status == 429 ? QByteArrayLiteral("one import a second\n")
                                      : QByteArrayLiteral("may not edit\n")};
    const QUrlQuery items(QString::fromLatin1(request.query));
    if (items.hasQueryItem(QStringLiteral("format"))) {
        bool ok = false;
        format = items.queryItemValue(QStringLiteral("format")).toInt(&ok);
        if (!ok || format < 0 || format >= canvasFormats().size())
            return {400,
                    "format must be 0 to " + QByteArray::number(canvasFormats().size() - 1) + '\n'};
    }
    if (m_last.size() > 1024) {
        // Addresses whose second is over are as good as new.
        for (auto entry = m_last.begin(); entry != m_last.end();)
            entry = nowMs - entry->second >= IntervalMs ? m_last.erase(entry) : std::next(entry);
    }
    m_last[address.toString()] = nowMs;
    return rows(request.body, *canvasFormats().at(format));
}

WebImport::Answer WebImport::rows(QByteArrayView file, const CanvasFormat &format)
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
    Answer answer;
    for (int y = 0; y < format.rows; ++y)
        answer.body +=
            Protocol::encodeRowData(quint8(y), quint8(format.columns), cells.constScanLine(y));
    return answer;
}
