#include "connection/protocol.h"

#include "model/canvasformat.h"

namespace Protocol {

namespace {

void appendHeader(QByteArray &out, quint8 kind, quint16 length)
{
    out.append(char(kind));
    out.append(char(0));
    out.append(char(length & 0xff));
    out.append(char(length >> 8));
}

QByteArray message(quint8 kind, qsizetype payloadSize)
{
    QByteArray out;
    out.reserve(HeaderSize + payloadSize);
    appendHeader(out, kind, quint16(payloadSize));
    return out;
}

} // namespace

MessageHeader decodeHeader(const char *bytes)
{
    const auto *b = reinterpret_cast<const quint8 *>(bytes);
    return {b[0], b[1], quint16(b[2] | (b[3] << 8))};
}

QByteArray encodeHello()
{
    QByteArray out = message(Hello, HelloPayloadSize);
    out.append(char(HelloVersion));
    out.append(3, char(0));
    return out;
}

QByteArray encodeCommand(quint8 opcode, quint8 a, quint8 b, quint8 c)
{
    QByteArray out = message(Command, CommandPayloadSize);
    out.append(char(opcode));
    out.append(char(a));
    out.append(char(b));
    out.append(char(c));
    return out;
}

QByteArray encodeRowData(quint8 row, quint8 count, const quint8 *cells)
{
    QByteArray out = message(RowData, RowDataPrefixSize + count);
    out.append(char(row));
    out.append(char(count));
    out.append(2, char(0));
    out.append(reinterpret_cast<const char *>(cells), count);
    return out;
}

QByteArray encodeUpdate(quint8 formatNumber, quint8 border, quint8 background, QByteArrayView cells,
                        quint8 flags)
{
    const qsizetype payloadSize = qMin<qsizetype>(UpdatePrefixSize + cells.size(), MaxPayloadSize);
    QByteArray out = message(Update, payloadSize);
    out.append(char(formatNumber));
    out.append(char(border));
    out.append(char(background));
    out.append(char(flags));
    out.append(cells.data(), payloadSize - UpdatePrefixSize);
    return out;
}

std::optional<UpdateMessage> decodeUpdate(QByteArrayView payload)
{
    if (payload.size() < UpdatePrefixSize)
        return std::nullopt;
    const auto *b = reinterpret_cast<const quint8 *>(payload.data());
    const CanvasFormat *format = canvasFormat(b[0]);
    if (!format || payload.size() < UpdatePrefixSize + format->cellCount())
        return std::nullopt;
    return UpdateMessage{format,
                         b[0],
                         b[1],
                         b[2],
                         (b[3] & UpdateRelaysEdits) != 0,
                         payload.sliced(UpdatePrefixSize, format->cellCount())};
}

std::optional<CommandMessage> decodeCommand(QByteArrayView payload)
{
    if (payload.size() != CommandPayloadSize)
        return std::nullopt;
    const auto *b = reinterpret_cast<const quint8 *>(payload.data());
    return CommandMessage{b[0], b[1], b[2], b[3]};
}

std::optional<RowDataMessage> decodeRowData(QByteArrayView payload)
{
    if (payload.size() < RowDataPrefixSize)
        return std::nullopt;
    const auto *b = reinterpret_cast<const quint8 *>(payload.data());
    if (payload.size() != RowDataPrefixSize + b[1])
        return std::nullopt;
    return RowDataMessage{b[0], b[1], payload.sliced(RowDataPrefixSize)};
}

std::optional<RelayedEdit> decodeRelayedEdit(quint8 kind, QByteArrayView payload,
                                             const CanvasFormat &format)
{
    if (kind == RowData) {
        const auto row = decodeRowData(payload);
        if (!row || row->row >= format.rows || row->count != format.columns)
            return std::nullopt;
        return RelayedEdit{RelayedEdit::Row, row->row, 0, 0, row->cells};
    }
    if (kind != Command)
        return std::nullopt;
    const auto command = decodeCommand(payload);
    if (!command)
        return std::nullopt;
    switch (command->opcode) {
    case ClearCommand:
        return RelayedEdit{RelayedEdit::Clear, 0, 0, 0, {}};
    case SetColorsCommand:
        return RelayedEdit{RelayedEdit::SetColors, command->a, command->b, 0, {}};
    case SetCellCommand:
        if (command->a >= format.columns || command->b >= format.rows)
            return std::nullopt;
        return RelayedEdit{RelayedEdit::SetCell, command->a, command->b, command->c, {}};
    default:
        return std::nullopt;
    }
}

} // namespace Protocol
