#pragma once

#include "server/subnet.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QRect>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

class Picture;
struct CanvasFormat;

// The bans and locks a picture's moderators set, and what they make of a connection or an edit.
// Both stores hold one, kept with the picture (the journal, or Redis), so that a picture behaves
// alike wherever it lives; the server asks it whom to turn away and close.
//
// A ban turns an address or a block of addresses away until it is lifted or runs out, or a named
// editor (a web page opened with that editor's key) wherever they connect from. A lock
// makes the whole picture (frame colours included) or a rectangle of cells read-only for every
// address but the ones it excepts. The server's own connections (the control socket's repairs)
// have no address and are held by neither: a moderator's revert must reach locked cells.
//
// Every edit is taken whole or refused whole, as Picture applies it. A RowData that touches a
// locked cell is refused whole rather than applied in part: a row comes from a paste or an import,
// where half a row is worse than none, and the sender's window is corrected to the picture. A
// Clear is the one edit that is applied in part: it empties the cells no lock holds, and goes out
// as the rows that changed (clearAround()).
class Moderation
{
public:
    struct Ban
    {
        Subnet subnet; // null for a ban of an author
        QString setBy; // the user who set it
        qint64 setMs = 0;
        qint64 untilMs = -1; // -1: until lifted
        QString reason;
        // A named editor this ban holds wherever they connect from; empty for a ban of addresses.
        QString author;
        bool isInForce(qint64 nowMs) const { return untilMs < 0 || nowMs < untilMs; }
        bool holds(const QHostAddress &address, qint64 nowMs) const;
        bool holdsAuthor(const QString &name, qint64 nowMs) const;
        // What it holds, as the commands write it: "127.0.0.0/24" or "author alice".
        QString target() const;
        // Whether the two hold the same addresses or the same author (one replaces the other).
        bool sameTarget(const Ban &other) const;
        bool operator==(const Ban &other) const;
    };
    struct Lock
    {
        QRect area; // null: the whole picture
        QList<Subnet> except;
        QString setBy;
        qint64 setMs = 0;
        bool holds(const QHostAddress &address) const;
        bool operator==(const Lock &other) const;
    };
    struct Change
    {
        enum Kind { AddBan, RemoveBan, AddLock, RemoveLock };
        Kind kind = AddBan;
        Ban ban;   // AddBan; RemoveBan reads its subnet, or its author when that is set
        Lock lock; // AddLock; RemoveLock reads its area
    };

    // Whether text is a name an editor can have: 1 to 32 of A-Z, a-z, 0-9, '_', '.' and '-'.
    static bool isAuthorName(const QString &text);
    // The same, with one line in *error for the option that gave text when it is not.
    static bool checkAuthorName(const QString &text, QString *error);

    // X,Y,W,H inside the format's grid; nothing, with one line in *error, otherwise.
    static std::optional<QRect> parseArea(const QString &text, const CanvasFormat &format,
                                          QString *error);
    // "X,Y,W,H", or "" for the whole picture.
    static QString areaText(const QRect &area);
    // How long a ban lasts, as moderators write it: 90s, 10m, 2h or 3d, in milliseconds; nothing
    // for anything else or for none at all.
    static std::optional<qint64> parseDuration(const QString &text);

    const std::vector<Ban> &bans() const { return m_bans; }
    const std::vector<Lock> &locks() const { return m_locks; }
    bool isEmpty() const { return m_bans.empty() && m_locks.empty(); }

    // A ban replaces one on the same subnet (or author), a lock one on the same area. Removing what
    // is not there fails, with one line in *error, and changes nothing.
    bool apply(const Change &change, QString *error);
    // Drops the bans that ran out by nowMs; whether there were any.
    bool dropExpired(qint64 nowMs);

    // The ban that turns the address away at nowMs, if any.
    const Ban *banFor(const QHostAddress &address, qint64 nowMs) const;
    // Whether a ban holds the named editor at nowMs; never for an empty name (nobody's page).
    bool bansAuthor(const QString &name, qint64 nowMs) const;

    enum Verdict {
        Allowed,
        Banned,
        Locked,      // it touches a cell or frame colour a lock holds for the sender
        ClearAround, // a Clear while a lock holds cells: clearAround() says what it changes
    };
    // What the bans and locks in force say of one sender, worked out once for every edit it
    // sends until they change: judging an edit then costs no address matching.
    struct Standing
    {
        qint64 bannedUntil = 0;   // 0: not banned; -1: until lifted
        std::vector<int> locks;   // the locks that hold for it, by index into locks()
        bool wholeLocked = false; // one of them holds the whole picture
    };
    // author is the sender's name, empty for a sender without one.
    Standing standingOf(const QHostAddress &sender, const QString &author = QString()) const;

    // payload is the message less its header; one the picture could not take anyway is Allowed,
    // for the picture to refuse. A null sender is the server's own connection. nowMs is asked
    // for only when a ban may hold.
    Verdict judge(const Standing &standing, quint8 kind, QByteArrayView payload,
                  const CanvasFormat &format, const std::function<qint64()> &nowMs) const;
    Verdict judge(const QHostAddress &sender, quint8 kind, QByteArrayView payload,
                  const CanvasFormat &format, qint64 nowMs) const;
    // The rows a Clear from sender changes when the cells locks hold are spared: whole RowData
    // messages, each the row as it is to stand, top first.
    QList<QByteArray> clearAround(const QHostAddress &sender, const Picture &picture) const;

    // As the journal, Redis and the control socket carry them (JSON, so that people can read
    // them with redis-cli too).
    static QJsonObject toJson(const Ban &ban);
    static QJsonObject toJson(const Lock &lock);
    static std::optional<Ban> banFromJson(const QJsonObject &object);
    static std::optional<Lock> lockFromJson(const QJsonObject &object);
    static QByteArray encode(const Change &change);
    static std::optional<Change> decode(QByteArrayView bytes);

    // The listings the bans and locks commands print.
    QString formatBans() const;
    QString formatLocks() const;

    bool operator==(const Moderation &other) const
    {
        return m_bans == other.m_bans && m_locks == other.m_locks;
    }
    bool operator!=(const Moderation &other) const { return !(*this == other); }

private:
    // Whether a lock that holds for the sender covers the cell (x, y); whole-picture locks count.
    bool isLocked(const Standing &standing, int x, int y) const;

    std::vector<Ban> m_bans;
    std::vector<Lock> m_locks;
};
