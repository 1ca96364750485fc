#pragma once

#include <QHash>
#include <QHostAddress>
#include <QtGlobal>

// When each address last changed a cell, for a picture that lets every address change one cell
// per interval (--cooldown). The wait is the address's, not the connection's: a second window,
// or a web viewer, from the same address waits with the first. Only addresses whose wait is
// still running matter, so the table is swept of the others as it grows: it holds at most the
// addresses that changed a cell within one interval, and twice that between sweeps.
//
// The interval is given with each question rather than kept, so that a new one applies from the
// next edit on, to the waits already running too.
class EditCooldown
{
public:
    // Whether address may change a cell at nowMs.
    bool allows(const QHostAddress &address, qint64 nowMs, qint64 intervalMs) const;
    // address changed a cell at nowMs: its wait starts.
    void started(const QHostAddress &address, qint64 nowMs, qint64 intervalMs);
    qsizetype size() const { return m_lastChange.size(); }

private:
    void sweep(qint64 nowMs, qint64 intervalMs);

    QHash<QHostAddress, qint64> m_lastChange;
    qsizetype m_sweepAt = 64;
};
