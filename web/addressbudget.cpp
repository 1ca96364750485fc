#include "web/addressbudget.h"

AddressBudget::AddressBudget(int perSecond, int burst)
    : m_perSecond(perSecond)
    , m_burst(burst)
{
}

bool AddressBudget::take(const QHostAddress &address, qint64 nowMs)
{
    const QString key = address.toString();
    auto found = m_buckets.find(key);
    if (found == m_buckets.end()) {
        if (int(m_buckets.size()) >= MaxAddresses) {
            for (auto entry = m_buckets.begin(); entry != m_buckets.end();)
                entry = entry->second.available(nowMs) >= m_burst ? m_buckets.erase(entry)
                                                                  : std::next(entry);
            if (int(m_buckets.size()) >= MaxAddresses)
                return false;
        }
        found = m_buckets.emplace(key, TokenBucket(m_perSecond, m_burst, nowMs)).first;
    }
    if (found->second.available(nowMs) < 1)
        return false;
    found->second.take(1);
    return true;
}
