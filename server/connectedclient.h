#pragma once

#include "server/clientsession.h"
#include "server/eventpoller.h"
#include "server/socketoutput.h"
#include "server/tokenbucket.h"

#include <QHostAddress>
#include <QString>

#include <cstddef>
#include <memory>

class ClientOutput;

// One client of the picture server, over its own TCP socket or another transport: its session,
// its output, and where it stands in the server's tables. The server's parts keep their own
// marks on it (its deadline, its place among the relays' recipients), so that leaving any of
// them costs no search.
struct ConnectedClient final : EventPoller::Handler
{
    // Who the poller's events for the client's socket go to.
    class Owner
    {
    public:
        virtual void clientEvents(ConnectedClient *client, quint32 events) = 0;

    protected:
        ~Owner() = default;
    };

    ConnectedClient(Owner *owner, EventPoller *poller, int fd)
        : owner(owner)
        , fd(fd)
        , output(poller, fd)
    {
    }
    void handleEvents(quint32 events) override { owner->clientEvents(this, events); }

    Owner *owner = nullptr;
    int fd = -1; // -1 for a client of another transport
    SocketOutput output;
    // The other transport's output, or null for the server's own TCP clients (and once the
    // other transport has said its peer left).
    ClientOutput *external = nullptr;
    ClientOutput *outputKey = nullptr; // its key in the client table, kept after external goes
    QHostAddress address;              // as Admission counts it (see Admission::plainAddress())
    quint64 serial = 0;                // clients admitted earlier have smaller numbers
    std::unique_ptr<ClientSession> session;
    qint64 connectedMs = 0;
    qint64 dueMs = -1;           // its entry in the DeadlineQueue
    std::size_t holderIndex = 0; // its place among the RelayPass's holders, once it has an Update
    bool correcting = false;     // among the RelayPass's clients owed corrections
    bool gone = false;
    bool reading = false;    // its input or its owed Update is being handled
    bool peerClosed = false; // the peer left; what it sent before is still to be read
    // Relays go only to a client that holds a picture to apply them to.
    bool receivedUpdate = false;
    TokenBucket allowance;
    // The allowance of every connection of a named editor, shared through EditRateLimit, or
    // null; sharedBy is the editor.
    TokenBucket *sharedAllowance = nullptr;
    QString sharedBy;
    // The editor's name for a client of another transport that was let edit under one.
    QString editor;
    TokenBucket &bucket() { return sharedAllowance ? *sharedAllowance : allowance; }
    // Not read until resumeMs because it spent its allowance; heldSinceMs is -1 when not held.
    qint64 heldSinceMs = -1;
    qint64 resumeMs = 0;
};
