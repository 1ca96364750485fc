#pragma once

#include <QtGlobal>

// How many of something a sender may have at a time: an allowance that refills at a steady rate
// up to a burst, and that taking spends. Kept in thousandths, so that any rate refills exactly
// whatever the clock's steps. Times are milliseconds on any steady clock; a step back counts as
// no time passing.
class TokenBucket
{
public:
    // Unlimited: available() is always the most there is.
    TokenBucket() = default;
    // Full at nowMs.
    TokenBucket(qint64 ratePerSecond, qint64 burst, qint64 nowMs);

    bool isLimited() const { return m_rate > 0; }
    qint64 rate() const { return m_rate; }
    // Refills at the old rate until nowMs, then at the new one; what is saved up beyond the new
    // burst is lost, so that a lower rate never lets more through at once than it would allow.
    void setRate(qint64 ratePerSecond, qint64 burst, qint64 nowMs);
    qint64 available(qint64 nowMs);
    // Spends count of what available() last said there was.
    void take(qint64 count);
    // Milliseconds from nowMs until count are available (0 if they are now); count must not
    // exceed the burst.
    qint64 msUntil(qint64 count, qint64 nowMs);

private:
    void refill(qint64 nowMs);

    qint64 m_rate = 0;
    qint64 m_burst = 0;
    qint64 m_thousandths = 0;
    qint64 m_lastMs = 0;
};
