// The stream reader fed back-to-back messages, all at once or in 4 KiB pieces as a socket hands
// them out, against memcpy of the same bytes. Two volumes a factor of ten apart show whether the
// time grows with the bytes alone.

#include "bench/benchsupport.h"
#include "connection/messagereader.h"
#include "connection/protocol.h"

#include <cstring>
#include <string>
#include <utility>

namespace {

constexpr qsizetype LargeVolume = qsizetype(64) << 20;
constexpr qsizetype SmallVolume = LargeVolume / 10;
constexpr qsizetype PieceSize = 4096;

enum class Messages { Updates, Commands };

QByteArray stream(Messages messages, qsizetype volume)
{
    const QByteArray one =
        messages == Messages::Updates
            ? Protocol::encodeUpdate(1, 0, 0, BenchSupport::alternatingCells(*canvasFormat(1)))
            : Protocol::encodeCommand(Protocol::SetCellCommand, 1, 2, 3);
    return one.repeated(volume / one.size());
}

void copyBytes(benchmark::State &state, Messages messages, qsizetype volume)
{
    const QByteArray bytes = stream(messages, volume);
    QByteArray target(bytes.size(), '\0');
    for (auto _ : state) {
        std::memcpy(target.data(), bytes.constData(), size_t(bytes.size()));
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
}

void readMessages(benchmark::State &state, Messages messages, qsizetype volume, bool inPieces)
{
    const QByteArray bytes = stream(messages, volume);
    const qsizetype messageSize =
        messages == Messages::Updates
            ? Protocol::HeaderSize + Protocol::UpdatePrefixSize + canvasFormat(1)->cellCount()
            : Protocol::HeaderSize + Protocol::CommandPayloadSize;
    const qsizetype expected = bytes.size() / messageSize;

    MessageReader reader;
    MessageReader::Message message;
    for (auto _ : state) {
        qsizetype count = 0;
        qsizetype payloadBytes = 0;
        const qsizetype piece = inPieces ? PieceSize : bytes.size();
        for (qsizetype at = 0; at < bytes.size(); at += piece) {
            reader.append(QByteArrayView(bytes).sliced(at, qMin(piece, bytes.size() - at)));
            while (reader.next(&message)) {
                ++count;
                payloadBytes += message.payload.size();
            }
        }
        benchmark::DoNotOptimize(payloadBytes);
        if (count != expected) {
            state.SkipWithError("the reader did not hand out every message");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
}

const bool registered = [] {
    const std::pair<qsizetype, std::string> volumes[] = {{SmallVolume, "/6.4MiB"},
                                                         {LargeVolume, "/64MiB"}};
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
