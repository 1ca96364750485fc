#pragma once

#include "web/webmoderation.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QSize>
#include <QString>

#include <initializer_list>
#include <optional>

// The moderation API's JSON, read and written: the orders a moderator's page or script sends,
// each field checked for its type and bounds so that nothing half-read reaches a hook, and the
// answers, with every time in UTC ISO 8601 and every area as [x,y,w,h].
class ModerationJson
{
public:
    // Longest text a field may hold: an author's name, an address, a TIME, a reason.
    static constexpr int MaxNameLength = 32;
    static constexpr int MaxFieldLength = 64;
    static constexpr int MaxReasonLength = 200;
    static constexpr int MaxExcepts = 16;
    // Entries an authors list holds at most; the most active are kept.
    static constexpr int MaxAuthors = 500;
    static constexpr int MaxAddressesShown = 16;

    // The body as one JSON object; nothing, with one line in *error, for anything else.
    static std::optional<QJsonObject> object(const QByteArray &body, QString *error);
    // False, with one line in *error, when the object holds a field not in allowed: a misspelt
    // field must not leave an order wider than meant.
    static bool onlyFields(const QJsonObject &object, std::initializer_list<QLatin1String> allowed,
                           QString *error);
    // Exactly one of "author", "connection" (with withConnection) or "address".
    static std::optional<WebModeration::Selector> selector(const QJsonObject &object,
                                                           bool withConnection, QString *error);
    // [x,y,w,h] inside the grid.
    static std::optional<QRect> area(const QJsonValue &value, const QSize &grid, QString *error);
    // A string field of at most maxLength characters; nothing for a missing one (*error empty)
    // or a wrong one (*error set).
    static std::optional<QString> text(const QJsonObject &object, QLatin1String field,
                                       int maxLength, QString *error);
    static std::optional<bool> flag(const QJsonObject &object, QLatin1String field, QString *error);
    static std::optional<QList<Subnet>> subnets(const QJsonValue &value, QString *error);

    static QString isoTime(qint64 ms);
    static QByteArray error(const QString &message);
    static QByteArray cell(int x, int y, const WebModeration::CellChange &change, bool withAddress);
    static QByteArray authors(qint64 sinceMs, QList<WebModeration::Author> authors,
                              bool withAddresses);
    // The cells and frame colours as the revert would leave them, where they differ from now.
    static QByteArray preview(const Picture &current, const Picture &result);
    static QByteArray listing(const Moderation &moderation);
};
