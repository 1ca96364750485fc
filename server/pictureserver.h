#pragma once

#include "server/picture.h"

#include <QHostAddress>
#include <QObject>

#include <memory>
#include <unordered_map>
#include <vector>

class QTcpServer;
class QTcpSocket;

// Serves one picture over TCP. Every Hello is answered with an Update of the picture as it stands;
// Commands and RowData edit it. Every edit applied is relayed, byte for byte, to every client that
// has had an Update, its sender included, in the order applied: the server's order is the only
// one, so windows that apply their own edit at once and then every relay all end up showing the
// server's picture. Updates announce this in bit 0 of their byte 3, so that a client which does
// not know of it can go on skipping edits it did not expect.
//
// The server protects itself from its clients. It serves at most maxClients() of them and turns
// away the rest; it holds at most one whole message of unread input per client (the socket's own
// buffer is bounded the same way, so a peer that sends a long message slowly is held back by TCP);
// and it drops a client that asks for Updates, or is sent relays, without reading them. Anything
// it cannot apply is refused, counted and logged (and not relayed), and the client may go on.
class PictureServer : public QObject
{
    Q_OBJECT

public:
    static constexpr int DefaultMaxClients = 64;
    // Unsent Updates or relays a client may have queued, beyond what the kernel holds, before it
    // counts as not reading: a few hundred pictures of the largest format.
    static constexpr qint64 MaxQueuedOutput = 1 << 20;

    struct Counters
    {
        quint64 messages = 0; // every message received from any client
        quint64 applied = 0;  // edits applied to the picture
        quint64 refused = 0;  // messages ignored because they could not be applied
        quint64 clientsTurnedAway = 0;
        quint64 clientsDropped = 0; // disconnected for misbehaving
        quint64 relayed = 0;        // edits relayed, counted once per client they went to
    };

    explicit PictureServer(const Picture &picture, QObject *parent = nullptr);
    ~PictureServer() override;

    bool listen(const QHostAddress &address, quint16 port);
    QHostAddress serverAddress() const;
    quint16 serverPort() const;
    QString errorString() const;

    void setMaxClients(int maxClients) { m_maxClients = maxClients; }
    int maxClients() const { return m_maxClients; }
    int clientCount() const { return int(m_clients.size()); }
    // The most unread input any one client holds at the moment.
    qint64 largestBufferedInput() const;

    const Picture &picture() const { return m_picture; }
    const Counters &counters() const { return m_counters; }

Q_SIGNALS:
    // After every read that changed the picture.
    void pictureChanged();

private:
    struct Client;

    void acceptClients();
    void readClient(Client *client);
    // Returns false when the client was dropped on the way.
    bool processMessages(Client *client, bool *changed);
    void dropClient(Client *client, const char *reason);
    // Looks the client up by its socket, so that it may be called for one already removed.
    void removeClient(QTcpSocket *socket, const char *how);
    const QByteArray &currentUpdate();
    // Queues an applied edit for every client that has had an Update; relayEdits() sends it.
    void relay(quint8 kind, QByteArrayView message);
    // Sends the queued relays to every client that has had an Update, in the order applied.
    void relayEdits();
    // A client counts as not reading once more than MaxQueuedOutput waits beyond the kernel.
    static bool isSlowReader(const QTcpSocket *socket);

    Picture m_picture;
    QByteArray m_update; // m_picture's Update, encoded on demand; empty after every edit
    QTcpServer *m_server = nullptr;
    int m_maxClients = DefaultMaxClients;
    std::unordered_map<QTcpSocket *, std::unique_ptr<Client>> m_clients;
    QByteArray m_chunk;
    // Edits applied and not yet relayed, whole messages back to back, and how many.
    QByteArray m_relays;
    int m_relayCount = 0;
    bool m_relaying = false;
    std::vector<QTcpSocket *> m_recipients;
    Counters m_counters;
};
