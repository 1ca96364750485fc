#pragma once

#include "server/moderation.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

#include <cstddef>
#include <utility>
#include <vector>

// Who may be served: the allow list, and how many clients the server holds, in all and from each
// address. Every client admitted is counted here by its address when its session starts and
// uncounted when it leaves, whichever transport it came by, so the counts are those of the
// clients served at the moment.
class Admission
{
public:
    static constexpr int DefaultMaxClients = 10000;
    static constexpr int DefaultMaxPerAddress = 8;

    // An IPv4 peer of a dual-stack listener arrives as ::ffff:a.b.c.d; it counts as a.b.c.d.
    static QHostAddress plainAddress(const QHostAddress &address);

    void setAllowed(const QList<QPair<QHostAddress, int>> &subnets) { m_allowed = subnets; }
    // Whether --allow lets the address in; an empty list allows every address.
    bool isAllowed(const QHostAddress &address) const;
    void setMaxClients(int count) { m_maxClients = count; }
    int maxClients() const { return m_maxClients; }
    void setMaxPerAddress(int count) { m_maxPerAddress = count; }
    int maxPerAddress() const { return m_maxPerAddress; }

    // The bans a new client is checked against, kept by the picture's store, which outlives this.
    void setModeration(const Moderation *moderation) { m_moderation = moderation; }
    // The ban that holds the address at nowMs, if any.
    const Moderation::Ban *banOf(const QHostAddress &address, qint64 nowMs) const;

    // Why a new client from address would be turned away by --allow, a ban, --max-clients or
    // --max-per-address, or empty when it would be served.
    QString refusalFor(const QHostAddress &address) const;

    // Which of the clients served, given by their addresses in the order they came, the limits
    // set now leave no place for: those that came last beyond them, each with the reason. A
    // client beyond --max-per-address takes none of the places in all.
    std::vector<std::pair<std::size_t, QString>>
    beyondLimits(const std::vector<QHostAddress> &inOrder) const;

    // A client from the plain address is served from now on, or no longer.
    void admitted(const QHostAddress &address);
    void released(const QHostAddress &address);
    int count() const { return m_count; }
    int countFrom(const QHostAddress &address) const { return m_perAddress.value(address); }

private:
    QList<QPair<QHostAddress, int>> m_allowed;
    const Moderation *m_moderation = nullptr;
    int m_maxClients = DefaultMaxClients;
    int m_maxPerAddress = DefaultMaxPerAddress;
    int m_count = 0;
    QHash<QHostAddress, int> m_perAddress;
};
