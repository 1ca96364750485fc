#pragma once

#include "server/picture.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QRect>
#include <QString>

#include <optional>

class PictureStore;

// A change to the whole picture, worked out from its history and carried out as ordinary edits,
// so that it is journaled and relayed like any other: a SetColorsCommand when a frame colour
// changes and a whole RowData for every row that does.
//
// A restore makes the picture the wanted one everywhere. A revert was worked out against the
// picture as the history last showed it (from), and puts a wanted value back only where the
// picture still holds from's value: a cell someone changed since is theirs, and is left alone.
// That makes a revert safe to carry out on a running server whose history lags its picture.
//
// A change limited to an area of cells changes nothing outside it, and never the frame colours:
// they belong to the whole picture, not to any area of it.
class PictureChange
{
public:
    struct Outcome
    {
        int cells = 0;   // cells whose value changed
        int colours = 0; // frame colours (border, background) that changed, 0 to 2
        bool operator==(const Outcome &other) const
        {
            return cells == other.cells && colours == other.colours;
        }
    };

    static PictureChange restore(const Picture &wanted);
    static PictureChange revert(const Picture &from, const Picture &wanted);

    // The same change, for the cells in area (in cells, within the grid) alone.
    PictureChange limitedTo(const QRect &area) const;

    bool isConditional() const { return m_conditional; }
    // The cells the change may touch; a null rectangle for the whole picture.
    const QRect &area() const { return m_area; }
    const Picture &from() const { return m_from; }
    const Picture &wanted() const { return m_wanted; }

    // The picture current becomes; nothing for a picture of another format than the change's.
    std::optional<Picture> appliedTo(const Picture &current) const;

    // The edits that turn current into wanted (of the same format), whole messages: the frame
    // colours first, then the rows that differ from the top.
    static QList<QByteArray> messages(const Picture &current, const Picture &wanted);
    static Outcome difference(const Picture &current, const Picture &wanted);

    // Submits the edits to the store under a connection; false if the store's picture is of
    // another format or refused an edit (it then says why in *problem).
    bool carryOut(PictureStore *store, quint64 connection, Outcome *outcome,
                  QString *problem) const;

    // The change as the control socket carries it.
    QByteArray encode() const;
    static std::optional<PictureChange> decode(QByteArrayView bytes, QString *problem);

private:
    PictureChange(const Picture &from, const Picture &wanted, bool conditional);

    Picture m_from;
    Picture m_wanted;
    bool m_conditional = false;
    QRect m_area;
};
