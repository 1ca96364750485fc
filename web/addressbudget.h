#pragma once

#include "server/tokenbucket.h"

#include <QHostAddress>
#include <QString>

#include <unordered_map>

// So many requests a second from one address, after a burst: one token bucket per address, for
// at most MaxAddresses of them. Addresses whose budget has filled up again are as good as new and
// are forgotten when room is needed; while every kept one is still spending, a new address is
// refused rather than let memory grow with the addresses a peer can make up.
class AddressBudget
{
public:
    static constexpr int MaxAddresses = 4096;

    AddressBudget(int perSecond, int burst);

    // Takes one from the address's budget at nowMs (any steady clock); false when none is left.
    bool take(const QHostAddress &address, qint64 nowMs);

private:
    int m_perSecond = 0;
    int m_burst = 0;
    std::unordered_map<QString, TokenBucket> m_buckets;
};
