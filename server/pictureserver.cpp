#include "server/pictureserver.h"

#include "connection/protocol.h"
#include "server/localpicturestore.h"
#include "server/serverlogging.h"

#include <QDateTime>
#include <QTcpServer>

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

Q_LOGGING_CATEGORY(lcServer, "celvane.server", QtWarningMsg)

namespace {

// Input is taken from a socket in pieces no larger than this, and never more than would leave
// one whole message waiting in the reader.
constexpr qint64 ReadChunkSize = 64 * 1024;

} // namespace

PictureServer::PictureServer(const Picture &picture, QObject *parent)
    : PictureServer(new LocalPictureStore(picture), parent)
{
    m_store->setParent(this);
}

PictureServer::PictureServer(PictureStore *store, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_poller(new EventPoller(this))
    , m_acceptor(
          this, m_poller, [this] { return clientCount(); },
          [this](int fd, const QHostAddress &address, quint16 port) { admit(fd, address, port); })
    , m_table(this)
    , m_deadlines(this, &m_clock, [this](Client *client) { checkDeadlines(client); })
    , m_relays(this, store, this, &m_counters.relayed, &m_counters.correctionBytes)
    , m_rateLimit(m_poller)
{
    m_limits.updateFlags = Protocol::UpdateRelaysEdits;
    m_admission.setModeration(&m_store->moderation());
    connect(m_store, &PictureStore::edited, this, [this](quint64, QByteArrayView relayed) {
        m_relays.queue(relayed);
        // Edits read in a turn of the poller go out when it ends (see turnHandled below); any
        // other (a held-back client read again by its timer, the server's own repairs, a store
        // that announces edits later) once the event loop is back, with any that follow it.
        // Queued for those read in a turn too, where it then finds nothing left to send.
        m_relays.runSoon();
    });
    connect(m_store, &PictureStore::replaced, this, &PictureServer::sendFreshUpdates);
    connect(m_store, &PictureStore::moderationChanged, this, [this] {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        closeClientsFrom(
            [this, now](const QHostAddress &a, const QString &editor) {
                return m_admission.banOf(a, now) != nullptr ||
                       (!editor.isEmpty() && bansEditor(editor));
            },
            QStringLiteral("banned"));
    });
    connect(m_store, &PictureStore::availabilityChanged, this, [this](bool available) {
        if (!available)
            closeAllClients();
    });
    m_clock.start();
    // Edits read in one turn go out together, in one write per client.
    connect(m_poller, &EventPoller::turnHandled, this, [this] { m_relays.run(); });
}

PictureServer::~PictureServer() = default;

void PictureServer::setSessionLimits(const ClientSession::Limits &limits)
{
    m_limits = limits;
    m_limits.updateFlags = Protocol::UpdateRelaysEdits;
}

bool PictureServer::listen(const QHostAddress &address, quint16 port)
{
    return m_acceptor.start([&](QTcpServer *server) { return server->listen(address, port); });
}

bool PictureServer::listenOn(qintptr socketDescriptor)
{
    return m_acceptor.start(
        [&](QTcpServer *server) { return server->setSocketDescriptor(socketDescriptor); });
}

QHostAddress PictureServer::serverAddress() const
{
    return m_acceptor.tcpServer()->serverAddress();
}

quint16 PictureServer::serverPort() const
{
    return m_acceptor.tcpServer()->serverPort();
}

QString PictureServer::errorString() const
{
    return m_poller->isValid() ? m_acceptor.tcpServer()->errorString()
                               : QStringLiteral("no epoll descriptor available");
}

int PictureServer::clientDescriptorBudget()
{
    return ClientAcceptor::clientDescriptorBudget();
}

QHostAddress PictureServer::plainAddress(const QHostAddress &address)
{
    return Admission::plainAddress(address);
}

bool PictureServer::isAllowed(const QHostAddress &address) const
{
    return m_admission.isAllowed(address);
}

QString PictureServer::refusalFor(const QHostAddress &address) const
{
    if (!m_store->isAvailable())
        return QStringLiteral("the picture is out of reach");
    return m_admission.refusalFor(address);
}

void PictureServer::setMaxClients(int maxClients)
{
    m_admission.setMaxClients(maxClients);
    closeClientsBeyondLimits();
}

void PictureServer::setMaxPerAddress(int count)
{
    m_admission.setMaxPerAddress(count);
    closeClientsBeyondLimits();
}

void PictureServer::setHelloTimeout(int milliseconds)
{
    m_deadlines.setHelloTimeout(milliseconds);
    m_table.forEach([this](Client *client) { m_deadlines.arm(client); });
}

void PictureServer::setStallTimeout(int milliseconds)
{
    m_deadlines.setStallTimeout(milliseconds);
    m_table.forEach([this](Client *client) { m_deadlines.arm(client); });
}

void PictureServer::setKeepAlive(int seconds)
{
    if (seconds == m_keepAliveSeconds)
        return;
    m_keepAliveSeconds = seconds;
    m_table.forEach([seconds](const Client *client) {
        if (client->fd >= 0)
            ClientAcceptor::setKeepAlive(client->fd, seconds);
    });
}

void PictureServer::setAllowed(const QList<QPair<QHostAddress, int>> &subnets)
{
    m_admission.setAllowed(subnets);
    closeClientsFrom(
        [this](const QHostAddress &address, const QString &) { return !isAllowed(address); },
        QStringLiteral("no longer in --allow"));
}

bool PictureServer::bansEditor(const QString &editor) const
{
    return m_store->moderation().bansAuthor(editor, QDateTime::currentMSecsSinceEpoch());
}

int PictureServer::closeClientsFrom(const ClientMatch &matches, const QString &reason)
{
    int closed = 0;
    // Earliest first, so that the log reads in the order the clients came.
    for (Client *client : m_table.inOrderOfArrival()) {
        if (!client->gone && matches(client->address, client->editor)) {
            closeClient(client, reason);
            ++closed;
        }
    }
    return closed;
}

void PictureServer::closeClientsBeyondLimits()
{
    if (clientCount() <= qMin(maxClients(), maxPerAddress()))
        return;
    const std::vector<Client *> clients = m_table.inOrderOfArrival();
    std::vector<QHostAddress> addresses;
    addresses.reserve(clients.size());
    for (const Client *client : clients)
        addresses.push_back(client->address);
    for (const auto &[index, reason] : m_admission.beyondLimits(addresses))
        closeClient(clients[index], reason);
}

void PictureServer::admit(int fd, const QHostAddress &peerAddress, quint16 port)
{
    const QHostAddress address = Admission::plainAddress(peerAddress);
    const QString name = ClientAcceptor::peerName(peerAddress, port);
    const QString refusal = refusalFor(address);
    if (!refusal.isEmpty()) {
        ++m_counters.clientsTurnedAway;
        qCInfo(lcServer).noquote() << "turned away client" << name << "-" << refusal;
        ::close(fd);
        return;
    }

    ClientAcceptor::prepareSocket(fd, m_keepAliveSeconds);
    auto client =
        std::make_unique<Client>(static_cast<ConnectedClient::Owner *>(this), m_poller, fd);
    if (!m_poller->add(fd, client.get())) {
        qCWarning(lcServer).noquote()
            << "cannot watch client" << name << "-" << std::strerror(errno);
        ::close(fd);
        return;
    }
    client->address = address;
    // Its allowance of edits is set at its first read, full.
    client->connectedMs = m_clock.elapsed();
    Client *raw = m_table.insert(std::move(client));
    startSession(raw, name, m_store->openConnection(address, port));
}

void PictureServer::startSession(Client *client, const QString &name, quint64 connection)
{
    client->session = std::make_unique<ClientSession>(m_store, connection, &m_limits, name,
                                                      [this, client](const QByteArray &update) {
                                                          // The Update holds every edit applied so
                                                          // far: the relays of those go out before
                                                          // it, to the clients that already have a
                                                          // picture, and never to this one after
                                                          // it.
                                                          m_relays.run();
                                                          if (client->gone || client->peerClosed)
                                                              return false;
                                                          if (!client->receivedUpdate) {
                                                              client->receivedUpdate = true;
                                                              m_relays.addHolder(client);
                                                          }
                                                          return send(client, update);
                                                      });
    client->session->shareCooldown(&m_cooldown, client->address.toString());
    m_admission.admitted(client->address);
    ++m_counters.clientsAccepted;
    qCInfo(lcServer).noquote() << QStringLiteral("client %1 connected (%2 of %3)")
                                      .arg(name)
                                      .arg(clientCount())
                                      .arg(maxClients());
    m_deadlines.arm(client);
}

bool PictureServer::addClient(ClientOutput *output, const QHostAddress &address,
                              const QString &name, QString *refusal)
{
    QString why = refusalFor(address);
    if (why.isEmpty() && clientCount() >= m_acceptor.descriptorBudget())
        why = QStringLiteral("out of file descriptors");
    if (!why.isEmpty()) {
        ++m_counters.clientsTurnedAway;
        qCInfo(lcServer).noquote() << "turned away client" << name << "-" << why;
        if (refusal)
            *refusal = why;
        return false;
    }
    auto client =
        std::make_unique<Client>(static_cast<ConnectedClient::Owner *>(this), m_poller, -1);
    client->external = output;
    client->outputKey = output;
    client->address = Admission::plainAddress(address);
    client->connectedMs = m_clock.elapsed();
    Client *raw = m_table.insert(std::move(client));
    m_table.addOutput(raw);
    // Until it is let edit, it has no connection in the store's records.
    startSession(raw, name, NoStoreConnection);
    return true;
}

bool PictureServer::grantEditing(ClientOutput *output, quint16 port, const QString &editor,
                                 QString *refusal)
{
    Client *client = m_table.byOutput(output);
    if (!client || client->gone || client->session->connection() != NoStoreConnection ||
        client->session->messages() > 0)
        return false;
    if (!editor.isEmpty() && bansEditor(editor)) {
        if (refusal)
            *refusal = QStringLiteral("banned");
        return false;
    }
    client->session->setConnection(
        editor.isEmpty() ? m_store->openConnection(client->address, port)
                         : m_store->openNamedConnection(client->address, port, editor));
    if (!editor.isEmpty()) {
        client->editor = editor;
        m_rateLimit.share(client, editor);
        // A space is in no address's text and in no name: the two kinds of key never meet.
        client->session->shareCooldown(&m_cooldown, QStringLiteral("editor ") + editor);
    }
    return true;
}

bool PictureServer::receiveFrom(ClientOutput *output, QByteArrayView bytes)
{
    Client *client = m_table.byOutput(output);
    if (!client || client->gone || client->reading)
        return false;
    const qint64 held = client->session->reader().pendingBytes();
    if (held + bytes.size() > MaxHeldInput) {
        dropClient(client, "flooding",
                   QStringLiteral("sends faster than its edit rate lets it edit (%1 bytes waiting, "
                                  "%2 more sent)")
                       .arg(held)
                       .arg(bytes.size()));
        return false;
    }
    readExternal(client, bytes);
    return !client->gone;
}

void PictureServer::readExternal(Client *client, QByteArrayView bytes)
{
    ClientSession *session = client->session.get();
    const SessionCounts before{session->messages(), session->applied(), session->refused()};
    const qint64 now = m_clock.elapsed();
    const qint64 granted = m_rateLimit.grant(client, now);
    session->setAllowance(granted);
    client->reading = true;
    session->receive(bytes, now);
    client->reading = false;
    const bool spent = m_rateLimit.settle(client, granted, session->allowance());
    session->setAllowance(-1);
    m_relays.run();
    finishInput(client, before, spent);
}

void PictureServer::removeClient(ClientOutput *output)
{
    Client *client = m_table.byOutput(output);
    if (!client)
        return;
    // Nothing more may be written to it; inside our own write, the caller sees gone.
    client->external = nullptr;
    removeClient(client, "gone");
}

void PictureServer::dropClient(ClientOutput *output, const char *label, const QString &reason)
{
    if (Client *client = m_table.byOutput(output))
        dropClient(client, label, reason);
}

void PictureServer::clientEvents(Client *client, quint32 events)
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
        // Another transport's client: its input comes through receiveFrom(); here only what
        // waited for its allowance.
        if (client->peerClosed)
            removeClient(client, "gone");
        else
            readExternal(client, {});
        return;
    }
    client->reading = true;
    ClientSession *session = client->session.get();
    const SessionCounts before{session->messages(), session->applied(), session->refused()};
    const qint64 granted = m_rateLimit.grant(client, m_clock.elapsed());
    session->setAllowance(granted);
    if (session->reader().pendingBytes() > 0 && granted != 0) {
        // Whole messages left waiting by the last hold come before anything read now.
        session->receive({}, m_clock.elapsed());
        m_relays.run();
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
    const bool spent = m_rateLimit.settle(client, granted, session->allowance());
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
    if (session->hasCorrections() && !client->gone)
        m_relays.queueCorrections(client);

    if (!client->gone) {
        m_rateLimit.updateHold(client, spent, m_clock.elapsed());
        if (!session->closeReason().isEmpty())
            dropClient(client, "misbehaving", session->closeReason());
        else if (client->peerClosed && client->heldSinceMs < 0)
            removeClient(client, "gone");
        else
            m_deadlines.arm(client);
    }
    if (changed)
        Q_EMIT pictureChanged();
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

void PictureServer::checkDeadlines(Client *client)
{
    if (client->gone)
        return;
    const qint64 now = m_clock.elapsed();
    switch (const DeadlineQueue::Due due = m_deadlines.dueFor(client, now)) {
    case DeadlineQueue::Due::Resume:
        readClient(client); // reads on, and files its next deadline
        return;
    case DeadlineQueue::Due::HelloMissed:
        dropClient(client, "hello_timeout", m_deadlines.reasonFor(due, client));
        return;
    case DeadlineQueue::Due::Stalled:
        dropClient(client, "stalled", m_deadlines.reasonFor(due, client));
        return;
    case DeadlineQueue::Due::Nothing:
        break;
    }
    // As inside a read: a relay pass that the Update sets off leaves this client to us.
    client->reading = true;
    client->session->sendOwedUpdate(now);
    client->reading = false;
    if (client->peerClosed)
        finishPeer(client);
    else
        m_deadlines.arm(client);
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
        if (m_relays.isRunning() && !client->reading)
            m_relays.leftDuringPass(client);
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

void PictureServer::closeAllClients()
{
    const std::vector<Client *> clients = m_table.clients();
    // The store says once why; a line per client would bury it.
    qCDebug(lcServer).noquote() << "the picture is out of reach: closing" << clients.size()
                                << "clients, turning new ones away until it is back";
    for (Client *client : clients)
        removeClient(client, nullptr);
}

void PictureServer::sendFreshUpdates()
{
    m_store->aboutToRelay();
    m_relays.sendToAll(picture().update(m_limits.updateFlags));
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

void PictureServer::closeClient(Client *client, const QString &reason)
{
    qCInfo(lcServer).noquote() << "closing client" << client->session->name() << "-" << reason;
    removeClient(client, nullptr);
}

void PictureServer::removeClient(Client *client, const char *how)
{
    if (client->gone)
        return;
    client->gone = true;
    client->session->end();
    m_admission.released(client->address);
    m_rateLimit.unshare(client);
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

    if (client->receivedUpdate)
        m_relays.removeHolder(client);
    m_relays.dropCorrections(client);
    m_deadlines.remove(client);
    // Out of the table first: the transport may report the close from inside close(). The
    // client stays alive until the event loop deletes it.
    m_table.retire(client);
    if (client->fd >= 0) {
        m_poller->remove(client->fd);
        ::close(client->fd);
    } else if (ClientOutput *output = std::exchange(client->external, nullptr)) {
        output->close();
    }
    m_acceptor.resume();
}
