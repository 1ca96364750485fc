#include "web/webapi.h"

#include "model/canvasformat.h"
#include "web/httprequest.h"
#include "web/moderationjson.h"
#include "web/webaccess.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QUrlQuery>

Q_LOGGING_CATEGORY(lcWebApi, "celvane.web.api", QtWarningMsg)

namespace {

struct Route
{
    const char *path;
    bool post;
};

constexpr Route routes[] = {
    {"/cell", false},   {"/api/authors", false}, {"/api/moderation", false}, {"/api/revert", true},
    {"/api/ban", true}, {"/api/unban", true},    {"/api/lock", true},        {"/api/unlock", true},
};

const Route *routeOf(QByteArrayView path)
{
    for (const Route &route : routes)
        if (path == route.path)
            return &route;
    return nullptr;
}

WebApi::Answer json(int status, QByteArray body)
{
    return {status, std::move(body), {}};
}

WebApi::Answer failed(int status, const QString &message)
{
    WebApi::Answer answer = json(status, ModerationJson::error(message));
    if (status == 401)
        answer.headers.emplaceBack("WWW-Authenticate", "Bearer");
    return answer;
}

WebApi::Answer failed(const WebModeration::Failure &failure)
{
    return failed(failure.status, failure.message);
}

WebApi::Answer missing(const char *what)
{
    return failed(404, QString::fromLatin1(what));
}

const WebApi::Answer done = json(200, "{\"ok\":true}\n");

// ?x=X&y=Y and nothing else, each a whole number of at most five digits.
bool readCell(const QByteArray &query, int *x, int *y)
{
    const QList<QByteArray> items = query.split('&');
    if (items.size() != 2)
        return false;
    bool seenX = false;
    bool seenY = false;
    for (const QByteArray &item : items) {
        const qsizetype equals = item.indexOf('=');
        const QByteArray name = item.left(equals);
        const QByteArray value = item.mid(equals + 1);
        bool ok = equals > 0 && !value.isEmpty() && value.size() <= 5;
        for (const char c : value)
            ok = ok && c >= '0' && c <= '9';
        if (!ok)
            return false;
        if (name == "x" && !seenX) {
            *x = value.toInt();
            seenX = true;
        } else if (name == "y" && !seenY) {
            *y = value.toInt();
            seenY = true;
        } else {
            return false;
        }
    }
    return seenX && seenY;
}

} // namespace

WebApi::WebApi(std::function<const Picture *()> picture)
    : m_picture(std::move(picture))
{
}

bool WebApi::handles(QByteArrayView path)
{
    return routeOf(path) != nullptr;
}

qsizetype WebApi::maxBody(QByteArrayView method, QByteArrayView path)
{
    const Route *route = routeOf(path);
    return route && route->post && method == "POST" ? MaxBody : 0;
}

QSize WebApi::grid() const
{
    const Picture *picture = m_picture ? m_picture() : nullptr;
    return picture ? QSize(picture->format().columns, picture->format().rows) : QSize();
}

std::optional<WebEditor> WebApi::editorOf(const HttpRequest &request, const QHostAddress &address,
                                          Answer *answer) const
{
    const QByteArray authorization = request.header("authorization");
    if (authorization.isEmpty())
        return std::nullopt;
    const QByteArrayView key = WebAccess::bearerKey(authorization);
    std::optional<WebEditor> editor;
    if (!key.isEmpty() && key.size() <= MaxKeyLength && m_moderation.authenticate)
        editor = m_moderation.authenticate(key);
    if (!editor) {
        qCInfo(lcWebApi).noquote() << "refused a key from" << address.toString();
        *answer = failed(401, QStringLiteral("key not accepted"));
    }
    return editor;
}

WebApi::Answer WebApi::answer(const HttpRequest &request, const QHostAddress &address,
                              qint64 steadyMs)
{
    const Route *route = routeOf(request.path);
    if (!route)
        return failed(404, QStringLiteral("not found"));
    const bool getLike = request.method == "GET" || request.method == "HEAD";
    if (route->post ? request.method != "POST" : !getLike) {
        Answer answer = failed(405, QStringLiteral("not allowed here"));
        answer.headers.emplaceBack("Allow", route->post ? "POST" : "GET, HEAD");
        return answer;
    }
    if (request.query.size() > MaxQuery ||
        request.body.size() > maxBody(request.method, request.path))
        return failed(413, QStringLiteral("request too long"));
    if (request.path == "/cell")
        return cell(request, address, steadyMs);

    Answer refusal = failed(401, QStringLiteral("this needs a moderator's key"));
    const std::optional<WebEditor> editor = editorOf(request, address, &refusal);
    if (!editor)
        return refusal;
    if (!editor->moderator)
        return failed(403, QStringLiteral("%1 is not a moderator").arg(editor->name));
    if (request.path == "/api/authors")
        return authors(request.query);
    if (request.path == "/api/moderation") {
        if (!m_moderation.moderation)
            return missing("no bans or locks are kept");
        return json(200, ModerationJson::listing(m_moderation.moderation()));
    }
    const QByteArray type = request.header("content-type");
    if (type != "application/json" && !type.startsWith("application/json;"))
        return failed(415, QStringLiteral("send Content-Type: application/json"));
    QString error;
    const std::optional<QJsonObject> object = ModerationJson::object(request.body, &error);
    if (!object)
        return failed(400, error);
    return post(request.path, *object, *editor, address);
}

WebApi::Answer WebApi::cell(const HttpRequest &request, const QHostAddress &address,
                            qint64 steadyMs)
{
    if (!m_cellBudget.take(address, steadyMs)) {
        Answer answer = failed(429, QStringLiteral("too many requests; try again in a second"));
        answer.headers.emplaceBack("Retry-After", "1");
        return answer;
    }
    if (!m_moderation.lastChange)
        return missing("no history kept");
    Answer refusal;
    const std::optional<WebEditor> editor = editorOf(request, address, &refusal);
    if (refusal.status == 401)
        return refusal;
    int x = 0;
    int y = 0;
    const QSize size = grid();
    if (!readCell(request.query, &x, &y) || x >= size.width() || y >= size.height())
        return failed(400, QStringLiteral("give ?x=X&y=Y inside the grid of %1 columns and %2 rows")
                               .arg(size.width())
                               .arg(size.height()));
    WebModeration::Failure failure;
    const std::optional<WebModeration::CellChange> change = m_moderation.lastChange(x, y, &failure);
    if (!change)
        return failed(failure);
    return json(200, ModerationJson::cell(x, y, *change, editor && editor->moderator));
}

WebApi::Answer WebApi::authors(const QByteArray &query)
{
    if (!m_moderation.authors || !m_moderation.parseTime)
        return missing("no history kept");
    const QUrlQuery items(QString::fromLatin1(query));
    QString since = items.queryItemValue(QStringLiteral("since"), QUrl::FullyDecoded);
    if (since.isEmpty())
        since = QStringLiteral("1h");
    QString error;
    const std::optional<qint64> sinceMs = m_moderation.parseTime(since, &error);
    if (!sinceMs)
        return failed(400, QStringLiteral("since: %1").arg(error));
    WebModeration::Failure failure;
    const std::optional<WebModeration::Authors> authors = m_moderation.authors(*sinceMs, &failure);
    if (!authors)
        return failed(failure);
    return json(200, ModerationJson::authors(authors->sinceMs, authors->authors, true));
}

std::optional<qint64> WebApi::moment(const QJsonObject &object, QLatin1String field, QString *error)
{
    const std::optional<QString> text =
        ModerationJson::text(object, field, ModerationJson::MaxFieldLength, error);
    if (!text)
        return std::nullopt;
    const std::optional<qint64> ms =
        m_moderation.parseTime ? m_moderation.parseTime(*text, error) : std::nullopt;
    if (!ms)
        *error = QStringLiteral("\"%1\": %2").arg(field, *error);
    return ms;
}

WebApi::Answer WebApi::post(QByteArrayView path, const QJsonObject &object, const WebEditor &editor,
                            const QHostAddress &address)
{
    Answer answer;
    if (path == "/api/revert")
        answer = revert(object, editor);
    else if (path == "/api/ban")
        answer = ban(object, editor);
    else if (path == "/api/unban")
        answer = unban(object, editor);
    else
        answer = lock(object, editor, path == "/api/lock");
    // Who did what stays in the log; a preview changes nothing and is not worth a line.
    if (answer.status == 200 && !object.value(QLatin1String("preview")).toBool())
        qCInfo(lcWebApi).noquote()
            << "moderator" << editor.name << "from" << address.toString() << path.toByteArray()
            << QJsonDocument(object).toJson(QJsonDocument::Compact);
    return answer;
}

WebApi::Answer WebApi::revert(const QJsonObject &object, const WebEditor &editor)
{
    if (!m_moderation.revert)
        return missing("no history kept");
    QString error;
    std::optional<WebModeration::Selector> who;
    std::optional<bool> preview;
    WebModeration::RevertOrder order;
    if (!ModerationJson::onlyFields(object,
                                    {QLatin1String("author"), QLatin1String("connection"),
                                     QLatin1String("address"), QLatin1String("since"),
                                     QLatin1String("until"), QLatin1String("area"),
                                     QLatin1String("preview")},
                                    &error) ||
        !(who = ModerationJson::selector(object, true, &error)) ||
        !(preview = ModerationJson::flag(object, QLatin1String("preview"), &error)))
        return failed(400, error);
    order.sinceMs = moment(object, QLatin1String("since"), &error);
    if (!error.isEmpty())
        return failed(400, error);
    order.untilMs = moment(object, QLatin1String("until"), &error);
    if (!error.isEmpty())
        return failed(400, error);
    if (order.sinceMs && order.untilMs && *order.untilMs < *order.sinceMs)
        return failed(400, QStringLiteral("\"until\" is before \"since\""));
    if (object.contains(QLatin1String("area"))) {
        const std::optional<QRect> area =
            ModerationJson::area(object.value(QLatin1String("area")), grid(), &error);
        if (!area)
            return failed(400, error);
        order.area = *area;
    }
    order.who = *who;
    order.preview = *preview;
    order.by = editor.name;
    WebModeration::Failure failure;
    const std::optional<WebModeration::Reverted> reverted = m_moderation.revert(order, &failure);
    if (!reverted)
        return failed(failure);
    const Picture *current = m_picture ? m_picture() : nullptr;
    if (order.preview && reverted->result && current)
        return json(200, ModerationJson::preview(*current, *reverted->result));
    return json(200, "{\"count\":" + QByteArray::number(reverted->cells) +
                         ",\"colours\":" + QByteArray::number(reverted->colours) + "}\n");
}

WebApi::Answer WebApi::ban(const QJsonObject &object, const WebEditor &editor)
{
    if (!m_moderation.ban)
        return missing("no bans are kept");
    QString error;
    std::optional<WebModeration::Selector> who;
    std::optional<bool> revert;
    if (!ModerationJson::onlyFields(object,
                                    {QLatin1String("author"), QLatin1String("address"),
                                     QLatin1String("for"), QLatin1String("revert"),
                                     QLatin1String("reason")},
                                    &error) ||
        !(who = ModerationJson::selector(object, false, &error)) ||
        !(revert = ModerationJson::flag(object, QLatin1String("revert"), &error)))
        return failed(400, error);
    WebModeration::BanOrder order;
    order.who = *who;
    order.revert = *revert;
    order.by = editor.name;
    const std::optional<QString> duration =
        ModerationJson::text(object, QLatin1String("for"), ModerationJson::MaxFieldLength, &error);
    if (!error.isEmpty())
        return failed(400, error);
    if (duration) {
        const std::optional<qint64> ms = Moderation::parseDuration(*duration);
        if (!ms)
            return failed(400, QStringLiteral("\"for\" must be a span such as 90s, 10m, 2h or 3d"));
        order.untilMs = QDateTime::currentMSecsSinceEpoch() + *ms;
    }
    order.reason = ModerationJson::text(object, QLatin1String("reason"),
                                        ModerationJson::MaxReasonLength, &error)
                       .value_or(QString())
                       .simplified();
    if (!error.isEmpty())
        return failed(400, error);
    WebModeration::Failure failure;
    const std::optional<WebModeration::Banned> banned = m_moderation.ban(order, &failure);
    if (!banned)
        return failed(failure);
    return json(200, "{\"closed\":" + QByteArray::number(banned->closed) +
                         ",\"reverted\":" + QByteArray::number(banned->reverted) + "}\n");
}

WebApi::Answer WebApi::unban(const QJsonObject &object, const WebEditor &editor)
{
    if (!m_moderation.unban)
        return missing("no bans are kept");
    QString error;
    std::optional<WebModeration::Selector> who;
    if (!ModerationJson::onlyFields(object, {QLatin1String("author"), QLatin1String("address")},
                                    &error) ||
        !(who = ModerationJson::selector(object, false, &error)))
        return failed(400, error);
    WebModeration::Failure failure;
    if (!m_moderation.unban(*who, editor.name, &failure))
        return failed(failure);
    return done;
}

WebApi::Answer WebApi::lock(const QJsonObject &object, const WebEditor &editor, bool locking)
{
    if (locking ? !m_moderation.lock : !m_moderation.unlock)
        return missing("no locks are kept");
    QString error;
    if (!ModerationJson::onlyFields(
            object,
            locking ? std::initializer_list<QLatin1String>{QLatin1String("area"),
                                                           QLatin1String("except")}
                    : std::initializer_list<QLatin1String>{QLatin1String("area")},
            &error))
        return failed(400, error);
    // Without an area, the whole picture and its frame colours.
    QRect area;
    if (object.contains(QLatin1String("area"))) {
        const std::optional<QRect> given =
            ModerationJson::area(object.value(QLatin1String("area")), grid(), &error);
        if (!given)
            return failed(400, error);
        area = *given;
    }
    WebModeration::Failure failure;
    if (!locking)
        return m_moderation.unlock(area, editor.name, &failure) ? done : failed(failure);
    const std::optional<QList<Subnet>> except =
        ModerationJson::subnets(object.value(QLatin1String("except")), &error);
    if (!except)
        return failed(400, error);
    Moderation::Lock lock;
    lock.area = area;
    lock.except = *except;
    lock.setBy = editor.name;
    lock.setMs = QDateTime::currentMSecsSinceEpoch();
    return m_moderation.lock(lock, &failure) ? done : failed(failure);
}
