#pragma once

#include <QHash>
#include <QString>
#include <QtGlobal>

// When each address (or named editor) last changed a cell, for a picture that lets every address
// change one cell per interval (--cooldown). The wait is the address's, not the connection's: a
// second window, or a web page, from the same address waits with the first; every page of a
// named editor waits with the others, wherever they are. Keys are an address's text or a name
// with a prefix no address has (see ClientSession::shareCooldown()). Only addresses whose wait is
// still running matter, so the table is swept of the others as it grows: it holds at most the
// addresses that changed a cell within one interval, and twice that between sweeps.
//
// The interval is given with each question rather than kept, so that a new one applies from the
// next edit on, to the waits already running too.
class EditCooldown
{
public:
    // Whether key may change a cell at nowMs.
    bool allows(const QString &key, qint64 nowMs, qint64 intervalMs) const;
    // key changed a cell at nowMs: its wait starts.
    void started(const QString &key, qint64 nowMs, qint64 intervalMs);
    qsizetype size() const { return m_lastChange.size(); }

private:
    void sweep(qint64 nowMs, qint64 intervalMs);

    QHash<QString, qint64> m_lastChange;
    qsizetype m_sweepAt = 64;
};
