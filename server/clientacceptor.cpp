#include "server/clientacceptor.h"

#include "server/serverlogging.h"

#include <QDir>
#include <QTcpServer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// The kernel's send buffer per client, before it doubles it for its own bookkeeping. Without a
// bound, autotuning lets a peer that never reads pin megabytes of kernel memory each.
constexpr int SendBufferSize = 256 * 1024;

void setOption(int fd, int level, int name, int value)
{
    ::setsockopt(fd, level, name, &value, sizeof value);
}

} // namespace

ClientAcceptor::ClientAcceptor(QObject *parent, EventPoller *poller,
                               std::function<int()> clientCount, Accepted accepted)
    : m_server(new QTcpServer(parent))
    , m_poller(poller)
    , m_clientCount(std::move(clientCount))
    , m_accepted(std::move(accepted))
{
    m_clock.start();
}

bool ClientAcceptor::start(const std::function<bool(QTcpServer *)> &openSocket)
{
    // Qt's default backlog of 50 turns a crowd joining at once into SYN retransmissions, a
    // second each; the kernel caps this at net.core.somaxconn. A socket handed over was set
    // up by whoever opened it.
    m_server->setListenBacklogSize(4096);
    if (!m_poller->isValid() || !openSocket(m_server))
        return false;
    // Connections are taken here, not by QTcpServer.
    m_server->pauseAccepting();
    const int listening = int(m_server->socketDescriptor());
    // The accept loop ends at EAGAIN: a socket handed over blocking would hang it.
    ::fcntl(listening, F_SETFL, ::fcntl(listening, F_GETFL) | O_NONBLOCK);
    m_poller->add(listening, this);
    m_descriptorBudget = clientDescriptorBudget();
    return true;
}

int ClientAcceptor::clientDescriptorBudget()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > rlim_t(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    const QDir open(QStringLiteral("/proc/self/fd"));
    const int inUse = open.exists() ? int(open.count()) : 16;
    return qMax(0, int(limit.rlim_cur) - inUse - ReservedDescriptors);
}

QString ClientAcceptor::peerName(const QHostAddress &address, quint16 port)
{
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

void ClientAcceptor::prepareSocket(int fd, int keepAliveSeconds)
{
    setOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    setOption(fd, SOL_SOCKET, SO_SNDBUF, SendBufferSize);
    // A new socket has keepalive off already.
    if (keepAliveSeconds > 0)
        setKeepAlive(fd, keepAliveSeconds);
}

void ClientAcceptor::setKeepAlive(int fd, int idleSeconds)
{
    if (idleSeconds <= 0) {
        setOption(fd, SOL_SOCKET, SO_KEEPALIVE, 0);
        return;
    }
    setOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    setOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, idleSeconds);
    setOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, qMax(1, idleSeconds / 6));
    setOption(fd, IPPROTO_TCP, TCP_KEEPCNT, 3);
}

void ClientAcceptor::stop(const QString &reason)
{
    if (!m_paused) {
        m_paused = true;
        m_poller->setReading(int(m_server->socketDescriptor()), false);
    }
    // While clients come and go at the edge of the limit this repeats for every one of them: one
    // line a minute says it all.
    constexpr qint64 LogEveryMs = 60 * 1000;
    const qint64 now = m_clock.elapsed();
    if (m_lastErrorLogMs < 0 || now - m_lastErrorLogMs >= LogEveryMs) {
        m_lastErrorLogMs = now;
        qCWarning(lcServer).noquote()
            << "cannot accept connections:" << reason << "- not accepting until a client leaves";
    }
}

void ClientAcceptor::resume()
{
    if (!m_paused)
        return;
    m_paused = false;
    // Level-triggered: a connection held back while paused is reported at once.
    m_poller->setReading(int(m_server->socketDescriptor()), true);
}

void ClientAcceptor::handleEvents(quint32)
{
    const int listening = int(m_server->socketDescriptor());
    while (!m_paused) {
        // Taking one more than the budget would leave no descriptor for saving the picture.
        const int clients = m_clientCount();
        if (clients >= m_descriptorBudget) {
            stop(
                QStringLiteral("out of file descriptors (%1 clients; see ulimit -n)").arg(clients));
            return;
        }
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(listening, reinterpret_cast<sockaddr *>(&peer), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            // A connection that was reset while it waited, or a signal: the next one is fine.
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO)
                continue;
            // Out of descriptors or memory: trying again at once would fail again and spin. A
            // client leaving frees what was short.
            stop(QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
        const QHostAddress address(reinterpret_cast<const sockaddr *>(&peer));
        const quint16 port = ntohs(peer.ss_family == AF_INET6
                                       ? reinterpret_cast<const sockaddr_in6 *>(&peer)->sin6_port
                                       : reinterpret_cast<const sockaddr_in *>(&peer)->sin_port);
        m_accepted(fd, address, port);
    }
}
