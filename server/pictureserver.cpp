#include "server/pictureserver.h"

#include "canvas/canvasformat.h"
#include "connection/messagereader.h"
#include "connection/protocol.h"
#include "server/serverlogging.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <utility>

Q_LOGGING_CATEGORY(lcServer, "celvane.server", QtWarningMsg)

namespace {

// Input is taken from a socket in pieces no larger than this, and never more than would leave
// one whole message waiting in the reader.
constexpr qint64 ReadChunkSize = 64 * 1024;

QString peerName(const QTcpSocket *socket)
{
    const QHostAddress address = socket->peerAddress();
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    return QStringLiteral("%1:%2").arg(host).arg(socket->peerPort());
}

QByteArray preview(QByteArrayView payload)
{
    constexpr qsizetype Shown = 16;
    QByteArray hex = payload.first(qMin(payload.size(), Shown)).toByteArray().toHex(' ');
    if (payload.size() > Shown)
        hex += " ...";
    return hex;
}

} // namespace

struct PictureServer::Client
{
    QTcpSocket *socket = nullptr;
    QString name;
    MessageReader reader;
    quint64 messages = 0;
    quint64 refused = 0;
    // Relays go only to a client that holds a picture to apply them to.
    bool receivedUpdate = false;
};

PictureServer::PictureServer(const Picture &picture, QObject *parent)
    : QObject(parent)
    , m_picture(picture)
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &PictureServer::acceptClients);
}

PictureServer::~PictureServer()
{
    // The sockets are children of this object and go with it; their closing must not call back
    // into a half-destroyed server.
    for (auto &entry : m_clients)
        entry.first->disconnect(this);
}

bool PictureServer::listen(const QHostAddress &address, quint16 port)
{
    return m_server->listen(address, port);
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
        largest = qMax(largest, entry.second->reader.pendingBytes() +
                                    entry.second->socket->bytesAvailable());
    return largest;
}

void PictureServer::acceptClients()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        if (clientCount() >= m_maxClients) {
            ++m_counters.clientsTurnedAway;
            qCInfo(lcServer).noquote() << "turned away client" << peerName(socket)
                                       << "- already serving" << clientCount() << "clients";
            socket->abort();
            socket->deleteLater();
            continue;
        }

        // Qt's own buffer stops taking bytes from the kernel at one message, so a peer that
        // sends faster than the server reads is slowed down by TCP rather than held in memory.
        socket->setReadBufferSize(Protocol::MaxMessageSize);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);

        auto client = std::make_unique<Client>();
        client->socket = socket;
        client->name = peerName(socket);
        Client *raw = client.get();
        m_clients.emplace(socket, std::move(client));

        connect(socket, &QTcpSocket::readyRead, this, [this, raw] { readClient(raw); });
        connect(socket, &QTcpSocket::disconnected, this, [this, raw, socket] {
            // Edits that arrived just before the peer closed are still in the socket's buffer.
            readClient(raw);
            removeClient(socket, "gone");
        });
        qCInfo(lcServer).noquote() << QStringLiteral("client %1 connected (%2 of %3)")
                                          .arg(raw->name)
                                          .arg(clientCount())
                                          .arg(m_maxClients);

        // The peer may have sent everything, and even closed, before the signals were connected.
        if (socket->bytesAvailable() > 0)
            readClient(raw);
        if (socket->state() != QAbstractSocket::ConnectedState)
            removeClient(socket, "gone");
    }
}

void PictureServer::readClient(Client *client)
{
    QTcpSocket *socket = client->socket;
    bool changed = false;
    while (socket->bytesAvailable() > 0) {
        // Whatever is left in the reader after processing is one incomplete message, so there is
        // always room for at least one more byte.
        const qint64 room = Protocol::MaxMessageSize - client->reader.pendingBytes();
        Q_ASSERT(room > 0);
        m_chunk.resize(qMin(room, ReadChunkSize));
        const qint64 count = socket->read(m_chunk.data(), m_chunk.size());
        if (count <= 0)
            break;
        client->reader.append(QByteArrayView(m_chunk.constData(), count));
        const bool stillServed = processMessages(client, &changed);
        // Sent after each piece read, so that a client's burst of edits reaches the others in
        // a few large writes rather than one write per edit.
        relayEdits();
        if (!stillServed || m_clients.find(socket) == m_clients.end())
            break;
    }
    if (changed)
        Q_EMIT pictureChanged();
}

bool PictureServer::processMessages(Client *client, bool *changed)
{
    MessageReader::Message message;
    while (client->reader.next(&message)) {
        ++m_counters.messages;
        ++client->messages;

        if (message.kind == Protocol::Hello) {
            qCDebug(lcServer).noquote() << client->name << "Hello" << preview(message.payload);
            // The Update holds every edit applied so far: the relays of those go out before it,
            // to the clients that already have a picture, and never to this one after it.
            QTcpSocket *socket = client->socket;
            relayEdits();
            if (m_clients.find(socket) == m_clients.end())
                return false; // dropped for not reading its relays
            client->receivedUpdate = true;
            client->socket->write(currentUpdate());
            // Hand it to the kernel now, so that what stays queued is what the peer has not
            // taken yet, not what this burst of Hellos produced.
            client->socket->flush();
            if (isSlowReader(client->socket)) {
                dropClient(client, "asks for pictures without reading them");
                return false;
            }
            continue;
        }

        const Picture::EditResult result = m_picture.apply(message.kind, message.payload);
        if (result == Picture::Applied) {
            ++m_counters.applied;
            m_update.clear();
            *changed = true;
            relay(message.kind, message.bytes);
            qCDebug(lcServer).noquote() << client->name << "kind" << message.kind << "length"
                                        << message.payload.size() << preview(message.payload);
        } else {
            ++m_counters.refused;
            ++client->refused;
            qCInfo(lcServer).noquote()
                << "refused a message from" << client->name << "- kind" << message.kind << "length"
                << message.payload.size() << "-" << Picture::describe(result);
        }
    }
    return true;
}

const QByteArray &PictureServer::currentUpdate()
{
    if (m_update.isEmpty())
        m_update = m_picture.encodeUpdate(Protocol::UpdateRelaysEdits);
    return m_update;
}

void PictureServer::relay(quint8 kind, QByteArrayView message)
{
    const CanvasFormat &format = m_picture.format();
    const auto row = kind == Protocol::RowData
                         ? Protocol::decodeRowData(message.sliced(Protocol::HeaderSize))
                         : std::nullopt;
    if (row && row->count != format.columns) {
        // A row shorter than the grid changes only the cells it carries, which a client cannot
        // tell from a malformed row; the whole row as it now stands says the same to everyone.
        const auto *cells = reinterpret_cast<const quint8 *>(m_picture.cells().constData()) +
                            row->row * format.columns;
        m_relays += Protocol::encodeRowData(row->row, quint8(format.columns), cells);
    } else {
        m_relays += message;
    }
    ++m_relayCount;
}

void PictureServer::relayEdits()
{
    // A write may make Qt report a lost peer at once, whose handler reads the peer's last input
    // and may queue more relays: this loop, not a nested call, sends those too, after these.
    if (m_relaying)
        return;
    m_relaying = true;
    std::vector<QTcpSocket *> slow;
    while (!m_relays.isEmpty()) {
        const QByteArray relays = std::exchange(m_relays, QByteArray());
        const int count = std::exchange(m_relayCount, 0);
        m_recipients.clear();
        for (const auto &entry : m_clients) {
            if (entry.second->receivedUpdate)
                m_recipients.push_back(entry.first);
        }
        for (QTcpSocket *socket : m_recipients) {
            // A client gone during this loop is out of the table; its socket is deleted later.
            if (m_clients.find(socket) == m_clients.end())
                continue;
            socket->write(relays);
            socket->flush();
            m_counters.relayed += quint64(count);
            if (isSlowReader(socket))
                slow.push_back(socket);
        }
    }
    m_relaying = false;

    // Removed only now, outside the loop over the table.
    for (QTcpSocket *socket : slow) {
        const auto found = m_clients.find(socket);
        if (found != m_clients.end())
            dropClient(found->second.get(), "does not read the edits relayed to it");
    }
}

bool PictureServer::isSlowReader(const QTcpSocket *socket)
{
    // A peer that stops reading lets the kernel's buffers fill first, then Qt's; a client that
    // merely lags drains its queue between bursts and never reaches the bound.
    return socket->bytesToWrite() > MaxQueuedOutput;
}

void PictureServer::dropClient(Client *client, const char *reason)
{
    ++m_counters.clientsDropped;
    qCInfo(lcServer).noquote() << "dropping client" << client->name << "-" << reason;
    removeClient(client->socket, "dropped");
}

void PictureServer::removeClient(QTcpSocket *socket, const char *how)
{
    auto found = m_clients.find(socket);
    if (found == m_clients.end())
        return;
    const Client *client = found->second.get();

    qCInfo(lcServer).noquote() << "client" << client->name << how << "after" << client->messages
                               << "messages," << client->refused << "refused";
    // Out of the table first: aborting a connected socket emits disconnected() at once.
    std::unique_ptr<Client> owned = std::move(found->second);
    m_clients.erase(found);
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}
