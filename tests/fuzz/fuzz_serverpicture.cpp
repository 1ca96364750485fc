// The server's message handling under arbitrary client bytes: the stream is cut into pieces
// chosen by the input and fed to a ClientSession, the class the server's socket loop drives for
// each client, with a sender that can fail the way a reset socket does. A model written here
// from the protocol's rules alone, with its own table of grid and palette sizes, walks the same
// stream over the whole bytes and must agree with the picture after every piece.
//
// Input layout: byte 0 picks the starting format (low two bits) and the number of split bytes
// that follow (the next four bits), bit 6 makes the picture read-only; byte 1 names the send
// that fails as if the peer had reset (0: none). Each split byte b cuts a piece of
// 1 + b * b / 16 bytes, and the pattern repeats; every piece arrives 250 ms after the one
// before. The rest is the client's stream.
//
// Checked on every input:
// - the picture keeps its format and exactly rows x columns cells, whatever arrives;
// - a message changes the picture only when it is complete and valid, exactly as the model
//   says, and the session's counts of applied and refused messages agree with the model (edits
//   refused only because the picture is read-only do not count towards closing the client);
// - every Update sent is a well-formed Update of the picture as it stands, and two are never
//   sent within one interval; a Hello is never left unanswered unless the session ended;
// - once the sender fails or the session closes the client, nothing more is sent or applied,
//   and the session stays usable (as the server keeps it until the event loop deletes it).

#include "connection/messagereader.h"
#include "connection/protocol.h"
#include "model/canvasformat.h"
#include "server/clientsession.h"
#include "server/localpicturestore.h"
#include "server/picture.h"

#include <memory>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Says which check failed, so that a crash input found by a long run is quick to read.
void check(bool condition, int line = __builtin_LINE())
{
    if (condition)
        return;
    std::fprintf(stderr, "fuzz_serverpicture: check on line %d failed\n", line);
    std::abort();
}

struct Grid
{
    int rows;
    int columns;
};
constexpr Grid Grids[4] = {{25, 40}, {25, 80}, {23, 22}, {25, 40}};
constexpr int PaletteSizes[4] = {2, 2, 8, 16};

struct Model
{
    Grid grid;
    int palette;
    std::vector<quint8> cells;
    quint8 border = 0;
    quint8 background = 0;

    explicit Model(int formatNumber)
        : grid(Grids[formatNumber])
        , palette(PaletteSizes[formatNumber])
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
                if (payload[1] >= palette || payload[2] >= palette)
                    return false;
                border = payload[1];
                background = payload[2];
                return true;
            case 2:
                if (payload[1] >= grid.columns || payload[2] >= grid.rows)
                    return false;
                if (payload[3] != 255 && payload[3] >= palette)
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
            for (size_t i = 0; i < payload[1]; ++i)
                if (payload[4 + i] != 255 && payload[4 + i] >= palette)
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
    if (size < 2)
        return 0;
    const int formatNumber = data[0] & 3;
    const bool readOnly = (data[0] & 0x40) != 0;
    const int failingSend = data[1];
    const size_t splitCount = std::min<size_t>((data[0] >> 2) & 15, size - 2);
    std::vector<size_t> pieces;
    for (size_t i = 0; i < splitCount; ++i)
        pieces.push_back(1 + size_t(data[2 + i]) * data[2 + i] / 16);
    const quint8 *stream = data + 2 + splitCount;
    const size_t streamSize = size - 2 - splitCount;

    LocalPictureStore store{Picture(formatNumber)};
    const Picture &picture = store.picture();
    quint64 announced = 0; // edits the store told its listeners of
    QObject::connect(&store, &PictureStore::edited, [&](quint64 connection, QByteArrayView) {
        check(connection == 1);
        ++announced;
    });
    Model model(formatNumber);
    ClientSession::Limits limits;
    limits.extraHellos = 4;
    limits.maxRefused = 20;
    limits.loggedRefusals = 0;
    limits.readOnly = readOnly;

    qint64 now = 0;
    int sends = 0;
    bool senderFailed = false;
    qint64 lastSendMs = -1;
    const auto sender = [&](const QByteArray &bytes) {
        check(!senderFailed);
        check(lastSendMs < 0 || now - lastSendMs >= limits.updateIntervalMs);
        lastSendMs = now;
        check(bytes == picture.encodeUpdate());
        checkAnswer(picture);
        if (++sends == failingSend) {
            senderFailed = true;
            return false;
        }
        return true;
    };
    // Owned the way the server owns it: a session that ended is not deleted until the end of
    // the "event loop" below, and must stay quiet until then.
    auto session =
        std::make_unique<ClientSession>(&store, 1, &limits, QStringLiteral("fuzz"), sender);

    size_t fed = 0;
    size_t modelAt = 0; // where the model's own walk over the stream has got to
    quint64 modelMessages = 0;
    quint64 modelApplied = 0;
    quint64 modelRefused = 0;
    quint64 modelMalformed = 0;
    bool helloSeen = false;
    size_t piece = 0;
    while (fed < streamSize) {
        const size_t take = std::min(streamSize - fed, pieces.empty() ? streamSize : pieces[piece]);
        piece = pieces.empty() ? 0 : (piece + 1) % pieces.size();
        // A block of exactly the piece's size, so that a read beyond it is caught.
        const std::vector<char> chunk(stream + fed, stream + fed + take);
        fed += take;
        now += 250;
        const bool wasEnded = session->ended();
        const int sendsBefore = sends;
        const bool alive =
            session->receive(QByteArrayView(chunk.data(), qsizetype(chunk.size())), now);
        check(alive == !session->ended());
        if (wasEnded) {
            check(sends == sendsBefore);
        }

        // The model walks exactly the messages the session took.
        while (modelMessages < session->messages()) {
            check(streamSize - modelAt >= 4);
            const size_t length = size_t(stream[modelAt + 2]) | (size_t(stream[modelAt + 3]) << 8);
            check(modelAt + 4 + length <= fed);
            const quint8 kind = stream[modelAt];
            const quint8 *payload = stream + modelAt + 4;
            modelAt += 4 + length;
            ++modelMessages;
            if (kind == Protocol::Hello) {
                helloSeen = true;
                continue;
            }
            const bool edit = kind == Protocol::Command || kind == Protocol::RowData;
            // Read-only refuses what the picture could take, too: on a copy, to learn which.
            Model tried = model;
            const bool fits = tried.apply(kind, payload, length);
            if (fits && !(readOnly && edit)) {
                model = tried;
                ++modelApplied;
            } else {
                ++modelRefused;
                // Only what the picture could never take counts towards closing the client.
                if (!fits)
                    ++modelMalformed;
            }
        }
        check(session->applied() == modelApplied);
        check(announced == modelApplied);
        check(session->refused() == modelRefused);
        check(session->refused() - session->disallowed() == modelMalformed);
        check(modelMalformed <= quint64(limits.maxRefused) + 1);
        if (modelMalformed > quint64(limits.maxRefused))
            check(session->ended());
        compare(picture, formatNumber, model);

        if (!session->ended()) {
            // What is left is less than one whole message, and none of it has touched the picture.
            check(fed - modelAt == size_t(session->reader().pendingBytes()));
            if (fed - modelAt >= 4)
                check(4 + (size_t(stream[modelAt + 2]) | (size_t(stream[modelAt + 3]) << 8)) >
                      fed - modelAt);
            check(session->reader().pendingBytes() < Protocol::MaxMessageSize);
        }
        session->sendOwedUpdate(now);
    }

    // The timer's last word: every Hello is answered unless the client is gone.
    now += limits.updateIntervalMs;
    const int sendsBeforeLast = sends;
    const bool endedBeforeLast = session->ended();
    session->sendOwedUpdate(now);
    if (endedBeforeLast) {
        check(sends == sendsBeforeLast);
    } else if (session->ended()) {
        // Only the owed Update's own send failing can end it here.
        check(senderFailed && sends == sendsBeforeLast + 1);
    } else {
        check(!session->owesUpdate());
        check(sends > 0 || !helloSeen);
    }
    session.reset();
    return 0;
}
