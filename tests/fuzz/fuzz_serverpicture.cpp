// The server's message handling under arbitrary client bytes: the stream is cut into pieces
// chosen by the input, fed through MessageReader as the server reads a client, and every complete
// message goes to Picture::apply (a Hello is answered with the picture's Update instead). A model
// written here from the protocol's rules alone, with its own table of grid sizes, walks the same
// stream over the whole bytes and must agree with the picture after every piece.
//
// Input layout: byte 0 picks the starting format (low two bits) and the number of split bytes
// that follow (the next four bits); each split byte b cuts a piece of 1 + b * b / 16 bytes, and
// the pattern repeats. The rest is the client's stream.
//
// Checked on every input:
// - the picture keeps its format and exactly rows x columns cells, whatever arrives;
// - a message changes the picture only when it is complete and valid, exactly as the model says,
//   and apply() reports Applied exactly for those;
// - a Hello's answer is a well-formed Update of the picture as it stands.

#include "connection/messagereader.h"
#include "connection/protocol.h"
#include "model/canvasformat.h"
#include "server/picture.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

struct Grid
{
    int rows;
    int columns;
};
constexpr Grid Grids[4] = {{25, 40}, {25, 80}, {23, 22}, {25, 40}};

struct Model
{
    Grid grid;
    std::vector<quint8> cells;
    quint8 border = 0;
    quint8 background = 0;

    explicit Model(int formatNumber)
        : grid(Grids[formatNumber])
        , cells(size_t(grid.rows * grid.columns), 255)
    {
    }

    // Applies one whole message; returns whether it was an edit the picture must take.
    bool apply(quint8 kind, const quint8 *payload, size_t length)
    {
        if (kind == 3) {
            if (length != 4)
                return false;
            switch (payload[0]) {
            case 0:
                std::fill(cells.begin(), cells.end(), quint8(255));
                return true;
            case 1:
                border = payload[1];
                background = payload[2];
                return true;
            case 2:
                if (payload[1] >= grid.columns || payload[2] >= grid.rows)
                    return false;
                cells[size_t(payload[2]) * grid.columns + payload[1]] = payload[3];
                return true;
            default:
                return false;
            }
        }
        if (kind == 4) {
            if (length < 4 || length != 4 + size_t(payload[1]))
                return false;
            if (payload[0] >= grid.rows || payload[1] > grid.columns)
                return false;
            std::memcpy(&cells[size_t(payload[0]) * grid.columns], payload + 4, payload[1]);
            return true;
        }
        return false;
    }
};

void compare(const Picture &picture, int formatNumber, const Model &model)
{
    check(picture.formatNumber() == formatNumber);
    check(picture.format().rows == model.grid.rows);
    check(picture.format().columns == model.grid.columns);
    check(size_t(picture.cells().size()) == model.cells.size());
    check(std::memcmp(picture.cells().constData(), model.cells.data(), model.cells.size()) == 0);
    check(picture.border() == model.border);
    check(picture.background() == model.background);
}

void checkAnswer(const Picture &picture)
{
    const QByteArray update = picture.encodeUpdate();
    check(update.size() >= Protocol::HeaderSize);
    const Protocol::MessageHeader header = Protocol::decodeHeader(update.constData());
    check(header.kind == Protocol::Update);
    check(update.size() == Protocol::HeaderSize + header.length);
    const auto decoded =
        Protocol::decodeUpdate(QByteArrayView(update).sliced(Protocol::HeaderSize));
    check(decoded.has_value());
    check(decoded->formatNumber == picture.formatNumber());
    check(decoded->border == picture.border());
    check(decoded->background == picture.background());
    check(decoded->cells == QByteArrayView(picture.cells()));
    check(header.length == Protocol::UpdatePrefixSize + picture.cells().size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int formatNumber = data[0] & 3;
    const size_t splitCount = std::min<size_t>((data[0] >> 2) & 15, size - 1);
    std::vector<size_t> pieces;
    for (size_t i = 0; i < splitCount; ++i)
        pieces.push_back(1 + size_t(data[1 + i]) * data[1 + i] / 16);
    const quint8 *stream = data + 1 + splitCount;
    const size_t streamSize = size - 1 - splitCount;

    Picture picture(formatNumber);
    Model model(formatNumber);
    MessageReader reader;
    size_t fed = 0;
    size_t modelAt = 0; // where the model's own walk over the stream has got to
    size_t piece = 0;
    while (fed < streamSize) {
        const size_t take = std::min(streamSize - fed, pieces.empty() ? streamSize : pieces[piece]);
        piece = pieces.empty() ? 0 : (piece + 1) % pieces.size();
        // A block of exactly the piece's size, so that a read beyond it is caught.
        std::vector<char> chunk(stream + fed, stream + fed + take);
        reader.append(QByteArrayView(chunk.data(), qsizetype(chunk.size())));
        fed += take;

        MessageReader::Message message;
        while (reader.next(&message)) {
            // The model finds the same message at its own position in the whole stream.
            check(streamSize - modelAt >= 4);
            const size_t length = size_t(stream[modelAt + 2]) | (size_t(stream[modelAt + 3]) << 8);
            check(modelAt + 4 + length <= fed);
            check(message.kind == stream[modelAt]);
            check(size_t(message.payload.size()) == length);
            const quint8 *payload = stream + modelAt + 4;
            modelAt += 4 + length;

            if (message.kind == Protocol::Hello) {
                checkAnswer(picture);
                continue;
            }
            const std::vector<char> exact(message.payload.begin(), message.payload.end());
            const Picture::EditResult result =
                picture.apply(message.kind, QByteArrayView(exact.data(), qsizetype(exact.size())));
            const bool applied = model.apply(message.kind, payload, length);
            check((result == Picture::Applied) == applied);
            compare(picture, formatNumber, model);
        }
        // What is left is less than one whole message, and none of it has touched the picture.
        check(fed - modelAt == size_t(reader.pendingBytes()));
        if (fed - modelAt >= 4)
            check(4 + (size_t(stream[modelAt + 2]) | (size_t(stream[modelAt + 3]) << 8)) >
                  fed - modelAt);
        check(reader.pendingBytes() < Protocol::MaxMessageSize);
        compare(picture, formatNumber, model);
    }
    return 0;
}
