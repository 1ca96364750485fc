#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

// A moment as a person writes it on the command line, as UTC milliseconds since the epoch:
//
//   2026-12-07T14:05:30     ISO 8601 date and time, local time (seconds and fractions optional,
//   2026-12-07 14:05        a space instead of the T)
//   2026-12-07T14:05Z       the same in UTC, or with an offset: +01:00, -0530
//   2026-12-07              that day's start, local time
//   14:05, 14:05:30         that time today, local time
//   90s, 10m, 2h, 3d        that long before now
//
// Anything else, a time of day that does not exist, or a span of more than 100 years, is nothing.
std::optional<qint64> parseMoment(const QString &text, const QDateTime &now);
