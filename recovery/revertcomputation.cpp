#include "recovery/revertcomputation.h"

#include "connection/protocol.h"
#include "model/canvasformat.h"

#include <algorithm>

namespace {

bool isCellValue(const CanvasFormat &format, quint8 value)
{
    return value == EmptyCell || value < format.palette.size();
}

} // namespace

RevertComputation::RevertComputation(const Picture &start)
    : m_current(start)
    , m_before(size_t(start.format().cellCount()) + 2)
    , m_owned(size_t(start.format().cellCount()) + 2, false)
    , m_writer(size_t(start.format().cellCount()) + 2, 0)
{
}

void RevertComputation::touch(bool byAuthor, int index, quint8 value)
{
    m_writer[size_t(index)] = m_connection;
    if (!byAuthor) {
        m_owned[size_t(index)] = false;
    } else if (!m_owned[size_t(index)]) {
        m_owned[size_t(index)] = true;
        m_before[size_t(index)] = value;
    }
}

bool RevertComputation::add(bool byAuthor, QByteArrayView message, quint64 connection)
{
    if (message.size() < Protocol::HeaderSize)
        return false;
    const Protocol::MessageHeader header = Protocol::decodeHeader(message.data());
    if (message.size() != Protocol::HeaderSize + header.length)
        return false;
    const QByteArrayView payload = message.sliced(Protocol::HeaderSize);
    const CanvasFormat &format = m_current.format();
    const auto edit = Protocol::decodeRelayedEdit(header.kind, payload, format);
    if (!edit)
        return false;
    // Everything is checked before the first touch, so that an edit the picture refuses leaves
    // no claim behind.
    const QByteArray &cells = m_current.cells();
    const int cellCount = format.cellCount();
    m_connection = connection;
    switch (edit->type) {
    case Protocol::RelayedEdit::Clear:
        if (byAuthor) {
            for (int i = 0; i < cellCount; ++i)
                touch(true, i, quint8(cells.at(i)));
        } else {
            std::fill_n(m_owned.begin(), cellCount, false);
            std::fill_n(m_writer.begin(), cellCount, connection);
        }
        m_current.clear();
        break;
    case Protocol::RelayedEdit::SetColors:
        if (edit->a >= format.palette.size() || edit->b >= format.palette.size())
            return false;
        touch(byAuthor, cellCount, m_current.border());
        touch(byAuthor, cellCount + 1, m_current.background());
        m_current.setFrameColors(edit->a, edit->b);
        break;
    case Protocol::RelayedEdit::SetCell: {
        if (!isCellValue(format, edit->c))
            return false;
        const int index = edit->b * format.columns + edit->a;
        touch(byAuthor, index, quint8(cells.at(index)));
        m_current.setCell(edit->a, edit->b, edit->c);
        break;
    }
    case Protocol::RelayedEdit::Row: {
        for (const char value : edit->cells)
            if (!isCellValue(format, quint8(value)))
                return false;
        const int first = edit->a * format.columns;
        for (int x = 0; x < format.columns; ++x)
            touch(byAuthor, first + x, quint8(cells.at(first + x)));
        m_current.apply(header.kind, payload);
        break;
    }
    }
    if (byAuthor)
        ++m_authorEdits;
    return true;
}

Picture RevertComputation::reverted() const
{
    Picture picture = m_current;
    const CanvasFormat &format = picture.format();
    const int cellCount = format.cellCount();
    QByteArray cells = picture.cells();
    for (int i = 0; i < cellCount; ++i)
        if (m_owned[size_t(i)])
            cells[i] = char(m_before[size_t(i)]);
    picture.setCells(cells);
    picture.setFrameColors(
        m_owned[size_t(cellCount)] ? m_before[size_t(cellCount)] : picture.border(),
        m_owned[size_t(cellCount) + 1] ? m_before[size_t(cellCount) + 1] : picture.background());
    return picture;
}
