// The real server program under load: fifty clients editing at once over loopback, each owning
// cells of its own, so that every edit can be found again in the final picture; and the same
// while other clients connect, send half messages or nonsense, and vanish at random moments.

#include "connection/protocol.h"
#include "model/canvasformat.h"
#include "server/picture.h"
#include "tests/support/serverclient.h"
#include "tests/support/serverprocess.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

constexpr int FormatNumber = 1; // 80 x 25, the largest grid
constexpr int Columns = 80;
constexpr int Clients = 50;
constexpr int CellsPerClient = 36;
constexpr int Rounds = 20;

int cellIndex(int client, int k)
{
    return client * CellsPerClient + k;
}

// A value the format takes (its two colours, or empty): the server refuses any other.
quint8 valueFor(int client, int round, int k)
{
    constexpr quint8 Values[3] = {0, 1, EmptyCell};
    return Values[(client * 7 + round * 13 + k) % 3];
}

// One round of a client's edits: every one of its cells, in one write.
QByteArray roundOfEdits(int client, int round)
{
    QByteArray bytes;
    for (int k = 0; k < CellsPerClient; ++k) {
        const int index = cellIndex(client, k);
        bytes += Protocol::encodeCommand(Protocol::SetCellCommand, quint8(index % Columns),
                                         quint8(index / Columns), valueFor(client, round, k));
    }
    return bytes;
}

// A client that misbehaves once and goes: everything it sends is either incomplete or
// something the server must refuse, so none of it may show in the picture.
class Vanisher
{
public:
    Vanisher(quint16 port, QRandomGenerator &random)
        : m_lifetime(random.bounded(4))
    {
        m_socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
        if (random.bounded(8) == 0)
            return; // gone before it said anything, maybe before it was even connected
        m_socket.waitForConnected(5000);

        const int victim = random.bounded(Clients * CellsPerClient);
        const QByteArray edit = Protocol::encodeCommand(
            Protocol::SetCellCommand, quint8(victim % Columns), quint8(victim / Columns), 0xA5);
        switch (random.bounded(5)) {
        case 0: // asks for the picture and never reads it
            m_socket.write(Protocol::encodeHello());
            break;
        case 1: // someone else's cell, cut short anywhere before its last byte
            m_socket.write(edit.left(random.bounded(1, edit.size())));
            break;
        case 2: { // a row announced at full length, of which only a part comes
            const QByteArray cells(255, char(0xA5));
            const QByteArray row = Protocol::encodeRowData(
                quint8(victim / Columns), 255, reinterpret_cast<const quint8 *>(cells.constData()));
            m_socket.write(row.left(random.bounded(1, row.size())));
            break;
        }
        case 3: { // whole messages the server must refuse
            m_socket.write(Protocol::encodeCommand(Protocol::SetCellCommand, 200, 0, 0xA5));
            m_socket.write(Protocol::encodeCommand(9, 0, 0, 0));
            QByteArray unknown = edit;
            unknown[0] = char(7);
            m_socket.write(unknown);
            break;
        }
        default: { // the largest length there is, and silence
            QByteArray huge = edit.left(4);
            huge[2] = char(0xff);
            huge[3] = char(0xff);
            m_socket.write(huge + QByteArray(random.bounded(1000), char(0xA5)));
            break;
        }
        }
        m_socket.flush();
    }

    // Called once a round; true once the client has gone.
    bool age(QRandomGenerator &random)
    {
        if (m_lifetime-- > 0)
            return false;
        if (random.bounded(2))
            m_socket.abort();
        else
            m_socket.disconnectFromHost();
        return true;
    }

private:
    QTcpSocket m_socket;
    int m_lifetime;
};

} // namespace

class tst_ServerLoad : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fiftyClientsEditing_data()
    {
        QTest::addColumn<int>("vanishersPerRound");
        QTest::newRow("alone") << 0;
        QTest::newRow("among vanishing clients") << 8;
    }

    void fiftyClientsEditing()
    {
        QFETCH(int, vanishersPerRound);

        ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
        QVERIFY2(server.start({QStringLiteral("--format"), QString::number(FormatNumber),
                               QStringLiteral("--max-clients"), QStringLiteral("1000"),
                               QStringLiteral("--max-per-address"), QStringLiteral("1000"),
                               // These clients edit first and say Hello at the end.
                               QStringLiteral("--hello-timeout"), QStringLiteral("0")}),
                 server.failure());

        std::vector<std::unique_ptr<ServerClient>> clients;
        for (int i = 0; i < Clients; ++i) {
            clients.push_back(std::make_unique<ServerClient>());
            QVERIFY2(clients.back()->connectTo(server.port()), qPrintable(QString::number(i)));
        }

        QRandomGenerator random(4242);
        std::vector<std::unique_ptr<Vanisher>> vanishers;
        int vanished = 0;
        QElapsedTimer timer;
        timer.start();
        for (int round = 0; round < Rounds; ++round) {
            for (int i = 0; i < Clients; ++i)
                clients[size_t(i)]->send(roundOfEdits(i, round));
            for (int v = 0; v < vanishersPerRound; ++v)
                vanishers.push_back(std::make_unique<Vanisher>(server.port(), random));
            for (auto it = vanishers.begin(); it != vanishers.end();) {
                if ((*it)->age(random)) {
                    it = vanishers.erase(it);
                    ++vanished;
                } else {
                    ++it;
                }
            }
            QTest::qWait(1);
        }
        vanished += int(vanishers.size());
        vanishers.clear();

        // The server reads each connection in order, so the answer to a client's Hello already
        // holds every edit that client made before it.
        for (int i = 0; i < Clients; ++i) {
            const auto own = clients[size_t(i)]->fetchPicture();
            QVERIFY2(own, qPrintable(QStringLiteral("client %1 got no picture").arg(i)));
            for (int k = 0; k < CellsPerClient; ++k) {
                const int index = cellIndex(i, k);
                QCOMPARE(own->cell(index % Columns, index / Columns), valueFor(i, Rounds - 1, k));
            }
        }
        const qint64 elapsed = timer.elapsed();

        // A newcomer sees all of it, and nothing else.
        Picture expected(FormatNumber);
        for (int i = 0; i < Clients; ++i) {
            for (int k = 0; k < CellsPerClient; ++k) {
                const int index = cellIndex(i, k);
                expected.setCell(index % Columns, index / Columns, valueFor(i, Rounds - 1, k));
            }
        }
        ServerClient newcomer;
        QVERIFY(newcomer.connectTo(server.port()));
        const auto final = newcomer.fetchPicture();
        QVERIFY(final);
        QVERIFY(*final == expected);
        for (const auto &client : clients)
            QVERIFY(client->isConnected());

        // The server's own count: every edit applied, and no well-behaved client lost.
        QCOMPARE(server.terminate(), 0);
        const QRegularExpression summary(
            QStringLiteral("(\\d+) edits applied, (\\d+) refused, "
                           "(\\d+) clients turned away, (\\d+) dropped"));
        const QRegularExpressionMatch counts =
            summary.match(QString::fromUtf8(server.standardError()));
        QVERIFY2(counts.hasMatch(), server.standardError().constData());
        const int edits = Clients * CellsPerClient * Rounds;
        QCOMPARE(counts.captured(1).toInt(), edits);
        QCOMPARE(counts.captured(3).toInt(), 0);
        QCOMPARE(counts.captured(4).toInt(), 0);
        if (vanishersPerRound > 0)
            QVERIFY(counts.captured(2).toInt() > 0);

        qInfo("%d clients, %d edits and %d vanishing clients in %lld ms: %.0f edits/s", Clients,
              edits, vanished, elapsed, edits * 1000.0 / qMax<qint64>(elapsed, 1));
    }
};

QTEST_MAIN(tst_ServerLoad)
#include "tst_serverload.moc"
