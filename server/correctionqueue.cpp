#include "server/correctionqueue.h"

#include "connection/protocol.h"
#include "model/canvasformat.h"
#include "server/picture.h"

#include <algorithm>
#include <optional>

namespace {

constexpr qint64 CommandSize = Protocol::HeaderSize + Protocol::CommandPayloadSize;

qint64 rowSize(const CanvasFormat &format)
{
    return Protocol::HeaderSize + Protocol::RowDataPrefixSize + format.columns;
}

} // namespace

CorrectionQueue::CorrectionQueue(const CanvasFormat &format)
    : m_format(&format)
    , m_credit(creditLimit(format))
    , m_rows(format.rows)
    , m_clearedRows(format.rows)
    , m_cells(format.cellCount())
    , m_cellsInRow(size_t(format.rows), 0)
{
}

qint64 CorrectionQueue::creditLimit(const CanvasFormat &format)
{
    return format.rows * rowSize(format) + CommandSize;
}

void CorrectionQueue::add(quint8 kind, QByteArrayView message)
{
    m_credit = qMin(m_credit + message.size(), creditLimit(*m_format));
    const QByteArrayView payload = message.sliced(qMin(message.size(), Protocol::HeaderSize));
    if (kind == Protocol::RowData) {
        const auto row = Protocol::decodeRowData(payload);
        if (!row || row->row >= m_format->rows)
            return;
        m_rows.setBit(row->row);
        m_pending = true;
        return;
    }
    const auto command = kind == Protocol::Command ? Protocol::decodeCommand(payload)
                                                   : std::optional<Protocol::CommandMessage>();
    if (!command)
        return;
    switch (command->opcode) {
    case Protocol::ClearCommand:
        m_clearedRows.fill(true);
        m_pending = true;
        break;
    case Protocol::SetColorsCommand:
        m_colors = true;
        m_pending = true;
        break;
    case Protocol::SetCellCommand:
        markCell(command->a, command->b);
        break;
    default:
        break;
    }
}

void CorrectionQueue::markCell(int x, int y)
{
    if (x >= m_format->columns || y >= m_format->rows)
        return;
    const int index = y * m_format->columns + x;
    if (m_cells.testBit(index))
        return;
    m_cells.setBit(index);
    ++m_cellsInRow[size_t(y)];
    m_pending = true;
}

void CorrectionQueue::clear()
{
    m_pending = false;
    m_resumeAt = 0;
    m_resumeColumn = 0;
    m_colors = false;
    m_rows.fill(false);
    m_clearedRows.fill(false);
    m_cells.fill(false);
    std::fill(m_cellsInRow.begin(), m_cellsInRow.end(), 0);
}

bool CorrectionQueue::spend(qint64 bytes)
{
    if (m_credit < bytes)
        return false;
    m_credit -= bytes;
    return true;
}

QByteArray CorrectionQueue::take(const Picture &picture)
{
    QByteArray out;
    if (!m_pending)
        return out;
    if (&picture.format() != m_format) {
        clear();
        return out;
    }
    // In order, stopping at the first the credit does not cover, where the next take starts:
    // the credit builds up for it rather than going to cheaper ones, which could starve it.
    const int positions = m_format->rows + 1; // the frame colours, then every row
    for (int step = 0; step < positions; ++step) {
        const int position = (m_resumeAt + step) % positions;
        if (!takePosition(picture, position, &out)) {
            m_resumeAt = position;
            return out;
        }
        m_resumeColumn = 0;
    }
    m_resumeAt = 0;
    m_pending = false;
    return out;
}

bool CorrectionQueue::takePosition(const Picture &picture, int position, QByteArray *out)
{
    if (position > 0)
        return takeRow(picture, position - 1, out);
    if (!m_colors)
        return true;
    if (!spend(CommandSize))
        return false;
    *out += Protocol::encodeCommand(Protocol::SetColorsCommand, picture.border(),
                                    picture.background(), 0);
    m_colors = false;
    return true;
}

bool CorrectionQueue::takeRow(const Picture &picture, int y, QByteArray *out)
{
    const int columns = m_format->columns;
    const auto *cells = reinterpret_cast<const quint8 *>(picture.cells().constData()) + y * columns;
    if (m_clearedRows.testBit(y) &&
        std::all_of(cells, cells + columns, [](quint8 value) { return value == EmptyCell; }))
        // The refused Clear left it empty, as it is.
        m_clearedRows.clearBit(y);
    const int marked = m_cellsInRow[size_t(y)];
    const bool whole =
        m_rows.testBit(y) || m_clearedRows.testBit(y) || marked * CommandSize > rowSize(*m_format);
    if (whole) {
        if (!spend(rowSize(*m_format)))
            return false;
        *out += Protocol::encodeRowData(quint8(y), quint8(columns), cells);
        m_rows.clearBit(y);
        m_clearedRows.clearBit(y);
        if (marked > 0) {
            for (int x = 0; x < columns; ++x)
                m_cells.clearBit(y * columns + x);
            m_cellsInRow[size_t(y)] = 0;
        }
        return true;
    }
    // From the cell where the credit ran out last time, round the row.
    for (int i = 0; i < columns && m_cellsInRow[size_t(y)] > 0; ++i) {
        const int x = (m_resumeColumn + i) % columns;
        if (!m_cells.testBit(y * columns + x))
            continue;
        if (!spend(CommandSize)) {
            m_resumeColumn = x;
            return false;
        }
        *out += Protocol::encodeCommand(Protocol::SetCellCommand, quint8(x), quint8(y), cells[x]);
        m_cells.clearBit(y * columns + x);
        --m_cellsInRow[size_t(y)];
    }
    return true;
}
