// The journal's costs: edits journaled a second when a burst is committed as one batch, the bytes
// each edit takes on disk, the time from an edit to the commit that makes it durable, and the
// real server's apply rate with the journal against without it, in the same run.

#include "connection/protocol.h"
#include "journal/journaldatabase.h"
#include "journal/journalstore.h"
#include "server/picturesaver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
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
            store.syncNow();
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

// The server program beside this one on a fresh picture, with the fault seam's variable set to
// fault (see server/faultpoint.h); the port it listens on, or 0.
quint16 startServer(QProcess *server, const QString &picture, const QByteArray &fault)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (fault.isEmpty())
        environment.remove(QStringLiteral("CELVANE_TEST_FAULT"));
    else
        environment.insert(QStringLiteral("CELVANE_TEST_FAULT"), QString::fromLatin1(fault));
    server->setProcessEnvironment(environment);
    server->start(QCoreApplication::applicationDirPath() + QStringLiteral("/celvane-server"),
                  {"--listen", "127.0.0.1", "--port", "0", "--format", "3", "--picture", picture,
                   "--max-edits-per-second", "0"});
    if (!server->waitForReadyRead(5000))
        return 0;
    const QByteArray line = server->readLine().trimmed();
    return line.mid(line.lastIndexOf(':') + 1).toUShort();
}

// Takes the whole messages received so far: the Update answering a Hello sets *updated, every
// other message is a relay, shown to this client.
void readMessages(QTcpSocket *socket, QByteArray *pending, bool *updated, QList<QByteArray> *relays)
{
    *pending += socket->readAll();
    while (pending->size() >= Protocol::HeaderSize) {
        const qsizetype size =
            Protocol::HeaderSize + Protocol::decodeHeader(pending->constData()).length;
        if (pending->size() < size)
            break;
        if (pending->at(0) == Protocol::Update)
            *updated = true;
        else
            relays->append(pending->first(size));
        pending->remove(0, size);
    }
}

// Kills the server at point N of a session (its N-th write or sync of the journal or the
// picture file, through the fault seam; with the quick pace that seam sets, saves, snapshots and
// retention all happen within the session), restarts it on what is left, and counts the edits
// a client had been shown that the journal no longer holds or holds otherwise.
void killSweep(benchmark::State &state)
{
    constexpr int Points = 100;
    constexpr int StepsApart = 4;
    constexpr int Edits = 1000;
    qint64 shownTotal = 0;
    qint64 lost = 0;
    int fired = 0;
    for (auto _ : state) {
        for (int point = 1; point <= Points; ++point) {
            QTemporaryDir dir;
            const QString picture = dir.filePath(QStringLiteral("bench.cvp"));
            QProcess server;
            const quint16 port = startServer(
                &server, picture, "kill:" + QByteArray::number(1 + (point - 1) * StepsApart));
            // A point inside the start ends the server before it listens: nothing was shown,
            // and the next start must still work.
            QTcpSocket editor;
            QTcpSocket watcher;
            if (port) {
                editor.connectToHost(QHostAddress::LocalHost, port);
                watcher.connectToHost(QHostAddress::LocalHost, port);
                if (!editor.waitForConnected(5000) || !watcher.waitForConnected(5000)) {
                    state.SkipWithError("cannot connect to celvane-server");
                    return;
                }
            }
            // The watcher holds the picture before the first edit, so that it is shown them all.
            watcher.write(Protocol::encodeHello());
            QByteArray pending;
            QList<QByteArray> shown;
            bool updated = false;
            while (port && !updated && watcher.waitForReadyRead(5000))
                readMessages(&watcher, &pending, &updated, &shown);
            for (int sent = 0; updated && sent < Edits && server.state() == QProcess::Running;) {
                QByteArray burst;
                for (int k = 0; k < 10; ++k, ++sent)
                    burst += setCell(sent);
                editor.write(burst);
                editor.flush();
                while (shown.size() < sent && server.state() == QProcess::Running &&
                       watcher.waitForReadyRead(1000))
                    readMessages(&watcher, &pending, &updated, &shown);
                // A pause now and then, so that the timers' saves, syncs and folds come amid
                // the edits rather than after them.
                if (sent % 100 == 0)
                    server.waitForFinished(25);
            }
            if (server.state() == QProcess::Running)
                server.kill();
            else
                ++fired;
            server.waitForFinished(5000);
            while (port && watcher.waitForReadyRead(200))
                readMessages(&watcher, &pending, &updated, &shown);

            QProcess restarted;
            if (!startServer(&restarted, picture, QByteArray())) {
                state.SkipWithError("the server did not start again after a kill");
                return;
            }
            JournalDatabase journal(JournalStore::journalPathFor(picture));
            if (journal.open(JournalDatabase::ReadOnly) != JournalDatabase::Opened) {
                state.SkipWithError("the journal cannot be read after a kill");
                return;
            }
            // Edits are numbered from 1 in the order clients are shown them.
            JournalDatabase::Statement kept;
            kept.prepare(journal.handle(), "SELECT seq, message FROM edits ORDER BY seq");
            qint64 matched = 0;
            while (kept.step() == SQLITE_ROW) {
                const qint64 seq = kept.integer(0);
                if (seq <= shown.size() && kept.blob(1) == QByteArrayView(shown.at(seq - 1)))
                    ++matched;
            }
            shownTotal += shown.size();
            lost += shown.size() - matched;
            restarted.terminate();
            restarted.waitForFinished(5000);
        }
    }
    state.counters["points"] = Points;
    state.counters["fired_inside"] = fired;
    state.counters["shown"] = double(shownTotal);
    state.counters["shown_then_lost"] = double(lost);
}

} // namespace

BENCHMARK(killSweep)->Name("journal/kill-sweep")->Iterations(1)->Unit(benchmark::kSecond);
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
