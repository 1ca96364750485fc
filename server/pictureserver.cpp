#include "server/pictureserver.h"

#include "connection/protocol.h"
#include "model/canvasformat.h"
#include "server/localpicturestore.h"
#include "server/serverlogging.h"
#include "server/tokenbucket.h"

#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>

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

QString peerName(const QTcpSocket *socket)
{
    const QHostAddress address = socket->peerAddress();
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    return QStringLiteral("%1:%2").arg(host).arg(socket->peerPort());
}

void enableKeepAlive(QTcpSocket *socket, int idleSeconds)
{
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    const int fd = int(socket->socketDescriptor());
    const int interval = qMax(1, idleSeconds / 6);
    const int probes = 3;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

} // namespace

struct PictureServer::Client
{
    // Exactly one of the two: the server's own TCP socket, or another transport's output.
    QTcpSocket *socket = nullptr;
    ClientOutput *output = nullptr;
    const void *key = nullptr; // in m_clients
    QTimer *timer = nullptr;
    QHostAddress address;
    std::unique_ptr<ClientSession> session;
    qint64 connectedMs = 0;
    bool gone = false;
    bool reading = false;    // readClient() is on the stack
    bool peerClosed = false; // the peer left while it was
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

PictureServer::PictureServer(const Picture &picture, QObject *parent)
    : PictureServer(new LocalPictureStore(picture), parent)
{
    m_store->setParent(this);
}

PictureServer::PictureServer(PictureStore *store, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_server(new QTcpServer(this))
{
    m_limits.updateFlags = Protocol::UpdateRelaysEdits;
    connect(m_store, &PictureStore::edited, this, [this](quint64, QByteArrayView relayed) {
        relay(relayed);
        // An edit that no client's read brought (the server's own repairs, a store that
        // announces edits later) is sent once the event loop is back, with any that follow it.
        if (m_clientsReading == 0 && !m_relayQueued) {
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
    connect(m_store, &PictureStore::availabilityChanged, this, [this](bool available) {
        if (!available)
            closeAllClients();
    });
    m_clock.start();
    connect(m_server, &QTcpServer::newConnection, this, &PictureServer::acceptClients);
    connect(m_server, &QTcpServer::acceptError, this, &PictureServer::acceptFailed);
}

PictureServer::~PictureServer()
{
    // The sockets are children of this object and go with it; their closing must not call back
    // into a half-destroyed server.
    for (auto &entry : m_clients) {
        if (entry.second->socket)
            entry.second->socket->disconnect(this);
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
    // Qt accepts whatever is pending in one go and hands the connections over one at a time: with
    // at most one waiting, pausing stops it at once instead of after the whole backlog.
    m_server->setMaxPendingConnections(1);
    if (!openSocket())
        return false;
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
    return m_server->errorString();
}

qint64 PictureServer::largestBufferedInput() const
{
    qint64 largest = 0;
    for (const auto &entry : m_clients)
        largest =
            qMax(largest, entry.second->session->reader().pendingBytes() +
                              (entry.second->socket ? entry.second->socket->bytesAvailable() : 0));
    return largest;
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

int PictureServer::clientsFrom(const QHostAddress &address) const
{
    int count = 0;
    for (const auto &entry : m_clients)
        count += entry.second->address.isEqual(address) ? 1 : 0;
    return count;
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
        m_server->pauseAccepting();
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

void PictureServer::acceptClients()
{
    while (m_server->hasPendingConnections()) {
        // Every client holds a descriptor. Taking one more than the budget would leave none for
        // saving the picture, and accept() failing for lack of them is no signal to rely on: Qt
        // reports only the first error of its listening socket, so later ones look temporary
        // and it would try again at once, for ever.
        if (clientCount() >= m_descriptorBudget) {
            stopAccepting(QStringLiteral("out of file descriptors (%1 clients; see ulimit -n)")
                              .arg(clientCount()));
            return;
        }
        QTcpSocket *socket = m_server->nextPendingConnection();
        const QHostAddress address = plainAddress(socket->peerAddress());
        const QString refusal = refusalFor(address);
        if (!refusal.isEmpty()) {
            ++m_counters.clientsTurnedAway;
            qCInfo(lcServer).noquote()
                << "turned away client" << peerName(socket) << "-" << refusal;
            socket->abort();
            socket->deleteLater();
            continue;
        }

        // Qt's own buffer stops taking bytes from the kernel at one message, so a peer that
        // sends faster than the server reads is slowed down by TCP rather than held in memory.
        socket->setReadBufferSize(Protocol::MaxMessageSize);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, SendBufferSize);
        if (m_keepAliveSeconds > 0)
            enableKeepAlive(socket, m_keepAliveSeconds);

        auto client = std::make_unique<Client>();
        Client *raw = client.get();
        raw->socket = socket;
        raw->address = address;
        raw->connectedMs = m_clock.elapsed();
        if (m_maxEditsPerSecond > 0)
            raw->allowance =
                TokenBucket(m_maxEditsPerSecond, qint64(m_maxEditsPerSecond) * EditBurstSeconds,
                            raw->connectedMs);
        raw->timer = new QTimer(socket);
        addClientRecord(std::move(client), socket, peerName(socket),
                        m_store->openConnection(address, socket->peerPort()));
        connect(socket, &QTcpSocket::readyRead, this, [this, raw] { readClient(raw); });
        connect(socket, &QTcpSocket::disconnected, this, [this, raw] { peerClosed(raw); });

        // The peer may have sent everything, and even closed, before the signals were connected.
        if (socket->bytesAvailable() > 0)
            readClient(raw);
        if (!raw->gone && socket->state() != QAbstractSocket::ConnectedState)
            removeClient(raw, "gone");
        if (!raw->gone)
            armTimer(raw);
    }
}

QHostAddress PictureServer::plainAddress(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

QString PictureServer::refusalFor(const QHostAddress &address) const
{
    const QHostAddress plain = plainAddress(address);
    if (!m_store->isAvailable())
        return QStringLiteral("the picture is out of reach");
    if (!isAllowed(plain))
        return QStringLiteral("not in --allow");
    if (clientCount() >= m_maxClients)
        return QStringLiteral("already serving %1 clients").arg(clientCount());
    if (clientsFrom(plain) >= m_maxPerAddress)
        return QStringLiteral("already %1 connections from %2 (--max-per-address)")
            .arg(m_maxPerAddress)
            .arg(plain.toString());
    return QString();
}

void PictureServer::addClientRecord(std::unique_ptr<Client> client, const void *key,
                                    const QString &name, quint64 connection)
{
    Client *raw = client.get();
    raw->connectedMs = m_clock.elapsed();
    raw->timer->setSingleShot(true);
    // Both transports answer Hellos here, so that relays and Updates keep one order for all.
    raw->session = std::make_unique<ClientSession>(m_store, connection, &m_limits, name,
                                                   [this, raw](const QByteArray &update) {
                                                       // The Update holds every edit applied so
                                                       // far: the relays of those go out before it,
                                                       // to the clients that already have a
                                                       // picture, and never to this one after it.
                                                       relayEdits();
                                                       if (raw->gone)
                                                           return false;
                                                       raw->receivedUpdate = true;
                                                       return send(raw, update);
                                                   });
    raw->key = key;
    m_clients.emplace(key, std::move(client));
    ++m_liveClients;
    ++m_counters.clientsAccepted;
    connect(raw->timer, &QTimer::timeout, this, [this, raw] { checkDeadlines(raw); });
    qCInfo(lcServer).noquote() << QStringLiteral("client %1 connected (%2 of %3)")
                                      .arg(raw->session->name())
                                      .arg(clientCount())
                                      .arg(m_maxClients);
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
    auto client = std::make_unique<Client>();
    Client *raw = client.get();
    raw->output = output;
    raw->address = plainAddress(address);
    raw->timer = new QTimer(this);
    // A viewer never edits, so it has no connection in the store's records.
    addClientRecord(std::move(client), output, name, NoStoreConnection);
    armTimer(raw);
    return true;
}

bool PictureServer::receiveFrom(ClientOutput *output, QByteArrayView bytes)
{
    const auto found = m_clients.find(output);
    if (found == m_clients.end())
        return false;
    Client *client = found->second.get();
    if (client->gone || client->reading)
        return false;
    const ClientSession *session = client->session.get();
    const SessionCounts before{session->messages(), session->applied(), session->refused()};
    client->reading = true;
    client->session->receive(bytes, m_clock.elapsed());
    relayEdits();
    client->reading = false;
    finishInput(client, before, false);
    return !client->gone;
}

void PictureServer::removeClient(ClientOutput *output)
{
    const auto found = m_clients.find(output);
    if (found == m_clients.end())
        return;
    Client *client = found->second.get();
    // Nothing more may be written to it; inside our own write, the caller sees gone.
    client->output = nullptr;
    removeClient(client, "gone");
}

void PictureServer::dropClient(ClientOutput *output, const char *label, const QString &reason)
{
    const auto found = m_clients.find(output);
    if (found != m_clients.end())
        dropClient(found->second.get(), label, reason);
}

void PictureServer::acceptFailed()
{
    // QTcpServer has stopped accepting already; trying again at once would fail again and spin.
    // A client leaving frees what was short.
    stopAccepting(m_server->errorString());
}

void PictureServer::readClient(Client *client)
{
    if (client->gone || client->reading)
        return;
    if (!client->socket) {
        // Another transport's client: its input comes through receiveFrom().
        if (client->peerClosed)
            removeClient(client, "gone");
        return;
    }
    client->reading = true;
    ++m_clientsReading;
    QTcpSocket *socket = client->socket;
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
    while (!client->gone && !session->ended() && session->allowance() != 0 &&
           socket->bytesAvailable() > 0) {
        // Whatever is left in the reader after processing is one incomplete message, so there is
        // always room for at least one more byte.
        const qint64 room = Protocol::MaxMessageSize - session->reader().pendingBytes();
        Q_ASSERT(room > 0);
        m_chunk.resize(qMin(room, ReadChunkSize));
        const qint64 count = socket->read(m_chunk.data(), m_chunk.size());
        if (count <= 0)
            break;
        const bool alive =
            session->receive(QByteArrayView(m_chunk.constData(), count), m_clock.elapsed());
        // Sent after each piece read, so that a client's burst of edits reaches the others in a
        // few large writes rather than one write per edit.
        relayEdits();
        if (!alive)
            break;
    }
    client->reading = false;
    --m_clientsReading;
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
    // Another transport's client (a web viewer) never edits, so it is never held back.
    const bool waiting = client->session->reader().pendingBytes() > 0 ||
                         (client->socket && client->socket->bytesAvailable() > 0);
    if (spent && waiting) {
        if (client->heldSinceMs < 0)
            client->heldSinceMs = now;
        const qint64 step = qMax<qint64>(1, m_maxEditsPerSecond * ResumeStepMs / 1000);
        client->resumeMs = now + client->allowance.msUntil(step, now);
        return;
    }
    if (client->heldSinceMs >= 0) {
        // The time it was held back was the server's, not the client's: its Hello deadline
        // starts again from where it stood.
        client->connectedMs += now - client->heldSinceMs;
        client->heldSinceMs = -1;
    }
}

void PictureServer::peerClosed(Client *client)
{
    if (client->gone)
        return;
    if (client->reading) {
        // Inside our own write: the read under way finishes first and removes the client.
        client->peerClosed = true;
        return;
    }
    // A peer that vanished without closing shows here once keepalive gives up on it.
    const QAbstractSocket::SocketError error = client->socket->error();
    if (error != QAbstractSocket::RemoteHostClosedError &&
        error != QAbstractSocket::UnknownSocketError)
        qCInfo(lcServer).noquote()
            << "lost client" << client->session->name() << "-" << client->socket->errorString();
    // Edits that arrived just before the peer closed are still in the socket's buffer.
    client->peerClosed = true;
    readClient(client);
    // A client held back still has edits to apply: it goes once they are, at its pace.
    if (!client->gone && client->heldSinceMs < 0)
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
    if (due < 0) {
        client->timer->stop();
        return;
    }
    client->timer->start(int(qMax<qint64>(0, due - m_clock.elapsed())));
}

void PictureServer::checkDeadlines(Client *client)
{
    if (client->gone)
        return;
    ClientSession *session = client->session.get();
    const qint64 now = m_clock.elapsed();
    if (client->heldSinceMs >= 0 && now >= client->resumeMs) {
        readClient(client); // reads on, and arms the timer again
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
    client->reading = true;
    const bool alive = session->sendOwedUpdate(now);
    client->reading = false;
    if (!alive || client->peerClosed) {
        removeClient(client, "gone");
        return;
    }
    armTimer(client);
}

bool PictureServer::send(Client *client, const QByteArray &bytes)
{
    if (client->gone || client->peerClosed)
        return false;
    if (client->output) {
        if (!client->output->write(bytes) || client->gone || client->peerClosed)
            return false;
    } else {
        client->socket->write(bytes);
        // Hand it to the kernel now, so that what stays queued is what the peer has not taken
        // yet. A reset peer fails this, and Qt closes the socket (emitting disconnected()) inside
        // it.
        client->socket->flush();
        if (client->gone || client->peerClosed ||
            client->socket->state() != QAbstractSocket::ConnectedState)
            return false;
    }
    if (isOverQueueLimit(client)) {
        dropClient(client, "slow_reader",
                   QStringLiteral("does not read what is sent to it (%1 bytes unsent)")
                       .arg(queuedOutput(client)));
        return false;
    }
    return true;
}

bool PictureServer::sendAside(Client *client, const QByteArray &bytes)
{
    if (client->reading)
        return send(client, bytes);
    client->reading = true;
    const bool alive = send(client, bytes);
    client->reading = false;
    if (client->peerClosed && !client->gone)
        readClient(client); // reads what is left and removes the client
    return alive && !client->gone;
}

void PictureServer::relay(QByteArrayView relayed)
{
    m_relays += relayed;
    ++m_relayCount;
}

void PictureServer::closeAllClients()
{
    std::vector<Client *> clients;
    for (const auto &entry : m_clients)
        clients.push_back(entry.second.get());
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
    m_recipients.clear();
    for (const auto &entry : m_clients) {
        if (entry.second->receivedUpdate)
            m_recipients.push_back(entry.first);
    }
    const QByteArray update = picture().update(m_limits.updateFlags);
    for (const void *key : m_recipients) {
        const auto found = m_clients.find(key);
        if (found != m_clients.end())
            sendAside(found->second.get(), update);
    }
}

void PictureServer::relayEdits()
{
    // A write may make Qt report a lost peer at once, whose last input is then read and may
    // queue more relays: this loop, not a nested call, sends those too, after these.
    if (m_relaying)
        return;
    m_relaying = true;
    while (!m_relays.isEmpty()) {
        const QByteArray relays = std::exchange(m_relays, QByteArray());
        const int count = std::exchange(m_relayCount, 0);
        m_recipients.clear();
        for (const auto &entry : m_clients) {
            if (entry.second->receivedUpdate)
                m_recipients.push_back(entry.first);
        }
        for (const void *key : m_recipients) {
            // A client that went during this loop is out of the table; its socket and its
            // record are deleted from the event loop, so the pointer is still safe to look up.
            const auto found = m_clients.find(key);
            if (found == m_clients.end())
                continue;
            if (sendAside(found->second.get(), relays))
                m_counters.relayed += quint64(count);
        }
    }
    m_relaying = false;
}

qint64 PictureServer::queuedOutput(const Client *client) const
{
    if (!client->socket)
        return client->output ? client->output->queuedOutput() : 0;
    qint64 queued = client->socket->bytesToWrite();
    // Bytes the kernel holds for the peer count too: bytesToWrite() is empty as soon as the
    // kernel has taken them, read or not.
    int kernel = 0;
    if (::ioctl(int(client->socket->socketDescriptor()), SIOCOUTQ, &kernel) == 0)
        queued += kernel;
    return queued;
}

bool PictureServer::isOverQueueLimit(const Client *client) const
{
    return queuedOutput(client) > m_maxQueuedOutput;
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

    auto found = m_clients.find(client->key);
    Q_ASSERT(found != m_clients.end());
    // Out of the table, but kept alive until the event loop: callers up the stack still hold
    // the client and its session, and check gone.
    m_departed.push_back(std::move(found->second));
    m_clients.erase(found);
    client->timer->stop();
    if (QTcpSocket *socket = client->socket) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    } else {
        // Out of the table first: the transport may report the close from inside close().
        if (ClientOutput *output = std::exchange(client->output, nullptr))
            output->close();
        client->timer->deleteLater();
    }
    if (m_departed.size() == 1)
        QMetaObject::invokeMethod(this, &PictureServer::deleteDeparted, Qt::QueuedConnection);

    if (m_acceptPaused) {
        m_acceptPaused = false;
        m_server->resumeAccepting();
        // The connection held back while paused is waiting; nothing else would announce it.
        QMetaObject::invokeMethod(this, &PictureServer::acceptClients, Qt::QueuedConnection);
    }
}

void PictureServer::deleteDeparted()
{
    m_departed.clear();
}
