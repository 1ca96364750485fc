#include "server/tokenbucket.h"

#include <limits>

TokenBucket::TokenBucket(qint64 ratePerSecond, qint64 burst, qint64 nowMs)
    : m_rate(qMax<qint64>(0, ratePerSecond))
    , m_burst(qMax<qint64>(1, burst))
    , m_thousandths(m_burst * 1000)
    , m_lastMs(nowMs)
{
}

void TokenBucket::setRate(qint64 ratePerSecond, qint64 burst, qint64 nowMs)
{
    if (isLimited())
        refill(nowMs);
    m_rate = qMax<qint64>(0, ratePerSecond);
    m_burst = qMax<qint64>(1, burst);
    m_thousandths = qMin(m_thousandths, m_burst * 1000);
    m_lastMs = qMax(m_lastMs, nowMs);
}

void TokenBucket::refill(qint64 nowMs)
{
    if (nowMs <= m_lastMs)
        return;
    // A rate of r a second is r thousandths a millisecond; the cap keeps a long idle spell from
    // overflowing the product.
    const qint64 full = m_burst * 1000;
    const qint64 elapsed = nowMs - m_lastMs;
    m_thousandths =
        elapsed >= full / m_rate + 1 ? full : qMin(full, m_thousandths + elapsed * m_rate);
    m_lastMs = nowMs;
}

qint64 TokenBucket::available(qint64 nowMs)
{
    if (!isLimited())
        return std::numeric_limits<qint64>::max();
    refill(nowMs);
    return m_thousandths / 1000;
}

void TokenBucket::take(qint64 count)
{
    if (isLimited())
        m_thousandths = qMax<qint64>(0, m_thousandths - count * 1000);
}

qint64 TokenBucket::msUntil(qint64 count, qint64 nowMs)
{
    if (!isLimited())
        return 0;
    refill(nowMs);
    const qint64 missing = qMin(count, m_burst) * 1000 - m_thousandths;
    return missing <= 0 ? 0 : (missing + m_rate - 1) / m_rate;
}
