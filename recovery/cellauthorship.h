#pragma once

#include "server/picturehistory.h"

#include <QByteArrayView>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

class PictureStore;
class QTimer;

// Who last changed each cell of a picture with a kept history, and who has been editing lately:
// what the web page shows when a cell is pointed at, and the moderators' list of authors.
//
// An edit changes the cells it sets, as relayed: a SetCell its cell, a row the whole row (a
// short row is relayed widened to the grid), a Clear every cell; frame colours change no cell.
//
// It is fed live by the store's edited(), and seeded from the kept history by a backward scan:
// SeedChunk edits per turn of the event loop, newest first, so that a long history never stalls
// the loop for more than one chunk. A backward scan needs no picture to replay from and stops as
// soon as every cell has its last change (a single Clear settles every cell it reaches), and the
// cells edited lately, the ones people point at, are known first. Until the scan has reached
// the oldest kept edit, a cell it has not reached yet is NotKnownYet; ask again after seeded().
// A picture replaced as a whole (Redis regained) is scanned again.
//
// Memory: one small entry per cell (a grid is at most a few thousand cells), nothing per edit.
// Times of live edits are this process's clock when they are announced, which the store
// records within a millisecond or so.
class CellAuthorship : public QObject
{
    Q_OBJECT

public:
    static constexpr int SeedChunk = 4096;
    // The most edits authorsSince() reads: beyond them it answers for a shorter time and says
    // so, rather than stall the loop on a very busy hour.
    static constexpr quint64 MaxSummaryEdits = 200000;

    enum State {
        NotKnownYet, // the seeding scan has not reached the cell's last change yet
        Unchanged,   // no kept edit changed it
        Changed,
    };
    struct Cell
    {
        State state = NotKnownYet;
        quint64 connection = 0;
        qint64 timeMs = 0; // UTC milliseconds
        // The connection as the history keeps it (its name for a named editor, its address,
        // the label of a repair); only the id is set when the history could not say.
        PictureHistory::Connection who;
    };

    // One named editor (all their connections together), or one connection without a name.
    struct Author
    {
        QString name;           // empty for a connection without one
        quint64 connection = 0; // 0 for a named editor
        quint64 edits = 0;
        qint64 lastMs = 0;
        QStringList addresses; // every address the editor's edits came from, in order of first
    };
    struct Authors
    {
        qint64 sinceMs = 0;    // later than asked for when MaxSummaryEdits cut the span short
        QList<Author> authors; // most edits first, then the latest edit first
    };

    // history is asked for afresh at each use (a journal's is valid only until its store's next
    // call); it may answer nullptr while the history cannot be read.
    CellAuthorship(PictureStore *store, std::function<PictureHistory *()> history,
                   QObject *parent = nullptr);
    ~CellAuthorship() override;

    // Starts the seeding scan, on later turns of the loop.
    void start();
    bool isSeeded() const { return m_seeded; }

    // The last kept change of the cell at column x, row y, which must be inside the grid.
    Cell cell(int x, int y);
    // The authors of the edits kept since sinceMs (a moment before the oldest kept counts from
    // the oldest); nothing, with one line in *error, when the history cannot be read.
    std::optional<Authors> authorsSince(qint64 sinceMs, QString *error);

    // The cells an edit sets, as the first index (row by row) and a count; a count of 0 for an
    // edit that sets no cell, nothing for a message that is no edit of a picture of that size.
    struct Span
    {
        int first = 0;
        int count = 0;
    };
    static std::optional<Span> cellsSetBy(QByteArrayView message, const CanvasFormat &format);

Q_SIGNALS:
    // The scan has reached the oldest kept edit (or every cell): no cell is NotKnownYet now.
    void seeded();

private:
    struct Entry
    {
        quint64 seq = 0; // of the edit; 0: not known yet; Live: announced since the start
        quint64 connection = 0;
        qint64 timeMs = 0;
    };
    static constexpr quint64 Live = ~quint64(0);

    void restart();
    void liveEdit(quint64 connection, QByteArrayView relayed);
    void scanChunk();

    PictureStore *m_store = nullptr;
    std::function<PictureHistory *()> m_history;
    QTimer *m_timer = nullptr;
    std::vector<Entry> m_cells;
    int m_unknown = 0;         // cells whose entry is not known yet
    quint64 m_next = 0;        // the newest edit the scan has yet to read
    quint64 m_oldest = 1;      // the oldest it reads
    bool m_positioned = false; // m_next and m_oldest are set for this scan
    bool m_seeded = false;
};
