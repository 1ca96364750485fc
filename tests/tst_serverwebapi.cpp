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
#include <QtTest>

// The moderation API of the real celvane-server, as a moderator's script uses it: what it does to
// the picture is checked by what the windows of a TCP client see.
class tst_ServerWebApi : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void moderatorRevertsAndBansByAddress();
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

void tst_ServerWebApi::moderatorRevertsAndBansByAddress()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString keys = dir.filePath(QStringLiteral("keys"));
    QFile keyFile(keys);
    QVERIFY(keyFile.open(QIODevice::WriteOnly));
    keyFile.write("mia " + moderatorKey + " moderator\neli " + editorKey + "\n");
    keyFile.close();
    QVERIFY(keyFile.setPermissions(QFile::ReadOwner | QFile::WriteOwner));

    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start({QStringLiteral("--picture"), dir.filePath(QStringLiteral("p.cvp")),
                           QStringLiteral("--http"), QStringLiteral("127.0.0.1:0"),
                           QStringLiteral("--web-keys"), keys}),
             server.failure());
    QVERIFY(TestSupport::waitUntil([&] { return server.process().canReadLine(); }));
    const QByteArray webLine = server.process().readLine().trimmed();
    const QByteArray prefix = "web page at http://127.0.0.1:";
    QVERIFY2(webLine.startsWith(prefix), webLine);
    const quint16 web = webLine.mid(prefix.size()).chopped(1).toUShort();

    // A window's second Hello waits for its allowance: each look at the picture is a new window.
    const auto pictureNow = [&server] {
        ServerClient window;
        return window.connectTo(server.port()) ? window.fetchPicture() : std::nullopt;
    };
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

    // An editor's key is not a moderator's.
    const QByteArray byAddress = R"({"address":"127.0.0.3"})";
    QCOMPARE(request(web, "POST", "/api/revert", editorKey, byAddress).status, 403);

    // The preview shows the cells as they would be and changes nothing.
    Answer answer = request(web, "POST", "/api/revert", moderatorKey,
                            R"({"address":"127.0.0.3","preview":true})");
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.json.value(QLatin1String("count")).toInt(), 3);
    QCOMPARE(answer.json.value(QLatin1String("cells")).toArray(),
             cells({{1, 1, 2}, {2, 2, EmptyCell}, {3, 3, EmptyCell}}));
    const std::optional<Picture> seen = pictureNow();
    QVERIFY(seen);
    QCOMPARE(seen->cell(3, 3), quint8(7));
    QCOMPARE(watcher.relaysReceived(), 0);

    // Applied, it reaches every window as ordinary edits.
    answer = request(web, "POST", "/api/revert", moderatorKey, byAddress);
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
    QVERIFY(!server.standardError().contains(moderatorKey));
    QCOMPARE(server.terminate(), 0);
}

QTEST_GUILESS_MAIN(tst_ServerWebApi)
#include "tst_serverwebapi.moc"
