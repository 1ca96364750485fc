// The stream reader fed back-to-back messages, all at once or in 4 KiB pieces as a socket hands
// them out, against memcpy of the same bytes. Two volumes a factor of ten apart show whether the
// time grows with the bytes alone.
//
// The machine's last-level cache holds the smaller volume but not the larger, which alone would
// make the larger one look slower per byte. So the smaller volume is fed from ten different
// slices of the larger one in turn, copied to ten different targets and read by ten different
// readers: each run finds its bytes as far from the cache as the larger volume does.

#include "bench/benchsupport.h"
#include "connection/messagereader.h"
#include "connection/protocol.h"

#include <array>
#include <cstring>
#include <string>
#include <utility>

namespace {

constexpr qsizetype LargeVolume = qsizetype(64) << 20;
constexpr int Slices = 10;
constexpr qsizetype PieceSize = 4096;

enum class Messages { Updates, Commands };

QByteArray oneMessage(Messages messages)
{
    return messages == Messages::Updates
               ? Protocol::encodeUpdate(1, 0, 0, BenchSupport::alternatingCells(*canvasFormat(1)))
               : Protocol::encodeCommand(Protocol::SetCellCommand, 1, 2, 3);
}

// LargeVolume bytes of back-to-back messages, rounded down to whole slices of whole messages.
const QByteArray &pool(Messages messages)
{
    static std::array<QByteArray, 2> pools;
    QByteArray &bytes = pools[size_t(messages)];
    if (bytes.isEmpty()) {
        const QByteArray one = oneMessage(messages);
        bytes = one.repeated(LargeVolume / one.size() / Slices * Slices);
    }
    return bytes;
}

// The bytes of run number `run`: the whole pool, or one of its slices in turn.
QByteArrayView slice(Messages messages, bool small, qint64 run)
{
    const QByteArray &bytes = pool(messages);
    if (!small)
        return bytes;
    const qsizetype length = bytes.size() / Slices;
    return QByteArrayView(bytes).sliced(length * (run % Slices), length);
}

void copyBytes(benchmark::State &state, Messages messages, bool small)
{
    QByteArray target(pool(messages).size(), '\0');
    qint64 run = 0;
    qsizetype copied = 0;
    for (auto _ : state) {
        const QByteArrayView bytes = slice(messages, small, run);
        char *to = target.data() + (small ? bytes.size() * (run % Slices) : 0);
        std::memcpy(to, bytes.data(), size_t(bytes.size()));
        benchmark::DoNotOptimize(to);
        benchmark::ClobberMemory();
        copied += bytes.size();
        ++run;
    }
    state.SetBytesProcessed(copied);
}

// Feeds one run's bytes to a reader and returns how many messages came out.
qsizetype feed(MessageReader &reader, QByteArrayView bytes, bool inPieces)
{
    MessageReader::Message message;
    qsizetype count = 0;
    qsizetype payloadBytes = 0;
    const qsizetype piece = inPieces ? PieceSize : bytes.size();
    for (qsizetype at = 0; at < bytes.size(); at += piece) {
        reader.append(bytes.sliced(at, qMin(piece, bytes.size() - at)));
        while (reader.next(&message)) {
            ++count;
            payloadBytes += message.payload.size();
        }
    }
    benchmark::DoNotOptimize(payloadBytes);
    return count;
}

void readMessages(benchmark::State &state, Messages messages, bool small, bool inPieces)
{
    const qsizetype messageSize = oneMessage(messages).size();
    // Every reader has taken its bytes once before the clock runs: a connection's reader has
    // long since grown its buffer when a burst arrives.
    std::array<MessageReader, Slices> readers;
    for (int run = 0; run < (small ? Slices : 1); ++run)
        feed(readers[size_t(run)], slice(messages, small, run), inPieces);

    qint64 run = 0;
    qsizetype fed = 0;
    for (auto _ : state) {
        const QByteArrayView bytes = slice(messages, small, run);
        MessageReader &reader = readers[small ? size_t(run % Slices) : 0];
        if (feed(reader, bytes, inPieces) != bytes.size() / messageSize) {
            state.SkipWithError("the reader did not hand out every message");
            return;
        }
        fed += bytes.size();
        ++run;
    }
    state.SetBytesProcessed(fed);
}

const bool registered = [] {
    const std::pair<bool, std::string> volumes[] = {{true, "/6.4MiB"}, {false, "/64MiB"}};
    for (const auto &[small, mib] : volumes) {
        for (const Messages messages : {Messages::Updates, Messages::Commands}) {
            const std::string kind = messages == Messages::Updates ? "updates" : "8-byte";
            benchmark::RegisterBenchmark(("bytes/memcpy-" + kind + mib).c_str(), copyBytes,
                                         messages, small)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("bytes/" + kind + "-whole" + mib).c_str(), readMessages,
                                         messages, small, false)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("bytes/" + kind + "-4KiB" + mib).c_str(), readMessages,
                                         messages, small, true)
                ->Unit(benchmark::kMillisecond);
        }
    }
    return true;
}();

} // namespace
