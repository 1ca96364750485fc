#pragma once

#include "model/canvasformat.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

// The one picture a server holds: its format, the two frame colour indices and every cell. Edits
// arrive as raw message payloads and are either applied whole or not at all, so a picture never
// holds half of a message.
class Picture
{
public:
    // What became of an edit. Everything but Applied leaves the picture exactly as it was.
    enum EditResult {
        Applied,
        UnknownKind,    // a message kind that carries no edit
        UnknownOpcode,  // a Command with an opcode this server does not know
        BadLength,      // a payload too short or too long for its kind, or a RowData count that
                        // does not match its length
        OutsideGrid,    // a cell or a row beyond the format's grid, or a row longer than the grid
        OutsidePalette, // a cell value that is neither a palette index nor EmptyCell, or a frame
                        // colour that is not a palette index
        NotAllowed,     // an edit the picture could take, which the server's rules forbid (the
                        // picture is read-only, its sender must wait, ...)
        // Rule refusals too, from the bans and locks (see Moderation):
        Locked, // it touches what a lock holds for its sender
        Banned, // its sender is banned
    };

    // An empty picture (every cell EmptyCell, both frame colours 0) in a format, 0 to 3; any
    // other number falls back to format 3.
    explicit Picture(int formatNumber = DefaultFormat);

    static constexpr int DefaultFormat = 3;
    static bool isFormatNumber(int number) { return number >= 0 && number < CanvasFormatCount; }

    quint8 formatNumber() const { return m_formatNumber; }
    const CanvasFormat &format() const { return *m_format; }
    quint8 border() const { return m_border; }
    quint8 background() const { return m_background; }
    // rows x columns bytes, row by row, as on the wire.
    const QByteArray &cells() const { return m_cells; }
    quint8 cell(int x, int y) const;

    void setFrameColors(quint8 border, quint8 background);
    void setCell(int x, int y, quint8 value);
    // Replaces every cell; refused (returning false) unless exactly rows x columns bytes.
    bool setCells(QByteArrayView cells);
    void clear();

    // Applies one client message of any kind. Colours must belong to the format's palette: a
    // value beyond it would be stored, saved and handed to every later client.
    EditResult apply(quint8 kind, QByteArrayView payload);
    // What apply() would answer, without changing anything: Applied for every edit the picture
    // could take as it stands. Never NotAllowed.
    EditResult check(quint8 kind, QByteArrayView payload) const;
    // An applied edit as every client is to be sent it, given the whole message as it arrived:
    // the message itself, except that a row shorter than the grid changes only the cells it
    // carries, which a client cannot tell from a malformed row, so it goes out as the whole row
    // as it now stands, encoded into *scratch. Call it after apply(), before the next edit.
    QByteArrayView relayed(quint8 kind, QByteArrayView message, QByteArray *scratch) const;

    // The Update message that hands the whole picture to a client; flags go into its byte 3.
    QByteArray encodeUpdate(quint8 flags = 0) const;
    // The same, encoded once per state of the picture: every edit forgets it.
    const QByteArray &update(quint8 flags = 0) const;

    static const char *describe(EditResult result);

    friend bool operator==(const Picture &a, const Picture &b);
    friend bool operator!=(const Picture &a, const Picture &b) { return !(a == b); }

private:
    EditResult checkCommand(QByteArrayView payload) const;
    EditResult checkRow(QByteArrayView payload) const;
    bool isCellValue(quint8 value) const;

    const CanvasFormat *m_format = nullptr;
    quint8 m_formatNumber = 0;
    quint8 m_border = 0;
    quint8 m_background = 0;
    QByteArray m_cells;
    mutable QByteArray m_update;
    mutable quint8 m_updateFlags = 0;
};
