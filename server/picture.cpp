#include "server/picture.h"

#include "connection/protocol.h"
#include "model/canvasformat.h"

#include <cstring>

Picture::Picture(int formatNumber)
{
    if (!isFormatNumber(formatNumber))
        formatNumber = DefaultFormat;
    m_formatNumber = quint8(formatNumber);
    m_format = canvasFormat(m_formatNumber);
    m_cells = QByteArray(m_format->cellCount(), char(EmptyCell));
}

quint8 Picture::cell(int x, int y) const
{
    return quint8(m_cells.at(y * m_format->columns + x));
}

void Picture::setFrameColors(quint8 border, quint8 background)
{
    m_border = border;
    m_background = background;
    m_update.clear();
}

void Picture::setCell(int x, int y, quint8 value)
{
    m_cells[y * m_format->columns + x] = char(value);
    m_update.clear();
}

bool Picture::setCells(QByteArrayView cells)
{
    if (cells.size() != m_cells.size())
        return false;
    std::memcpy(m_cells.data(), cells.data(), size_t(cells.size()));
    m_update.clear();
    return true;
}

void Picture::clear()
{
    m_cells.fill(char(EmptyCell));
    m_update.clear();
}

Picture::EditResult Picture::apply(quint8 kind, QByteArrayView payload)
{
    const EditResult result = check(kind, payload);
    if (result != Applied)
        return result;
    if (kind == Protocol::RowData) {
        const auto row = Protocol::decodeRowData(payload);
        // A short row changes only the cells it carries; the rest of the row keeps its values.
        m_update.clear();
        std::memcpy(m_cells.data() + row->row * m_format->columns, row->cells.data(),
                    size_t(row->count));
        return Applied;
    }
    const auto command = Protocol::decodeCommand(payload);
    if (command->opcode == Protocol::ClearCommand)
        clear();
    else if (command->opcode == Protocol::SetColorsCommand)
        setFrameColors(command->a, command->b);
    else
        setCell(command->a, command->b, command->c);
    return Applied;
}

Picture::EditResult Picture::check(quint8 kind, QByteArrayView payload) const
{
    switch (kind) {
    case Protocol::Command:
        return checkCommand(payload);
    case Protocol::RowData:
        return checkRow(payload);
    default:
        return UnknownKind;
    }
}

Picture::EditResult Picture::checkCommand(QByteArrayView payload) const
{
    const auto command = Protocol::decodeCommand(payload);
    if (!command)
        return BadLength;

    switch (command->opcode) {
    case Protocol::ClearCommand:
        return Applied;
    case Protocol::SetColorsCommand:
        if (command->a >= m_format->palette.size() || command->b >= m_format->palette.size())
            return OutsidePalette;
        return Applied;
    case Protocol::SetCellCommand:
        if (command->a >= m_format->columns || command->b >= m_format->rows)
            return OutsideGrid;
        return isCellValue(command->c) ? Applied : OutsidePalette;
    default:
        return UnknownOpcode;
    }
}

Picture::EditResult Picture::checkRow(QByteArrayView payload) const
{
    const auto row = Protocol::decodeRowData(payload);
    if (!row)
        return BadLength;
    if (row->row >= m_format->rows || row->count > m_format->columns)
        return OutsideGrid;
    for (const char value : row->cells.first(row->count))
        if (!isCellValue(quint8(value)))
            return OutsidePalette;
    return Applied;
}

QByteArray Picture::encodeUpdate(quint8 flags) const
{
    return Protocol::encodeUpdate(m_formatNumber, m_border, m_background, m_cells, flags);
}

const QByteArray &Picture::update(quint8 flags) const
{
    if (m_update.isEmpty() || m_updateFlags != flags) {
        m_update = encodeUpdate(flags);
        m_updateFlags = flags;
    }
    return m_update;
}

bool Picture::isCellValue(quint8 value) const
{
    return value == EmptyCell || value < m_format->palette.size();
}

QByteArrayView Picture::relayed(quint8 kind, QByteArrayView message, QByteArray *scratch) const
{
    if (kind != Protocol::RowData)
        return message;
    const auto row = Protocol::decodeRowData(message.sliced(Protocol::HeaderSize));
    if (!row || row->count == m_format->columns)
        return message;
    const auto *cells =
        reinterpret_cast<const quint8 *>(m_cells.constData()) + row->row * m_format->columns;
    *scratch = Protocol::encodeRowData(row->row, quint8(m_format->columns), cells);
    return *scratch;
}

const char *Picture::describe(EditResult result)
{
    switch (result) {
    case Applied:
        return "applied";
    case UnknownKind:
        return "unknown message kind";
    case UnknownOpcode:
        return "unknown command opcode";
    case BadLength:
        return "payload length does not fit the message";
    case OutsideGrid:
        return "outside the grid";
    case OutsidePalette:
        return "colour outside the palette";
    case NotAllowed:
        return "not allowed";
    case Locked:
        return "in a locked area";
    case Banned:
        return "from a banned address";
    }
    return "unknown";
}

bool operator==(const Picture &a, const Picture &b)
{
    return a.m_formatNumber == b.m_formatNumber && a.m_border == b.m_border &&
           a.m_background == b.m_background && a.m_cells == b.m_cells;
}
