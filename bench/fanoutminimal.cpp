// The yardstick for the server's relay path: a minimal epoll fan-out server, written for the
// benchmark and nothing else. It answers each Hello with a fixed Update of format 3 and gathers
// every other message of one turn of its loop into a batch, which it then writes straight to every
// client that has had an Update with send(); it asks epoll for writability only for a client whose
// kernel would not take all of it. No limits, no deadlines, no picture: what is left is the least
// any server must do. Prints "listening on 127.0.0.1:PORT" when ready; SIGTERM ends it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int HeaderSize = 4;
constexpr uint8_t Hello = 1;
constexpr uint8_t Update = 2;
// Format 3: 40 x 25 cells.
constexpr int UpdatePayload = 4 + 40 * 25;

struct Connection
{
    int fd = -1;
    std::string input;
    std::string output; // what the kernel would not take
    size_t holderIndex = 0;
    bool holder = false;
    bool waiting = false;
    bool dead = false;
};

int epollFd = -1;
std::vector<std::unique_ptr<Connection>> connections; // by descriptor
std::vector<Connection *> holders;
std::vector<Connection *> dead;

void watch(Connection *c, bool write)
{
    epoll_event event{};
    event.events = EPOLLIN | (write ? EPOLLOUT : 0u);
    event.data.fd = c->fd;
    epoll_ctl(epollFd, EPOLL_CTL_MOD, c->fd, &event);
    c->waiting = write;
}

void sendTo(Connection *c, const char *data, size_t size)
{
    if (c->dead)
        return;
    size_t sent = 0;
    if (c->output.empty()) {
        const ssize_t n = send(c->fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN) {
            c->dead = true;
            dead.push_back(c);
            return;
        }
        sent = n < 0 ? 0 : size_t(n);
        if (sent == size)
            return;
    }
    c->output.append(data + sent, size - sent);
    if (!c->waiting)
        watch(c, true);
}

void flush(Connection *c)
{
    while (!c->output.empty()) {
        const ssize_t n =
            send(c->fd, c->output.data(), c->output.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN) {
                c->dead = true;
                dead.push_back(c);
            }
            return;
        }
        c->output.erase(0, size_t(n));
    }
    watch(c, false);
}

void closeConnection(Connection *c)
{
    if (c->holder) {
        holders[c->holderIndex] = holders.back();
        holders[c->holderIndex]->holderIndex = c->holderIndex;
        holders.pop_back();
    }
    epoll_ctl(epollFd, EPOLL_CTL_DEL, c->fd, nullptr);
    close(c->fd);
    connections[size_t(c->fd)].reset();
}

} // namespace

int main()
{
    const int listening = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listening, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listening, 4096) != 0 ||
        getsockname(listening, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return 1;
    std::printf("listening on 127.0.0.1:%d\n", ntohs(address.sin_port));
    std::fflush(stdout);

    std::string update(size_t(HeaderSize + UpdatePayload), '\0');
    update[0] = char(Update);
    update[2] = char(UpdatePayload & 0xff);
    update[3] = char(UpdatePayload >> 8);
    update[4] = 3; // format
    update[7] = 1; // relays announced

    epollFd = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listening;
    epoll_ctl(epollFd, EPOLL_CTL_ADD, listening, &event);

    std::vector<epoll_event> events(4096);
    std::string batch;
    char buffer[65536];
    for (;;) {
        const int count = epoll_wait(epollFd, events.data(), int(events.size()), -1);
        for (int i = 0; i < count; ++i) {
            const int fd = events[size_t(i)].data.fd;
            if (fd == listening) {
                int client;
                while ((client = accept4(listening, nullptr, nullptr,
                                         SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
                    const int one = 1;
                    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    if (connections.size() <= size_t(client))
                        connections.resize(size_t(client) + 1);
                    connections[size_t(client)] = std::make_unique<Connection>();
                    connections[size_t(client)]->fd = client;
                    epoll_event added{};
                    added.events = EPOLLIN;
                    added.data.fd = client;
                    epoll_ctl(epollFd, EPOLL_CTL_ADD, client, &added);
                }
                continue;
            }
            Connection *c =
                size_t(fd) < connections.size() ? connections[size_t(fd)].get() : nullptr;
            if (!c || c->dead)
                continue;
            if (events[size_t(i)].events & EPOLLOUT)
                flush(c);
            if (!(events[size_t(i)].events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                continue;
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                if (n == 0 || errno != EAGAIN) {
                    c->dead = true;
                    dead.push_back(c);
                }
                continue;
            }
            c->input.append(buffer, size_t(n));
            size_t at = 0;
            while (c->input.size() - at >= size_t(HeaderSize)) {
                const auto *h = reinterpret_cast<const uint8_t *>(c->input.data() + at);
                const size_t size = size_t(HeaderSize) + (h[2] | (h[3] << 8));
                if (c->input.size() - at < size)
                    break;
                if (h[0] == Hello) {
                    // Relays gathered so far go first, as the server does.
                    if (!batch.empty()) {
                        for (Connection *holder : holders)
                            sendTo(holder, batch.data(), batch.size());
                        batch.clear();
                    }
                    sendTo(c, update.data(), update.size());
                    if (!c->holder) {
                        c->holder = true;
                        c->holderIndex = holders.size();
                        holders.push_back(c);
                    }
                } else {
                    batch.append(c->input, at, size);
                }
                at += size;
            }
            c->input.erase(0, at);
        }
        if (!batch.empty()) {
            for (Connection *holder : holders)
                sendTo(holder, batch.data(), batch.size());
            batch.clear();
        }
        for (Connection *c : dead)
            closeConnection(c);
        dead.clear();
    }
}
