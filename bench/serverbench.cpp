// The picture server under load: 50 loopback clients, each sending 10,000 SetCellCommands as
// fast as the server takes them, until a fresh client's Update shows every last one applied.
// Also the server's resident memory for each connected client. The server is the real program,
// started beside this one on a port of its own choosing.

#include "bench/childprocess.h"
#include "connection/protocol.h"
#include "journal/journalstore.h"
#include "model/canvasformat.h"
#include "redis/redispicturehistory.h"

#include <QByteArray>
#include <QTemporaryDir>

#include <algorithm>
#include <functional>
#include <iterator>
#include <memory>

#include <benchmark/benchmark.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Clients = 50;
constexpr int CommandsPerClient = 10000;
// Format 3: 40 x 25 cells, 16 colours. Each client owns a cells of its own, so that the final
// picture shows whether every client's last command, and so all before it, was applied.
constexpr int FormatNumber = 3;
constexpr int Columns = 40;
constexpr int Rows = 25;
constexpr int CellsPerClient = Columns * Rows / Clients;
constexpr int Rounds = CommandsPerClient / CellsPerClient;
constexpr int UpdateSize = Protocol::HeaderSize + Protocol::UpdatePrefixSize + Columns * Rows;

uint8_t colourOf(int client, int cell, int round)
{
    return uint8_t((client + cell + round) % 16);
}

class Server
{
public:
    // extra: further options, such as --redis HOST:PORT.
    bool start(const std::vector<std::string> &extra = {})
    {
        std::string program = siblingProgram("celvane-server");

        std::string format = std::to_string(FormatNumber);
        char *argv[] = {program.data(), const_cast<char *>("--listen"),
                        const_cast<char *>("127.0.0.1"), const_cast<char *>("--port"),
                        const_cast<char *>("0"), const_cast<char *>("--format"), format.data(),
                        const_cast<char *>("--max-clients"), const_cast<char *>("1000"),
                        // Every client comes from 127.0.0.1, and the editors never say Hello.
                        const_cast<char *>("--max-per-address"), const_cast<char *>("1000"),
                        const_cast<char *>("--hello-timeout"), const_cast<char *>("0"),
                        // As fast as the server can: no allowance per connection.
                        const_cast<char *>("--max-edits-per-second"), const_cast<char *>("0")};
        std::vector<char *> arguments(std::begin(argv), std::end(argv));
        for (const std::string &option : extra)
            arguments.push_back(const_cast<char *>(option.c_str()));
        arguments.push_back(nullptr);
        int output = -1;
        m_pid = spawnWithOutputPipe(arguments.data(), &output);
        if (!m_pid)
            return false;
        // "listening on 127.0.0.1:PORT"
        std::string line;
        char c;
        while (read(output, &c, 1) == 1 && c != '\n')
            line += c;
        close(output);
        const size_t colon = line.rfind(':');
        m_port = colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
        return m_port > 0;
    }

    ~Server()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }

    int port() const { return m_port; }
    pid_t pid() const { return m_pid; }

    long residentKiB() const { return ::residentKiB(m_pid); }

private:
    pid_t m_pid = 0;
    int m_port = 0;
};

// A redis-server of the benchmark's own, on a free loopback port, keeping nothing on disk; or a
// redis-sentinel watching one.
class Redis
{
public:
    // extra: further options, such as --replicaof HOST PORT.
    bool start(const std::vector<std::string> &extra = {})
    {
        if (!prepare())
            return false;
        std::string port = std::to_string(m_port);
        std::vector<const char *> argv{"/usr/bin/redis-server", "--port", port.c_str(), "--bind",
                                       "127.0.0.1", "--dir", m_folder.c_str(), "--save", "",
                                       "--appendonly", "no",
                                       // A replica is copied as soon as it asks.
                                       "--repl-diskless-sync-delay", "0"};
        for (const std::string &option : extra)
            argv.push_back(option.c_str());
        return launch(argv, "Ready to accept connections");
    }

    // Sentinel's down-after of one second, the shortest failover it allows in practice.
    bool startSentinel(int primaryPort, int quorum)
    {
        if (!prepare())
            return false;
        m_config = m_folder + "/sentinel.conf";
        FILE *config = std::fopen(m_config.c_str(), "w");
        if (!config)
            return false;
        std::fprintf(config,
                     "sentinel monitor celvane 127.0.0.1 %d %d\n"
                     "sentinel down-after-milliseconds celvane 1000\n"
                     "sentinel failover-timeout celvane 3000\n",
                     primaryPort, quorum);
        std::fclose(config);
        std::string port = std::to_string(m_port);
        return launch({"/usr/bin/redis-sentinel", m_config.c_str(), "--port", port.c_str(),
                       "--bind", "127.0.0.1", "--dir", m_folder.c_str()},
                      "+monitor master");
    }

    ~Redis()
    {
        stop(SIGTERM);
        if (!m_config.empty())
            unlink(m_config.c_str());
        if (!m_folder.empty())
            rmdir(m_folder.c_str());
    }

    void stop(int signalNumber)
    {
        if (m_pid > 0) {
            kill(m_pid, signalNumber);
            waitpid(m_pid, nullptr, 0);
            m_pid = 0;
        }
    }

    int port() const { return m_port; }
    // What redis-cli prints for one command to it.
    std::string cli(const std::string &command) const
    {
        const std::string line =
            "/usr/bin/redis-cli -h 127.0.0.1 -p " + std::to_string(m_port) + " " + command;
        FILE *pipe = popen(line.c_str(), "r");
        if (!pipe)
            return {};
        std::string printed;
        char buffer[4096];
        size_t got;
        while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            printed.append(buffer, got);
        pclose(pipe);
        return printed;
    }

    // The options that put a server's picture here.
    std::vector<std::string> serverOptions() const
    {
        return {"--redis", "127.0.0.1:" + std::to_string(m_port)};
    }

private:
    bool prepare()
    {
        const int probe = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (probe < 0 || bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
            if (probe >= 0)
                close(probe);
            return false;
        }
        close(probe);
        m_port = ntohs(address.sin_port);
        char folder[] = "/tmp/celvane-bench-redis-XXXXXX";
        if (!mkdtemp(folder))
            return false;
        m_folder = folder;
        return true;
    }

    bool launch(std::vector<const char *> argv, const char *ready)
    {
        argv.push_back(nullptr);
        int output = -1;
        m_pid = spawnWithOutputPipe(const_cast<char *const *>(argv.data()), &output);
        if (!m_pid)
            return false;
        // It says so once it takes connections.
        std::string log;
        char c;
        while (log.find(ready) == std::string::npos && read(output, &c, 1) == 1)
            log += c;
        close(output);
        return log.find(ready) != std::string::npos;
    }

    pid_t m_pid = 0;
    int m_port = 0;
    std::string m_folder;
    std::string m_config;
};

// The options that make a Redis a replica of primary.
std::vector<std::string> replicaOf(const Redis &primary)
{
    // The copy it is sent goes straight into its empty memory, not to a file in its folder.
    return {"--replicaof", "127.0.0.1", std::to_string(primary.port()), "--repl-diskless-load",
            "on-empty-db"};
}

bool readFully(int fd, char *data, size_t size)
{
    while (size > 0) {
        const ssize_t got = read(fd, data, size);
        if (got <= 0)
            return false;
        data += got;
        size -= size_t(got);
    }
    return true;
}

bool writeFully(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t put = write(fd, data, size);
        if (put <= 0)
            return false;
        data += put;
        size -= size_t(put);
    }
    return true;
}

// A blocking connection that has said Hello and read the picture; -1 on failure. Without greet
// it only connects: a client that never had the picture is sent no relays.
int connectClient(int port, QByteArray *update = nullptr, bool greet = true)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const QByteArray hello = Protocol::encodeHello();
    QByteArray reply(UpdateSize, '\0');
    if (!greet) {
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
            return fd;
        close(fd);
        return -1;
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        !writeFully(fd, hello.constData(), size_t(hello.size())) ||
        !readFully(fd, reply.data(), size_t(reply.size()))) {
        close(fd);
        return -1;
    }
    if (update)
        *update = reply;
    return fd;
}

QByteArray commandsOf(int client)
{
    QByteArray commands;
    commands.reserve(CommandsPerClient * (Protocol::HeaderSize + Protocol::CommandPayloadSize));
    for (int round = 0; round < Rounds; ++round) {
        for (int i = 0; i < CellsPerClient; ++i) {
            const int cell = client * CellsPerClient + i;
            commands += Protocol::encodeCommand(Protocol::SetCellCommand, quint8(cell % Columns),
                                                quint8(cell / Columns), colourOf(client, i, round));
        }
    }
    return commands;
}

bool finalPictureShown(const QByteArray &update)
{
    const char *cells = update.constData() + Protocol::HeaderSize + Protocol::UpdatePrefixSize;
    for (int client = 0; client < Clients; ++client) {
        for (int i = 0; i < CellsPerClient; ++i) {
            if (uint8_t(cells[client * CellsPerClient + i]) != colourOf(client, i, Rounds - 1))
                return false;
        }
    }
    return true;
}

void closeAll(std::vector<int> &fds)
{
    for (const int fd : fds)
        close(fd);
    fds.clear();
}

// Writes every client's commands through non-blocking sockets, each as fast as the server takes
// them.
bool sendAll(const std::vector<int> &fds, const std::vector<QByteArray> &commands)
{
    std::vector<size_t> sent(fds.size(), 0);
    std::vector<pollfd> waiting;
    for (;;) {
        waiting.clear();
        for (size_t i = 0; i < fds.size(); ++i) {
            const size_t total = size_t(commands[i].size());
            while (sent[i] < total) {
                const ssize_t put =
                    write(fds[i], commands[i].constData() + sent[i], total - sent[i]);
                if (put > 0) {
                    sent[i] += size_t(put);
                } else if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    waiting.push_back({fds[i], POLLOUT, 0});
                    break;
                } else {
                    return false;
                }
            }
        }
        if (waiting.empty())
            return true;
        if (poll(waiting.data(), waiting.size(), 5000) <= 0)
            return false;
    }
}

bool clearPicture(int port)
{
    // No Hello before the Clear: a client that holds the picture would have the Clear relayed to
    // it ahead of the Update it asks for.
    const int fd = connectClient(port, nullptr, false);
    if (fd < 0)
        return false;
    const QByteArray request =
        Protocol::encodeCommand(Protocol::ClearCommand, 0, 0, 0) + Protocol::encodeHello();
    QByteArray update(UpdateSize, '\0');
    const bool answered = writeFully(fd, request.constData(), size_t(request.size())) &&
                          readFully(fd, update.data(), size_t(update.size()));
    close(fd);
    const QByteArray cells = update.mid(Protocol::HeaderSize + Protocol::UpdatePrefixSize);
    return answered && cells.count(char(EmptyCell)) == Columns * Rows;
}

void serveManyClients(benchmark::State &state)
{
    Server server;
    if (!server.start()) {
        state.SkipWithError("cannot start celvane-server");
        return;
    }
    std::vector<QByteArray> commands;
    for (int client = 0; client < Clients; ++client)
        commands.push_back(commandsOf(client));

    // Memory for each client that has connected and been sent the picture.
    const long idleKiB = server.residentKiB();
    std::vector<int> fds;
    for (int client = 0; client < Clients; ++client) {
        const int fd = connectClient(server.port());
        if (fd < 0) {
            state.SkipWithError("a client could not connect");
            closeAll(fds);
            return;
        }
        fds.push_back(fd);
    }
    usleep(100000);
    const double perClientKiB = double(server.residentKiB() - idleKiB) / Clients;
    closeAll(fds);

    bool allApplied = true;
    for (auto _ : state) {
        state.PauseTiming();
        // The editors never ask for the picture, so this measures applying edits; relaying them
        // is measured by celvane-relay-bench.
        for (int client = 0; client < Clients; ++client) {
            const int fd = connectClient(server.port(), nullptr, false);
            if (fd < 0) {
                state.SkipWithError("a client could not connect");
                closeAll(fds);
                return;
            }
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            fds.push_back(fd);
        }
        // Start from a cleared picture, and see that it is: the Hello after the Clear is
        // answered with the picture the Clear left.
        if (!clearPicture(server.port())) {
            state.SkipWithError("the picture could not be cleared");
            closeAll(fds);
            return;
        }
        state.ResumeTiming();

        const auto start = std::chrono::steady_clock::now();
        if (!sendAll(fds, commands)) {
            state.SkipWithError("a client could not send its commands");
            closeAll(fds);
            return;
        }
        // The server takes each connection's messages in order: once a new client's picture
        // shows every client's last command, all 500,000 have been applied.
        bool shown = false;
        while (!shown && std::chrono::steady_clock::now() - start < std::chrono::seconds(30)) {
            QByteArray update;
            const int checker = connectClient(server.port(), &update);
            if (checker < 0)
                break;
            close(checker);
            shown = finalPictureShown(update);
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        allApplied = allApplied && shown;
        closeAll(fds);
    }
    state.counters["all_applied"] = allApplied ? 1 : 0;
    state.counters["messages"] = double(Clients) * CommandsPerClient;
    state.counters["kib_per_client"] = perClientKiB;
}

// --- Relays ------------------------------------------------------------------------------------

constexpr int RelaySize = Protocol::HeaderSize + Protocol::CommandPayloadSize;

// Reads whatever a non-blocking socket holds, keeping it at the end of *kept unless that is
// null; returns the bytes, or -1 when the connection is gone.
long drainInto(int fd, QByteArray *kept)
{
    static char sink[1 << 16];
    long total = 0;
    for (;;) {
        const ssize_t got = read(fd, sink, sizeof sink);
        if (got > 0) {
            if (kept)
                kept->append(sink, got);
            total += got;
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return total;
        return -1;
    }
}

long drain(int fd)
{
    return drainInto(fd, nullptr);
}

bool connectAll(int port, int count, std::vector<int> *fds)
{
    for (int i = 0; i < count; ++i) {
        const int fd = connectClient(port);
        if (fd < 0)
            return false;
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fds->push_back(fd);
    }
    return true;
}

// A picture file in a folder of its own, removed with it.
class PictureFolder
{
public:
    PictureFolder()
    {
        char name[] = "/tmp/celvane-bench-XXXXXX";
        if (mkdtemp(name))
            m_folder = name;
    }
    ~PictureFolder()
    {
        std::error_code ignored;
        if (!m_folder.empty())
            std::filesystem::remove_all(m_folder, ignored);
    }
    std::string picture() const { return m_folder + "/bench.cvp"; }

private:
    std::string m_folder;
};

// Where the relay-latency servers keep the picture: in memory, shared through Redis, in a file
// with its journal (every edit committed before it is relayed), in a file without one, or
// shared through Redis with a replica that holds every edit before it is relayed.
enum PictureHome { InMemory, ThroughRedis, Journaled, FileOnly, ThroughReplicatedRedis };

// From one client's write of a SetCellCommand to another client's read of its relay, with
// state.range(0) clients connected, all of them with the picture. Median and 99th percentile.
// state.range(1) says where the picture lives (PictureHome). Through Redis, two servers share
// the picture, each with that many clients, and the editor is a client of the first, the reader
// one of the second; through replicated Redis, Redis has a replica and the servers relay an edit
// only once it holds it (--redis-replicas 1).
void relayLatency(benchmark::State &state)
{
    const int clients = int(state.range(0));
    const PictureHome home = PictureHome(state.range(1));
    const bool replicated = home == ThroughReplicatedRedis;
    const bool throughRedis = home == ThroughRedis || replicated;
    PictureFolder folder;
    std::vector<std::string> fileOptions;
    if (home == Journaled || home == FileOnly)
        fileOptions = {"--picture", folder.picture()};
    if (home == FileOnly)
        fileOptions.push_back("--no-history");
    Redis redis;
    Redis replica;
    Server server;
    Server other;
    std::vector<int> fds;
    std::vector<int> otherFds;
    const bool started =
        !throughRedis || (redis.start() && (!replicated || replica.start(replicaOf(redis))));
    std::vector<std::string> options = redis.serverOptions();
    if (replicated)
        options.insert(options.end(), {"--redis-replicas", "1"});
    if (throughRedis &&
        (!started || !other.start(options) || !connectAll(other.port(), clients, &otherFds))) {
        state.SkipWithError("cannot start redis-server and a celvane-server on it");
        closeAll(otherFds);
        return;
    }
    if (!server.start(throughRedis ? options : fileOptions) ||
        !connectAll(server.port(), clients, &fds)) {
        state.SkipWithError("cannot start celvane-server or connect the clients");
        closeAll(fds);
        closeAll(otherFds);
        return;
    }
    const int editor = fds.front();
    const int reader = throughRedis ? otherFds.back() : fds.back();
    fds.insert(fds.end(), otherFds.begin(), otherFds.end());
    std::vector<double> samples;
    int sent = 0;
    for (auto _ : state) {
        const QByteArray edit = Protocol::encodeCommand(Protocol::SetCellCommand, quint8(sent % 40),
                                                        quint8(sent / 40 % 25), quint8(sent % 16));
        ++sent;
        const auto start = std::chrono::steady_clock::now();
        if (!writeFully(editor, edit.constData(), size_t(edit.size()))) {
            state.SkipWithError("the editor could not write");
            break;
        }
        char relay[RelaySize];
        size_t got = 0;
        while (got < sizeof relay) {
            pollfd one{reader, POLLIN, 0};
            if (poll(&one, 1, 5000) <= 0)
                break;
            const ssize_t n = read(reader, relay + got, sizeof relay - got);
            if (n <= 0)
                break;
            got += size_t(n);
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (got != sizeof relay || QByteArray(relay, RelaySize) != edit) {
            state.SkipWithError("the relay did not arrive");
            break;
        }
        state.SetIterationTime(seconds);
        samples.push_back(seconds);
        // The others get the relay too; empty their sockets now and then, off the clock.
        if (sent % 64 == 0) {
            state.PauseTiming();
            for (const int fd : fds) {
                if (fd != reader)
                    drain(fd);
            }
            state.ResumeTiming();
        }
    }
    closeAll(fds);
    if (samples.empty())
        return;
    std::sort(samples.begin(), samples.end());
    state.counters["p50_us"] = samples[samples.size() / 2] * 1e6;
    state.counters["p99_us"] =
        samples[std::min(samples.size() - 1, samples.size() * 99 / 100)] * 1e6;
}

// Writes the burst of commands from the editor as fast as it is taken, and reads every relay of
// it on each of the clients; false if a client was lost or waited five seconds for one.
bool fanOut(int editor, const QByteArray &burst, const std::vector<int> &fds)
{
    const long expected =
        long(burst.size()) / (Protocol::HeaderSize + Protocol::CommandPayloadSize) * RelaySize;
    std::vector<long> received(fds.size(), 0);
    size_t written = 0;
    size_t done = 0;
    std::vector<pollfd> waiting;
    while (done < fds.size()) {
        if (written < size_t(burst.size())) {
            const ssize_t put =
                write(editor, burst.constData() + written, size_t(burst.size()) - written);
            if (put > 0)
                written += size_t(put);
        }
        waiting.clear();
        for (size_t i = 0; i < fds.size(); ++i) {
            if (received[i] < expected)
                waiting.push_back({fds[i], POLLIN, short(i)});
        }
        if (poll(waiting.data(), waiting.size(), 5000) <= 0)
            return false;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (received[i] >= expected)
                continue;
            const long got = drain(fds[i]);
            if (got < 0)
                return false;
            received[i] += got;
            if (received[i] >= expected)
                ++done;
        }
    }
    return true;
}

// fanOut() on the clock: adds the seconds it took to *seconds and the CPU time the servers spent
// meanwhile to *cpuSeconds.
bool timedFanOut(int editor, const QByteArray &burst, const std::vector<int> &fds,
                 const std::vector<pid_t> &servers, double *seconds, double *cpuSeconds)
{
    std::vector<long> ticksBefore;
    for (const pid_t server : servers)
        ticksBefore.push_back(cpuTicks(server));
    const auto start = std::chrono::steady_clock::now();
    if (!fanOut(editor, burst, fds))
        return false;
    *seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (size_t i = 0; i < servers.size(); ++i)
        *cpuSeconds += double(cpuTicks(servers[i]) - ticksBefore[i]) / double(sysconf(_SC_CLK_TCK));
    return true;
}

QByteArray cellBurst(int count)
{
    QByteArray burst;
    for (int i = 0; i < count; ++i)
        burst += Protocol::encodeCommand(Protocol::SetCellCommand, quint8(i % 40),
                                         quint8(i / 40 % 25), quint8(i % 16));
    return burst;
}

// One editor writes a burst of SetCellCommands as fast as the server takes them, and 200 clients
// read every relay; the clock stops when the last of them has read the last relay. Also the
// server's CPU time per million relayed messages and its memory per client with the picture.
// extra: further options for the server.
void relayFanOutWith(benchmark::State &state, const std::vector<std::string> &extra)
{
    constexpr int Clients = 200;
    constexpr int Burst = 20000;
    Server server;
    std::vector<int> fds;
    const long idleKiB = server.start(extra) ? server.residentKiB() : -1;
    if (idleKiB < 0 || !connectAll(server.port(), Clients, &fds)) {
        state.SkipWithError("cannot start celvane-server or connect the clients");
        closeAll(fds);
        return;
    }
    usleep(100000);
    const double perClientKiB = double(server.residentKiB() - idleKiB) / Clients;
    const int editor = connectClient(server.port(), nullptr, false);
    const QByteArray burst = cellBurst(Burst);
    double cpuSeconds = 0;
    double relayed = 0;
    double wallSeconds = 0;
    for (auto _ : state) {
        double seconds = 0;
        if (!timedFanOut(editor, burst, fds, {server.pid()}, &seconds, &cpuSeconds)) {
            state.SkipWithError("a client did not get every relay");
            break;
        }
        state.SetIterationTime(seconds);
        wallSeconds += seconds;
        relayed += double(Burst) * Clients;
    }
    close(editor);
    closeAll(fds);
    // Against the clock: the library's own rates divide by this thread's CPU time, which is
    // mostly spent waiting in poll() here.
    state.counters["relayed_per_s"] = wallSeconds > 0 ? relayed / wallSeconds : 0;
    state.counters["server_cpu_s_per_million"] = relayed > 0 ? cpuSeconds / relayed * 1e6 : 0;
    state.counters["kib_per_client"] = perClientKiB;
}

void relayFanOut(benchmark::State &state)
{
    relayFanOutWith(state, {});
}

// The same fan-out with the picture in a file and its journal, state.range(0) 0 with nothing
// moderated, 1 with ten bans (on addresses nobody here comes from) and a lock on the top left
// excepting the editor's address, so that every edit is judged and still taken.
void moderatedFanOut(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("fan-out.cvp"));
    {
        JournalStore store(path, Picture(3), false, JournalStore::Options());
        QString problem;
        bool kept = store.start() == JournalStore::Started;
        Moderation::Change change;
        for (int i = 0; kept && state.range(0) != 0 && i < 10; ++i) {
            change.ban.subnet = *Subnet::parse(QStringLiteral("10.%1.0.0/16").arg(i), &problem);
            kept = store.changeModeration(change, &problem);
        }
        change.kind = Moderation::Change::AddLock;
        change.lock.area = QRect(0, 0, 20, 12);
        change.lock.except = {*Subnet::parse(QStringLiteral("127.0.0.1"), &problem)};
        if (!kept || (state.range(0) != 0 && !store.changeModeration(change, &problem)) ||
            !store.finish()) {
            state.SkipWithError("cannot prepare the picture's journal");
            return;
        }
    }
    relayFanOutWith(state, {"--picture", path.toStdString()});
}
// --- Through Redis -----------------------------------------------------------------------------

// Edits per second from 50 editors (who never say Hello, so that they are sent no relays) to one
// reader's read of the last relay; state.range(0) 0 for a single server, 1 for the editors on one
// server and the reader on another, both on Redis.
void editRate(benchmark::State &state)
{
    constexpr int Editors = 50;
    constexpr int EditsPerEditor = 2000;
    const bool throughRedis = state.range(0) != 0;
    Redis redis;
    Server server;
    Server other;
    const std::vector<std::string> options =
        throughRedis && redis.start() ? redis.serverOptions() : std::vector<std::string>();
    if ((throughRedis && options.empty()) || !server.start(options) ||
        (throughRedis && !other.start(options))) {
        state.SkipWithError("cannot start redis-server and celvane-server");
        return;
    }
    std::vector<QByteArray> commands(Editors, cellBurst(EditsPerEditor));
    double edits = 0;
    double wallSeconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<int> editors;
        std::vector<int> readers;
        if (!connectAll(throughRedis ? other.port() : server.port(), 1, &readers)) {
            state.SkipWithError("the reader could not connect");
            break;
        }
        for (int i = 0; i < Editors; ++i) {
            const int fd = connectClient(server.port(), nullptr, false);
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            editors.push_back(fd);
        }
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        const long expected = long(Editors) * EditsPerEditor * RelaySize;
        long received = 0;
        bool sent = sendAll(editors, commands);
        while (sent && received < expected) {
            pollfd one{readers.front(), POLLIN, 0};
            const long got = poll(&one, 1, 5000) > 0 ? drain(readers.front()) : -1;
            if (got < 0)
                sent = false;
            received += got;
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        closeAll(editors);
        closeAll(readers);
        if (!sent) {
            state.SkipWithError("the reader did not get every relay");
            break;
        }
        state.SetIterationTime(seconds);
        wallSeconds += seconds;
        edits += double(Editors) * EditsPerEditor;
    }
    state.counters["edits_per_s"] = wallSeconds > 0 ? edits / wallSeconds : 0;
}

// The CPU time each server spends per relayed message when state.range(0) servers share the
// picture through Redis, each with 50 clients holding it, and one editor on the first writes a
// burst of 20,000 SetCellCommands.
void redisRelayCpu(benchmark::State &state)
{
    constexpr int ClientsPerServer = 50;
    constexpr int Burst = 20000;
    const int count = int(state.range(0));
    Redis redis;
    std::vector<std::unique_ptr<Server>> servers;
    std::vector<int> fds;
    bool started = redis.start();
    for (int i = 0; started && i < count; ++i) {
        servers.push_back(std::make_unique<Server>());
        started = servers.back()->start(redis.serverOptions()) &&
                  connectAll(servers.back()->port(), ClientsPerServer, &fds);
    }
    const int editor = started ? connectClient(servers.front()->port(), nullptr, false) : -1;
    if (editor < 0) {
        state.SkipWithError("cannot start redis-server and the servers, or connect the clients");
        closeAll(fds);
        return;
    }
    const QByteArray burst = cellBurst(Burst);
    std::vector<pid_t> pids;
    for (const auto &server : servers)
        pids.push_back(server->pid());
    double cpuSeconds = 0;
    double relayed = 0;
    for (auto _ : state) {
        double seconds = 0;
        if (!timedFanOut(editor, burst, fds, pids, &seconds, &cpuSeconds)) {
            state.SkipWithError("a client did not get every relay");
            break;
        }
        state.SetIterationTime(seconds);
        relayed += double(Burst) * ClientsPerServer * count;
    }
    close(editor);
    closeAll(fds);
    // Each server relays its own clients' share, so the total over the total is the figure of
    // one server.
    state.counters["server_cpu_s_per_million"] = relayed > 0 ? cpuSeconds / relayed * 1e6 : 0;
}

// --- A failover ---------------------------------------------------------------------------------

// Polls until condition holds, for up to 15 seconds.
bool waitUntil(const std::function<bool()> &condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        usleep(20000);
    }
    return true;
}

// The number after "name" in what redis-cli printed, one field a line.
int fieldOf(const std::string &printed, const std::string &name)
{
    const size_t at = printed.find(name + "\n");
    return at == std::string::npos ? -1 : std::atoi(printed.c_str() + at + name.size() + 1);
}

// A client's messages as they come: relays of single SetCellCommands and Updates.
struct Witness
{
    int fd = -1;
    QByteArray buffer;
    std::vector<QByteArray> relays; // shown before the first Update that came after start
    bool updated = false;
    std::chrono::steady_clock::time_point updatedAt;

    bool read()
    {
        if (drainInto(fd, &buffer) < 0)
            return false;
        for (;;) {
            const int size = !buffer.isEmpty() && quint8(buffer.at(0)) == Protocol::Update
                                 ? UpdateSize
                                 : RelaySize;
            if (buffer.size() < size)
                return true;
            if (size == UpdateSize && !updated) {
                updated = true;
                updatedAt = std::chrono::steady_clock::now();
            } else if (!updated) {
                relays.push_back(buffer.left(size));
            }
            buffer.remove(0, size);
        }
    }
};

// One primary with two replicas and three Sentinels (down-after one second), two servers on it
// with 50 clients each and --redis-replicas state.range(0); an editor on the first writes a
// burst of SetCellCommands, the replicas are cut off for its last few hundred edits (so that the
// primary alone holds them, the worst case) and the primary is killed with SIGKILL. The clock
// runs from the kill until a client of each server has been sent the promoted replica's picture;
// lost counts the edits a client of the second server was shown that the promoted replica lacks.
void failover(benchmark::State &state)
{
    constexpr int ClientsPerServer = 50;
    const std::string replicas = std::to_string(state.range(0));
    double lost = 0;
    double shown = 0;
    for (auto _ : state) {
        Redis primary;
        Redis copies[2];
        Redis sentinels[3];
        bool started = primary.start();
        for (Redis &copy : copies)
            started = started && copy.start(replicaOf(primary));
        started = started && waitUntil([&] {
                      const std::string info = primary.cli("INFO replication");
                      return info.find("slave1:") != std::string::npos &&
                             info.find("state=online") != info.rfind("state=online");
                  });
        std::string addresses;
        for (Redis &sentinel : sentinels) {
            started = started && sentinel.startSentinel(primary.port(), 2);
            addresses +=
                (addresses.empty() ? "" : ",") + ("127.0.0.1:" + std::to_string(sentinel.port()));
        }
        for (Redis &sentinel : sentinels)
            started = started && waitUntil([&] {
                          const std::string master = sentinel.cli("SENTINEL master celvane");
                          return fieldOf(master, "num-slaves") == 2 &&
                                 fieldOf(master, "num-other-sentinels") == 2;
                      });
        const std::vector<std::string> options{"--redis-sentinel", addresses,
                                               "--redis-master",   "celvane",
                                               "--redis-replicas", replicas};
        Server servers[2];
        std::vector<int> fds;
        Witness witnesses[2];
        for (int i = 0; i < 2; ++i) {
            started = started && servers[i].start(options) &&
                      connectAll(servers[i].port(), ClientsPerServer, &fds);
            if (started)
                witnesses[i].fd = fds.back();
        }
        const int editor = started ? connectClient(servers[0].port(), nullptr, false) : -1;
        if (editor < 0) {
            state.SkipWithError("cannot start the Redis servers, the Sentinels and the servers");
            closeAll(fds);
            return;
        }
        fcntl(editor, F_SETFL, fcntl(editor, F_GETFL) | O_NONBLOCK);
        const QByteArray burst = cellBurst(20000);
        size_t written = 0;
        const auto feed = [&] {
            if (written < size_t(burst.size())) {
                const ssize_t put =
                    write(editor, burst.constData() + written, size_t(burst.size()) - written);
                if (put > 0)
                    written += size_t(put);
            }
            for (const int fd : fds)
                if (fd != witnesses[0].fd && fd != witnesses[1].fd)
                    drain(fd);
            return witnesses[0].read() && witnesses[1].read();
        };
        bool ok = waitUntil([&] { return !feed() || witnesses[1].relays.size() >= 100; });
        const auto held = [&primary] {
            return std::atoi(primary.cli("XLEN celvane:edits").c_str());
        };
        const int before = held();
        for (Redis &copy : copies)
            copy.cli("CONFIG SET masterauth refused");
        primary.cli("CLIENT KILL TYPE replica");
        ok = ok && waitUntil([&] { return !feed() || held() > before + 200; });
        primary.stop(SIGKILL);
        const auto killed = std::chrono::steady_clock::now();
        for (Redis &copy : copies)
            copy.cli("CONFIG SET masterauth \"\"");
        ok = ok &&
             waitUntil([&] { return !feed() || (witnesses[0].updated && witnesses[1].updated); });
        close(editor);
        closeAll(fds);
        if (!ok) {
            state.SkipWithError("the servers did not serve again");
            return;
        }
        const auto last = std::max(witnesses[0].updatedAt, witnesses[1].updatedAt);
        state.SetIterationTime(std::chrono::duration<double>(last - killed).count());

        // What the second server's client was shown, against the promoted replica's stream.
        int promoted = 0;
        for (Redis &copy : copies)
            if (copy.cli("ROLE").rfind("master", 0) == 0)
                promoted = copy.port();
        RedisPictureHistory history(QStringLiteral("127.0.0.1"), quint16(promoted), QByteArray(),
                                    QByteArrayLiteral("celvane"));
        std::vector<QByteArray> stream;
        if (promoted && history.open())
            history.forEachEdit(history.oldestSeq(), history.lastSeq(),
                                [&stream](const PictureHistory::Edit &edit) {
                                    stream.push_back(edit.message.toByteArray());
                                    return true;
                                });
        const std::vector<QByteArray> &seen = witnesses[1].relays;
        size_t kept = 0;
        while (kept < seen.size() && kept < stream.size() && seen[kept] == stream[kept])
            ++kept;
        shown += double(seen.size());
        lost += double(seen.size() - kept);
    }
    state.counters["shown"] = shown / double(state.iterations());
    state.counters["lost"] = lost / double(state.iterations());
}

// --- Refused edits -----------------------------------------------------------------------------

// One client floods a read-only picture with edits it then reads the corrections of, as fast as
// the server takes them: 200,000 SetCellCommands over every cell (state.range(0) 0) or as many
// ClearCommands (1), each of which alone would call for the whole picture. The yardstick (2) is
// the same cells on a picture that takes them and relays them back to their sender. A Hello after
// the flood: its Update comes after every relay and correction, as soon as the server has read it.
void refusedEdits(benchmark::State &state)
{
    constexpr int Edits = 200000;
    const int mode = int(state.range(0));
    Server server;
    std::vector<std::string> options{"--demo"};
    if (mode != 2)
        options.push_back("--read-only");
    if (!server.start(options)) {
        state.SkipWithError("cannot start celvane-server");
        return;
    }
    QByteArray flood;
    flood.reserve(Edits * 8 + 8);
    for (int i = 0; i < Edits; ++i)
        flood += mode == 1 ? Protocol::encodeCommand(Protocol::ClearCommand, 0, 0, 0)
                           : Protocol::encodeCommand(Protocol::SetCellCommand, quint8(i % Columns),
                                                     quint8(i / Columns % Rows), quint8(i % 16));
    const qint64 floodBytes = flood.size();
    flood += Protocol::encodeHello();
    double seconds = 0;
    double sentBytes = 0;
    double receivedBytes = 0;
    for (auto _ : state) {
        const int fd = connectClient(server.port());
        if (fd < 0) {
            state.SkipWithError("cannot connect");
            break;
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        // A client gets one Update a second: the one that ends the flood must not wait for it.
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        const auto start = std::chrono::steady_clock::now();
        qint64 sent = 0;
        qint64 received = 0;
        // Cut into messages as it comes: everything before the Update is relays and corrections.
        QByteArray pending;
        bool answered = false;
        char buffer[65536];
        while (!answered) {
            pollfd one{fd, short(POLLIN | (sent < flood.size() ? POLLOUT : 0)), 0};
            if (poll(&one, 1, 5000) <= 0)
                break;
            if (one.revents & POLLOUT) {
                const ssize_t put =
                    write(fd, flood.constData() + sent, size_t(flood.size() - sent));
                if (put > 0)
                    sent += put;
            }
            const ssize_t got = (one.revents & POLLIN) ? read(fd, buffer, sizeof buffer) : 0;
            if ((one.revents & (POLLERR | POLLHUP)) && got <= 0)
                break;
            if (got > 0)
                pending.append(buffer, got);
            qsizetype at = 0;
            while (pending.size() - at >= Protocol::HeaderSize) {
                const char *header = pending.constData() + at;
                const int size =
                    Protocol::HeaderSize + (uint8_t(header[2]) | uint8_t(header[3]) << 8);
                if (header[0] == char(Protocol::Update)) {
                    answered = pending.size() - at >= size;
                    break;
                }
                if (pending.size() - at < size)
                    break;
                received += size;
                at += size;
            }
            pending.remove(0, at);
        }
        close(fd);
        if (!answered) {
            state.SkipWithError("the Update after the flood did not come");
            break;
        }
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(elapsed);
        seconds += elapsed;
        sentBytes += double(floodBytes);
        receivedBytes += double(received);
    }
    state.counters["edits_per_s"] = seconds > 0 ? state.iterations() * double(Edits) / seconds : 0;
    state.counters["bytes_written_per_byte_read"] = sentBytes > 0 ? receivedBytes / sentBytes : 0;
}

const bool registered = [] {
    benchmark::RegisterBenchmark("server/relay-latency", relayLatency)
        ->Args({1, 0})
        ->Args({50, 0})
        ->Args({200, 0})
        ->Args({1, 1})
        ->Args({50, 1})
        ->Args({200, 1})
        ->Args({50, Journaled})
        ->Args({50, FileOnly})
        ->Args({50, ThroughReplicatedRedis})
        ->Iterations(2000)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("server/relay-fan-out/200-clients", relayFanOut)
        ->Iterations(5)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("server/relay-fan-out/200-clients-journal", moderatedFanOut)
        ->Arg(0)
        ->Arg(1)
        ->Iterations(5)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("server/edit-rate", editRate)
        ->Arg(0)
        ->Arg(1)
        ->Iterations(3)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("server/redis-relay-cpu", redisRelayCpu)
        ->Arg(1)
        ->Arg(2)
        ->Arg(3)
        ->Iterations(3)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("server/failover", failover)
        ->Arg(0)
        ->Arg(1)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("server/refused-edits", refusedEdits)
        ->Arg(0)
        ->Arg(1)
        ->Arg(2)
        ->Iterations(3)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("server/50x10000-commands", serveManyClients)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    return true;
}();

} // namespace

BENCHMARK_MAIN();
