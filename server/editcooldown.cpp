#include "server/editcooldown.h"

bool EditCooldown::allows(const QString &key, qint64 nowMs, qint64 intervalMs) const
{
    const auto found = m_lastChange.constFind(key);
    return intervalMs <= 0 || found == m_lastChange.constEnd() ||
           nowMs - found.value() >= intervalMs;
}

void EditCooldown::started(const QString &key, qint64 nowMs, qint64 intervalMs)
{
    m_lastChange.insert(key, nowMs);
    if (m_lastChange.size() >= m_sweepAt)
        sweep(nowMs, intervalMs);
}

void EditCooldown::sweep(qint64 nowMs, qint64 intervalMs)
{
    m_lastChange.removeIf([&](const auto &entry) { return entry.value() + intervalMs <= nowMs; });
    // Each sweep costs the table's size: the next waits until it has doubled, so that a table
    // full of running waits is not swept on every edit.
    m_sweepAt = qMax<qsizetype>(64, 2 * m_lastChange.size());
}
