// The journal's costs: edits journaled a second when a burst is committed as one batch, the bytes
// each edit takes on disk, the time from an edit to the commit that makes it durable, and the
// real server's apply rate with the journal against without it, in the same run.

#include "connection/protocol.h"
#include "journal/journalstore.h"
#include "server/picturesaver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

namespace {

constexpr int BatchEdits = 100000;
constexpr int ServerEdits = 200000;

QByteArray setCell(int i)
{
    return Protocol::encodeCommand(Protocol::SetCellCommand, quint8(i % 40), quint8(i / 40 % 25),
                                   quint8(i % 16));
}

void batchedEdits(benchmark::State &state)
{
    std::vector<QByteArray> edits;
    for (int i = 0; i < BatchEdits; ++i)
        edits.push_back(setCell(i));
    double bytesPerEdit = 0;
    for (auto _ : state) {
        QTemporaryDir dir;
        const QString picture = dir.filePath(QStringLiteral("bench.cvp"));
        {
            JournalStore store(picture, Picture(3), false, JournalStore::Options());
            if (store.start() != JournalStore::Started) {
                state.SkipWithError("cannot start the journal");
                return;
            }
            const quint64 connection = store.openConnection(QHostAddress::LocalHost, 1);
            const auto begin = std::chrono::steady_clock::now();
            for (const QByteArray &edit : edits)
                store.submit(connection, Protocol::Command, edit);
            store.commitNow();
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
            state.SetIterationTime(took.count());
            store.finish();
        }
        // The last connection closed folds the WAL into the file: what is left is what is kept.
        bytesPerEdit = double(QFileInfo(JournalStore::journalPathFor(picture)).size()) / BatchEdits;
    }
    state.counters["edits"] = BatchEdits;
    state.counters["bytes_per_edit"] = bytesPerEdit;
}

// Edits at a steady 2,000 a second for three seconds; each one's wait for its commit.
void commitLatency(benchmark::State &state)
{
    std::vector<double> samples;
    for (auto _ : state) {
        QTemporaryDir dir;
        JournalStore store(dir.filePath(QStringLiteral("bench.cvp")), Picture(3), false,
                           JournalStore::Options());
        if (store.start() != JournalStore::Started) {
            state.SkipWithError("cannot start the journal");
            return;
        }
        const quint64 connection = store.openConnection(QHostAddress::LocalHost, 1);
        QElapsedTimer clock;
        clock.start();
        std::vector<qint64> submitted; // nanoseconds, by seq - 1
        QObject::connect(&store, &JournalStore::committed, [&](quint64 last) {
            const qint64 now = clock.nsecsElapsed();
            while (samples.size() < std::min<size_t>(last, submitted.size()))
                samples.push_back(double(now - submitted[samples.size()]) / 1e9);
        });
        QTimer pace;
        int sent = 0;
        QObject::connect(&pace, &QTimer::timeout, [&] {
            for (int k = 0; k < 4; ++k, ++sent) {
                submitted.push_back(clock.nsecsElapsed());
                store.submit(connection, Protocol::Command, setCell(sent));
            }
            if (clock.elapsed() >= 3000) {
                pace.stop();
                QTimer::singleShot(400, QCoreApplication::instance(), &QCoreApplication::quit);
            }
        });
        pace.start(2);
        QCoreApplication::exec();
        store.finish();
    }
    std::sort(samples.begin(), samples.end());
    if (samples.empty()) {
        state.SkipWithError("nothing was committed");
        return;
    }
    state.counters["samples"] = double(samples.size());
    state.counters["p50_ms"] = samples[samples.size() / 2] * 1e3;
    state.counters["p99_ms"] = samples[samples.size() * 99 / 100] * 1e3;
}

// One client's 200,000 SetCellCommands and then a Hello, written at once to the real server,
// until the Update that answers the Hello (which shows them all applied) has arrived.
void serverApply(benchmark::State &state, bool journal)
{
    QByteArray flood;
    for (int i = 0; i < ServerEdits; ++i)
        flood += setCell(i);
    flood += Protocol::encodeHello();
    const QString program =
        QCoreApplication::applicationDirPath() + QStringLiteral("/celvane-server");
    for (auto _ : state) {
        QTemporaryDir dir;
        QStringList arguments{"--listen",
                              "127.0.0.1",
                              "--port",
                              "0",
                              "--picture",
                              dir.filePath(QStringLiteral("bench.cvp")),
                              "--max-edits-per-second",
                              "0",
                              "--hello-timeout",
                              "0"};
        if (!journal)
            arguments << QStringLiteral("--no-history");
        QProcess server;
        server.start(program, arguments);
        if (!server.waitForReadyRead(5000)) {
            state.SkipWithError("cannot start celvane-server");
            return;
        }
        const QByteArray line = server.readLine().trimmed();
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost,
                             line.mid(line.lastIndexOf(':') + 1).toUShort());
        if (!socket.waitForConnected(5000)) {
            state.SkipWithError("cannot connect");
            return;
        }
        const auto begin = std::chrono::steady_clock::now();
        socket.write(flood);
        QByteArray received;
        bool updated = false;
        while (!updated && socket.waitForReadyRead(30000)) {
            received += socket.readAll();
            updated = received.size() >= Protocol::HeaderSize &&
                      received.at(0) == Protocol::Update &&
                      received.size() >= Protocol::HeaderSize +
                                             Protocol::decodeHeader(received.constData()).length;
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
        state.SetIterationTime(took.count());
        server.terminate();
        server.waitForFinished(10000);
        if (!updated) {
            state.SkipWithError("no Update");
            return;
        }
    }
    state.counters["edits_per_s"] =
        benchmark::Counter(ServerEdits, benchmark::Counter::kIsIterationInvariantRate);
}

} // namespace

BENCHMARK(batchedEdits)
    ->Name("journal/batched-edits")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(commitLatency)
    ->Name("journal/commit-latency")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(serverApply, on, true)
    ->Name("journal/server-apply/on")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(serverApply, off, false)
    ->Name("journal/server-apply/off")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
