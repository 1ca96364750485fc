#pragma once

#include "server/clientoutput.h"
#include "server/clientsession.h"
#include "server/eventpoller.h"
#include "server/picture.h"
#include "server/picturestore.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>

#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

class QTcpServer;
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
// at most one whole message of unread input per client (it takes no more from the kernel than
// that leaves room for, so a peer that sends a long message slowly is held back by TCP); and it
// drops a client whose unsent output (Updates or relays), counted in the kernel too, grows past
// a limit. With an edit rate set, each client has an allowance of edits (a token bucket) and the
// server stops reading a client that has spent it until it returns, so that TCP slows the sender
// rather than anything being refused; the Hello and stall deadlines do not run meanwhile, since
// it is the server that holds the client back. Anything it cannot apply is refused, counted and
// logged for the first few, and not relayed; a client that keeps sending such messages is closed.
//
// Clients of another transport (web viewers) are added by their transport through a ClientOutput
// and go through the same limits, sessions, deadlines and relay pass as the server's own.
//
// A client is never freed while the server's own call stack may still use it: a write can find
// the peer gone in the middle of a pass over every client, so the client is only marked then,
// removed after the pass, and deleted from the event loop.
//
// Nothing on the way of a message costs in proportion to the number of clients but the one loop
// over them that relays it: every client's descriptor sits in one epoll set inside Qt's loop,
// output goes straight to the kernel (see SocketOutput), the clients from each address are
// counted in a table, and the deadlines are kept in order in one queue under one timer.
class PictureServer : public QObject
{
    Q_OBJECT

public:
    // Also bounded by the descriptors the system allows (see clientDescriptorBudget()).
    static constexpr int DefaultMaxClients = 10000;
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

    // How many clients the descriptor limit leaves room for, beyond those open now and a reserve
    // for saving the picture and for Qt's own needs.
    static int clientDescriptorBudget();

    // An IPv4 peer of a dual-stack listener arrives as ::ffff:a.b.c.d; it counts as a.b.c.d.
    static QHostAddress plainAddress(const QHostAddress &address);
    // Whether --allow lets the address in.
    bool isAllowed(const QHostAddress &address) const;
    // Why a new client from address would be turned away now (the picture out of reach,
    // --allow, --max-clients, --max-per-address), or empty when it would be served.
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

    // Closes every client, of any transport, whose address matches, each logged with reason.
    void closeClientsFrom(const std::function<bool(const QHostAddress &)> &matches,
                          const QString &reason);

    int clientCount() const { return m_liveClients; }
    // The most unread input any one client holds at the moment.
    qint64 largestBufferedInput() const;
    // The most output any one client has waiting in the server for room in the kernel.
    qint64 largestQueuedOutput() const;

    const Picture &picture() const { return m_store->picture(); }
    PictureStore *store() const { return m_store; }
    const Counters &counters() const { return m_counters; }

Q_SIGNALS:
    // After every read that had the store accept an edit.
    void pictureChanged();

private:
    struct Client;
    struct Listener final : EventPoller::Handler
    {
        PictureServer *server = nullptr;
        void handleEvents(quint32 events) override;
    };

    // What listen() and listenOn() both do before and after the socket is in place.
    bool startListening(const std::function<bool()> &openSocket);
    void acceptClients();
    // Takes one accepted connection, or turns it away.
    void admit(int fd, const QHostAddress &address, quint16 port);
    // Pauses accepting until a client leaves, and says why (at most once a minute).
    void stopAccepting(const QString &reason);
    void resumeAccepting();
    void handleClient(Client *client, quint32 events);
    void readClient(Client *client);
    // Reads what a peer that has gone left unread, then removes it.
    void finishPeer(Client *client);
    void checkDeadlines(Client *client);
    // After a read: a client that spent its allowance with input still waiting is held back
    // until enough of it returns; any other is let go.
    void updateHold(Client *client, bool spent);
    // Files the client's next deadline, if any, in the queue under m_deadlineTimer.
    void armTimer(Client *client);
    void startDeadlineTimer();
    void deadlinesDue();
    // Every byte for a client goes out here. Returns false when the client is gone or its peer
    // has left; a peer found gone here is removed by whoever reads it next (see finishPeer()).
    bool send(Client *client, QByteArrayView bytes);
    // Gives a new client its session and serves it.
    void startSession(Client *client, const QString &name, quint64 connection);
    // The client's input has been handled: counts it, and closes the client if it must go.
    struct SessionCounts
    {
        quint64 messages = 0;
        quint64 applied = 0;
        quint64 refused = 0;
    };
    // spent: reading stopped because the client's allowance of edits ran out.
    void finishInput(Client *client, const SessionCounts &before, bool spent);
    // label is the short reason counted in Counters::droppedBy.
    void dropClient(Client *client, const char *label, const QString &reason);
    // Marks the client gone and closes its connection; the client itself is deleted from the
    // event loop. Safe to call more than once. how is logged with the client's figures, unless
    // null.
    void removeClient(Client *client, const char *how);
    // The store's ban that holds the address at nowMs, if any.
    const Moderation::Ban *banOf(const QHostAddress &address, qint64 nowMs) const;
    // The store's picture went out of reach: no window may go on showing it as current.
    void closeAllClients();
    // The connection number of a client without one in the store: a web viewer, which never
    // edits.
    static constexpr quint64 NoStoreConnection = 0;
    void deleteDeparted();
    // Queues an edit the store applied for every client that has had an Update; relayEdits()
    // sends it.
    void relay(QByteArrayView relayed);
    // The store's picture changed as a whole: every client that holds a picture gets it anew.
    void sendFreshUpdates();
    // Sends the queued relays to every client that has had an Update, in the order applied.
    void relayEdits();

    PictureStore *m_store = nullptr;
    ClientSession::Limits m_limits;
    QTcpServer *m_server = nullptr;
    EventPoller *m_poller = nullptr;
    Listener m_listener;
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
    std::unordered_map<Client *, std::unique_ptr<Client>> m_clients;
    // The clients of other transports, by their output.
    std::unordered_map<ClientOutput *, Client *> m_outputClients;
    QHash<QHostAddress, int> m_clientsPerAddress;
    // The clients that have had an Update, which every relay goes to.
    std::vector<Client *> m_holders;
    std::vector<std::unique_ptr<Client>> m_departed;
    // Every client's next deadline, earliest first, and when m_deadlineTimer is due.
    std::set<std::pair<qint64, Client *>> m_deadlines;
    QTimer *m_deadlineTimer = nullptr;
    qint64 m_deadlineTimerDueMs = -1;
    QByteArray m_chunk;
    // Edits applied and not yet relayed, whole messages back to back, and how many.
    QByteArray m_relays;
    int m_relayCount = 0;
    bool m_relaying = false;
    // A relay pass is queued for the event loop: edits that no turn of the poller brought.
    bool m_relayQueued = false;
    std::vector<Client *> m_recipients;
    // Peers found gone by a write of the relay pass under way, removed once it is over.
    std::vector<Client *> m_leftDuringPass;
    Counters m_counters;
};
