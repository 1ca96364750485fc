#pragma once

#include "server/moderation.h"
#include "server/picture.h"
#include "server/subnet.h"
#include "web/webeditor.h"
#include "web/webhistory.h"

#include <QByteArrayView>
#include <QList>
#include <QRect>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// What the web side's /cell and moderation API may ask of the rest of the server, handed to it by
// whoever puts the server together: who a key belongs to, the picture's kept past, and the
// revert, ban and lock that the control socket's commands carry out. Each part may be left
// empty; a route that needs one that is missing answers 404 (or, for the key, 401), so that a
// server without a history or without keys says so rather than pretending.
//
// A hook that cannot do what it is asked says why in *failure: the status to answer with (400 for
// a request that cannot be carried out as asked, 404 for someone the history never saw, 503 for a
// history that cannot be read now) and one line for the person.
struct WebModeration
{
    struct Failure
    {
        int status = 400;
        QString message;
    };

    // Who last changed a cell, by the kept edits.
    struct CellChange
    {
        bool changed = false; // false: no kept edit changed it; the rest is empty
        QString name;         // the editor's, or empty for an unnamed connection
        quint64 connection = 0;
        qint64 timeMs = 0;
        QString address;
    };

    // One line of the authors list: a named editor over all their connections (connection 0), or
    // one unnamed connection.
    struct Author
    {
        QString name;
        quint64 connection = 0;
        quint64 edits = 0;
        qint64 lastMs = 0;
        QStringList addresses;
    };
    struct Authors
    {
        // Later than asked for when the history had too many edits since to read them all.
        qint64 sinceMs = 0;
        QList<Author> authors;
    };

    // Whose edits, or whom a ban names: exactly one of these is set.
    struct Selector
    {
        QString author;
        quint64 connection = 0;
        Subnet address;
    };

    struct RevertOrder
    {
        Selector who;
        std::optional<qint64> sinceMs;
        std::optional<qint64> untilMs;
        QRect area; // null: the whole picture, frame colours included
        bool preview = false;
        QString by; // the moderator's name, for the action's label
    };
    struct Reverted
    {
        int cells = 0;   // cells that change
        int colours = 0; // frame colours that change
        // With preview: the picture as it would be after.
        std::optional<Picture> result;
    };

    struct BanOrder
    {
        Selector who; // author or address
        qint64 untilMs = -1;
        bool revert = false;
        QString reason;
        QString by;
    };
    struct Banned
    {
        int closed = 0;   // pages and windows closed by it
        int reverted = 0; // cells and frame colours its revert changed
    };

    std::function<std::optional<WebEditor>(QByteArrayView key)> authenticate;
    // Reads since, until and TIME values, as ?at= does.
    TimeParser parseTime;
    std::function<std::optional<CellChange>(int x, int y, Failure *failure)> lastChange;
    std::function<std::optional<Authors>(qint64 sinceMs, Failure *failure)> authors;
    std::function<std::optional<Reverted>(const RevertOrder &order, Failure *failure)> revert;
    std::function<std::optional<Banned>(const BanOrder &order, Failure *failure)> ban;
    std::function<bool(const Selector &who, const QString &by, Failure *failure)> unban;
    // A lock's area is inside the grid already; setBy holds the moderator's name.
    std::function<bool(const Moderation::Lock &lock, Failure *failure)> lock;
    std::function<bool(const QRect &area, const QString &by, Failure *failure)> unlock;
    // The bans and locks in force.
    std::function<Moderation()> moderation;
};
