#pragma once

#include <QColor>
#include <QList>
#include <QtGlobal>

#include <algorithm>
#include <iterator>

// One cell or colour index as it travels on the wire and lives in the cell buffer.
using uint8 = quint8;

// A cell value that stands for "no colour". Every value at or beyond the palette size is treated
// the same way when painting, but only this one is produced by erasing.
constexpr uint8 EmptyCell = 255;

// A picture format: the size of the grid, the shape of one cell and the palette. The records are
// built once by canvasFormats() and never change afterwards, so they are compared by address.
struct CanvasFormat
{
    qint32 rows = 0;
    qint32 columns = 0;
    float cellAspect = 1.0f; // width of one cell divided by its height
    bool hasFrameColors = false;
    bool rowGap = false;
    QList<QColor> palette;

    int cellCount() const { return rows * columns; }
};

// The grid of each format, by number. It is known at compile time so that what follows from the
// formats (how many there are, the largest picture) is derived from it rather than restated.
struct CanvasGrid
{
    qint32 rows;
    qint32 columns;
};
inline constexpr CanvasGrid canvasGrids[] = {{25, 40}, {25, 80}, {23, 22}, {25, 40}};

inline constexpr int CanvasFormatCount = int(std::size(canvasGrids));

constexpr int largestCellCount()
{
    int largest = 0;
    for (const CanvasGrid &grid : canvasGrids)
        largest = std::max(largest, grid.rows * grid.columns);
    return largest;
}

// The process-wide table of the four formats, numbered by position. Built on first use; the
// records stay at fixed addresses until the process exits.
const QList<CanvasFormat *> &canvasFormats();

// The record for a format number as it arrives from the server, or nullptr for 4 to 255.
const CanvasFormat *canvasFormat(uint8 number);

// The number of a record of the table, or -1 for anything else.
int canvasFormatNumber(const CanvasFormat *format);
