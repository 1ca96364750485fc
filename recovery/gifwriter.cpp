#include "recovery/gifwriter.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstring>

GifWriter::GifWriter(QSize size, const QList<QColor> &colours)
    : m_size(size)
{
    for (const QColor &colour : colours)
        m_colours.append(colour.rgb() | 0xff000000u);
    int error = 0;
    m_gif = EGifOpen(this, &GifWriter::write, &error);
    if (!m_gif) {
        fail(QStringLiteral("cannot start a GIF"), error);
        return;
    }
    EGifSetGifVersion(m_gif, true);
    // A colour table has a power of two entries, at least two.
    int tableSize = 2;
    while (tableSize < m_colours.size())
        tableSize *= 2;
    std::vector<GifColorType> table(size_t(tableSize), GifColorType{0, 0, 0});
    for (int i = 0; i < m_colours.size() && i < tableSize; ++i)
        table[size_t(i)] =
            GifColorType{GifByteType(qRed(m_colours.at(i))), GifByteType(qGreen(m_colours.at(i))),
                         GifByteType(qBlue(m_colours.at(i)))};
    ColorMapObject *map = GifMakeMapObject(tableSize, table.data());
    const int written = EGifPutScreenDesc(m_gif, size.width(), size.height(), 8, 0, map);
    GifFreeMapObject(map);
    if (written == GIF_ERROR) {
        fail(QStringLiteral("cannot write the GIF's screen"), m_gif->Error);
        return;
    }
    // The application extension that makes viewers loop the animation for ever.
    static const unsigned char netscape[] = "NETSCAPE2.0";
    static const unsigned char loopForEver[] = {1, 0, 0};
    if (EGifPutExtensionLeader(m_gif, APPLICATION_EXT_FUNC_CODE) == GIF_ERROR ||
        EGifPutExtensionBlock(m_gif, 11, netscape) == GIF_ERROR ||
        EGifPutExtensionBlock(m_gif, 3, loopForEver) == GIF_ERROR ||
        EGifPutExtensionTrailer(m_gif) == GIF_ERROR)
        fail(QStringLiteral("cannot write the GIF's loop"), m_gif->Error);
    const size_t pixels = size_t(size.width()) * size_t(size.height());
    m_indices.resize(pixels);
}

GifWriter::~GifWriter()
{
    if (m_gif) {
        int error = 0;
        EGifCloseFile(m_gif, &error);
    }
}

int GifWriter::write(GifFileType *gif, const unsigned char *bytes, int length)
{
    static_cast<GifWriter *>(gif->UserData)
        ->m_bytes.append(reinterpret_cast<const char *>(bytes), length);
    return length;
}

bool GifWriter::fail(const QString &what, int giflibError)
{
    if (m_error.isEmpty()) {
        const char *reason = GifErrorString(giflibError);
        m_error = reason ? QStringLiteral("%1: %2").arg(what, QLatin1String(reason)) : what;
    }
    return false;
}

bool GifWriter::addFrame(const QImage &frame, int delayCentiseconds)
{
    if (!m_gif || !m_error.isEmpty())
        return false;
    if (frame.size() != m_size)
        return fail(QStringLiteral("a frame of another size"), 0);
    const QImage image =
        frame.format() == QImage::Format_RGB32 || frame.format() == QImage::Format_ARGB32
            ? frame
            : frame.convertToFormat(QImage::Format_RGB32);
    const int width = m_size.width();
    const int height = m_size.height();
    QRgb lastColour = 0;
    unsigned char lastIndex = 0;
    bool haveLast = false;
    for (int y = 0; y < height; ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        unsigned char *out = m_indices.data() + size_t(y) * size_t(width);
        for (int x = 0; x < width; ++x) {
            const QRgb colour = line[x] | 0xff000000u;
            if (!haveLast || colour != lastColour) {
                const qsizetype index = m_colours.indexOf(colour);
                if (index < 0)
                    return fail(QStringLiteral("a frame holds a colour outside the picture's "
                                               "palette"),
                                0);
                lastColour = colour;
                lastIndex = static_cast<unsigned char>(index);
                haveLast = true;
            }
            out[x] = lastIndex;
        }
    }

    // The rectangle that differs from the previous frame; the first frame is whole.
    int left = 0;
    int top = 0;
    int right = width - 1;
    int bottom = height - 1;
    if (!m_previous.empty()) {
        left = width;
        top = height;
        right = -1;
        bottom = -1;
        for (int y = 0; y < height; ++y) {
            const unsigned char *now = m_indices.data() + size_t(y) * size_t(width);
            const unsigned char *before = m_previous.data() + size_t(y) * size_t(width);
            if (std::memcmp(now, before, size_t(width)) == 0)
                continue;
            top = std::min(top, y);
            bottom = y;
            int x = 0;
            while (now[x] == before[x])
                ++x;
            left = std::min(left, x);
            x = width - 1;
            while (now[x] == before[x])
                --x;
            right = std::max(right, x);
        }
        // A frame that changes nothing still takes its place and its time: one unchanged pixel.
        if (right < 0) {
            left = right = 0;
            top = bottom = 0;
        }
    }

    GraphicsControlBlock control;
    control.DisposalMode = DISPOSE_DO_NOT;
    control.UserInputFlag = false;
    control.DelayTime = delayCentiseconds;
    control.TransparentColor = NO_TRANSPARENT_COLOR;
    GifByteType extension[4];
    const size_t extensionLength = EGifGCBToExtension(&control, extension);
    if (EGifPutExtension(m_gif, GRAPHICS_EXT_FUNC_CODE, int(extensionLength), extension) ==
        GIF_ERROR)
        return fail(QStringLiteral("cannot write a frame's timing"), m_gif->Error);
    const int frameWidth = right - left + 1;
    if (EGifPutImageDesc(m_gif, left, top, frameWidth, bottom - top + 1, false, nullptr) ==
        GIF_ERROR)
        return fail(QStringLiteral("cannot write a frame"), m_gif->Error);
    for (int y = top; y <= bottom; ++y)
        if (EGifPutLine(m_gif, m_indices.data() + size_t(y) * size_t(width) + size_t(left),
                        frameWidth) == GIF_ERROR)
            return fail(QStringLiteral("cannot write a frame"), m_gif->Error);
    m_previous.swap(m_indices);
    if (m_indices.empty())
        m_indices.resize(m_previous.size());
    ++m_frames;
    return true;
}

QByteArray GifWriter::finish()
{
    if (!m_gif)
        return {};
    int error = 0;
    const int closed = EGifCloseFile(m_gif, &error);
    m_gif = nullptr;
    if (closed == GIF_ERROR)
        fail(QStringLiteral("cannot end the GIF"), error);
    if (!m_error.isEmpty())
        return {};
    return std::exchange(m_bytes, QByteArray());
}
