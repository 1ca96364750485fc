#pragma once

#include <QBitArray>
#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

#include <vector>

struct CanvasFormat;
class Picture;

// What one window shows wrongly because the server refused edits it had already drawn, and the
// relays that put it right. A window draws its own edit at once; when the server refuses one the
// picture could have taken (read-only, a lock, a cooldown), the window keeps showing it until it
// is sent what the picture holds there. The queue remembers only where the window may be wrong
// (frame colours, rows, cells, rows a refused Clear emptied), never what it holds, so a thousand
// refusals of one cell cost one correction, and it never grows beyond the picture's size.
//
// The corrections carry the picture's values at the time they are taken, as ordinary relays: sent
// after every relay of the edits applied before that moment, they leave the window showing the
// picture as it stands then, and the relays that follow keep it so.
//
// A refused Clear left the window's cells empty: only rows that the picture does not hold empty
// differ, whatever was applied since, so only those are sent, as whole rows.
//
// Corrections are paid for by the refused edits: the queue holds a credit of bytes, filled by the
// size of each refused edit up to one picture's worth, which it starts with, and spent by every
// correction sent. Over any stretch the bytes sent back are at most the bytes refused plus that
// much, so a client cannot make the server write more than it reads by having edits refused (a
// refused Clear alone would ask for a whole picture). What the credit does not cover waits for
// the next refused edits. The next take starts where the credit ran out, so no correction waits
// behind others that keep coming back, and none costs more than one row: each is sent in the end.
class CorrectionQueue
{
public:
    explicit CorrectionQueue(const CanvasFormat &format);

    // The credit the queue starts with and never exceeds: every row as a RowData and the frame
    // colours once, all that a window can be wrong in.
    static qint64 creditLimit(const CanvasFormat &format);

    // A refused edit, the whole message as it arrived, which the picture of this format could
    // have taken as it was.
    void add(quint8 kind, QByteArrayView message);
    // The window was sent the whole picture: nothing it showed before is wrong any more.
    void clear();
    bool isEmpty() const { return !m_pending; }
    qint64 credit() const { return m_credit; }

    // The relays that put the window right, with picture's values, in order (frame colours, then
    // row by row) as far as the credit goes; the rest stays queued, and the next take starts
    // where this one stopped. picture must have this queue's format; a picture of another format
    // has reached the window whole already, and the queue is emptied.
    QByteArray take(const Picture &picture);

private:
    void markCell(int x, int y);
    // Whole rows or single cells of row y, whichever is shorter; false if the credit ran out.
    bool takeRow(const Picture &picture, int y, QByteArray *out);
    // 0: the frame colours; y + 1: row y.
    bool takePosition(const Picture &picture, int position, QByteArray *out);
    bool spend(qint64 bytes);

    const CanvasFormat *m_format = nullptr;
    qint64 m_credit = 0;
    bool m_pending = false;
    // Where the last take stopped: a position, and in a row sent cell by cell, a column.
    int m_resumeAt = 0;
    int m_resumeColumn = 0;
    bool m_colors = false;
    QBitArray m_rows;        // to be sent whole
    QBitArray m_clearedRows; // emptied by a refused Clear: sent whole unless empty in the picture
    QBitArray m_cells;       // row by row, as in the picture
    std::vector<int> m_cellsInRow;
};
