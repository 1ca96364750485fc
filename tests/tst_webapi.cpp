#include "model/canvasformat.h"
#include "server/picture.h"
#include "web/addressbudget.h"
#include "web/httprequest.h"
#include "web/webapi.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <optional>

// /cell and the moderation API against stand-ins for the server's hooks: what each route answers,
// byte for byte, and what it hands the hooks, for good requests and for every kind of bad one.
class tst_WebApi : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();

    void cell_data();
    void cell();
    void cellWithoutHistoryIsNotFound();
    void cellIsRateLimitedPerAddress();
    void addressBudgetIsBounded();

    void everyApiRouteNeedsAModerator_data();
    void everyApiRouteNeedsAModerator();
    void badOrdersAreRefused_data();
    void badOrdersAreRefused();
    void ordersReachTheHooks_data();
    void ordersReachTheHooks();
    void listingsAreJson();
    void hookFailuresKeepTheirStatus();

private:
    WebApi::Answer ask(const QByteArray &method, const QByteArray &target, const QByteArray &key,
                       const QByteArray &body = QByteArray(),
                       const QByteArray &type = "application/json",
                       const QHostAddress &from = QHostAddress(QStringLiteral("127.0.0.2")));

    Picture m_picture{2};
    std::optional<WebApi> m_api;
    // What the hooks were last handed, as text, and what they answer.
    QString m_order;
    WebModeration::Failure m_failure;
    bool m_fail = false;
    qint64 m_now = 0;
};

namespace {

const QByteArray moderatorKey = "moderator-key-0123456789";
const QByteArray editorKey = "editor-key-0123456789ab";
const qint64 sevenForty =
    QDateTime::fromString(QStringLiteral("2026-12-08T07:40:00.123Z"), Qt::ISODateWithMs)
        .toMSecsSinceEpoch();

QString selectorText(const WebModeration::Selector &who)
{
    if (!who.author.isEmpty())
        return QStringLiteral("author %1").arg(who.author);
    if (who.connection)
        return QStringLiteral("connection %1").arg(who.connection);
    return QStringLiteral("address %1").arg(who.address.toString());
}

QString areaText(const QRect &area)
{
    return area.isNull() ? QStringLiteral("whole")
                         : QStringLiteral("%1,%2,%3,%4")
                               .arg(area.x())
                               .arg(area.y())
                               .arg(area.width())
                               .arg(area.height());
}

} // namespace

void tst_WebApi::init()
{
    m_picture = Picture(2);
    m_picture.setCell(0, 2, 3);
    m_api.emplace([this] { return &m_picture; });
    m_order.clear();
    m_fail = false;
    m_now = 0;
    WebModeration hooks;
    hooks.authenticate = [](QByteArrayView key) -> std::optional<WebEditor> {
        if (key == moderatorKey)
            return WebEditor{QStringLiteral("mia"), true};
        if (key == editorKey)
            return WebEditor{QStringLiteral("eli"), false};
        return std::nullopt;
    };
    // ISO 8601, or "1h" for an hour before 07:40.
    hooks.parseTime = [](const QString &text, QString *error) -> std::optional<qint64> {
        if (text == QLatin1String("1h"))
            return sevenForty - 3600 * 1000;
        const QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
        if (!time.isValid()) {
            *error = QStringLiteral("unreadable time");
            return std::nullopt;
        }
        return time.toMSecsSinceEpoch();
    };
    hooks.lastChange = [](int x, int y,
                          WebModeration::Failure *) -> std::optional<WebModeration::CellChange> {
        if (x == 1 && y == 2)
            return WebModeration::CellChange{true, QStringLiteral("alice"), 17, sevenForty,
                                             QStringLiteral("127.0.0.2")};
        if (x == 0 && y == 0)
            return WebModeration::CellChange{true, QString(), 5, sevenForty, QStringLiteral("::1")};
        return WebModeration::CellChange{};
    };
    // A history too busy to read since the hour asked for answers from a minute later.
    hooks.authors = [this](qint64 sinceMs,
                           WebModeration::Failure *) -> std::optional<WebModeration::Authors> {
        m_order = QStringLiteral("authors since %1").arg(sinceMs);
        return WebModeration::Authors{
            sinceMs + 60000,
            {{QString(), 5, 2, sevenForty - 1000, {QStringLiteral("::1")}},
             {QStringLiteral("alice"),
              0,
              9,
              sevenForty,
              {QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.3")}}}};
    };
    hooks.revert =
        [this](const WebModeration::RevertOrder &order,
               WebModeration::Failure *failure) -> std::optional<WebModeration::Reverted> {
        m_order = QStringLiteral("revert %1 since %2 until %3 area %4 preview %5 by %6")
                      .arg(selectorText(order.who))
                      .arg(order.sinceMs.value_or(-1))
                      .arg(order.untilMs.value_or(-1))
                      .arg(areaText(order.area))
                      .arg(order.preview)
                      .arg(order.by);
        if (m_fail)
            return *failure = m_failure, std::nullopt;
        WebModeration::Reverted reverted{3, 0, std::nullopt};
        if (order.preview) {
            Picture result = m_picture;
            result.setCell(1, 1, 4);
            result.setCell(0, 2, EmptyCell);
            result.setFrameColors(m_picture.border(), 6);
            reverted.result = result;
        }
        return reverted;
    };
    hooks.ban = [this](const WebModeration::BanOrder &order,
                       WebModeration::Failure *) -> std::optional<WebModeration::Banned> {
        const qint64 lasts = order.untilMs < 0
                                 ? -1
                                 : (order.untilMs - QDateTime::currentMSecsSinceEpoch() + 30000) /
                                       60000; // in whole minutes, the test's own time allowed for
        m_order = QStringLiteral("ban %1 for %2 minutes revert %3 reason [%4] by %5")
                      .arg(selectorText(order.who))
                      .arg(lasts)
                      .arg(order.revert)
                      .arg(order.reason, order.by);
        return WebModeration::Banned{2, 5};
    };
    hooks.unban = [this](const WebModeration::Selector &who, const QString &by,
                         WebModeration::Failure *) {
        m_order = QStringLiteral("unban %1 by %2").arg(selectorText(who), by);
        return true;
    };
    hooks.lock = [this](const Moderation::Lock &lock, WebModeration::Failure *) {
        QStringList except;
        for (const Subnet &subnet : lock.except)
            except.append(subnet.toString());
        m_order = QStringLiteral("lock %1 except [%2] by %3")
                      .arg(areaText(lock.area), except.join(QLatin1Char(' ')), lock.setBy);
        return true;
    };
    hooks.unlock = [this](const QRect &area, const QString &by, WebModeration::Failure *) {
        m_order = QStringLiteral("unlock %1 by %2").arg(areaText(area), by);
        return true;
    };
    hooks.moderation = [] {
        Moderation moderation;
        QString error;
        Moderation::Change change;
        change.ban = {*Subnet::parse(QStringLiteral("127.0.0.0/24"), &error),
                      QStringLiteral("mia"),
                      sevenForty,
                      -1,
                      QStringLiteral("spam \"again\""),
                      QString()};
        moderation.apply(change, &error);
        change.kind = Moderation::Change::AddLock;
        change.lock = {QRect(1, 2, 3, 4),
                       {*Subnet::parse(QStringLiteral("127.0.0.3"), &error)},
                       QStringLiteral("root"),
                       sevenForty};
        moderation.apply(change, &error);
        return moderation;
    };
    m_api->setModeration(hooks);
}

WebApi::Answer tst_WebApi::ask(const QByteArray &method, const QByteArray &target,
                               const QByteArray &key, const QByteArray &body,
                               const QByteArray &type, const QHostAddress &from)
{
    HttpRequest request;
    request.method = method;
    const qsizetype question = target.indexOf('?');
    request.path = question < 0 ? target : target.left(question);
    request.query = question < 0 ? QByteArray() : target.mid(question + 1);
    if (!key.isEmpty())
        request.headers.append({"authorization", key.contains(' ') ? key : "Bearer " + key});
    if (!body.isEmpty())
        request.headers.append({"content-type", type});
    request.body = body;
    return m_api->answer(request, from, m_now);
}

void tst_WebApi::cell_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");

    const CanvasFormat &format = Picture(2).format();
    const QByteArray alice =
        R"({"x":1,"y":2,"changed":true,"name":"alice","connection":17,"time":"2026-12-08T07:40:00.123Z")";
    QTest::newRow("unchanged") << QByteArray("x=3&y=3") << QByteArray() << 200
                               << QByteArray(R"({"x":3,"y":3,"changed":false})");
    QTest::newRow("named") << QByteArray("x=1&y=2") << QByteArray() << 200 << alice + '}';
    QTest::newRow("named, order turned")
        << QByteArray("y=2&x=1") << QByteArray() << 200 << alice + '}';
    QTest::newRow("named, to an editor")
        << QByteArray("x=1&y=2") << editorKey << 200 << alice + '}';
    QTest::newRow("named, to a moderator")
        << QByteArray("x=1&y=2") << moderatorKey << 200 << alice + R"(,"address":"127.0.0.2"})";
    QTest::newRow("unnamed") << QByteArray("x=0&y=0") << QByteArray() << 200
                             << QByteArray(R"({"x":0,"y":0,"changed":true,"name":null,)"
                                           R"("connection":5,"time":"2026-12-08T07:40:00.123Z"})");
    QTest::newRow("key not known") << QByteArray("x=1&y=2") << QByteArray("not-a-key-at-all-0000")
                                   << 401 << QByteArray(R"({"error":"key not accepted"})");
    QTest::newRow("not bearer") << QByteArray("x=1&y=2") << QByteArray("Basic ") + moderatorKey
                                << 401 << QByteArray(R"({"error":"key not accepted"})");
    const QByteArray outside = R"({"error":"give ?x=X&y=Y inside the grid of )" +
                               QByteArray::number(format.columns) + " columns and " +
                               QByteArray::number(format.rows) + R"( rows"})";
    QTest::newRow("last column") << "x=" + QByteArray::number(format.columns - 1) + "&y=0"
                                 << QByteArray() << 200 << QByteArray();
    QTest::newRow("right of the grid")
        << "x=" + QByteArray::number(format.columns) + "&y=0" << QByteArray() << 400 << outside;
    QTest::newRow("below the grid")
        << "x=0&y=" + QByteArray::number(format.rows) << QByteArray() << 400 << outside;
    for (const char *query : {"", "x=1", "x=1&y=2&z=3", "x=-1&y=2", "x=1&x=2", "x=&y=1",
                              "x=999999&y=1", "x=1&y=2&", "x=0x1&y=2", "x=1+&y=2", "x&y"})
        QTest::newRow(query) << QByteArray(query) << QByteArray() << 400 << outside;
}

void tst_WebApi::cell()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, key);
    QFETCH(int, status);
    QFETCH(QByteArray, body);

    const WebApi::Answer answer = ask("GET", "/cell?" + query, key);
    QCOMPARE(answer.status, status);
    if (!body.isEmpty())
        QCOMPARE(answer.body, body + '\n');
    QCOMPARE(answer.headers.contains({"WWW-Authenticate", "Bearer"}), status == 401);
}

void tst_WebApi::cellWithoutHistoryIsNotFound()
{
    m_api.emplace([this] { return &m_picture; });
    QCOMPARE(ask("GET", "/cell?x=1&y=2", QByteArray()).status, 404);
    QCOMPARE(ask("POST", "/cell?x=1&y=2", QByteArray()).status, 405);
}

void tst_WebApi::cellIsRateLimitedPerAddress()
{
    m_api->setCellRate(10, 3);
    const QHostAddress other(QStringLiteral("127.0.0.3"));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(ask("GET", "/cell?x=1&y=2", QByteArray()).status, 200);
    const WebApi::Answer refused = ask("GET", "/cell?x=1&y=2", QByteArray());
    QCOMPARE(refused.status, 429);
    QVERIFY(refused.headers.contains({"Retry-After", "1"}));
    // Bad requests spend the budget too: each still costs a lookup of the address.
    QCOMPARE(ask("GET", "/cell?x=1", QByteArray()).status, 429);
    QCOMPARE(ask("GET", "/cell?x=1&y=2", QByteArray(), {}, {}, other).status, 200);
    m_now = 99;
    QCOMPARE(ask("GET", "/cell?x=1&y=2", QByteArray()).status, 429);
    m_now = 100;
    QCOMPARE(ask("GET", "/cell?x=1&y=2", QByteArray()).status, 200);
    QCOMPARE(ask("GET", "/cell?x=1&y=2", QByteArray()).status, 429);
}

void tst_WebApi::addressBudgetIsBounded()
{
    AddressBudget budget(1, 2);
    const quint32 base = QHostAddress(QStringLiteral("127.1.0.0")).toIPv4Address();
    for (int i = 0; i < AddressBudget::MaxAddresses; ++i)
        QVERIFY(budget.take(QHostAddress(base + quint32(i)), 0));
    // Every kept address is still spending: a new one waits rather than grow the table.
    const QHostAddress late(base + quint32(AddressBudget::MaxAddresses));
    QVERIFY(!budget.take(late, 0));
    QVERIFY(budget.take(QHostAddress(base), 0));
    QVERIFY(!budget.take(QHostAddress(base), 0));
    // Once the others have filled up again they are forgotten and the new one gets a full burst.
    QVERIFY(budget.take(late, 1000));
    QVERIFY(budget.take(late, 1000));
    QVERIFY(!budget.take(late, 1000));
}

void tst_WebApi::everyApiRouteNeedsAModerator_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<int>("status");

    const QList<QPair<QByteArray, QByteArray>> routes = {
        {"GET", "/api/authors"}, {"GET", "/api/moderation"}, {"POST", "/api/revert"},
        {"POST", "/api/ban"},    {"POST", "/api/unban"},     {"POST", "/api/lock"},
        {"POST", "/api/unlock"}};
    for (const auto &[method, path] : routes) {
        QTest::newRow(path + " without a key") << method << path << QByteArray() << 401;
        QTest::newRow(path + " with a key not known")
            << method << path << QByteArray("moderator-key-0123456780") << 401;
        QTest::newRow(path + " with a key too long")
            << method << path << QByteArray(WebApi::MaxKeyLength + 1, 'k') << 401;
        QTest::newRow(path + " with Basic") << method << path << "Basic " + moderatorKey << 401;
        QTest::newRow(path + " with an empty Bearer")
            << method << path << QByteArray("Bearer ") << 401;
        QTest::newRow(path + " by an editor") << method << path << editorKey << 403;
        QTest::newRow(path + " by the wrong method")
            << QByteArray(method == "GET" ? "POST" : "GET") << path << moderatorKey << 405;
    }
}

void tst_WebApi::everyApiRouteNeedsAModerator()
{
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, key);
    QFETCH(int, status);

    const WebApi::Answer answer = ask(method, path, key, method == "POST" ? "{}" : "");
    QCOMPARE(answer.status, status);
    QVERIFY2(answer.body.startsWith("{\"error\":\""), answer.body);
    QCOMPARE(answer.headers.contains({"WWW-Authenticate", "Bearer"}), status == 401);
    QVERIFY(m_order.isEmpty());
}

void tst_WebApi::badOrdersAreRefused_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error");

    const QByteArray json = "application/json";
    const auto row = [&](const char *name, const QByteArray &path, const QByteArray &body,
                         const char *error) {
        QTest::newRow(name) << path << body << json << 400 << QString::fromUtf8(error);
    };
    row("no selector", "/api/revert", "{}", "give exactly one of");
    row("two selectors", "/api/revert", R"({"author":"alice","connection":17})",
        "give exactly one of");
    row("connection as text", "/api/revert", R"({"connection":"17"})", "connection number");
    row("connection not whole", "/api/revert", R"({"connection":1.5})", "connection number");
    row("misspelt field", "/api/revert", R"({"author":"alice","adress":"127.0.0.2"})",
        "unknown field \"adress\"");
    row("author with a space", "/api/revert", R"({"author":"al ice"})", "an editor's name");
    row("author too long", "/api/revert", R"({"author":")" + QByteArray(33, 'a') + "\"}",
        "1 to 32 characters");
    row("address not one", "/api/revert", R"({"address":"127.0.0.256"})", "");
    row("area outside", "/api/revert", R"({"author":"alice","area":[0,0,1000,1]})",
        "inside the grid");
    row("area empty", "/api/revert", R"({"author":"alice","area":[0,0,0,1]})", "inside the grid");
    row("area negative", "/api/revert", R"({"author":"alice","area":[-1,0,2,2]})",
        "inside the grid");
    row("since unreadable", "/api/revert", R"({"author":"alice","since":"yesterday"})",
        "\"since\": unreadable time");
    row("until before since", "/api/revert",
        R"({"author":"alice","since":"2026-12-08T07:00:00Z","until":"2026-12-08T06:00:00Z"})",
        "\"until\" is before \"since\"");
    row("preview as text", "/api/revert", R"({"author":"alice","preview":"yes"})",
        "\"preview\" must be true or false");
    row("ban by connection", "/api/ban", R"({"connection":17})", "unknown field \"connection\"");
    row("ban for ever so long", "/api/ban", R"({"author":"alice","for":"3 days"})",
        "\"for\" must be a span");
    row("ban reason too long", "/api/ban",
        R"({"author":"alice","reason":")" + QByteArray(201, 'r') + "\"}", "1 to 200 characters");
    row("ban revert as number", "/api/ban", R"({"author":"alice","revert":1})",
        "\"revert\" must be true or false");
    row("unban with a reason", "/api/unban", R"({"author":"alice","reason":"x"})",
        "unknown field \"reason\"");
    row("lock except too many", "/api/lock",
        R"({"except":[)" + QByteArray("\"127.0.0.1\",").repeated(16) + "\"127.0.0.1\"]}",
        "at most 16");
    row("lock except nonsense", "/api/lock", R"({"except":["somewhere"]})", "");
    row("unlock with except", "/api/unlock", R"({"except":["127.0.0.1"]})",
        "unknown field \"except\"");
    row("an array", "/api/unban", "[]", "one JSON object");
    row("not JSON", "/api/unban", "author=alice", "one JSON object");
    QTest::newRow("not JSON by type")
        << QByteArray("/api/unban") << QByteArray(R"({"author":"a"})") << QByteArray("text/plain")
        << 415 << QStringLiteral("Content-Type: application/json");
    QTest::newRow("too long") << QByteArray("/api/unban")
                              << R"({"author":"a","x":")" + QByteArray(WebApi::MaxBody, 'x') + "\"}"
                              << json << 413 << QStringLiteral("too long");
}

void tst_WebApi::badOrdersAreRefused()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, type);
    QFETCH(int, status);
    QFETCH(QString, error);

    const WebApi::Answer answer = ask("POST", path, moderatorKey, body, type);
    QCOMPARE(answer.status, status);
    const QJsonObject object = QJsonDocument::fromJson(answer.body).object();
    QCOMPARE(object.keys(), QStringList{QStringLiteral("error")});
    QVERIFY2(object.value(QLatin1String("error")).toString().contains(error), answer.body);
    QVERIFY2(m_order.isEmpty(), qPrintable(m_order));
}

void tst_WebApi::ordersReachTheHooks_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("order");
    QTest::addColumn<QByteArray>("answer");

    const qint64 hourBefore = sevenForty - 3600 * 1000;
    QTest::newRow("preview")
        << QByteArray("/api/revert")
        << QByteArray(R"({"author":"alice","since":"1h","area":[0,0,2,3],"preview":true})")
        << QStringLiteral("revert author alice since %1 until -1 area 0,0,2,3 preview 1 by mia")
               .arg(hourBefore)
        << QByteArray(R"({"count":2,"colours":1,"cells":[[1,1,4],[0,2,255]],)"
                      R"("frame":{"border":0,"background":6}})");
    QTest::newRow("revert a connection")
        << QByteArray("/api/revert") << QByteArray(R"({"connection":17,"preview":false})")
        << QStringLiteral("revert connection 17 since -1 until -1 area whole preview 0 by mia")
        << QByteArray(R"({"count":3,"colours":0})");
    QTest::newRow("revert an address until")
        << QByteArray("/api/revert")
        << QByteArray(R"({"address":"127.0.0.2","until":"2026-12-08T07:40:00.123Z"})")
        << QStringLiteral("revert address 127.0.0.2 since -1 until %1 area whole preview 0 by mia")
               .arg(sevenForty)
        << QByteArray(R"({"count":3,"colours":0})");
    QTest::newRow("ban a block for three days")
        << QByteArray("/api/ban")
        << QByteArray(R"({"address":"127.0.0.9/24","for":"3d","revert":true,)"
                      R"("reason":" spam\n again "})")
        << QStringLiteral("ban address 127.0.0.0/24 for 4320 minutes revert 1 reason [spam "
                          "again] by mia")
        << QByteArray(R"({"closed":2,"reverted":5})");
    QTest::newRow("ban an author")
        << QByteArray("/api/ban") << QByteArray(R"({"author":"alice"})")
        << QStringLiteral("ban author alice for -1 minutes revert 0 reason [] by mia")
        << QByteArray(R"({"closed":2,"reverted":5})");
    QTest::newRow("unban") << QByteArray("/api/unban") << QByteArray(R"({"author":"alice"})")
                           << QStringLiteral("unban author alice by mia")
                           << QByteArray(R"({"ok":true})");
    QTest::newRow("lock an area") << QByteArray("/api/lock")
                                  << QByteArray(R"({"area":[1,1,2,2],"except":["127.0.0.3"]})")
                                  << QStringLiteral("lock 1,1,2,2 except [127.0.0.3] by mia")
                                  << QByteArray(R"({"ok":true})");
    QTest::newRow("lock everything")
        << QByteArray("/api/lock") << QByteArray("{}")
        << QStringLiteral("lock whole except [] by mia") << QByteArray(R"({"ok":true})");
    QTest::newRow("unlock") << QByteArray("/api/unlock") << QByteArray(R"({"area":[1,1,2,2]})")
                            << QStringLiteral("unlock 1,1,2,2 by mia")
                            << QByteArray(R"({"ok":true})");
}

void tst_WebApi::ordersReachTheHooks()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, body);
    QFETCH(QString, order);
    QFETCH(QByteArray, answer);

    const WebApi::Answer answered = ask("POST", path, moderatorKey, body);
    QCOMPARE(m_order, order);
    QCOMPARE(answered.status, 200);
    QCOMPARE(answered.body, answer + '\n');
}

void tst_WebApi::listingsAreJson()
{
    QCOMPARE(ask("GET", "/api/moderation", moderatorKey).body,
             QByteArray(R"({"bans":[{"address":"127.0.0.0/24","author":null,"by":"mia",)"
                        "\"set\":\"2026-12-08T07:40:00.123Z\",\"until\":null,\"reason\":\"spam "
                        "\\\"again\\\"\"}],"
                        R"("locks":[{"area":[1,2,3,4],"except":["127.0.0.3"],"by":"root",)"
                        R"("set":"2026-12-08T07:40:00.123Z"}]})"
                        "\n"));
    // An hour unless told; the most edits first.
    const QByteArray authors =
        R"({"since":"2026-12-08T06:41:00.123Z","authors":[)"
        R"({"name":"alice","connection":null,"edits":9,"last":"2026-12-08T07:40:00.123Z",)"
        R"("addresses":["127.0.0.2","127.0.0.3"]},)"
        R"({"name":null,"connection":5,"edits":2,"last":"2026-12-08T07:39:59.123Z",)"
        R"("addresses":["::1"]}],"truncated":false})"
        "\n";
    QCOMPARE(ask("GET", "/api/authors", moderatorKey).body, authors);
    QCOMPARE(ask("GET", "/api/authors?since=2026-12-08T06%3A40%3A00.123Z", moderatorKey).body,
             authors);
    QCOMPARE(ask("GET", "/api/authors?since=soon", moderatorKey).status, 400);
}

void tst_WebApi::hookFailuresKeepTheirStatus()
{
    m_fail = true;
    m_failure = {404, QStringLiteral("the history never saw \"bob\"")};
    const WebApi::Answer answer = ask("POST", "/api/revert", moderatorKey, R"({"author":"bob"})");
    QCOMPARE(answer.status, 404);
    QCOMPARE(answer.body, QByteArray("{\"error\":\"the history never saw \\\"bob\\\"\"}"
                                     "\n"));
}

QTEST_GUILESS_MAIN(tst_WebApi)
#include "tst_webapi.moc"
