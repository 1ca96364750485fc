#include "journal/moment.h"

#include <QRegularExpression>
#include <QTime>

std::optional<qint64> parseMoment(const QString &input, const QDateTime &now)
{
    const QString text = input.trimmed();
    static const QRegularExpression span(QStringLiteral("^(\\d{1,12})([smhd])$"));
    if (const QRegularExpressionMatch match = span.match(text); match.hasMatch()) {
        static constexpr qint64 MaxSpanSeconds = 100LL * 366 * 86400;
        const qint64 count = match.captured(1).toLongLong();
        const QChar unit = match.captured(2).at(0);
        const qint64 unitSeconds = unit == QLatin1Char('s')   ? 1
                                   : unit == QLatin1Char('m') ? 60
                                   : unit == QLatin1Char('h') ? 3600
                                                              : 86400;
        if (count > MaxSpanSeconds / unitSeconds)
            return std::nullopt;
        return now.toMSecsSinceEpoch() - count * unitSeconds * 1000;
    }

    static const QRegularExpression timeOfDay(
        QStringLiteral("^(\\d{1,2}):(\\d{2})(?::(\\d{2})(?:\\.(\\d{1,3}))?)?$"));
    if (const QRegularExpressionMatch match = timeOfDay.match(text); match.hasMatch()) {
        const QTime time(match.captured(1).toInt(), match.captured(2).toInt(),
                         match.captured(3).toInt(),
                         match.captured(4).leftJustified(3, QLatin1Char('0')).toInt());
        if (!time.isValid())
            return std::nullopt;
        const QDateTime moment(now.toLocalTime().date(), time, Qt::LocalTime);
        if (!moment.isValid())
            return std::nullopt;
        return moment.toMSecsSinceEpoch();
    }

    // Qt reads "T" and " " alike, a zone of Z or an offset, and no zone as local time.
    static const QRegularExpression iso(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2}([T "
                       "]\\d{2}:\\d{2}(:\\d{2}(\\.\\d{1,3})?)?(Z|[+-]\\d{2}(:?\\d{2})?)?)?$"));
    if (!iso.match(text).hasMatch())
        return std::nullopt;
    QString normalised = text;
    if (normalised.size() > 10 && normalised.at(10) == QLatin1Char(' '))
        normalised[10] = QLatin1Char('T');
    const QDateTime moment = QDateTime::fromString(normalised, Qt::ISODateWithMs);
    if (!moment.isValid())
        return std::nullopt;
    return moment.toMSecsSinceEpoch();
}
