#include "server/editratelimit.h"

#include "server/connectedclient.h"

#include <sys/ioctl.h>

namespace {

// A held-back client is read again once this many milliseconds of edits have returned to it,
// not after each one: fewer wake-ups, the same pace.
constexpr qint64 ResumeStepMs = 20;

} // namespace

EditRateLimit::EditRateLimit(EventPoller *poller)
    : m_poller(poller)
{
}

void EditRateLimit::share(ConnectedClient *client, const QString &editor)
{
    unshare(client);
    Shared &shared = m_shared[editor];
    ++shared.users;
    client->sharedAllowance = &shared.bucket;
    client->sharedBy = editor;
}

void EditRateLimit::unshare(ConnectedClient *client)
{
    if (!client->sharedAllowance)
        return;
    client->sharedAllowance = nullptr;
    const auto found = m_shared.find(client->sharedBy);
    if (found != m_shared.end() && --found->second.users <= 0)
        m_shared.erase(found);
}

qint64 EditRateLimit::grant(ConnectedClient *client, qint64 nowMs)
{
    TokenBucket &allowance = client->bucket();
    if (allowance.rate() != m_perSecond) {
        const qint64 burst = qint64(m_perSecond) * BurstSeconds;
        // A client new to the bound starts with the whole burst, as it would on connecting.
        if (m_perSecond <= 0)
            allowance = TokenBucket();
        else if (!allowance.isLimited())
            allowance = TokenBucket(m_perSecond, burst, nowMs);
        else
            allowance.setRate(m_perSecond, burst, nowMs);
    }
    return allowance.isLimited() ? allowance.available(nowMs) : qint64(-1);
}

bool EditRateLimit::settle(ConnectedClient *client, qint64 granted, qint64 left)
{
    if (granted > 0)
        client->bucket().take(granted - left);
    return granted >= 0 && left == 0;
}

void EditRateLimit::updateHold(ConnectedClient *client, bool spent, qint64 nowMs)
{
    int unread = 0;
    const bool waiting =
        client->session->reader().pendingBytes() > 0 ||
        (spent && client->fd >= 0 && ::ioctl(client->fd, FIONREAD, &unread) == 0 && unread > 0);
    if (spent && waiting) {
        if (client->heldSinceMs < 0)
            client->heldSinceMs = nowMs;
        TokenBucket &allowance = client->bucket();
        const qint64 step = qMax<qint64>(1, allowance.rate() * ResumeStepMs / 1000);
        client->resumeMs = nowMs + allowance.msUntil(step, nowMs);
        // Its input stays in the kernel until then, and TCP holds the sender back; another
        // transport's waits in the server.
        if (client->fd >= 0)
            m_poller->setReading(client->fd, false);
        return;
    }
    if (client->heldSinceMs >= 0) {
        // Its Hello deadline starts again from where it stood.
        client->connectedMs += nowMs - client->heldSinceMs;
        client->heldSinceMs = -1;
        if (client->fd >= 0)
            m_poller->setReading(client->fd, true);
    }
}
