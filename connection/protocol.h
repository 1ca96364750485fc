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
// Bit 0 of an Update's byte 3: the server sends every edit it applies, the sender's own
// included, to every client that has had an Update, in the order it applied them.
constexpr quint8 UpdateRelaysEdits = 0x01;

// Reads the header at the start of bytes, which must hold at least HeaderSize bytes.
MessageHeader decodeHeader(const char *bytes);

QByteArray encodeHello();
QByteArray encodeCommand(quint8 opcode, quint8 a, quint8 b, quint8 c);
// A row of count cells. The length field is count + 4, so count is at most 255 by construction.
QByteArray encodeRowData(quint8 row, quint8 count, const quint8 *cells);
// An Update with whatever cell bytes are given; the server side builds its answers with this.
// flags goes into byte 3 of the payload.
QByteArray encodeUpdate(quint8 formatNumber, quint8 border, quint8 background, QByteArrayView cells,
                        quint8 flags = 0);

struct UpdateMessage
{
    const CanvasFormat *format = nullptr;
    quint8 formatNumber = 0;
    quint8 border = 0;
    quint8 background = 0;
    // The server announced that it relays edits (UpdateRelaysEdits); the other bits are ignored.
    bool relaysEdits = false;
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

// An edit that a relaying server sent on, checked against the format it is to be applied to.
struct RelayedEdit
{
    enum Type { Clear, SetColors, SetCell, Row };
    Type type = Clear;
    quint8 a = 0;         // SetColors: border; SetCell: column; Row: row
    quint8 b = 0;         // SetColors: background; SetCell: row
    quint8 c = 0;         // SetCell: the new value
    QByteArrayView cells; // Row: exactly columns bytes, pointing into the payload
};

// Decodes a relayed Command or RowData for a picture of this format. Fails for any other kind,
// a payload of the wrong length, an unknown opcode, a cell or a row outside the grid, and a row
// whose count is not the format's columns: applying only part of a row could leave this picture
// different from the server's.
std::optional<RelayedEdit> decodeRelayedEdit(quint8 kind, QByteArrayView payload,
                                             const CanvasFormat &format);

} // namespace Protocol
