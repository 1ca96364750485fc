#include "server/pictureserver.h"

#include "connection/protocol.h"
#include "model/canvasformat.h"
#include "server/localpicturestore.h"
#include "server/serverlogging.h"
#include "server/socketoutput.h"
#include "server/tokenbucket.h"

#include <QDateTime>
#include <QDir>
#include <QTcpServer>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

Q_LOGGING_CATEGORY(lcServer, "celvane.server", QtWarningMsg)

namespace {

// Input is taken from a socket in pieces no larger than this, and never more than would leave
// one whole message waiting in the reader.
constexpr qint64 ReadChunkSize = 64 * 1024;

// The kernel's send buffer per client, before it doubles it for its own bookkeeping. Without a
// bound, autotuning lets a peer that never reads pin megabytes of kernel memory each.
constexpr int SendBufferSize = 256 * 1024;

QString peerName(const QHostAddress &address, quint16 port)
{
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

void setOption(int fd, int level, int name, int value)
{
    ::setsockopt(fd, level, name, &value, sizeof value);
}

void enableKeepAlive(int fd, int idleSeconds)
{
    setOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    setOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, idleSeconds);
    setOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, qMax(1, idleSeconds / 6));
    setOption(fd, IPPROTO_TCP, TCP_KEEPCNT, 3);
}

} // namespace

struct PictureServer::Client final : EventPoller::Handler
{
    Client(PictureServer *server, int fd)
        : server(server)
        , fd(fd)
        , output(server->m_poller, fd)
    {
    }
    void handleEvents(quint32 events) override { server->handleClient(this, events); }

    PictureServer *server = nullptr;
    int fd = -1; // -1 for a client of another transport
    SocketOutput output;
    // The other transport's output, or null for the server's own TCP clients (and once the
    // other transport has said its peer left).
    ClientOutput *external = nullptr;
    ClientOutput *outputKey = nullptr; // its key in m_outputClients, kept after external goes
    QHostAddress address;
    std::unique_ptr<ClientSession> session;
    qint64 connectedMs = 0;
    qint64 dueMs = -1;           // its entry in m_deadlines
    std::size_t holderIndex = 0; // its place in m_holders, once it has had an Update
    bool gone = false;
    bool reading = false;    // its input or its owed Update is being handled
    bool peerClosed = false; // the peer left; what it sent before is still to be read
    // Relays go only to a client that holds a picture to apply them to.
    bool receivedUpdate = false;
    TokenBucket allowance;
    // Not read until resumeMs because it spent its allowance; heldSinceMs is -1 when not held.
    qint64 heldSinceMs = -1;
    qint64 resumeMs = 0;
};

namespace {

// A held-back client is read again once this many milliseconds of edits have returned to it,
// not after each one: fewer wake-ups, the same pace.
constexpr qint64 ResumeStepMs = 20;

} // namespace

void PictureServer::Listener::handleEvents(quint32)
{
    server->acceptClients();
}

PictureServer::PictureServer(const Picture &picture, QObject *parent)
    : PictureServer(new LocalPictureStore(picture), parent)
{
    m_store->setParent(this);
}

PictureServer::PictureServer(PictureStore *store, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_server(new QTcpServer(this))
    , m_poller(new EventPoller(this))
    , m_deadlineTimer(new QTimer(this))
{
    m_limits.updateFlags = Protocol::UpdateRelaysEdits;
    m_listener.server = this;
    connect(m_store, &PictureStore::edited, this, [this](quint64, QByteArrayView relayed) {
        relay(relayed);
        // Edits read in a turn of the poller go out when it ends (see turnHandled below); any
        // other (a held-back client read again by its timer, the server's own repairs, a store
        // that announces edits later) once the event loop is back, with any that follow it.
        // Queued for those read in a turn too, where it then finds nothing left to send.
        if (!m_relayQueued) {
            m_relayQueued = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    m_relayQueued = false;
                    relayEdits();
                },
                Qt::QueuedConnection);
        }
    });
    connect(m_store, &PictureStore::replaced, this, &PictureServer::sendFreshUpdates);
    connect(m_store, &PictureStore::moderationChanged, this, [this] {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        closeClientsFrom([this, now](const QHostAddress &a) { return banOf(a, now) != nullptr; },
                         QStringLiteral("banned"));
    });
    connect(m_store, &PictureStore::availabilityChanged, this, [this](bool available) {
        if (!available)
            closeAllClients();
    });
    m_clock.start();
    m_deadlineTimer->setSingleShot(true);
    m_deadlineTimer->setTimerType(Qt::PreciseTimer);
    connect(m_deadlineTimer, &QTimer::timeout, this, &PictureServer::deadlinesDue);
    // Edits read in one turn go out together, in one write per client.
    connect(m_poller, &EventPoller::turnHandled, this, &PictureServer::relayEdits);
}

PictureServer::~PictureServer()
{
    for (const auto &entry : m_clients) {
        if (entry.first->fd >= 0)
            ::close(entry.first->fd);
    }
}

void PictureServer::setSessionLimits(const ClientSession::Limits &limits)
{
    m_limits = limits;
    m_limits.updateFlags = Protocol::UpdateRelaysEdits;
}

bool PictureServer::listen(const QHostAddress &address, quint16 port)
{
    return startListening([&] { return m_server->listen(address, port); });
}

bool PictureServer::listenOn(qintptr socketDescriptor)
{
    return startListening([&] { return m_server->setSocketDescriptor(socketDescriptor); });
}

bool PictureServer::startListening(const std::function<bool()> &openSocket)
{
    // Qt's default backlog of 50 turns a crowd joining at once into SYN retransmissions, a
    // second each; the kernel caps this at net.core.somaxconn. A socket handed over was set
    // up by whoever opened it.
    m_server->setListenBacklogSize(4096);
    if (!m_poller->isValid() || !openSocket())
        return false;
    // QTcpServer only opens the socket: connections are taken here, as fast or as slowly as the
    // limits allow, and a QTcpSocket per client would cost memory and a notifier each.
    m_server->pauseAccepting();
    const int listening = int(m_server->socketDescriptor());
    // The accept loop ends at EAGAIN: a socket handed over blocking would hang it.
    ::fcntl(listening, F_SETFL, ::fcntl(listening, F_GETFL) | O_NONBLOCK);
    m_poller->add(listening, &m_listener);
    m_descriptorBudget = clientDescriptorBudget();
    return true;
}

QHostAddress PictureServer::serverAddress() const
{
    return m_server->serverAddress();
}

quint16 PictureServer::serverPort() const
{
    return m_server->serverPort();
}

QString PictureServer::errorString() const
{
    return m_poller->isValid() ? m_server->errorString()
                               : QStringLiteral("no epoll descriptor available");
}

qint64 PictureServer::largestBufferedInput() const
{
    qint64 largest = 0;
    for (const auto &entry : m_clients)
        largest = qMax(largest, entry.second->session->reader().pendingBytes());
    return largest;
}

qint64 PictureServer::largestQueuedOutput() const
{
    qint64 largest = 0;
    for (const auto &entry : m_clients) {
        const Client *client = entry.second.get();
        largest = qMax(largest, client->external ? client->external->queuedOutput()
                                                 : client->output.queued());
    }
    return largest;
}

QHostAddress PictureServer::plainAddress(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

bool PictureServer::isAllowed(const QHostAddress &address) const
{
    if (m_allowed.isEmpty())
        return true;
    const QHostAddress plain = plainAddress(address);
    for (const auto &subnet : m_allowed)
        if (plain.isInSubnet(subnet))
            return true;
    return false;
}

QString PictureServer::refusalFor(const QHostAddress &peerAddress) const
{
    const QHostAddress address = plainAddress(peerAddress);
    if (!m_store->isAvailable())
        return QStringLiteral("the picture is out of reach");
    if (!isAllowed(address))
        return QStringLiteral("not in --allow");
    if (const Moderation::Ban *ban = banOf(address, QDateTime::currentMSecsSinceEpoch()))
        return QStringLiteral("banned (%1)").arg(ban->subnet.toString());
    if (clientCount() >= m_maxClients)
        return QStringLiteral("already serving %1 clients").arg(clientCount());
    if (m_clientsPerAddress.value(address) >= m_maxPerAddress)
        return QStringLiteral("already %1 connections from %2 (--max-per-address)")
            .arg(m_maxPerAddress)
            .arg(address.toString());
    return QString();
}

int PictureServer::clientDescriptorBudget()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > rlim_t(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    const QDir open(QStringLiteral("/proc/self/fd"));
    const int inUse = open.exists() ? int(open.count()) : 16;
    return qMax(0, int(limit.rlim_cur) - inUse - ReservedDescriptors);
}

void PictureServer::stopAccepting(const QString &reason)
{
    if (!m_acceptPaused) {
        m_acceptPaused = true;
        m_poller->setReading(int(m_server->socketDescriptor()), false);
    }
    // While clients come and go at the edge of the limit this repeats for every one of them: one
    // line a minute says it all.
    constexpr qint64 LogEveryMs = 60 * 1000;
    const qint64 now = m_clock.elapsed();
    if (m_lastAcceptErrorLogMs < 0 || now - m_lastAcceptErrorLogMs >= LogEveryMs) {
        m_lastAcceptErrorLogMs = now;
        qCWarning(lcServer).noquote()
            << "cannot accept connections:" << reason << "- not accepting until a client leaves";
    }
}

void PictureServer::resumeAccepting()
{
    if (!m_acceptPaused)
        return;
    m_acceptPaused = false;
    // Level-triggered: a connection held back while paused is reported at once.
    m_poller->setReading(int(m_server->socketDescriptor()), true);
}

void PictureServer::acceptClients()
{
    const int listening = int(m_server->socketDescriptor());
    while (!m_acceptPaused) {
        // Every client holds a descriptor. Taking one more than the budget would leave none for
        // saving the picture.
        if (clientCount() >= m_descriptorBudget) {
            stopAccepting(QStringLiteral("out of file descriptors (%1 clients; see ulimit -n)")
                              .arg(clientCount()));
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
            stopAccepting(QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
        const QHostAddress address(reinterpret_cast<const sockaddr *>(&peer));
        const quint16 port = ntohs(peer.ss_family == AF_INET6
                                       ? reinterpret_cast<const sockaddr_in6 *>(&peer)->sin6_port
                                       : reinterpret_cast<const sockaddr_in *>(&peer)->sin_port);
        admit(fd, address, port);
    }
}

void PictureServer::admit(int fd, const QHostAddress &peerAddress, quint16 port)
{
    const QHostAddress address = plainAddress(peerAddress);
    const QString name = peerName(peerAddress, port);
    const QString refusal = refusalFor(address);
    if (!refusal.isEmpty()) {
        ++m_counters.clientsTurnedAway;
        qCInfo(lcServer).noquote() << "turned away client" << name << "-" << refusal;
        ::close(fd);
        return;
    }

    setOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    setOption(fd, SOL_SOCKET, SO_SNDBUF, SendBufferSize);
    if (m_keepAliveSeconds > 0)
        enableKeepAlive(fd, m_keepAliveSeconds);

    auto client = std::make_unique<Client>(this, fd);
    Client *raw = client.get();
    if (!m_poller->add(fd, raw)) {
        qCWarning(lcServer).noquote()
            << "cannot watch client" << name << "-" << std::strerror(errno);
        ::close(fd);
        return;
    }
    raw->address = address;
    raw->connectedMs = m_clock.elapsed();
    if (m_maxEditsPerSecond > 0)
        raw->allowance = TokenBucket(
            m_maxEditsPerSecond, qint64(m_maxEditsPerSecond) * EditBurstSeconds, raw->connectedMs);
    m_clients.emplace(raw, std::move(client));
    startSession(raw, name, m_store->openConnection(address, port));
}

void PictureServer::startSession(Client *client, const QString &name, quint64 connection)
{
    client->session = std::make_unique<ClientSession>(
        m_store, connection, &m_limits, name, [this, client](const QByteArray &update) {
            // The Update holds every edit applied so far: the relays of those go out before it,
            // to the clients that already have a picture, and never to this one after it.
            relayEdits();
            if (client->gone || client->peerClosed)
                return false;
            if (!client->receivedUpdate) {
                client->receivedUpdate = true;
                client->holderIndex = m_holders.size();
                m_holders.push_back(client);
            }
            return send(client, update);
        });
    ++m_clientsPerAddress[client->address];
    ++m_liveClients;
    ++m_counters.clientsAccepted;
    qCInfo(lcServer).noquote() << QStringLiteral("client %1 connected (%2 of %3)")
                                      .arg(name)
                                      .arg(clientCount())
                                      .arg(m_maxClients);
    armTimer(client);
}

bool PictureServer::addClient(ClientOutput *output, const QHostAddress &address,
                              const QString &name, QString *refusal)
{
    QString why = refusalFor(address);
    if (why.isEmpty() && clientCount() >= m_descriptorBudget)
        why = QStringLiteral("out of file descriptors");
    if (!why.isEmpty()) {
        ++m_counters.clientsTurnedAway;
        qCInfo(lcServer).noquote() << "turned away client" << name << "-" << why;
        if (refusal)
            *refusal = why;
        return false;
    }
    auto client = std::make_unique<Client>(this, -1);
    Client *raw = client.get();
    raw->external = output;
    raw->outputKey = output;
    raw->address = plainAddress(address);
    raw->connectedMs = m_clock.elapsed();
    m_clients.emplace(raw, std::move(client));
    m_outputClients.emplace(output, raw);
    // A viewer never edits, so it has no connection in the store's records.
    startSession(raw, name, NoStoreConnection);
    return true;
}

bool PictureServer::receiveFrom(ClientOutput *output, QByteArrayView bytes)
{
    const auto found = m_outputClients.find(output);
    if (found == m_outputClients.end())
        return false;
    Client *client = found->second;
    if (client->gone || client->reading)
        return false;
    ClientSession *session = client->session.get();
    const SessionCounts before{session->messages(), session->applied(), session->refused()};
    client->reading = true;
    session->receive(bytes, m_clock.elapsed());
    client->reading = false;
    relayEdits();
    finishInput(client, before, false);
    return !client->gone;
}

void PictureServer::removeClient(ClientOutput *output)
{
    const auto found = m_outputClients.find(output);
    if (found == m_outputClients.end())
        return;
    Client *client = found->second;
    // Nothing more may be written to it; inside our own write, the caller sees gone.
    client->external = nullptr;
    removeClient(client, "gone");
}

void PictureServer::dropClient(ClientOutput *output, const char *label, const QString &reason)
{
    const auto found = m_outputClients.find(output);
    if (found != m_outputClients.end())
        dropClient(found->second, label, reason);
}

void PictureServer::handleClient(Client *client, quint32 events)
{
    if (client->gone)
        return;
    if ((events & EPOLLOUT) && !client->output.flush())
        client->peerClosed = true;
    // Input, a hang-up and an error all show in what read() returns.
    if ((events & ~quint32(EPOLLOUT)) || client->peerClosed)
        readClient(client);
}

void PictureServer::readClient(Client *client)
{
    if (client->gone || client->reading)
        return;
    if (client->fd < 0) {
        // Another transport's client: its input comes through receiveFrom().
        if (client->peerClosed)
            removeClient(client, "gone");
        return;
    }
    client->reading = true;
    ClientSession *session = client->session.get();
    const SessionCounts before{session->messages(), session->applied(), session->refused()};
    const qint64 granted =
        client->allowance.isLimited() ? client->allowance.available(m_clock.elapsed()) : qint64(-1);
    session->setAllowance(granted);
    if (session->reader().pendingBytes() > 0 && granted != 0) {
        // Whole messages left waiting by the last hold come before anything read now.
        session->receive({}, m_clock.elapsed());
        relayEdits();
    }
    // One piece per turn of the loop, so that one busy client cannot keep the others waiting;
    // the poller reports the rest next turn. A peer that has gone is read to its end at once.
    bool more = true;
    while (more && !client->gone && !session->ended() && session->allowance() != 0) {
        // Whatever is left in the reader after processing is one incomplete message, so there is
        // always room for at least one more byte.
        const qint64 room = Protocol::MaxMessageSize - session->reader().pendingBytes();
        Q_ASSERT(room > 0);
        m_chunk.resize(qMin(room, ReadChunkSize));
        const ssize_t count = ::recv(client->fd, m_chunk.data(), size_t(m_chunk.size()), 0);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (count <= 0) {
            // A peer that vanished without closing shows here once keepalive gives up on it.
            if (count < 0 && errno != ECONNRESET && errno != EPIPE)
                qCInfo(lcServer).noquote() << "lost client" << session->name() << "-"
                                           << QString::fromLocal8Bit(std::strerror(errno));
            client->peerClosed = true;
            break;
        }
        if (!session->receive(QByteArrayView(m_chunk.constData(), count), m_clock.elapsed()))
            break;
        more = client->peerClosed;
    }
    client->reading = false;
    // Stopped by the allowance rather than for want of input.
    const bool spent = granted >= 0 && session->allowance() == 0;
    if (granted > 0)
        client->allowance.take(granted - session->allowance());
    session->setAllowance(-1);
    finishInput(client, before, spent);
}

void PictureServer::finishInput(Client *client, const SessionCounts &before, bool spent)
{
    ClientSession *session = client->session.get();
    m_counters.messages += session->messages() - before.messages;
    m_counters.applied += session->applied() - before.applied;
    m_counters.refused += session->refused() - before.refused;
    const bool changed = session->takeChanged();

    if (!client->gone) {
        updateHold(client, spent);
        if (!session->closeReason().isEmpty())
            dropClient(client, "misbehaving", session->closeReason());
        else if (client->peerClosed && client->heldSinceMs < 0)
            removeClient(client, "gone");
        else
            armTimer(client);
    }
    if (changed)
        Q_EMIT pictureChanged();
}

void PictureServer::updateHold(Client *client, bool spent)
{
    const qint64 now = m_clock.elapsed();
    int unread = 0;
    const bool waiting = client->session->reader().pendingBytes() > 0 ||
                         (spent && ::ioctl(client->fd, FIONREAD, &unread) == 0 && unread > 0);
    if (spent && waiting) {
        if (client->heldSinceMs < 0)
            client->heldSinceMs = now;
        const qint64 step = qMax<qint64>(1, m_maxEditsPerSecond * ResumeStepMs / 1000);
        client->resumeMs = now + client->allowance.msUntil(step, now);
        // Its input stays in the kernel until then, and TCP holds the sender back.
        m_poller->setReading(client->fd, false);
        return;
    }
    if (client->heldSinceMs >= 0) {
        // The time it was held back was the server's, not the client's: its Hello deadline
        // starts again from where it stood.
        client->connectedMs += now - client->heldSinceMs;
        client->heldSinceMs = -1;
        m_poller->setReading(client->fd, true);
    }
}

void PictureServer::finishPeer(Client *client)
{
    if (client->gone || client->reading)
        return;
    client->peerClosed = true;
    readClient(client);
    // A client held back still has edits to apply: it goes once they are, at its pace.
    if (client->heldSinceMs < 0)
        removeClient(client, "gone");
}

void PictureServer::armTimer(Client *client)
{
    const ClientSession *session = client->session.get();
    qint64 due = -1;
    const auto consider = [&due](qint64 at) {
        due = due < 0 ? at : qMin(due, at);
    };
    const bool held = client->heldSinceMs >= 0;
    if (held)
        consider(client->resumeMs);
    if (!held && m_helloTimeoutMs > 0 && !session->helloReceived())
        consider(client->connectedMs + m_helloTimeoutMs);
    if (!held && m_stallTimeoutMs > 0 && session->partialSinceMs() >= 0)
        consider(session->partialSinceMs() + m_stallTimeoutMs);
    if (session->owesUpdate())
        consider(session->updateDueMs());
    if (due == client->dueMs)
        return;
    if (client->dueMs >= 0)
        m_deadlines.erase({client->dueMs, client});
    client->dueMs = due;
    if (due >= 0)
        m_deadlines.emplace(due, client);
    startDeadlineTimer();
}

void PictureServer::startDeadlineTimer()
{
    if (m_deadlines.empty()) {
        m_deadlineTimer->stop();
        m_deadlineTimerDueMs = -1;
        return;
    }
    // Clients join in order and their deadlines mostly follow: the first rarely changes, and the
    // timer is started again only when it does.
    const qint64 first = m_deadlines.begin()->first;
    if (first == m_deadlineTimerDueMs && m_deadlineTimer->isActive())
        return;
    m_deadlineTimerDueMs = first;
    m_deadlineTimer->start(int(qMax<qint64>(0, first - m_clock.elapsed())));
}

void PictureServer::deadlinesDue()
{
    m_deadlineTimerDueMs = -1;
    const qint64 now = m_clock.elapsed();
    while (!m_deadlines.empty() && m_deadlines.begin()->first <= now) {
        Client *client = m_deadlines.begin()->second;
        m_deadlines.erase(m_deadlines.begin());
        client->dueMs = -1;
        checkDeadlines(client); // files its next deadline, if any
    }
    startDeadlineTimer();
}

void PictureServer::checkDeadlines(Client *client)
{
    if (client->gone)
        return;
    ClientSession *session = client->session.get();
    const qint64 now = m_clock.elapsed();
    if (client->heldSinceMs >= 0 && now >= client->resumeMs) {
        readClient(client); // reads on, and files its next deadline
        return;
    }
    if (client->heldSinceMs < 0 && m_helloTimeoutMs > 0 && !session->helloReceived() &&
        now - client->connectedMs >= m_helloTimeoutMs) {
        dropClient(
            client, "hello_timeout",
            QStringLiteral("sent no Hello within %1 ms (--hello-timeout)").arg(m_helloTimeoutMs));
        return;
    }
    if (client->heldSinceMs < 0 && m_stallTimeoutMs > 0 && session->partialSinceMs() >= 0 &&
        now - session->partialSinceMs() >= m_stallTimeoutMs) {
        dropClient(client, "stalled",
                   QStringLiteral("a message of %1 bytes was not complete after %2 ms "
                                  "(--stall-timeout)")
                       .arg(session->reader().awaitedLength())
                       .arg(m_stallTimeoutMs));
        return;
    }
    // As inside a read: a relay pass that the Update sets off leaves this client to us.
    client->reading = true;
    session->sendOwedUpdate(now);
    client->reading = false;
    if (client->peerClosed)
        finishPeer(client);
    else
        armTimer(client);
}

bool PictureServer::send(Client *client, QByteArrayView bytes)
{
    if (client->gone || client->peerClosed)
        return false;
    // A WebSocket frames its own copy of the bytes in any case.
    const bool written = client->fd >= 0
                             ? client->output.write(bytes)
                             : client->external && client->external->write(bytes.toByteArray());
    // Another transport may report its peer gone from inside the write.
    if (client->gone)
        return false;
    if (!written) {
        client->peerClosed = true;
        // Inside a read, the read removes it when it is over; inside the relay pass, the pass.
        if (m_relaying && !client->reading)
            m_leftDuringPass.push_back(client);
        return false;
    }
    const qint64 unsent = client->fd >= 0 ? client->output.unsent(m_maxQueuedOutput)
                                          : client->external->queuedOutput();
    if (unsent > m_maxQueuedOutput) {
        dropClient(
            client, "slow_reader",
            QStringLiteral("does not read what is sent to it (%1 bytes unsent)").arg(unsent));
        return false;
    }
    return true;
}

void PictureServer::relay(QByteArrayView relayed)
{
    m_relays += relayed;
    ++m_relayCount;
}

void PictureServer::closeAllClients()
{
    std::vector<Client *> clients;
    clients.reserve(m_clients.size());
    for (const auto &entry : m_clients)
        clients.push_back(entry.first);
    // The store says once why; a line per client would bury it.
    qCDebug(lcServer).noquote() << "the picture is out of reach: closing" << clients.size()
                                << "clients, turning new ones away until it is back";
    for (Client *client : clients)
        removeClient(client, nullptr);
}

void PictureServer::sendFreshUpdates()
{
    // Relays queued before the change lead to a picture that is no more; the Update replaces them.
    m_relays.clear();
    m_relayCount = 0;
    const QByteArray update = picture().update(m_limits.updateFlags);
    // A pass like the relays' (a copy of the holders, peers found gone removed after it), which
    // may run inside one of those.
    const bool nested = std::exchange(m_relaying, true);
    const std::vector<Client *> recipients = m_holders;
    for (Client *client : recipients)
        send(client, update);
    if (nested)
        return;
    for (std::size_t i = 0; i < m_leftDuringPass.size(); ++i)
        finishPeer(m_leftDuringPass[i]);
    m_leftDuringPass.clear();
    m_relaying = false;
    relayEdits();
}

void PictureServer::relayEdits()
{
    // A peer found gone by a write is read after the pass: its last input may queue more
    // relays, which this loop, not a nested call, sends after these.
    if (m_relaying)
        return;
    m_relaying = true;
    while (!m_relays.isEmpty()) {
        m_store->aboutToRelay();
        const QByteArray relays = std::exchange(m_relays, QByteArray());
        const int count = std::exchange(m_relayCount, 0);
        // A copy: clients may leave during the pass, and those that leave are only marked gone
        // until the event loop deletes them.
        m_recipients = m_holders;
        for (Client *client : m_recipients) {
            if (send(client, relays))
                m_counters.relayed += quint64(count);
        }
        for (std::size_t i = 0; i < m_leftDuringPass.size(); ++i)
            finishPeer(m_leftDuringPass[i]);
        m_leftDuringPass.clear();
    }
    m_relaying = false;
}

void PictureServer::dropClient(Client *client, const char *label, const QString &reason)
{
    if (client->gone)
        return;
    ++m_counters.clientsDropped;
    ++m_counters.droppedBy[QString::fromLatin1(label)];
    qCInfo(lcServer).noquote() << "dropping client" << client->session->name() << "-" << reason;
    removeClient(client, "dropped");
}

void PictureServer::removeClient(Client *client, const char *how)
{
    if (client->gone)
        return;
    client->gone = true;
    client->session->end();
    --m_liveClients;
    if (client->session->connection() != NoStoreConnection)
        m_store->closeConnection(client->session->connection());

    const ClientSession *session = client->session.get();
    if (how) {
        const quint64 unlogged = session->refused() > quint64(m_limits.loggedRefusals)
                                     ? session->refused() - quint64(m_limits.loggedRefusals)
                                     : 0;
        qCInfo(lcServer).noquote()
            << "client" << session->name() << how << "after" << session->messages() << "messages,"
            << session->refused() << "refused"
            << (unlogged > 0 ? QStringLiteral("(%1 not logged)").arg(unlogged) : QString());
    }

    const auto counted = m_clientsPerAddress.find(client->address);
    Q_ASSERT(counted != m_clientsPerAddress.end());
    if (--counted.value() == 0)
        m_clientsPerAddress.erase(counted);
    if (client->receivedUpdate) {
        // Order among the holders does not matter: each relay goes to all of them.
        Q_ASSERT(m_holders.at(client->holderIndex) == client);
        Client *last = m_holders.back();
        m_holders[client->holderIndex] = last;
        last->holderIndex = client->holderIndex;
        m_holders.pop_back();
    }
    if (client->dueMs >= 0) {
        m_deadlines.erase({client->dueMs, client});
        client->dueMs = -1;
    }
    if (client->fd >= 0) {
        m_poller->remove(client->fd);
        ::close(client->fd);
    } else {
        m_outputClients.erase(client->outputKey);
        // Out of the tables first: the transport may report the close from inside close().
        if (ClientOutput *output = std::exchange(client->external, nullptr))
            output->close();
    }

    auto found = m_clients.find(client);
    Q_ASSERT(found != m_clients.end());
    // Out of the table, but kept alive until the event loop: callers up the stack, the relay
    // pass and the poller's turn still hold the client, and check gone.
    m_departed.push_back(std::move(found->second));
    m_clients.erase(found);
    if (m_departed.size() == 1)
        QMetaObject::invokeMethod(this, &PictureServer::deleteDeparted, Qt::QueuedConnection);

    resumeAccepting();
}

void PictureServer::deleteDeparted()
{
    m_departed.clear();
}

const Moderation::Ban *PictureServer::banOf(const QHostAddress &address, qint64 nowMs) const
{
    return m_store->moderation().banFor(address, nowMs);
}

void PictureServer::closeClientsFrom(const std::function<bool(const QHostAddress &)> &matches,
                                     const QString &reason)
{
    std::vector<Client *> matching;
    for (const auto &entry : m_clients)
        if (!entry.first->gone && matches(entry.first->address))
            matching.push_back(entry.first);
    for (Client *client : matching)
        dropClient(client, "closed", reason);
}
