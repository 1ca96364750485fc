// The real main window flooded by a server that writes as fast as the system takes its bytes:
// how long the window's event loop goes without running (input, painting and the menus wait
// that long), and how much memory the process holds at most meanwhile.
//
// The server runs in a thread of its own on plain blocking sockets, so that it writes while the
// window is busy, as a server in another process would.

#include "app/celvane.h"
#include "bench/benchsupport.h"
#include "canvas/canvas.h"
#include "connection/protocol.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr qint64 FloodBytes = 16 * 1024 * 1024;
// The flood's own Updates never use this border, so the final one is known when it shows.
constexpr quint8 FinalBorder = 200;

// A picture server of one client: answers the Hello with an Update, then on the word writes a
// pattern over and over until FloodBytes have gone, then one last Update, and holds the
// connection open until it is stopped.
class FloodServer
{
public:
    ~FloodServer()
    {
        m_stop = true;
        if (m_listener >= 0)
            ::shutdown(m_listener, SHUT_RDWR);
        if (m_client >= 0)
            ::shutdown(m_client, SHUT_RDWR);
        if (m_thread.joinable())
            m_thread.join();
        if (m_client >= 0)
            ::close(m_client);
        if (m_listener >= 0)
            ::close(m_listener);
    }

    bool start(QByteArray pattern)
    {
        m_pattern = std::move(pattern);
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), length) ||
            ::listen(m_listener, 1) ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length))
            return false;
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
        return true;
    }

    quint16 port() const { return m_port; }
    void flood() { m_go = true; }
    bool done() const { return m_done; }

private:
    bool sendAll(const QByteArray &bytes)
    {
        for (qsizetype sent = 0; sent < bytes.size();) {
            const ssize_t n = ::send(m_client, bytes.constData() + sent,
                                     size_t(bytes.size() - sent), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += n;
        }
        return true;
    }

    void serve()
    {
        m_client = ::accept(m_listener, nullptr, nullptr);
        char hello[8];
        if (m_client < 0 || ::recv(m_client, hello, sizeof hello, MSG_WAITALL) != sizeof hello)
            return;
        const CanvasFormat &first = *canvasFormat(3);
        if (!sendAll(Protocol::encodeUpdate(3, 1, 0, QByteArray(first.cellCount(), char(1)))))
            return;
        while (!m_go && !m_stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (qint64 sent = 0; sent < FloodBytes && !m_stop; sent += m_pattern.size()) {
            if (!sendAll(m_pattern))
                return;
        }
        const CanvasFormat &last = *canvasFormat(1);
        sendAll(Protocol::encodeUpdate(1, FinalBorder, 0, QByteArray(last.cellCount(), char(1))));
        m_done = true;
    }

    QByteArray m_pattern;
    int m_listener = -1;
    int m_client = -1;
    quint16 m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_go{false};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
};

qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// The peak resident memory starts again from the current figure.
void resetPeakMemory()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

QByteArray oneKiBUpdates()
{
    QByteArray pattern;
    for (int i = 0; i < 1024; ++i) {
        const int number = i % 4;
        const QByteArray cells(canvasFormat(uint8(number))->cellCount(), char(i % 2));
        pattern.append(Protocol::encodeUpdate(uint8(number), uint8(i % 2), 0, cells));
    }
    return pattern;
}

QByteArray maximalUpdates()
{
    QByteArray pattern;
    for (int number = 0; number < 4; ++number) {
        QByteArray cells(Protocol::MaxPayloadSize - Protocol::UpdatePrefixSize, char(number % 2));
        pattern.append(Protocol::encodeUpdate(uint8(number), 1, 0, cells));
    }
    return pattern;
}

QByteArray unknownKind(int payloadSize, int count)
{
    QByteArray pattern;
    for (int i = 0; i < count; ++i) {
        pattern.append(char(77)).append(char(0));
        pattern.append(char(payloadSize & 0xff)).append(char(payloadSize >> 8));
        pattern.append(QByteArray(payloadSize, char(i)));
    }
    return pattern;
}

QByteArray droppedUpdates()
{
    QByteArray pattern;
    for (int i = 0; i < 1024; ++i)
        pattern.append(Protocol::encodeUpdate(9, 1, 0, QByteArray(1004, char(1))));
    return pattern;
}

void flood(benchmark::State &state, QByteArray pattern)
{
    for (auto _ : state) {
        FloodServer server;
        if (!server.start(pattern)) {
            state.SkipWithError("cannot listen on the loopback interface");
            return;
        }
        Celvane window;
        window.show();
        if (!QTest::qWaitForWindowExposed(&window)) {
            state.SkipWithError("the window was not shown");
            return;
        }
        auto *canvas = qobject_cast<Canvas *>(window.centralWidget());
        window.connectToServer(QHostAddress(QHostAddress::LocalHost).toString(), server.port());
        QElapsedTimer waited;
        waited.start();
        while (canvas->format() != canvasFormat(3) && !waited.hasExpired(10000))
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        if (canvas->format() != canvasFormat(3)) {
            state.SkipWithError("the first picture did not arrive");
            return;
        }

        // A timer that would fire every millisecond: the longest wait between two of its ticks
        // is the longest time the event loop did not run.
        Clock::time_point lastTick = Clock::now();
        Clock::duration longestGap{};
        QTimer heartbeat;
        heartbeat.setTimerType(Qt::PreciseTimer);
        heartbeat.setInterval(1);
        QObject::connect(&heartbeat, &QTimer::timeout, [&] {
            const Clock::time_point now = Clock::now();
            longestGap = std::max(longestGap, now - lastTick);
            lastTick = now;
        });

        const qint64 residentBefore = statusKiB("VmRSS:");
        resetPeakMemory();
        const Clock::time_point start = Clock::now();
        lastTick = start;
        heartbeat.start();
        server.flood();
        const auto finished = [&] {
            return server.done() && canvas->format() == canvasFormat(1) &&
                   canvas->borderColor() == FinalBorder;
        };
        while (!finished() && Clock::now() - start < std::chrono::minutes(5))
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        heartbeat.stop();
        if (!finished()) {
            state.SkipWithError("the final picture did not arrive");
            return;
        }
        const qint64 peak = statusKiB("VmHWM:");

        state.SetIterationTime(seconds);
        state.counters["longest_gap_ms"] =
            std::chrono::duration<double, std::milli>(longestGap).count();
        state.counters["peak_rss_mib"] = double(peak) / 1024;
        state.counters["rss_growth_mib"] = double(peak - residentBefore) / 1024;
        state.counters["mib_per_s"] = double(FloodBytes) / (1024 * 1024) / seconds;
    }
}

const bool registered = [] {
    const std::pair<const char *, QByteArray (*)()> kinds[] = {
        {"flood/updates-1KiB-cycling", oneKiBUpdates},
        {"flood/updates-64KiB", maximalUpdates},
        {"flood/unknown-kind-64KiB",
         [] {
             return unknownKind(Protocol::MaxPayloadSize, 16);
         }},
        {"flood/unknown-format-1KiB", droppedUpdates},
        {"flood/unknown-kind-8B",
         [] {
             return unknownKind(4, 65536);
         }},
    };
    for (const auto &[name, make] : kinds) {
        benchmark::RegisterBenchmark(name, flood, make())
            ->UseManualTime()
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
    }
    return true;
}();

} // namespace
