// The recovery commands' work on a journal of one million edits: the history's summary, a
// revert of one address, the picture at a moment and a ten-second time-lapse, each beside the
// unavoidable part, reading every edit of the journal once.

#include "connection/protocol.h"
#include "journal/journalhistory.h"
#include "journal/journalstore.h"
#include "recovery/recoveryplanner.h"
#include "recovery/timelapse.h"
#include "server/localpicturestore.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

constexpr int EditCount = 1000000;
constexpr int ConnectionCount = 50;

// A journal of a busy day: fifty people, each edit a millisecond after the one before, mostly
// single cells, a row now and then, and a few clears and colour changes.
struct Journal
{
    QTemporaryDir dir;
    QString picturePath;
    qint64 firstMs = 0;
    qint64 lastMs = 0;
};

Journal *journal()
{
    static std::unique_ptr<Journal> made = [] {
        auto journal = std::make_unique<Journal>();
        journal->picturePath = journal->dir.filePath(QStringLiteral("busy.cvp"));
        JournalStore store(journal->picturePath, Picture(3), false, JournalStore::Options());
        if (store.start() != JournalStore::Started)
            qFatal("cannot start a journal: %s", qPrintable(store.errorString()));
        QList<quint64> connections;
        for (int i = 0; i < ConnectionCount; ++i)
            connections.append(store.openConnection(
                QHostAddress(QStringLiteral("127.0.%1.%2").arg(i / 200).arg(2 + i % 200)),
                quint16(40000 + i)));
        QRandomGenerator random(19);
        QByteArray cells(40, '\0');
        for (int i = 0; i < EditCount; ++i) {
            const int pick = random.bounded(1000);
            QByteArray message;
            if (pick == 0) {
                message = Protocol::encodeCommand(Protocol::ClearCommand, 0, 0, 0);
            } else if (pick < 5) {
                message =
                    Protocol::encodeCommand(Protocol::SetColorsCommand, quint8(random.bounded(16)),
                                            quint8(random.bounded(16)), 0);
            } else if (pick < 50) {
                for (char &cell : cells)
                    cell = char(random.bounded(16));
                message = Protocol::encodeRowData(quint8(random.bounded(25)), 40,
                                                  reinterpret_cast<const quint8 *>(cells.data()));
            } else {
                message =
                    Protocol::encodeCommand(Protocol::SetCellCommand, quint8(random.bounded(40)),
                                            quint8(random.bounded(25)), quint8(random.bounded(16)));
            }
            store.submit(connections.at(random.bounded(ConnectionCount)), quint8(message.at(0)),
                         message);
        }
        if (!store.finish())
            qFatal("cannot finish the journal");
        JournalHistory history(JournalStore::journalPathFor(journal->picturePath));
        history.open();
        journal->firstMs = history.oldestMs();
        history.forEachEdit(history.lastSeq(), history.lastSeq(),
                            [&](const PictureHistory::Edit &edit) {
                                journal->lastMs = edit.timeMs;
                                return true;
                            });
        return journal;
    }();
    return made.get();
}

std::unique_ptr<JournalHistory> openHistory(benchmark::State &state)
{
    auto history =
        std::make_unique<JournalHistory>(JournalStore::journalPathFor(journal()->picturePath));
    if (history->open() != JournalDatabase::Opened)
        state.SkipWithError("cannot open the journal");
    return history;
}

// The yardstick: every edit read once and looked at, nothing else.
void readEveryEdit(benchmark::State &state)
{
    const auto history = openHistory(state);
    for (auto _ : state) {
        quint64 bytes = 0;
        history->forEachEdit(history->oldestSeq(), history->lastSeq(),
                             [&](const PictureHistory::Edit &edit) {
                                 bytes += quint64(edit.message.size());
                                 return true;
                             });
        benchmark::DoNotOptimize(bytes);
    }
}

void historySummary(benchmark::State &state)
{
    const auto history = openHistory(state);
    for (auto _ : state) {
        RecoveryPlanner planner(history.get());
        const auto summary = planner.summary(*planner.span({}, {}), {});
        if (!summary || summary->size() != ConnectionCount)
            state.SkipWithError("the summary is wrong");
        benchmark::DoNotOptimize(RecoveryPlanner::formatSummary(*summary));
    }
}

void revertAddress(benchmark::State &state)
{
    const auto history = openHistory(state);
    for (auto _ : state) {
        RecoveryPlanner planner(history.get());
        const auto change = planner.revert({0, QStringLiteral("127.0.0.9")}, *planner.span({}, {}));
        if (!change)
            state.SkipWithError(qPrintable(planner.errorString()));
    }
}

// What ban --revert does on a journal of a million edits: whether the history saw the block at
// all, the revert of every address in it, and the ban and the revert carried out on the picture.
void banRevert(benchmark::State &state)
{
    const auto history = openHistory(state);
    QString problem;
    const Subnet block = *Subnet::parse(QStringLiteral("127.0.0.8/30"), &problem);
    const std::optional<Picture> now = history->pictureAt(history->lastSeq());
    for (auto _ : state) {
        const std::optional<bool> seen = history->hasConnectionFrom(block);
        RecoveryPlanner planner(history.get());
        const auto change = planner.revert(block, *planner.span({}, {}));
        LocalPictureStore store(*now);
        Moderation::Change ban;
        ban.ban.subnet = block;
        PictureChange::Outcome outcome;
        if (!seen || !*seen || !change || !store.changeModeration(ban, &problem) ||
            !change->carryOut(&store, store.openActionConnection(QStringLiteral("ban")), &outcome,
                              &problem)) {
            state.SkipWithError("the ban or its revert failed");
            break;
        }
    }
}

void restoreMoment(benchmark::State &state)
{
    const auto history = openHistory(state);
    // Moments spread over the day, so that each lands at another distance from a snapshot.
    QRandomGenerator random(7);
    for (auto _ : state) {
        const qint64 at =
            journal()->firstMs + random.bounded(qint64(1), journal()->lastMs - journal()->firstMs);
        RecoveryPlanner planner(history.get());
        if (!planner.restore(at))
            state.SkipWithError(qPrintable(planner.errorString()));
    }
}

void timelapseTenSeconds(benchmark::State &state)
{
    const auto history = openHistory(state);
    for (auto _ : state) {
        QString problem;
        const auto gif = Timelapse::gif(history.get(), Timelapse::Options(), &problem);
        if (!gif)
            state.SkipWithError(qPrintable(problem));
        else
            state.counters["gif_bytes"] = double(gif->size());
    }
}

} // namespace

BENCHMARK(readEveryEdit)->Name("recovery/read-1M-edits")->Unit(benchmark::kMillisecond);
BENCHMARK(historySummary)->Name("recovery/history-1M-edits")->Unit(benchmark::kMillisecond);
BENCHMARK(revertAddress)->Name("recovery/revert-1M-edits")->Unit(benchmark::kMillisecond);
BENCHMARK(banRevert)->Name("recovery/ban-revert-1M-edits")->Unit(benchmark::kMillisecond);
BENCHMARK(restoreMoment)->Name("recovery/restore-at")->Unit(benchmark::kMillisecond);
BENCHMARK(timelapseTenSeconds)
    ->Name("recovery/timelapse-10s-1M-edits")
    ->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    journal();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
