#pragma once

#include "server/picture.h"

#include <QByteArrayView>

#include <vector>

// Works out what reverting one author's edits gives, edit by edit in the history's order, from
// the picture the span started with.
//
// For every cell and both frame colours it keeps whether the latest change came from the author
// and, if so, the value just before the author's last uninterrupted run of changes to it: that
// is the value a revert puts back. A change by anyone else ends the author's claim, so cells
// repaired after the author stay repaired. Every edit counts as a change to what it touches,
// even when it writes the value already there, and a ClearCommand touches every cell.
class RevertComputation
{
public:
    explicit RevertComputation(const Picture &start);

    // message is the whole edit as relayed, header included, and connection the one it came
    // from. Returns false (and changes nothing) for a message that is no edit of this picture.
    bool add(bool byAuthor, QByteArrayView message, quint64 connection = 0);

    // The picture after every edit added.
    const Picture &current() const { return m_current; }
    // That picture with the author's surviving changes put back.
    Picture reverted() const;
    quint64 authorEdits() const { return m_authorEdits; }
    // The connection of the latest edit that touched each slot (cells row by row, then the
    // border and the background); 0 for none since the start.
    const std::vector<quint64> &writers() const { return m_writer; }

private:
    void touch(bool byAuthor, int index, quint8 value);

    quint64 m_connection = 0; // of the edit being added

    Picture m_current;
    // One slot per cell, row by row, then the border and the background.
    std::vector<quint8> m_before;
    std::vector<bool> m_owned;
    std::vector<quint64> m_writer;
    quint64 m_authorEdits = 0;
};
