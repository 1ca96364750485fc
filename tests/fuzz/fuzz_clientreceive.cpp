// The client's receive path under arbitrary server bytes: the stream is cut into pieces chosen by
// the input itself, fed through MessageReader, and every Update is decoded and installed into a
// plain cell array the way the main window installs it into its canvas.
//
// Input layout: byte 0 gives the number n (0..15) of split bytes that follow it; each split byte
// b cuts a piece of 1 + b * b / 16 bytes, and the pattern repeats until the stream is used up. The
// stream is everything after the split bytes. So one split byte 0 feeds the stream byte by byte.
//
// Checked on every input:
// - no read past a message or a piece (every piece and every payload is handed over in a heap
//   block of exactly its size, so AddressSanitizer sees the first byte beyond it);
// - after every piece and draining, fewer than one maximal message is left pending;
// - the messages that come out are the ones an independent walk over the whole stream finds,
//   whatever the split, and nothing is lost or invented;
// - the picture holds cells only from complete Updates of known formats: it equals what the
//   reference computes from those messages alone.

#include "connection/messagereader.h"
#include "connection/protocol.h"
#include "model/canvasformat.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct Message
{
    quint8 kind;
    std::vector<char> payload;
    bool operator==(const Message &other) const
    {
        return kind == other.kind && payload == other.payload;
    }
};

// What the canvas ends up showing. Mirrors the window: a further Update for the installed format
// replaces the cells; another format installs afresh.
struct PictureModel
{
    const CanvasFormat *format = nullptr;
    std::vector<quint8> cells;
    quint8 border = 0;
    quint8 background = 0;
    bool operator==(const PictureModel &other) const
    {
        return format == other.format && cells == other.cells && border == other.border &&
               background == other.background;
    }
};

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// A copy in a block of exactly its size, so that a read beyond it is caught.
std::unique_ptr<char[]> exactCopy(const char *data, size_t size)
{
    std::unique_ptr<char[]> copy(new char[size ? size : 1]);
    if (size)
        std::memcpy(copy.get(), data, size);
    return copy;
}

// The messages of a stream, found without MessageReader, and the count of trailing bytes that do
// not make up a whole message.
std::vector<Message> referenceMessages(const quint8 *stream, size_t size, size_t *leftover)
{
    std::vector<Message> messages;
    size_t at = 0;
    while (size - at >= 4) {
        const size_t length = size_t(stream[at + 2]) | (size_t(stream[at + 3]) << 8);
        if (size - at < 4 + length)
            break;
        const char *payload = reinterpret_cast<const char *>(stream + at + 4);
        messages.push_back({stream[at], std::vector<char>(payload, payload + length)});
        at += 4 + length;
    }
    *leftover = size - at;
    return messages;
}

// The picture the reference expects after those messages, decoded by hand from the format table.
PictureModel referencePicture(const std::vector<Message> &messages)
{
    PictureModel picture;
    for (const Message &message : messages) {
        if (message.kind != 2 || message.payload.size() < 4)
            continue;
        const auto *bytes = reinterpret_cast<const quint8 *>(message.payload.data());
        if (bytes[0] >= canvasFormats().size())
            continue;
        const CanvasFormat *format = canvasFormats().at(bytes[0]);
        const size_t cellCount = size_t(format->rows) * size_t(format->columns);
        if (message.payload.size() < 4 + cellCount)
            continue;
        picture.format = format;
        picture.cells.assign(bytes + 4, bytes + 4 + cellCount);
        picture.border = bytes[1];
        picture.background = bytes[2];
    }
    return picture;
}

void install(PictureModel *picture, const Protocol::UpdateMessage &update)
{
    check(update.format != nullptr);
    check(update.format == canvasFormat(update.formatNumber));
    check(update.cells.size() == update.format->cellCount());
    const auto *cells = reinterpret_cast<const quint8 *>(update.cells.data());
    if (picture->format == update.format) {
        std::memcpy(picture->cells.data(), cells, picture->cells.size());
    } else {
        picture->format = update.format;
        picture->cells.assign(cells, cells + update.cells.size());
    }
    picture->border = update.border;
    picture->background = update.background;
}

// Feeds the stream in the given pieces; returns the messages and leaves the installed picture.
std::vector<Message> feed(const quint8 *stream, size_t size, const std::vector<size_t> &pieces,
                          PictureModel *picture, qsizetype *pending)
{
    MessageReader reader;
    std::vector<Message> messages;
    size_t at = 0;
    size_t piece = 0;
    while (at < size) {
        const size_t take = std::min(size - at, pieces.empty() ? size : pieces[piece]);
        piece = pieces.empty() ? 0 : (piece + 1) % pieces.size();
        const auto chunk = exactCopy(reinterpret_cast<const char *>(stream + at), take);
        reader.append(QByteArrayView(chunk.get(), qsizetype(take)));
        at += take;

        MessageReader::Message message;
        while (reader.next(&message)) {
            check(message.payload.size() <= Protocol::MaxPayloadSize);
            // Decoding must stay inside the payload: hand it over in a block of its own size.
            const auto payload = exactCopy(message.payload.data(), size_t(message.payload.size()));
            const QByteArrayView view(payload.get(), message.payload.size());
            messages.push_back(
                {message.kind, std::vector<char>(payload.get(), payload.get() + view.size())});
            if (message.kind != Protocol::Update)
                continue;
            const auto update = Protocol::decodeUpdate(view);
            if (!update)
                continue;
            check(update->cells.data() >= view.data());
            check(update->cells.data() + update->cells.size() <= view.data() + view.size());
            install(picture, *update);
        }
        check(reader.pendingBytes() < Protocol::MaxMessageSize);
    }
    *pending = reader.pendingBytes();
    return messages;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t splitCount = std::min<size_t>(data[0] % 16, size - 1);
    std::vector<size_t> pieces;
    for (size_t i = 0; i < splitCount; ++i)
        pieces.push_back(1 + size_t(data[1 + i]) * data[1 + i] / 16);
    const quint8 *stream = data + 1 + splitCount;
    const size_t streamSize = size - 1 - splitCount;

    size_t leftover = 0;
    const std::vector<Message> expected = referenceMessages(stream, streamSize, &leftover);
    const PictureModel expectedPicture = referencePicture(expected);

    PictureModel whole;
    qsizetype wholePending = 0;
    check(feed(stream, streamSize, {}, &whole, &wholePending) == expected);
    check(size_t(wholePending) == leftover);
    check(whole == expectedPicture);

    PictureModel split;
    qsizetype splitPending = 0;
    check(feed(stream, streamSize, pieces, &split, &splitPending) == expected);
    check(size_t(splitPending) == leftover);
    check(split == expectedPicture);
    return 0;
}
