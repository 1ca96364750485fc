// The stream reader fed back-to-back messages, all at once or in 4 KiB pieces as a socket hands
// them out, against memcpy of the same bytes. Volumes a factor of ten apart (6.4, 64 and 640 MiB)
// show whether the time grows with the bytes alone.
//
// The machine's last-level cache holds 6.4 MiB but not 64, which alone would make the larger
// volume look slower per byte. So the smallest volume is fed from ten different slices of the
// 64 MiB stream in turn, copied to ten different targets and read by ten different readers: each
// run finds its bytes as far from the cache as the larger volumes do. What the reader appends
// whole it reads back at once, though, and 6.4 MiB of that are still cached when it does; from
// 64 to 640 MiB nothing is.

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

enum class Volume { Small, Large, Huge };
constexpr qsizetype PieceSize = 4096;

enum class Messages { Updates, Commands };

QByteArray oneMessage(Messages messages)
{
    return messages == Messages::Updates
               ? Protocol::encodeUpdate(1, 0, 0, BenchSupport::alternatingCells(*canvasFormat(1)))
               : Protocol::encodeCommand(Protocol::SetCellCommand, 1, 2, 3);
}

// LargeVolume bytes of back-to-back messages, or ten times as many for the huge volume, rounded
// down to whole slices of whole messages.
const QByteArray &pool(Messages messages, Volume volume)
{
    static std::array<QByteArray, 4> pools;
    const bool huge = volume == Volume::Huge;
    QByteArray &bytes = pools[size_t(messages) * 2 + (huge ? 1 : 0)];
    if (bytes.isEmpty()) {
        const QByteArray one = oneMessage(messages);
        bytes = one.repeated((huge ? 10 : 1) * (LargeVolume / one.size() / Slices * Slices));
    }
    return bytes;
}

// The bytes of run number `run`: a whole pool, or one of the slices in turn.
QByteArrayView slice(Messages messages, Volume volume, qint64 run)
{
    const QByteArray &bytes = pool(messages, volume);
    if (volume != Volume::Small)
        return bytes;
    const qsizetype length = bytes.size() / Slices;
    return QByteArrayView(bytes).sliced(length * (run % Slices), length);
}

void copyBytes(benchmark::State &state, Messages messages, Volume volume)
{
    QByteArray target(pool(messages, volume).size(), '\0');
    qint64 run = 0;
    qsizetype copied = 0;
    for (auto _ : state) {
        const QByteArrayView bytes = slice(messages, volume, run);
        const bool small = volume == Volume::Small;
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

void readMessages(benchmark::State &state, Messages messages, Volume volume, bool inPieces)
{
    const qsizetype messageSize = oneMessage(messages).size();
    // Every reader has taken its bytes once before the clock runs: a connection's reader has
    // long since grown its buffer when a burst arrives.
    std::array<MessageReader, Slices> readers;
    const bool small = volume == Volume::Small;
    for (int run = 0; run < (small ? Slices : 1); ++run)
        feed(readers[size_t(run)], slice(messages, volume, run), inPieces);

    qint64 run = 0;
    qsizetype fed = 0;
    for (auto _ : state) {
        const QByteArrayView bytes = slice(messages, volume, run);
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
    const std::pair<Volume, std::string> volumes[] = {
        {Volume::Small, "/6.4MiB"}, {Volume::Large, "/64MiB"}, {Volume::Huge, "/640MiB"}};
    for (const auto &[volume, mib] : volumes) {
        for (const Messages messages : {Messages::Updates, Messages::Commands}) {
            const std::string kind = messages == Messages::Updates ? "updates" : "8-byte";
            benchmark::RegisterBenchmark(("bytes/memcpy-" + kind + mib).c_str(), copyBytes,
                                         messages, volume)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("bytes/" + kind + "-whole" + mib).c_str(), readMessages,
                                         messages, volume, false)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("bytes/" + kind + "-4KiB" + mib).c_str(), readMessages,
                                         messages, volume, true)
                ->Unit(benchmark::kMillisecond);
        }
    }
    return true;
}();

} // namespace
