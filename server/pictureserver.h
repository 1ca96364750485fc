#pragma once

#include "server/admission.h"
#include "server/clientacceptor.h"
#include "server/clientoutput.h"
#include "server/clientsession.h"
#include "server/clienttable.h"
#include "server/connectedclient.h"
#include "server/deadlinequeue.h"
#include "server/editcooldown.h"
#include "server/editratelimit.h"
#include "server/eventpoller.h"
#include "server/picture.h"
#include "server/picturestore.h"
#include "server/relaypass.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>

#include <functional>
#include <map>

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
// Clients of another transport (web pages) are added by their transport through a ClientOutput
// and go through the same limits, sessions, deadlines and relay pass as the server's own. They
// watch until their transport lets them edit (grantEditing()), under an editor's name or none;
// since they cannot be left unread, what they send beyond their edit allowance waits in the
// server, within MaxHeldInput, and is applied as the allowance returns. All the connections of
// one named editor spend one allowance and wait one cooldown.
//
// The limits change on the running server: a client that a lowered limit or a shorter allow list
// no longer admits is closed, the others carry on without a gap.
//
// The parts, one concern each: ClientAcceptor takes connections, Admission decides who may be
// served and counts them by address, ClientTable owns the clients (and frees them only from the
// event loop, never under the server's own call stack), DeadlineQueue keeps every deadline under
// one timer, EditRateLimit holds each client to its edit rate, and RelayPass fans the edits out.
// What is left here is reading and the life of a client from admission to removal. Nothing on the
// way of a message costs in proportion to the number of clients but the one loop over them that
// relays it: every client's descriptor sits in one epoll set inside Qt's loop and output goes
// straight to the kernel (see SocketOutput).
class PictureServer : public QObject, private ConnectedClient::Owner, private RelayPass::Sender
{
    Q_OBJECT

public:
    // Also bounded by the descriptors the system allows (see clientDescriptorBudget()).
    static constexpr int DefaultMaxClients = Admission::DefaultMaxClients;
    static constexpr int DefaultMaxPerAddress = Admission::DefaultMaxPerAddress;
    static constexpr int DefaultHelloTimeoutMs = DeadlineQueue::DefaultHelloTimeoutMs;
    static constexpr int DefaultStallTimeoutMs = DeadlineQueue::DefaultStallTimeoutMs;
    static constexpr int DefaultKeepAliveSeconds = 60;
    // Unsent Updates or relays a client may have queued, in the server and in the kernel, before it
    // counts as not reading: a few hundred pictures of the largest format.
    static constexpr qint64 MaxQueuedOutput = 1 << 20;
    // The edit rate celvane-server applies per connection unless told otherwise, and the burst
    // that an import or the fastest drag needs at once. The class itself sets no rate.
    static constexpr int DefaultMaxEditsPerSecond = 1000;
    static constexpr int EditBurstSeconds = EditRateLimit::BurstSeconds;
    // Input a client of another transport may have waiting for its edit allowance: a second of
    // single-cell edits at the default rate, several rows of the largest format.
    static constexpr qint64 MaxHeldInput = 64 * 1024;

    struct Counters
    {
        quint64 messages = 0; // every message received from any client
        quint64 applied = 0;  // edits applied to the picture
        quint64 refused = 0;  // messages ignored because they could not be applied
        quint64 clientsAccepted = 0;
        quint64 clientsTurnedAway = 0;
        quint64 clientsDropped = 0;  // disconnected for misbehaving
        quint64 relayed = 0;         // edits relayed, counted once per client they went to
        quint64 correctionBytes = 0; // sent to put right the windows of refused edits' senders
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

    // Every setter below takes effect on the clients already served too. A lowered bound closes
    // the clients that came last beyond it, one log line each.
    void setMaxClients(int maxClients);
    int maxClients() const { return m_admission.maxClients(); }
    void setMaxPerAddress(int count);
    int maxPerAddress() const { return m_admission.maxPerAddress(); }
    // 0 turns a deadline off. Every client's deadline is filed again by the new time.
    void setHelloTimeout(int milliseconds);
    void setStallTimeout(int milliseconds);
    // Idle time before the kernel probes a silent peer; 0 leaves keepalive off.
    void setKeepAlive(int seconds);
    void setMaxQueuedOutput(qint64 bytes) { m_maxQueuedOutput = bytes; }
    // Edits each client may have applied a second, with a burst of EditBurstSeconds of them;
    // 0 sets no bound. A client already served changes over at its next read, keeping what it
    // had saved up to the new burst.
    void setMaxEditsPerSecond(int perSecond) { m_rateLimit.setPerSecond(perSecond); }
    int maxEditsPerSecond() const { return m_rateLimit.perSecond(); }
    // Addresses allowed to connect; empty allows every address. Clients from an address the list
    // no longer allows are closed.
    void setAllowed(const QList<QPair<QHostAddress, int>> &subnets);
    // Every Update announces the relays, whatever limits is given. Sessions read the limits at
    // each message, so read-only, say, applies from the next one.
    void setSessionLimits(const ClientSession::Limits &limits);
    // Each address may change one cell per this many milliseconds, and nothing else (every other
    // edit is refused and corrected); 0 sets no bound. Applies from the next edit on, to every
    // client.
    void setCooldown(qint64 milliseconds) { m_limits.cooldownMs = milliseconds; }
    qint64 cooldown() const { return m_limits.cooldownMs; }
    const ClientSession::Limits &sessionLimits() const { return m_limits; }

    // Closes every client, of any transport, whose address or editor's name (empty for a client
    // that gave none) matches, each with one log line that gives the reason. Returns how many.
    using ClientMatch = std::function<bool(const QHostAddress &address, const QString &editor)>;
    int closeClientsFrom(const ClientMatch &matches, const QString &reason);

    // How many clients the descriptor limit leaves room for, beyond those open now and a reserve
    // for saving the picture and for Qt's own needs.
    static int clientDescriptorBudget();

    // An IPv4 peer of a dual-stack listener arrives as ::ffff:a.b.c.d; it counts as a.b.c.d.
    static QHostAddress plainAddress(const QHostAddress &address);
    // Whether --allow lets the address in.
    bool isAllowed(const QHostAddress &address) const;
    // Whether the moderation bans the editor of that name now.
    bool bansEditor(const QString &editor) const;
    // Why a new client from address would be turned away now (the picture out of reach,
    // --allow, --max-clients, --max-per-address), or empty when it would be served.
    QString refusalFor(const QHostAddress &address) const;
    // Serves a client of another transport, unless refusalFor() or the descriptor budget turns
    // it away (counted, logged, and *refusal says why). The output must stay valid until
    // removeClient(output) or until the server closes it.
    bool addClient(ClientOutput *output, const QHostAddress &address, const QString &name,
                   QString *refusal = nullptr);
    // Lets such a client edit from now on, as editor when that is not empty: its edits go to the
    // store under a connection of its own (recorded with the name), and it spends the edit
    // allowance and waits the cooldown of every connection of that editor. Before its first
    // message only. False, with *refusal saying why, for an editor the moderation bans.
    bool grantEditing(ClientOutput *output, quint16 port, const QString &editor,
                      QString *refusal = nullptr);
    // Input from such a client. Edits beyond its allowance wait in the server, at most
    // MaxHeldInput bytes of them, and are applied as it returns; a client that sends more is
    // dropped. Returns false when the client is gone, closed by this call.
    bool receiveFrom(ClientOutput *output, QByteArrayView bytes);
    // The peer of such a client has left; nothing is written to the output any more.
    void removeClient(ClientOutput *output);
    // Closes such a client for breaking its transport's rules, counted as dropped under label.
    void dropClient(ClientOutput *output, const char *label, const QString &reason);

    int clientCount() const { return m_admission.count(); }
    // The most unread input any one client holds at the moment.
    qint64 largestBufferedInput() const { return m_table.largestBufferedInput(); }
    // The most output any one client has waiting in the server for room in the kernel.
    qint64 largestQueuedOutput() const { return m_table.largestQueuedOutput(); }

    const Picture &picture() const { return m_store->picture(); }
    PictureStore *store() const { return m_store; }
    const Counters &counters() const { return m_counters; }

Q_SIGNALS:
    // After every read that had the store accept an edit.
    void pictureChanged();

private:
    using Client = ConnectedClient;

    // Takes one accepted connection, or turns it away.
    void admit(int fd, const QHostAddress &address, quint16 port);
    void clientEvents(Client *client, quint32 events) override;
    void readClient(Client *client);
    // Handles what another transport's client sent, and what it has waiting, within its
    // allowance.
    void readExternal(Client *client, QByteArrayView bytes);
    // Reads what a peer that has gone left unread, then removes it.
    void finishPeer(Client *client) override;
    // Whatever deadline of the client's has come.
    void checkDeadlines(Client *client);
    // Every byte for a client goes out here. Returns false when the client is gone or its peer
    // has left; a peer found gone here is removed by whoever reads it next (see finishPeer()).
    bool send(Client *client, QByteArrayView bytes) override;
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
    // Closes a client that the settings no longer admit; not counted as dropped.
    void closeClient(Client *client, const QString &reason);
    // Closes the clients that came last beyond --max-clients and --max-per-address.
    void closeClientsBeyondLimits();
    // Marks the client gone and closes its connection; the client itself is deleted from the
    // event loop. Safe to call more than once. how is logged with the client's figures, unless
    // null.
    void removeClient(Client *client, const char *how);
    // The store's picture went out of reach: no window may go on showing it as current.
    void closeAllClients();
    // The connection number of a client without one in the store: a web page that only
    // watches.
    static constexpr quint64 NoStoreConnection = 0;
    // The store's picture changed as a whole: every client that holds a picture gets it anew.
    void sendFreshUpdates();

    PictureStore *m_store = nullptr;
    // Before the parts below, which are handed its fields to count into.
    Counters m_counters;
    ClientSession::Limits m_limits;
    EventPoller *m_poller = nullptr;
    QElapsedTimer m_clock;
    Admission m_admission;
    ClientAcceptor m_acceptor;
    ClientTable m_table;
    DeadlineQueue m_deadlines;
    RelayPass m_relays;
    EditRateLimit m_rateLimit;
    // When each address or editor last changed a cell, shared by all of its connections.
    EditCooldown m_cooldown;
    int m_keepAliveSeconds = DefaultKeepAliveSeconds;
    qint64 m_maxQueuedOutput = MaxQueuedOutput;
    QByteArray m_chunk;
};
