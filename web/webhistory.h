#pragma once

#include "server/picture.h"

class PictureHistory;

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>
#include <optional>

// What the web front end may show of the picture's past, handed to it by whoever keeps that past
// (the journal). Every part may be left empty: the slider and ?at= need keptRange and pictureAt,
// /timelapse.gif needs timelapse, and the page shows only what is there.
struct WebHistory
{
    struct Range
    {
        QDateTime first; // the earliest moment kept
        QDateTime last;  // the latest one
    };
    // The kept range, or nothing while there is none yet.
    std::function<std::optional<Range>()> keptRange;
    // The picture at a moment given as TIME text (ISO 8601, a time of day such as "14:05", or a
    // span ago such as "90s", "10m", "2h", "3d"), read by whoever keeps the past. On failure,
    // *error says why (an unreadable TIME, a moment outside the kept range).
    std::function<std::optional<Picture>(const QString &time, QString *error)> pictureAt;
    // The time-lapse as a GIF, or empty when it cannot be made. The front end keeps the last one
    // and asks again only when the kept range has grown.
    std::function<QByteArray()> timelapse;

    bool hasPictures() const { return bool(keptRange) && bool(pictureAt); }
};

// A PictureHistory as the web side reads it, asked for anew at every request (a keeper may hand
// out one that is valid only until its next change; nullptr while it cannot be read). The TIME
// text of ?at= goes to parseTime, which turns it into a moment (UTC milliseconds since the epoch)
// or says why it cannot; the time-lapse is not part of a history and is left to the caller.
using TimeParser = std::function<std::optional<qint64>(const QString &time, QString *error)>;
WebHistory webHistoryOf(std::function<PictureHistory *()> history, TimeParser parseTime);
