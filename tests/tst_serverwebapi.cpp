#include "connection/protocol.h"
#include "tests/support/serverclient.h"
#include "tests/support/serverprocess.h"
#include "tests/support/testsupport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>

// The moderation API of the real celvane-server, as a moderator's script uses it: what it does to
// the picture is checked by what the windows of a TCP client see.
class tst_ServerWebApi : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void moderatorRevertsAConnectionAndBansAnAddress();
    void moderatorBansANamedEditorWithRevert();

private:
    // The picture as a new window sees it: a window's second Hello waits for its allowance.
    std::optional<Picture> pictureNow();

    // One server for every test: each plays people at addresses of its own.
    QTemporaryDir m_dir;
    std::optional<ServerProcess> m_server;
    quint16 m_web = 0;
};

namespace {

const QByteArray moderatorKey = "moderator-key-0123456789";
const QByteArray editorKey = "editor-key-0123456789ab";

struct Answer
{
    int status = -1;
    QJsonObject json;
};

// One request on a connection of its own, read to the server's close.
Answer request(quint16 port, const QByteArray &method, const QByteArray &target,
               const QByteArray &key, const QByteArray &body = QByteArray())
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return {};
    QByteArray bytes =
        method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    if (!key.isEmpty())
        bytes += "Authorization: Bearer " + key + "\r\n";
    if (!body.isEmpty())
        bytes +=
            "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
            "\r\n";
    socket.write(bytes + "\r\n" + body);
    QByteArray received;
    TestSupport::waitUntil([&] {
        received += socket.readAll();
        return socket.state() == QAbstractSocket::UnconnectedState;
    });
    received += socket.readAll();
    Answer answer;
    answer.status = received.mid(9, 3).toInt();
    answer.json = QJsonDocument::fromJson(received.mid(received.indexOf("\r\n\r\n") + 4)).object();
    return answer;
}

QByteArray setCell(int x, int y, int value)
{
    return Protocol::encodeCommand(Protocol::SetCellCommand, quint8(x), quint8(y), quint8(value));
}

QJsonArray cells(std::initializer_list<std::array<int, 3>> list)
{
    QJsonArray array;
    for (const auto &cell : list)
        array.append(QJsonArray{cell[0], cell[1], cell[2]});
    return array;
}

} // namespace

void tst_ServerWebApi::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString keys = m_dir.filePath(QStringLiteral("keys"));
    QFile keyFile(keys);
    QVERIFY(keyFile.open(QIODevice::WriteOnly));
    keyFile.write("mia " + moderatorKey + " moderator\neli " + editorKey + "\n");
    keyFile.close();
    QVERIFY(keyFile.setPermissions(QFile::ReadOwner | QFile::WriteOwner));

    m_server.emplace(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(m_server->start({QStringLiteral("--picture"), m_dir.filePath(QStringLiteral("p.cvp")),
                              QStringLiteral("--http"), QStringLiteral("127.0.0.1:0"),
                              QStringLiteral("--web-keys"), keys}),
             m_server->failure());
    QVERIFY(TestSupport::waitUntil([this] { return m_server->process().canReadLine(); }));
    const QByteArray webLine = m_server->process().readLine().trimmed();
    const QByteArray prefix = "web page at http://127.0.0.1:";
    QVERIFY2(webLine.startsWith(prefix), webLine);
    m_web = webLine.mid(prefix.size()).chopped(1).toUShort();
}

void tst_ServerWebApi::cleanupTestCase()
{
    if (!m_server)
        return;
    QVERIFY(!m_server->standardError().contains(moderatorKey));
    QVERIFY(!m_server->standardError().contains(editorKey));
    QCOMPARE(m_server->terminate(), 0);
}

std::optional<Picture> tst_ServerWebApi::pictureNow()
{
    ServerClient window;
    return window.connectTo(m_server->port()) ? window.fetchPicture() : std::nullopt;
}

void tst_ServerWebApi::moderatorRevertsAConnectionAndBansAnAddress()
{
    const quint16 web = m_web;
    ServerProcess &server = *m_server;
    ServerClient watcher;
    ServerClient drawer;
    ServerClient vandal;
    QVERIFY(watcher.connectTo(server.port()));
    QVERIFY(drawer.connectTo(server.port(), QHostAddress(QStringLiteral("127.0.0.2"))));
    QVERIFY(vandal.connectTo(server.port(), QHostAddress(QStringLiteral("127.0.0.3"))));
    const std::optional<Picture> start = watcher.fetchPicture();
    QVERIFY(start);
    drawer.send(setCell(1, 1, 2));
    QVERIFY(watcher.waitForRelays(1));
    vandal.send(setCell(1, 1, 5) + setCell(2, 2, 6) + setCell(3, 3, 7));
    QVERIFY(watcher.waitForRelays(3));

    // Who drew a cell: the vandal's connection, whose address only a moderator sees. The history
    // is read in the background from the start, and says so until it is.
    Answer answer;
    QVERIFY(TestSupport::waitUntil([&] {
        answer = request(web, "GET", "/cell?x=3&y=3", QByteArray());
        return answer.status != 503;
    }));
    QCOMPARE(answer.status, 200);
    const int vandalConnection = answer.json.value(QLatin1String("connection")).toInt();
    QVERIFY(vandalConnection > 0);
    QVERIFY(answer.json.value(QLatin1String("name")).isNull());
    QVERIFY(!answer.json.contains(QLatin1String("address")));
    answer = request(web, "GET", "/cell?x=1&y=1", moderatorKey);
    QCOMPARE(answer.json.value(QLatin1String("connection")).toInt(), vandalConnection);
    QCOMPARE(answer.json.value(QLatin1String("address")).toString(), QStringLiteral("127.0.0.3"));
    const QJsonArray authors = request(web, "GET", "/api/authors?since=1h", moderatorKey)
                                   .json.value(QLatin1String("authors"))
                                   .toArray();
    QCOMPARE(authors.size(), 2);
    QCOMPARE(authors.at(0).toObject().value(QLatin1String("connection")).toInt(), vandalConnection);
    QCOMPARE(authors.at(0).toObject().value(QLatin1String("edits")).toInt(), 3);
    QCOMPARE(authors.at(0).toObject().value(QLatin1String("addresses")).toArray(),
             QJsonArray{QStringLiteral("127.0.0.3")});

    // An editor's key is not a moderator's.
    const QByteArray byConnection = "{\"connection\":" + QByteArray::number(vandalConnection);
    QCOMPARE(request(web, "POST", "/api/revert", editorKey, byConnection + '}').status, 403);

    // The preview shows the cells as they would be and changes nothing.
    answer = request(web, "POST", "/api/revert", moderatorKey, byConnection + ",\"preview\":true}");
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.json.value(QLatin1String("count")).toInt(), 3);
    QCOMPARE(answer.json.value(QLatin1String("cells")).toArray(),
             cells({{1, 1, 2}, {2, 2, EmptyCell}, {3, 3, EmptyCell}}));
    const std::optional<Picture> seen = pictureNow();
    QVERIFY(seen);
    QCOMPARE(seen->cell(3, 3), quint8(7));
    QCOMPARE(watcher.relaysReceived(), 0);

    // Applied, it reaches every window as ordinary edits.
    answer = request(web, "POST", "/api/revert", moderatorKey, byConnection + '}');
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.json.value(QLatin1String("count")).toInt(), 3);
    QVERIFY(watcher.waitForRelays(3));
    Picture expected = *start;
    expected.setCell(1, 1, 2);
    QCOMPARE(pictureNow(), std::optional<Picture>(expected));

    // A ban with revert closes the vandal's window and undoes what it drew since.
    vandal.send(setCell(5, 5, 4));
    QVERIFY(watcher.waitForRelays(1));
    answer = request(web, "POST", "/api/ban", moderatorKey,
                     R"({"address":"127.0.0.3","revert":true,"reason":"vandal"})");
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.json,
             QJsonObject({{QStringLiteral("closed"), 1}, {QStringLiteral("reverted"), 1}}));
    QVERIFY(vandal.waitForDisconnected());
    QVERIFY(watcher.waitForRelays(1));
    QCOMPARE(pictureNow(), std::optional<Picture>(expected));
    ServerClient again;
    QVERIFY(!again.connectTo(server.port(), QHostAddress(QStringLiteral("127.0.0.3"))) ||
            again.waitForDisconnected());

    const QJsonArray bans = request(web, "GET", "/api/moderation", moderatorKey)
                                .json.value(QLatin1String("bans"))
                                .toArray();
    QCOMPARE(bans.size(), 1);
    QCOMPARE(bans.at(0).toObject().value(QLatin1String("address")).toString(),
             QStringLiteral("127.0.0.3"));
    QCOMPARE(bans.at(0).toObject().value(QLatin1String("by")).toString(), QStringLiteral("mia"));
}

void tst_ServerWebApi::moderatorBansANamedEditorWithRevert()
{
    ServerClient watcher;
    QVERIFY(watcher.connectTo(m_server->port(), QHostAddress(QStringLiteral("127.0.0.4"))));
    const std::optional<Picture> start = watcher.fetchPicture();
    QVERIFY(start);

    // Eli draws from a page opened with an editor's key.
    QWebSocket page;
    QStringList texts;
    bool closed = false;
    connect(&page, &QWebSocket::textMessageReceived, this,
            [&texts](const QString &text) { texts.append(text); });
    connect(&page, &QWebSocket::disconnected, this, [&closed] { closed = true; });
    page.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/live").arg(m_web)));
    QVERIFY(
        TestSupport::waitUntil([&] { return page.state() == QAbstractSocket::ConnectedState; }));
    page.sendTextMessage(QStringLiteral("{\"key\":\"%1\"}").arg(QLatin1String(editorKey)));
    QVERIFY(TestSupport::waitUntil([&] { return !texts.isEmpty(); }));
    QCOMPARE(QJsonDocument::fromJson(texts.at(0).toUtf8()).object().value(QLatin1String("name")),
             QJsonValue(QStringLiteral("eli")));
    page.sendBinaryMessage(Protocol::encodeHello());
    page.sendBinaryMessage(setCell(7, 7, 3));
    page.sendBinaryMessage(setCell(8, 8, 3));
    QVERIFY(watcher.waitForRelays(2));

    Answer answer;
    QVERIFY(TestSupport::waitUntil([&] {
        answer = request(m_web, "GET", "/cell?x=8&y=8", QByteArray());
        return answer.status != 503;
    }));
    QCOMPARE(answer.json.value(QLatin1String("name")).toString(), QStringLiteral("eli"));
    const QJsonArray authors = request(m_web, "GET", "/api/authors?since=1h", moderatorKey)
                                   .json.value(QLatin1String("authors"))
                                   .toArray();
    const auto eli = std::find_if(authors.begin(), authors.end(), [](const QJsonValue &author) {
        return author.toObject().value(QLatin1String("name")).toString() == QLatin1String("eli");
    });
    QVERIFY(eli != authors.end());
    QVERIFY((*eli).toObject().value(QLatin1String("connection")).isNull());
    QCOMPARE((*eli).toObject().value(QLatin1String("edits")).toInt(), 2);

    // Banned by name with revert: the page is closed and its cells go back, in every window.
    answer = request(m_web, "POST", "/api/ban", moderatorKey,
                     R"({"author":"eli","revert":true,"for":"1h"})");
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.json,
             QJsonObject({{QStringLiteral("closed"), 1}, {QStringLiteral("reverted"), 2}}));
    QVERIFY(TestSupport::waitUntil([&] { return closed; }));
    QVERIFY(watcher.waitForRelays(2));
    QCOMPARE(pictureNow(), start);

    const QJsonArray bans = request(m_web, "GET", "/api/moderation", moderatorKey)
                                .json.value(QLatin1String("bans"))
                                .toArray();
    const auto ban = std::find_if(bans.begin(), bans.end(), [](const QJsonValue &entry) {
        return entry.toObject().value(QLatin1String("author")).toString() == QLatin1String("eli");
    });
    QVERIFY(ban != bans.end());
    QVERIFY(!(*ban).toObject().value(QLatin1String("until")).isNull());
    // Eli's key no longer opens anything, /cell included.
    QCOMPARE(request(m_web, "GET", "/cell?x=8&y=8", editorKey).status, 401);
    QCOMPARE(request(m_web, "POST", "/api/unban", moderatorKey, R"({"author":"eli"})").status, 200);
    QCOMPARE(request(m_web, "POST", "/api/unban", moderatorKey, R"({"author":"eli"})").status, 400);
}

QTEST_GUILESS_MAIN(tst_ServerWebApi)
#include "tst_serverwebapi.moc"
