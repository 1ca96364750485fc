// The server's relay path at 1,000 and 10,000 clients, measured from outside against two
// yardsticks in the same run: fanout-minimal (bench/fanoutminimal.cpp, the least a fan-out server
// must do) and Redis pub/sub (redis-server, started here on a free loopback port in a temporary
// folder and stopped by its pid). The servers take turns in a fresh random order at every size and
// repetition, so that load from elsewhere lands on all of them alike.
//
// For each server and size: N clients connect and ask for the picture (a Hello, or SUBSCRIBE),
// at most Window at a time, until all have their answer (join time); one more client then sends
// one SetCellCommand (or PUBLISH) every millisecond, and the latency of each is the time until the
// last of the N has read it; the server's CPU time over those relays is divided by their number.
// At the largest size the editor also sends a burst as fast as the server reads it, and the rate
// is edits over the time until every client has them all. Memory is the server's resident memory
// after the join less before, over N.
//
// One thread, non-blocking sockets and epoll, like the servers; it prints its own CPU time too,
// since it shares the machine with them. Output: one JSON object per run on standard output.
//
//   fanout-bench [--quick] [--repetitions R] [--sizes 1000,10000]

#include "bench/childprocess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

enum class Kind { Celvane, Minimal, Redis };

const char *nameOf(Kind kind)
{
    switch (kind) {
    case Kind::Celvane:
        return "celvane-server";
    case Kind::Minimal:
        return "fanout-minimal";
    case Kind::Redis:
        return "redis";
    }
    return "";
}

// Connections asking to join at once: enough to keep every server busy, few enough that no
// listen backlog overflows (Redis's is 511) and turns the join into SYN retransmissions.
constexpr int Window = 256;
constexpr double GiveUpSeconds = 120;

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double ownCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// What each server speaks: the request to join and the size of its answer, one edit as sent and
// the size of its relay as each client receives it.
struct Wire
{
    std::string join;
    size_t joinReply = 0;
    size_t relay = 0;
    std::string edit(int i) const
    {
        std::string command = {3, 0, 4, 0, 2, char(i % 40), char(i / 40 % 25), char(i % 16)};
        if (!redis)
            return command;
        return "*3\r\n$7\r\nPUBLISH\r\n$1\r\nc\r\n$8\r\n" + command + "\r\n";
    }
    bool redis = false;
};

Wire wireOf(Kind kind)
{
    Wire wire;
    if (kind == Kind::Redis) {
        wire.redis = true;
        wire.join = "SUBSCRIBE c\r\n";
        wire.joinReply = std::strlen("*3\r\n$9\r\nsubscribe\r\n$1\r\nc\r\n:1\r\n");
        wire.relay = std::strlen("*3\r\n$7\r\nmessage\r\n$1\r\nc\r\n$8\r\n12345678\r\n");
    } else {
        wire.join = std::string{1, 0, 4, 0, 3, 0, 0, 0};
        wire.joinReply = 4 + 4 + 40 * 25; // the Update of a format 3 picture
        wire.relay = 8;
    }
    return wire;
}

int freeLoopbackPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

int connectTo(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // Closed with a reset: no TIME_WAIT left behind to use up the ports of later runs.
    const linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

class Server
{
public:
    bool start(Kind kind)
    {
        std::vector<std::string> arguments;
        if (kind == Kind::Celvane) {
            arguments = {siblingProgram("celvane-server"), "--listen", "127.0.0.1", "--port", "0",
                         "--format", "3", "--max-clients", "20000", "--max-per-address", "20000",
                         // The editor never says Hello, and sends as fast as it can.
                         "--hello-timeout", "0", "--max-edits-per-second", "0"};
        } else if (kind == Kind::Minimal) {
            arguments = {siblingProgram("fanout-minimal")};
        } else {
            char folder[] = "/tmp/fanout-bench-redis-XXXXXX";
            if (!mkdtemp(folder))
                return false;
            m_folder = folder;
            m_port = freeLoopbackPort();
            arguments = {"/usr/bin/redis-server",
                         "--port",
                         std::to_string(m_port),
                         "--bind",
                         "127.0.0.1",
                         "--save",
                         "",
                         "--appendonly",
                         "no",
                         "--dir",
                         m_folder,
                         "--logfile",
                         m_folder + "/redis.log",
                         "--maxclients",
                         "20000",
                         "--daemonize",
                         "no"};
        }
        std::vector<char *> argv;
        for (std::string &argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        int output = -1;
        m_pid = spawnWithOutputPipe(argv.data(), &output);
        if (!m_pid)
            return false;
        if (kind != Kind::Redis) {
            // "listening on 127.0.0.1:PORT"
            std::string line;
            char c;
            while (read(output, &c, 1) == 1 && c != '\n')
                line += c;
            const size_t colon = line.rfind(':');
            m_port = colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
        }
        close(output);
        // Ready once it takes a connection.
        for (const double until = now() + 10; m_port > 0 && now() < until;) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(uint16_t(m_port));
            const bool ready =
                connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
            close(fd);
            if (ready)
                return true;
            usleep(10000);
        }
        return false;
    }

    ~Server()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        if (!m_folder.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(m_folder, ignored);
        }
    }

    int port() const { return m_port; }

    // User and system time, in seconds.
    double cpuSeconds() const { return double(cpuTicks(m_pid)) / double(sysconf(_SC_CLK_TCK)); }
    long residentKiB() const { return ::residentKiB(m_pid); }

private:
    pid_t m_pid = 0;
    int m_port = 0;
    std::string m_folder;
};

struct Client
{
    int fd = -1;
    uint64_t received = 0; // bytes after the join's answer
    bool asked = false;
    bool joined = false;
};

struct Result
{
    bool ok = false;
    double joinSeconds = 0;
    double latencyMedian = 0;
    double latencyP99 = 0;
    double cpuPerRelay = 0;
    double rate = 0;
    double kibPerClient = 0;
    double generatorCpu = 0;
};

class Load
{
public:
    Load(const Server &server, const Wire &wire, int clients)
        : m_server(server)
        , m_wire(wire)
        , m_clients(size_t(clients))
        , m_events(4096)
    {
        m_epoll = epoll_create1(EPOLL_CLOEXEC);
    }

    ~Load()
    {
        for (const Client &client : m_clients)
            if (client.fd >= 0)
                close(client.fd);
        if (m_editor >= 0)
            close(m_editor);
        close(m_epoll);
    }

    bool join(double *seconds)
    {
        const int n = int(m_clients.size());
        int next = 0;
        int waiting = 0;
        int joined = 0;
        const double start = now();
        while (joined < n) {
            while (waiting < Window && next < n) {
                Client &client = m_clients[size_t(next)];
                client.fd = connectTo(m_server.port());
                if (client.fd < 0)
                    return fail("connect");
                add(client.fd, EPOLLOUT, uint64_t(next));
                ++next;
                ++waiting;
            }
            const int count = epoll_wait(m_epoll, m_events.data(), int(m_events.size()), 1000);
            if (now() - start > GiveUpSeconds)
                return fail("join took too long");
            for (int i = 0; i < count; ++i) {
                Client &client = m_clients[m_events[size_t(i)].data.u64];
                if (!client.asked) {
                    if (m_events[size_t(i)].events & (EPOLLERR | EPOLLHUP))
                        return fail("connection refused");
                    if (send(client.fd, m_wire.join.data(), m_wire.join.size(), MSG_NOSIGNAL) !=
                        ssize_t(m_wire.join.size()))
                        return fail("join request");
                    client.asked = true;
                    modify(client.fd, EPOLLIN, m_events[size_t(i)].data.u64);
                    continue;
                }
                if (!drain(client))
                    return fail("closed while joining");
                if (!client.joined && client.received >= m_wire.joinReply) {
                    client.joined = true;
                    client.received -= m_wire.joinReply;
                    ++joined;
                    --waiting;
                }
            }
        }
        *seconds = now() - start;
        return true;
    }

    bool startEditor()
    {
        m_editor = connectTo(m_server.port());
        if (m_editor < 0)
            return fail("editor");
        add(m_editor, EPOLLIN, EditorTag);
        return true;
    }

    // Edits one every millisecond; the latency of each is until the last client has it.
    bool paced(int edits, std::vector<double> *latencies)
    {
        const size_t n = m_clients.size();
        std::vector<double> sentAt(static_cast<size_t>(edits));
        std::vector<uint32_t> holders(static_cast<size_t>(edits), 0);
        latencies->assign(size_t(edits), 0);
        int sent = 0;
        int complete = 0;
        double nextSend = now();
        const double start = nextSend;
        while (complete < edits) {
            const double t = now();
            if (t - start > GiveUpSeconds)
                return fail("relays did not all arrive");
            if (sent < edits && t >= nextSend) {
                const std::string edit = m_wire.edit(sent);
                if (!sendAll(m_editor, edit))
                    return fail("editor write");
                sentAt[size_t(sent)] = t;
                ++sent;
                nextSend += 0.001;
            }
            const int timeout = sent < edits ? std::max(0, int((nextSend - now()) * 1000)) : 100;
            const int count = epoll_wait(m_epoll, m_events.data(), int(m_events.size()), timeout);
            for (int i = 0; i < count; ++i) {
                if (m_events[size_t(i)].data.u64 == EditorTag) {
                    drainEditor();
                    continue;
                }
                Client &client = m_clients[m_events[size_t(i)].data.u64];
                const uint64_t before = client.received / m_wire.relay;
                if (!drain(client))
                    return fail("closed during the relays");
                const uint64_t after =
                    std::min<uint64_t>(client.received / m_wire.relay, uint64_t(edits));
                const double at = now();
                for (uint64_t e = before; e < after; ++e) {
                    if (++holders[e] == n) {
                        (*latencies)[e] = at - sentAt[e];
                        ++complete;
                    }
                }
            }
        }
        return true;
    }

    // A burst written as fast as the server reads it: edits per second until every client has
    // the last. Every client must have read exactly `already` relays before.
    bool burst(int edits, uint64_t already, double *rate)
    {
        std::string bytes;
        for (int i = 0; i < edits; ++i)
            bytes += m_wire.edit(i);
        const uint64_t target = (already + uint64_t(edits)) * m_wire.relay;
        size_t written = 0;
        size_t done = 0;
        modify(m_editor, EPOLLIN | EPOLLOUT, EditorTag);
        const double start = now();
        while (done < m_clients.size()) {
            if (now() - start > GiveUpSeconds)
                return fail("burst did not all arrive");
            const int count = epoll_wait(m_epoll, m_events.data(), int(m_events.size()), 1000);
            for (int i = 0; i < count; ++i) {
                if (m_events[size_t(i)].data.u64 == EditorTag) {
                    drainEditor();
                    if (written < bytes.size()) {
                        const ssize_t n = send(m_editor, bytes.data() + written,
                                               bytes.size() - written, MSG_NOSIGNAL);
                        if (n > 0)
                            written += size_t(n);
                        if (written == bytes.size())
                            modify(m_editor, EPOLLIN, EditorTag);
                    }
                    continue;
                }
                Client &client = m_clients[m_events[size_t(i)].data.u64];
                const bool before = client.received >= target;
                if (!drain(client))
                    return fail("closed during the burst");
                if (!before && client.received >= target)
                    ++done;
            }
        }
        *rate = edits / (now() - start);
        return true;
    }

    const char *failure() const { return m_failure; }

private:
    static constexpr uint64_t EditorTag = ~uint64_t(0);

    bool fail(const char *what)
    {
        m_failure = what;
        return false;
    }
    void add(int fd, uint32_t events, uint64_t tag)
    {
        epoll_event event{};
        event.events = events;
        event.data.u64 = tag;
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
    }
    void modify(int fd, uint32_t events, uint64_t tag)
    {
        epoll_event event{};
        event.events = events;
        event.data.u64 = tag;
        epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &event);
    }
    bool sendAll(int fd, const std::string &bytes)
    {
        size_t at = 0;
        while (at < bytes.size()) {
            const ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN)
                return false;
            at += n > 0 ? size_t(n) : 0;
        }
        return true;
    }
    // Reads what the kernel holds; only the count matters. False when the server closed.
    bool drain(Client &client)
    {
        for (;;) {
            const ssize_t n = recv(client.fd, m_buffer, sizeof m_buffer, 0);
            if (n > 0) {
                client.received += uint64_t(n);
                if (size_t(n) < sizeof m_buffer)
                    return true;
                continue;
            }
            return n < 0 && (errno == EAGAIN || errno == EINTR);
        }
    }
    void drainEditor()
    {
        while (recv(m_editor, m_buffer, sizeof m_buffer, 0) > 0) {
        }
    }

    const Server &m_server;
    const Wire &m_wire;
    std::vector<Client> m_clients;
    std::vector<epoll_event> m_events;
    int m_epoll = -1;
    int m_editor = -1;
    const char *m_failure = "";
    char m_buffer[65536];
};

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

Result measure(Kind kind, int clients, int edits, int burstEdits)
{
    Result result;
    Server server;
    if (!server.start(kind)) {
        std::fprintf(stderr, "fanout-bench: cannot start %s\n", nameOf(kind));
        return result;
    }
    const double ownBefore = ownCpuSeconds();
    const Wire wire = wireOf(kind);
    auto load = std::make_unique<Load>(server, wire, clients);
    const long rssBefore = server.residentKiB();
    std::vector<double> latencies;
    if (!load->join(&result.joinSeconds) || !load->startEditor()) {
        std::fprintf(stderr, "fanout-bench: %s: %s\n", nameOf(kind), load->failure());
        return result;
    }
    result.kibPerClient = double(server.residentKiB() - rssBefore) / clients;
    const double cpuBefore = server.cpuSeconds();
    if (!load->paced(edits, &latencies)) {
        std::fprintf(stderr, "fanout-bench: %s: %s\n", nameOf(kind), load->failure());
        return result;
    }
    result.cpuPerRelay = (server.cpuSeconds() - cpuBefore) / (double(edits) * clients);
    result.latencyMedian = percentile(latencies, 0.5);
    result.latencyP99 = percentile(latencies, 0.99);
    if (burstEdits > 0 && !load->burst(burstEdits, uint64_t(edits), &result.rate)) {
        std::fprintf(stderr, "fanout-bench: %s: %s\n", nameOf(kind), load->failure());
        return result;
    }
    load.reset();
    result.generatorCpu = ownCpuSeconds() - ownBefore;
    result.ok = true;
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    bool quick = false;
    int repetitions = 3;
    std::vector<int> sizes = {1000, 10000};
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--quick") {
            quick = true;
            repetitions = 1;
        } else if (argument == "--repetitions" && i + 1 < argc) {
            repetitions = std::atoi(argv[++i]);
        } else if (argument == "--sizes" && i + 1 < argc) {
            sizes.clear();
            for (char *part = std::strtok(argv[++i], ","); part; part = std::strtok(nullptr, ","))
                sizes.push_back(std::atoi(part));
        } else {
            std::fprintf(stderr,
                         "usage: fanout-bench [--quick] [--repetitions R] [--sizes N,...]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    const int edits = quick ? 500 : 2000;
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    std::vector<Kind> kinds = {Kind::Celvane, Kind::Minimal};
    if (access("/usr/bin/redis-server", X_OK) == 0)
        kinds.push_back(Kind::Redis);
    else
        std::printf("{\"missing\": \"redis-server\"}\n");
    std::mt19937 random(std::random_device{}());
    int failures = 0;
    for (int repetition = 0; repetition < repetitions; ++repetition) {
        for (const int size : sizes) {
            // Each side of a connection holds a descriptor, and the servers inherit this limit.
            if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < rlim_t(size) + 256) {
                if (repetition == 0)
                    std::printf("{\"skipped\": %d, \"limit\": %llu}\n", size,
                                (unsigned long long)limit.rlim_cur);
                continue;
            }
            std::shuffle(kinds.begin(), kinds.end(), random);
            for (const Kind kind : kinds) {
                // The burst measures what one server passes on at the largest size; Redis is not
                // a yardstick there, and its 38-byte relays would take minutes.
                const int burstEdits =
                    size == sizes.back() && kind != Kind::Redis ? (quick ? 2000 : 5000) : 0;
                const Result r = measure(kind, size, edits, burstEdits);
                if (!r.ok) {
                    ++failures;
                    continue;
                }
                std::printf(
                    "{\"server\": \"%s\", \"clients\": %d, \"edits\": %d, \"join_s\": %.6f, "
                    "\"latency_p50_s\": %.6f, \"latency_p99_s\": %.6f, "
                    "\"cpu_s_per_relay\": %.9f, \"burst_edits\": %d, \"rate_per_s\": %.1f, "
                    "\"kib_per_client\": %.2f, \"generator_cpu_s\": %.3f}\n",
                    nameOf(kind), size, edits, r.joinSeconds, r.latencyMedian, r.latencyP99,
                    r.cpuPerRelay, burstEdits, r.rate, r.kibPerClient, r.generatorCpu);
                std::fflush(stdout);
            }
        }
    }
    return failures == 0 ? 0 : 1;
}
