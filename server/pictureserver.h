#pragma once

#include "server/clientoutput.h"
#include "server/clientsession.h"
#include "server/picture.h"
#include "server/picturestore.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>

#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

class QTcpServer;
class QTcpSocket;
class QTimer;

// Serves one picture over TCP. A Hello is answered with an Update of the picture as it stands
// (at most one per client per second: Hellos that come sooner are answered together by one
// Update when the second is over); Commands and RowData edit it. Every edit applied is relayed,
// byte for byte, to every client that has had an Update, its sender included, in the order
// applied: the server's order is the only one, so windows that apply their own edit at once and
// then every relay all end up showing the server's picture. Updates announce this in bit 0 of
// their byte 3, so that a client which does not know of it can go on skipping edits it did not
// expect.
//
// The server protects itself from its clients. It serves at most maxClients() of them, and at
// most maxPerAddress() from one address, and turns away the rest; it closes a connection that
// has not said Hello within the Hello deadline and one whose message stops arriving; it holds
// at most one whole message of unread input per client (the socket's own buffer is bounded the
// same way, so a peer that sends a long message slowly is held back by TCP); and it drops a
// client whose unsent output (Updates or relays), counted in the kernel too, grows past a
// limit. With an edit rate set, each client has an allowance of edits (a token bucket) and the
// server stops reading a client that has spent it until it returns, so that TCP slows the sender
// rather than anything being refused; the Hello and stall deadlines do not run meanwhile, since
// it is the server that holds the client back. Anything it cannot apply is refused, counted and
// logged for the first few, and not relayed; a client that keeps sending such messages is closed.
//
// Clients of another transport (web viewers) are added by their transport through a ClientOutput
// and go through the same limits, sessions and relay loop as the server's own.
//
// A client is never freed while the server's own call stack may still use it: writing to a
// socket can end the connection inside the call, so the client is only marked gone then and
// deleted from the event loop.
class PictureServer : public QObject
{
    Q_OBJECT

public:
    static constexpr int DefaultMaxClients = 64;
    static constexpr int DefaultMaxPerAddress = 8;
    static constexpr int DefaultHelloTimeoutMs = 5000;
    static constexpr int DefaultStallTimeoutMs = 10000;
    static constexpr int DefaultKeepAliveSeconds = 60;
    // Unsent Updates or relays a client may have queued, in the server and in the kernel, before it
    // counts as not reading: a few hundred pictures of the largest format.
    static constexpr qint64 MaxQueuedOutput = 1 << 20;
    // The edit rate celvane-server applies per connection unless told otherwise, and the burst
    // that an import or the fastest drag needs at once. The class itself sets no rate.
    static constexpr int DefaultMaxEditsPerSecond = 1000;
    static constexpr int EditBurstSeconds = 2;

    struct Counters
    {
        quint64 messages = 0; // every message received from any client
        quint64 applied = 0;  // edits applied to the picture
        quint64 refused = 0;  // messages ignored because they could not be applied
        quint64 clientsAccepted = 0;
        quint64 clientsTurnedAway = 0;
        quint64 clientsDropped = 0; // disconnected for misbehaving
        quint64 relayed = 0;        // edits relayed, counted once per client they went to
        // clientsDropped by the short reason given to dropClient().
        std::map<QString, quint64> droppedBy;
    };

    // Serves a picture held in this process alone.
    explicit PictureServer(const Picture &picture, QObject *parent = nullptr);
    // Serves the store's picture; the store must outlive the server.
    explicit PictureServer(PictureStore *store, QObject *parent = nullptr);
    ~PictureServer() override;

    bool listen(const QHostAddress &address, quint16 port);
    // Serves from a TCP socket that is bound and listening already (one handed over by the
    // service manager, say), in place of listen().
    bool listenOn(qintptr socketDescriptor);
    QHostAddress serverAddress() const;
    quint16 serverPort() const;
    QString errorString() const;

    void setMaxClients(int maxClients) { m_maxClients = maxClients; }
    int maxClients() const { return m_maxClients; }
    void setMaxPerAddress(int count) { m_maxPerAddress = count; }
    int maxPerAddress() const { return m_maxPerAddress; }
    // 0 turns a deadline off.
    void setHelloTimeout(int milliseconds) { m_helloTimeoutMs = milliseconds; }
    void setStallTimeout(int milliseconds) { m_stallTimeoutMs = milliseconds; }
    // Idle time before the kernel probes a silent peer; 0 leaves keepalive off.
    void setKeepAlive(int seconds) { m_keepAliveSeconds = seconds; }
    void setMaxQueuedOutput(qint64 bytes) { m_maxQueuedOutput = bytes; }
    // Edits each client may have applied a second, with a burst of EditBurstSeconds of them;
    // 0 sets no bound. Applies to clients that connect later.
    void setMaxEditsPerSecond(int perSecond) { m_maxEditsPerSecond = perSecond; }
    int maxEditsPerSecond() const { return m_maxEditsPerSecond; }
    // Addresses allowed to connect; empty allows every address.
    void setAllowed(const QList<QPair<QHostAddress, int>> &subnets) { m_allowed = subnets; }
    // Every Update announces the relays, whatever limits is given.
    void setSessionLimits(const ClientSession::Limits &limits);
    const ClientSession::Limits &sessionLimits() const { return m_limits; }

    // An IPv4 peer of a dual-stack listener arrives as ::ffff:a.b.c.d; it counts as a.b.c.d.
    static QHostAddress plainAddress(const QHostAddress &address);
    // Whether --allow lets the address in.
    bool isAllowed(const QHostAddress &address) const;
    // Why a new client from address would be turned away now (--allow, --max-clients,
    // --max-per-address), or empty when it would be served.
    QString refusalFor(const QHostAddress &address) const;
    // Serves a client of another transport, unless refusalFor() or the descriptor budget turns
    // it away (counted, logged, and *refusal says why). The output must stay valid until
    // removeClient(output) or until the server closes it.
    bool addClient(ClientOutput *output, const QHostAddress &address, const QString &name,
                   QString *refusal = nullptr);
    // Input from such a client. Returns false when the client is gone, closed by this call.
    bool receiveFrom(ClientOutput *output, QByteArrayView bytes);
    // The peer of such a client has left; nothing is written to the output any more.
    void removeClient(ClientOutput *output);
    // Closes such a client for breaking its transport's rules, counted as dropped under label.
    void dropClient(ClientOutput *output, const char *label, const QString &reason);

    int clientCount() const { return m_liveClients; }
    // The most unread input any one client holds at the moment.
    qint64 largestBufferedInput() const;

    const Picture &picture() const { return m_store->picture(); }
    PictureStore *store() const { return m_store; }
    const Counters &counters() const { return m_counters; }

Q_SIGNALS:
    // After every read that had the store accept an edit.
    void pictureChanged();

private:
    struct Client;

    // What listen() and listenOn() both do before and after the socket is in place.
    bool startListening(const std::function<bool()> &openSocket);
    void acceptClients();
    void acceptFailed();
    // Pauses accepting until a client leaves, and says why (at most once a minute).
    void stopAccepting(const QString &reason);
    // How many clients the descriptor limit leaves room for, beyond those open now and a reserve
    // for saving the picture and for Qt's own needs.
    static int clientDescriptorBudget();
    int clientsFrom(const QHostAddress &address) const;
    void readClient(Client *client);
    void peerClosed(Client *client);
    void checkDeadlines(Client *client);
    // After a read: a client that spent its allowance with input still waiting is held back
    // until enough of it returns; any other is let go.
    void updateHold(Client *client, bool spent);
    void armTimer(Client *client);
    // Every byte for a client goes out here. Returns false when the client is gone, which may
    // have happened inside this call.
    bool send(Client *client, const QByteArray &bytes);
    // The one place that decides whether a client has left too much unsent.
    bool isOverQueueLimit(const Client *client) const;
    qint64 queuedOutput(const Client *client) const;
    // label is the short reason counted in Counters::droppedBy.
    void dropClient(Client *client, const char *label, const QString &reason);
    // The session's input has been handled: counts it and closes the client if it must go.
    struct SessionCounts
    {
        quint64 messages = 0;
        quint64 applied = 0;
        quint64 refused = 0;
    };
    // spent: reading stopped because the client's allowance of edits ran out.
    void finishInput(Client *client, const SessionCounts &before, bool spent);
    // Gives the client its session and timer, and serves it.
    void addClientRecord(std::unique_ptr<Client> client, const void *key, const QString &name,
                         quint64 connection);
    // The connection number of a client without one in the store: a web viewer.
    static constexpr quint64 NoStoreConnection = 0;
    // Marks the client gone and closes its socket; the client itself is deleted from the event
    // loop. Safe to call more than once. how is logged with the client's figures, unless null.
    void removeClient(Client *client, const char *how);
    // The store's picture went out of reach: no window may go on showing it as current.
    void closeAllClients();
    void deleteDeparted();
    // Queues an edit the store applied for every client that has had an Update; relayEdits()
    // sends it.
    void relay(QByteArrayView relayed);
    // The store's picture changed as a whole: every client that holds a picture gets it anew.
    void sendFreshUpdates();
    // Sends the queued relays to every client that has had an Update, in the order applied.
    void relayEdits();
    // send() for a client whose input is not being read at the moment: should the peer go
    // inside the write, its last input is read after it rather than inside it.
    bool sendAside(Client *client, const QByteArray &bytes);

    PictureStore *m_store = nullptr;
    ClientSession::Limits m_limits;
    QTcpServer *m_server = nullptr;
    QElapsedTimer m_clock;
    int m_maxClients = DefaultMaxClients;
    int m_maxPerAddress = DefaultMaxPerAddress;
    int m_helloTimeoutMs = DefaultHelloTimeoutMs;
    int m_stallTimeoutMs = DefaultStallTimeoutMs;
    int m_keepAliveSeconds = DefaultKeepAliveSeconds;
    int m_maxEditsPerSecond = 0;
    qint64 m_maxQueuedOutput = MaxQueuedOutput;
    QList<QPair<QHostAddress, int>> m_allowed;
    static constexpr int ReservedDescriptors = 16;
    int m_descriptorBudget = std::numeric_limits<int>::max();
    bool m_acceptPaused = false;
    qint64 m_lastAcceptErrorLogMs = -1;
    int m_liveClients = 0;
    // Keyed by the client's QTcpSocket, or by its ClientOutput for another transport.
    std::unordered_map<const void *, std::unique_ptr<Client>> m_clients;
    std::vector<std::unique_ptr<Client>> m_departed;
    QByteArray m_chunk;
    // Edits applied and not yet relayed, whole messages back to back, and how many.
    QByteArray m_relays;
    int m_relayCount = 0;
    bool m_relaying = false;
    // Clients whose input is being read now: their edits are relayed after each piece read.
    int m_clientsReading = 0;
    bool m_relayQueued = false;
    std::vector<const void *> m_recipients;
    Counters m_counters;
};
