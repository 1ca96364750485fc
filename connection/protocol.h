#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

#include <optional>

struct CanvasFormat;

// The picture server's wire format. Every message is a 4-byte header (kind, a reserved byte, and
// the payload length as an unsigned 16-bit little-endian number) followed by exactly that many
// payload bytes. Nothing here knows about sockets or widgets.
namespace Protocol {

enum MessageKind : quint8 {
    Hello = 1,   // client to server
    Update = 2,  // server to client: the whole picture
    Command = 3, // client to server: one edit
    RowData = 4, // client to server: one row of an imported image
};

enum CommandOpcode : quint8 {
    ClearCommand = 0,
    SetColorsCommand = 1,
    SetCellCommand = 2,
};

struct MessageHeader
{
    quint8 kind = 0;
    quint8 reserved = 0;
    quint16 length = 0;
};

constexpr int HeaderSize = 4;
constexpr int MaxPayloadSize = 0xffff;
constexpr int MaxMessageSize = HeaderSize + MaxPayloadSize;
constexpr int HelloPayloadSize = 4;
constexpr int CommandPayloadSize = 4;
constexpr int RowDataPrefixSize = 4;
constexpr int UpdatePrefixSize = 4;
// The TCP port a picture server listens on, and the client connects to, unless told otherwise.
constexpr quint16 DefaultPort = 3000;
// The value the client puts in the first byte of its Hello.
constexpr quint8 HelloVersion = 3;

// Reads the header at the start of bytes, which must hold at least HeaderSize bytes.
MessageHeader decodeHeader(const char *bytes);

QByteArray encodeHello();
QByteArray encodeCommand(quint8 opcode, quint8 a, quint8 b, quint8 c);
// A row of count cells. The length field is count + 4, so count is at most 255 by construction.
QByteArray encodeRowData(quint8 row, quint8 count, const quint8 *cells);
// An Update with whatever cell bytes are given; the server side builds its answers with this.
QByteArray encodeUpdate(quint8 formatNumber, quint8 border, quint8 background,
                        QByteArrayView cells);

struct UpdateMessage
{
    const CanvasFormat *format = nullptr;
    quint8 formatNumber = 0;
    quint8 border = 0;
    quint8 background = 0;
    // Exactly rows x columns bytes of the named format, pointing into the payload.
    QByteArrayView cells;
};

// Decodes an Update payload. Fails for a format number with no format and for a payload too
// short to hold the format's cells; bytes beyond the cells are ignored.
std::optional<UpdateMessage> decodeUpdate(QByteArrayView payload);

struct CommandMessage
{
    quint8 opcode = 0;
    quint8 a = 0;
    quint8 b = 0;
    quint8 c = 0;
};

// Decodes a Command payload; fails unless it is exactly four bytes.
std::optional<CommandMessage> decodeCommand(QByteArrayView payload);

struct RowDataMessage
{
    quint8 row = 0;
    quint8 count = 0;
    QByteArrayView cells;
};

// Decodes a RowData payload; fails unless count matches the payload's length.
std::optional<RowDataMessage> decodeRowData(QByteArrayView payload);

} // namespace Protocol
