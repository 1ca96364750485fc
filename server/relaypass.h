#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <cstddef>
#include <vector>

class PictureStore;
class QObject;
struct ConnectedClient;

// The fan-out: every edit the store applied goes, byte for byte and in the order applied, to
// every client that holds a picture (has had an Update), its sender included. Edits queue here
// and go out in batches, one write per client for all the edits of a turn of the loop.
//
// Nothing on the way of a message costs in proportion to the number of clients but the one loop
// over them that relays it. Clients may leave during that loop (a write finds the peer gone), so
// it runs over a copy of the holders; a client whose peer a write of the pass finds gone is only
// marked then, and finished (its last input read, then removed) after the pass.
//
// After the relays, each client whose edits were refused gets its corrections, alone: a
// correction shows the picture as it stands, which the relays still queued lead to, so sent
// before them it would be undone by older values.
class RelayPass
{
public:
    // What the pass needs of the server.
    class Sender
    {
    public:
        // Every byte for a client goes out here. Returns false when the client is gone or its
        // peer has left.
        virtual bool send(ConnectedClient *client, QByteArrayView bytes) = 0;
        // Reads what a peer that has gone left unread, then removes it.
        virtual void finishPeer(ConnectedClient *client) = 0;

    protected:
        ~Sender() = default;
    };

    // The store is told before each batch; relayed counts each edit once per client it went to,
    // correctionBytes the bytes of corrections sent. Passes the event loop runs are queued on
    // context.
    RelayPass(QObject *context, PictureStore *store, Sender *sender, quint64 *relayed,
              quint64 *correctionBytes);

    // The client has had its first Update: every relay from now on goes to it too.
    void addHolder(ConnectedClient *client);
    void removeHolder(ConnectedClient *client);

    // The client's session holds corrections of refused edits: they go out after the relays.
    void queueCorrections(ConnectedClient *client);
    // The client is leaving: it is owed nothing more.
    void dropCorrections(ConnectedClient *client);

    // Queues an edit the store applied, to go out with the next pass.
    void queue(QByteArrayView relayed);
    // Runs a pass once the event loop is back, for edits no turn of the poller brought.
    void runSoon();
    // Sends the queued relays to every holder, in the order applied, until none are left.
    void run();
    // The store's picture changed as a whole: every holder gets the Update in place of the
    // queued relays, which lead to a picture that is no more.
    void sendToAll(const QByteArray &update);

    // Whether a pass is under way; a peer found gone by one of its writes is left to it.
    bool isRunning() const { return m_running; }
    void leftDuringPass(ConnectedClient *client) { m_leftDuringPass.push_back(client); }

private:
    void finishLeavers();
    void sendCorrections();

    QObject *m_context = nullptr;
    PictureStore *m_store = nullptr;
    Sender *m_sender = nullptr;
    quint64 *m_relayed = nullptr;
    quint64 *m_correctionBytes = nullptr;
    // The clients that have had an Update, which every relay goes to.
    std::vector<ConnectedClient *> m_holders;
    // Edits applied and not yet relayed, whole messages back to back, and how many.
    QByteArray m_relays;
    int m_relayCount = 0;
    bool m_running = false;
    bool m_runQueued = false;
    std::vector<ConnectedClient *> m_recipients;
    // Clients whose refused edits wait for their corrections.
    std::vector<ConnectedClient *> m_correcting;
    // Peers found gone by a write of the pass under way, finished once it is over.
    std::vector<ConnectedClient *> m_leftDuringPass;
};
