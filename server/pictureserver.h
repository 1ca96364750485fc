#pragma once

#include "server/picture.h"

#include <QHostAddress>
#include <QObject>

#include <memory>
#include <unordered_map>

class QTcpServer;
class QTcpSocket;

// Serves one picture over TCP. Every Hello is answered with an Update of the picture as it stands;
// Commands and RowData edit it. Edits are not passed on to the other clients: they see them in
// the Update that answers their next Hello, which is all that the client asks of a server.
//
// The server protects itself from its clients. It serves at most maxClients() of them and turns
// away the rest; it holds at most one whole message of unread input per client (the socket's own
// buffer is bounded the same way, so a peer that sends a long message slowly is held back by TCP);
// and it drops a client that asks for Updates without reading them. Anything it cannot apply is
// refused, counted and logged, and the client may go on.
class PictureServer : public QObject
{
    Q_OBJECT

public:
    static constexpr int DefaultMaxClients = 64;
    // Unsent Updates a client may have queued before it counts as not reading: a few hundred
    // pictures of the largest format.
    static constexpr qint64 MaxQueuedOutput = 1 << 20;

    struct Counters
    {
        quint64 messages = 0; // every message received from any client
        quint64 applied = 0;  // edits applied to the picture
        quint64 refused = 0;  // messages ignored because they could not be applied
        quint64 clientsTurnedAway = 0;
        quint64 clientsDropped = 0; // disconnected for misbehaving
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

    Picture m_picture;
    QByteArray m_update; // m_picture's Update, encoded on demand; empty after every edit
    QTcpServer *m_server = nullptr;
    int m_maxClients = DefaultMaxClients;
    std::unordered_map<QTcpSocket *, std::unique_ptr<Client>> m_clients;
    QByteArray m_chunk;
    Counters m_counters;
};
