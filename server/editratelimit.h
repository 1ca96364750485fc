#pragma once

#include "server/tokenbucket.h"

#include <QString>
#include <QtGlobal>

#include <map>

class EventPoller;
struct ConnectedClient;

// The edit rate each client is held to: an allowance of edits (a token bucket) that refills at
// the rate, up to a burst of BurstSeconds of it. A client that has spent it with input still
// waiting is not read until enough of it returns, so that TCP slows the sender rather than
// anything being refused; the time it is held back is the server's, not the client's.
//
// A client of another transport cannot be left unread: what it sends beyond its allowance waits
// in its session's reader (bounded by the server) and is applied as the allowance returns.
//
// Every connection of one named editor (a web page opened with their key, in as many tabs as
// they like) spends one allowance, which lasts as long as one of them is connected.
//
// The rate may change at any time: each client takes it up at its next read.
class EditRateLimit
{
public:
    static constexpr int BurstSeconds = 2;

    explicit EditRateLimit(EventPoller *poller);

    // 0 sets no bound.
    void setPerSecond(int perSecond) { m_perSecond = perSecond; }
    int perSecond() const { return m_perSecond; }

    // Before a read: how many edits the client may have applied now, or -1 for no bound.
    qint64 grant(ConnectedClient *client, qint64 nowMs);
    // After it: spends what was used of what grant() gave. Returns whether the read stopped for
    // want of allowance.
    bool settle(ConnectedClient *client, qint64 granted, qint64 left);
    // A client that spent its allowance with input still waiting is held back until enough of it
    // returns; any other is let go.
    void updateHold(ConnectedClient *client, bool spent, qint64 nowMs);

    // The client spends, from now on, the allowance of every connection named editor.
    void share(ConnectedClient *client, const QString &editor);
    // The client leaves; the allowance goes with the last connection that shares it.
    void unshare(ConnectedClient *client);
    qsizetype sharedCount() const { return qsizetype(m_shared.size()); }

private:
    struct Shared
    {
        TokenBucket bucket;
        int users = 0;
    };

    EventPoller *m_poller = nullptr;
    int m_perSecond = 0;
    // Nodes stay where they are while the map changes, so clients may point into them.
    std::map<QString, Shared> m_shared;
};
