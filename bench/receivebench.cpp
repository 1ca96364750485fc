// From the last byte of an Update on the wire to the main window's canvas showing it: the real
// window, connected to a loopback peer that has already sent everything but that byte.

#include "app/celvane.h"
#include "bench/benchsupport.h"
#include "canvas/canvas.h"
#include "connection/protocol.h"

#include <QApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <chrono>
#include <memory>

using namespace BenchSupport;

namespace {

// Lets the window's event loop run until done() holds; false after five seconds without.
template <typename Done> bool processEventsUntil(Done done)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > 5000)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

struct Session
{
    QTcpServer server;
    Celvane window;
    QTcpSocket *peer = nullptr;
    Canvas *canvas = nullptr;

    bool start(benchmark::State &state)
    {
        canvas = qobject_cast<Canvas *>(window.centralWidget());
        if (!canvas || !server.listen(QHostAddress::LocalHost, 0)) {
            state.SkipWithError("cannot listen on the loopback interface");
            return false;
        }
        window.show();
        if (!QTest::qWaitForWindowExposed(&window)) {
            state.SkipWithError("the window was not shown");
            return false;
        }
        window.connectToServer(QHostAddress(QHostAddress::LocalHost).toString(),
                               server.serverPort());
        if (!server.waitForNewConnection(5000)) {
            state.SkipWithError("the window did not connect");
            return false;
        }
        peer = server.nextPendingConnection();
        // The Hello leaves the window when its event loop runs.
        if (!processEventsUntil([this] {
                peer->waitForReadyRead(10);
                return peer->bytesAvailable() >= Protocol::HeaderSize + Protocol::HelloPayloadSize;
            })) {
            state.SkipWithError("no Hello arrived");
            return false;
        }
        peer->readAll();
        return true;
    }

    bool shows(int formatNumber, uint8 firstCell) const
    {
        return canvas->format() == canvasFormat(uint8(formatNumber)) &&
               canvas->cell(0, 0) == firstCell;
    }

    // Sends an Update whole and waits until the canvas shows it.
    bool deliver(const QByteArray &update, int formatNumber, uint8 firstCell)
    {
        peer->write(update);
        peer->flush();
        return processEventsUntil([&] { return shows(formatNumber, firstCell); });
    }

    // Sends all of an Update but its last byte and waits until the window holds them; then
    // times the last byte until the canvas has been repainted with the new cells.
    bool timeLastByte(const QByteArray &update, int formatNumber, uint8 firstCell, double *seconds)
    {
        const qsizetype allButLast = update.size() - 1;
        peer->write(update.constData(), allButLast);
        peer->flush();
        if (!processEventsUntil([&] { return window.pendingBytes() == allButLast; }))
            return false;

        const auto start = std::chrono::steady_clock::now();
        peer->write(update.constData() + allButLast, 1);
        peer->flush();
        // The Update is applied, and the canvas repainted, inside the one readyRead that
        // carries the last byte.
        if (!processEventsUntil([&] { return shows(formatNumber, firstCell); }))
            return false;
        *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return true;
    }
};

QByteArray update(int formatNumber, int shift)
{
    return Protocol::encodeUpdate(uint8(formatNumber), 0, 0,
                                  alternatingCells(*canvasFormat(uint8(formatNumber)), shift));
}

// An Update for the format already shown: the usual case once connected.
void receiveSameFormat(benchmark::State &state, int formatNumber)
{
    Session session;
    if (!session.start(state) || !session.deliver(update(formatNumber, 0), formatNumber, 0)) {
        if (!state.error_occurred())
            state.SkipWithError("the first Update was not shown");
        return;
    }
    const QByteArray updates[] = {update(formatNumber, 1), update(formatNumber, 0)};
    int next = 0;
    for (auto _ : state) {
        double seconds = 0;
        if (!session.timeLastByte(updates[next], formatNumber, uint8(1 - next), &seconds)) {
            state.SkipWithError("the Update was not shown");
            return;
        }
        state.SetIterationTime(seconds);
        next = 1 - next;
    }
}

// An Update that installs its format in place of another one, as on connecting.
void receiveNewFormat(benchmark::State &state, int formatNumber)
{
    const int otherNumber = (formatNumber + 1) % 4;
    Session session;
    if (!session.start(state))
        return;
    const QByteArray other = update(otherNumber, 1);
    const QByteArray wanted = update(formatNumber, 1);
    for (auto _ : state) {
        double seconds = 0;
        if (!session.deliver(other, otherNumber, 1) ||
            !session.timeLastByte(wanted, formatNumber, 1, &seconds)) {
            state.SkipWithError("the Update was not shown");
            return;
        }
        state.SetIterationTime(seconds);
    }
}

// A collaborator's burst: 2,000 relayed SetCellCommands (every cell of format 1) arriving in one
// write, from the first byte on the wire to the canvas showing the last cell. Judged against
// import/empty-repaints, 2,000 repaints without a picture, which is what installing them one
// repaint each would cost at the least.
void receiveRelayBurst(benchmark::State &state)
{
    constexpr int FormatNumber = 1;
    const CanvasFormat &format = *canvasFormat(FormatNumber);
    Session session;
    const QByteArray first = Protocol::encodeUpdate(FormatNumber, 0, 0, alternatingCells(format, 0),
                                                    Protocol::UpdateRelaysEdits);
    if (!session.start(state) || !session.deliver(first, FormatNumber, 0)) {
        if (!state.error_occurred())
            state.SkipWithError("the first Update was not shown");
        return;
    }
    QByteArray bursts[2];
    for (int shift = 0; shift < 2; ++shift) {
        const QByteArray cells = alternatingCells(format, 1 - shift);
        for (int y = 0; y < format.rows; ++y)
            for (int x = 0; x < format.columns; ++x)
                bursts[shift] +=
                    Protocol::encodeCommand(Protocol::SetCellCommand, uint8(x), uint8(y),
                                            uint8(cells.at(y * format.columns + x)));
    }
    const uint8 lastValues[2] = {uint8(alternatingCells(format, 1).back()),
                                 uint8(alternatingCells(format, 0).back())};
    int next = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        session.peer->write(bursts[next]);
        session.peer->flush();
        if (!processEventsUntil([&] {
                return session.window.pendingBytes() == 0 &&
                       session.canvas->cell(format.columns - 1, format.rows - 1) ==
                           lastValues[next];
            })) {
            state.SkipWithError("the relays were not shown");
            return;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        next = 1 - next;
    }
}

const bool registered = [] {
    benchmark::RegisterBenchmark("receive/relay-burst/2000-cells", receiveRelayBurst)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    for (int number = 0; number < 4; ++number) {
        const std::string format = "/format" + std::to_string(number);
        benchmark::RegisterBenchmark(("receive/same-format" + format).c_str(), receiveSameFormat,
                                     number)
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("receive/new-format" + format).c_str(), receiveNewFormat,
                                     number)
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
    }
    return true;
}();

} // namespace
