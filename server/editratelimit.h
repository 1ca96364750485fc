#pragma once

#include <QtGlobal>

class EventPoller;
struct ConnectedClient;

// The edit rate each client is held to: an allowance of edits (a token bucket) that refills at
// the rate, up to a burst of BurstSeconds of it. A client that has spent it with input still
// waiting is not read until enough of it returns, so that TCP slows the sender rather than
// anything being refused; the time it is held back is the server's, not the client's.
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

private:
    EventPoller *m_poller = nullptr;
    int m_perSecond = 0;
};
