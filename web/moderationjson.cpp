#include "web/moderationjson.h"

#include "model/canvasformat.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cmath>

namespace {

// Integers a double holds exactly: a connection number, a cell coordinate.
constexpr double MaxExactInteger = 9007199254740992.0;

std::optional<qint64> integer(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::floor(number) != number ||
        std::fabs(number) > MaxExactInteger)
        return std::nullopt;
    return qint64(number);
}

QByteArray quoted(const QString &text)
{
    // QJsonDocument escapes as JSON wants; the array's brackets are cut off.
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

QByteArray areaJson(const QRect &area)
{
    if (area.isNull())
        return "null";
    return '[' + QByteArray::number(area.x()) + ',' + QByteArray::number(area.y()) + ',' +
           QByteArray::number(area.width()) + ',' + QByteArray::number(area.height()) + ']';
}

} // namespace

std::optional<QJsonObject> ModerationJson::object(const QByteArray &body, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        *error = QStringLiteral("the body must be one JSON object");
        return std::nullopt;
    }
    return document.object();
}

bool ModerationJson::onlyFields(const QJsonObject &object,
                                std::initializer_list<QLatin1String> allowed, QString *error)
{
    for (auto field = object.begin(); field != object.end(); ++field) {
        if (std::find(allowed.begin(), allowed.end(), field.key()) == allowed.end()) {
            *error = QStringLiteral("unknown field \"%1\"").arg(field.key().left(MaxFieldLength));
            return false;
        }
    }
    return true;
}

std::optional<QString> ModerationJson::text(const QJsonObject &object, QLatin1String field,
                                            int maxLength, QString *error)
{
    error->clear();
    if (!object.contains(field))
        return std::nullopt;
    const QJsonValue value = object.value(field);
    if (!value.isString() || value.toString().isEmpty() || value.toString().size() > maxLength) {
        *error =
            QStringLiteral("\"%1\" must be text of 1 to %2 characters").arg(field).arg(maxLength);
        return std::nullopt;
    }
    return value.toString();
}

std::optional<bool> ModerationJson::flag(const QJsonObject &object, QLatin1String field,
                                         QString *error)
{
    const QJsonValue value = object.value(field);
    if (value.isUndefined())
        return false;
    if (!value.isBool()) {
        *error = QStringLiteral("\"%1\" must be true or false").arg(field);
        return std::nullopt;
    }
    return value.toBool();
}

std::optional<WebModeration::Selector> ModerationJson::selector(const QJsonObject &object,
                                                                bool withConnection, QString *error)
{
    const int given = int(object.contains(QLatin1String("author"))) +
                      int(withConnection && object.contains(QLatin1String("connection"))) +
                      int(object.contains(QLatin1String("address")));
    if (given != 1) {
        *error = withConnection ? QStringLiteral("give exactly one of \"author\", \"connection\" "
                                                 "and \"address\"")
                                : QStringLiteral("give exactly one of \"author\" and \"address\"");
        return std::nullopt;
    }
    WebModeration::Selector who;
    if (object.contains(QLatin1String("connection"))) {
        const std::optional<qint64> number = integer(object.value(QLatin1String("connection")));
        if (!number || *number < 1) {
            *error = QStringLiteral("\"connection\" must be a connection number");
            return std::nullopt;
        }
        who.connection = quint64(*number);
        return who;
    }
    if (const std::optional<QString> author =
            text(object, QLatin1String("author"), MaxNameLength, error)) {
        if (!Moderation::isAuthorName(*author)) {
            *error = QStringLiteral("\"author\" must be an editor's name");
            return std::nullopt;
        }
        who.author = *author;
        return who;
    }
    if (!error->isEmpty())
        return std::nullopt;
    const std::optional<QString> address =
        text(object, QLatin1String("address"), MaxFieldLength, error);
    if (!address)
        return std::nullopt;
    const std::optional<Subnet> subnet = Subnet::parse(*address, error);
    if (!subnet)
        return std::nullopt;
    who.address = *subnet;
    return who;
}

std::optional<QRect> ModerationJson::area(const QJsonValue &value, const QSize &grid,
                                          QString *error)
{
    const QJsonArray array = value.toArray();
    qint64 numbers[4] = {};
    bool ok = value.isArray() && array.size() == 4;
    for (int i = 0; ok && i < 4; ++i) {
        const std::optional<qint64> number = integer(array.at(i));
        ok = number && *number >= 0 && *number <= 65535;
        numbers[i] = number.value_or(0);
    }
    const QRect area{int(numbers[0]), int(numbers[1]), int(numbers[2]), int(numbers[3])};
    if (!ok || area.isEmpty() || !QRect(QPoint(0, 0), grid).contains(area)) {
        *error = QStringLiteral("\"area\" must be [x,y,w,h] inside the grid of %1 columns and %2 "
                                "rows")
                     .arg(grid.width())
                     .arg(grid.height());
        return std::nullopt;
    }
    return area;
}

std::optional<QList<Subnet>> ModerationJson::subnets(const QJsonValue &value, QString *error)
{
    QList<Subnet> subnets;
    if (value.isUndefined())
        return subnets;
    const QJsonArray array = value.toArray();
    if (!value.isArray() || array.size() > MaxExcepts) {
        *error =
            QStringLiteral("\"except\" must be a list of at most %1 addresses").arg(MaxExcepts);
        return std::nullopt;
    }
    for (const QJsonValue &item : array) {
        const QString text = item.toString();
        if (!item.isString() || text.size() > MaxFieldLength) {
            *error = QStringLiteral("\"except\" must hold addresses as text");
            return std::nullopt;
        }
        const std::optional<Subnet> subnet = Subnet::parse(text, error);
        if (!subnet)
            return std::nullopt;
        subnets.append(*subnet);
    }
    return subnets;
}

QString ModerationJson::isoTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

QByteArray ModerationJson::error(const QString &message)
{
    return "{\"error\":" + quoted(message) + "}\n";
}

QByteArray ModerationJson::cell(int x, int y, const WebModeration::CellChange &change,
                                bool withAddress)
{
    QByteArray json = "{\"x\":" + QByteArray::number(x) + ",\"y\":" + QByteArray::number(y);
    if (!change.changed)
        return json + ",\"changed\":false}\n";
    json += ",\"changed\":true,\"name\":" + (change.name.isEmpty() ? "null" : quoted(change.name)) +
            ",\"connection\":" + QByteArray::number(change.connection) +
            ",\"time\":" + quoted(isoTime(change.timeMs));
    if (withAddress)
        json += ",\"address\":" + quoted(change.address);
    return json + "}\n";
}

QByteArray ModerationJson::authors(qint64 sinceMs, QList<WebModeration::Author> authors,
                                   bool withAddresses)
{
    std::stable_sort(authors.begin(), authors.end(),
                     [](const WebModeration::Author &a, const WebModeration::Author &b) {
                         return a.edits > b.edits;
                     });
    const bool cut = authors.size() > MaxAuthors;
    QByteArray json = "{\"since\":" + quoted(isoTime(sinceMs)) + ",\"authors\":[";
    for (qsizetype i = 0; i < qMin<qsizetype>(authors.size(), MaxAuthors); ++i) {
        const WebModeration::Author &author = authors.at(i);
        json += QByteArray(i > 0 ? "," : "") +
                "{\"name\":" + (author.name.isEmpty() ? "null" : quoted(author.name)) +
                ",\"connection\":" +
                (author.connection ? QByteArray::number(author.connection) : "null") +
                ",\"edits\":" + QByteArray::number(author.edits) +
                ",\"last\":" + quoted(isoTime(author.lastMs));
        if (withAddresses) {
            json += ",\"addresses\":[";
            for (qsizetype a = 0; a < qMin<qsizetype>(author.addresses.size(), MaxAddressesShown);
                 ++a)
                json += QByteArray(a > 0 ? "," : "") + quoted(author.addresses.at(a));
            json += ']';
        }
        json += '}';
    }
    return json + "],\"truncated\":" + (cut ? "true" : "false") + "}\n";
}

QByteArray ModerationJson::preview(const Picture &current, const Picture &result)
{
    const CanvasFormat &format = result.format();
    const bool sameFormat = current.formatNumber() == result.formatNumber();
    QByteArray cells;
    int count = 0;
    for (int y = 0; y < format.rows; ++y) {
        for (int x = 0; x < format.columns; ++x) {
            const quint8 value = result.cell(x, y);
            if (sameFormat && value == current.cell(x, y))
                continue;
            cells += QByteArray(count > 0 ? "," : "") + '[' + QByteArray::number(x) + ',' +
                     QByteArray::number(y) + ',' + QByteArray::number(value) + ']';
            ++count;
        }
    }
    const int colours =
        int(current.border() != result.border()) + int(current.background() != result.background());
    return "{\"count\":" + QByteArray::number(count) +
           ",\"colours\":" + QByteArray::number(colours) + ",\"cells\":[" + cells +
           "],\"frame\":{\"border\":" + QByteArray::number(result.border()) +
           ",\"background\":" + QByteArray::number(result.background()) + "}}\n";
}

QByteArray ModerationJson::listing(const Moderation &moderation)
{
    QByteArray json = "{\"bans\":[";
    bool first = true;
    for (const Moderation::Ban &ban : moderation.bans()) {
        json += QByteArray(first ? "" : ",") +
                "{\"address\":" + (ban.author.isEmpty() ? quoted(ban.subnet.toString()) : "null") +
                ",\"author\":" + (ban.author.isEmpty() ? "null" : quoted(ban.author)) +
                ",\"by\":" + quoted(ban.setBy) + ",\"set\":" + quoted(isoTime(ban.setMs)) +
                ",\"until\":" + (ban.untilMs < 0 ? "null" : quoted(isoTime(ban.untilMs))) +
                ",\"reason\":" + quoted(ban.reason) + '}';
        first = false;
    }
    json += "],\"locks\":[";
    first = true;
    for (const Moderation::Lock &lock : moderation.locks()) {
        json += QByteArray(first ? "" : ",") + "{\"area\":" + areaJson(lock.area) + ",\"except\":[";
        for (qsizetype i = 0; i < lock.except.size(); ++i)
            json += QByteArray(i > 0 ? "," : "") + quoted(lock.except.at(i).toString());
        json += "],\"by\":" + quoted(lock.setBy) + ",\"set\":" + quoted(isoTime(lock.setMs)) + '}';
        first = false;
    }
    return json + "]}\n";
}
