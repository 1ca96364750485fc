#include "connection/protocol.h"
#include "server/picturefile.h"
#include "tests/support/journalrows.h"
#include "tests/support/serverclient.h"
#include "tests/support/serverprocess.h"
#include "tests/support/testsupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

using TestSupport::readFile;
using TestSupport::writeFile;

namespace {

QByteArray setCell(int x, int y, int value)
{
    return Protocol::encodeCommand(Protocol::SetCellCommand, quint8(x), quint8(y), quint8(value));
}

// The picture the journal's rows lead to, replayed here from its oldest snapshot.
std::optional<Picture> replay(const JournalRows &rows)
{
    if (rows.snapshots.isEmpty())
        return std::nullopt;
    QString problem;
    std::optional<Picture> picture = PictureFile::decode(rows.snapshots.first().picture, &problem);
    for (const JournalRows::Edit &edit : rows.edits) {
        if (!picture || edit.seq <= rows.snapshots.first().seq)
            continue;
        if (picture->apply(quint8(edit.message.at(0)), QByteArrayView(edit.message).sliced(4)) !=
            Picture::Applied)
            return std::nullopt;
    }
    return picture;
}

std::optional<Picture> pictureIn(const QString &path)
{
    QString problem;
    return PictureFile::decode(readFile(path), &problem);
}

// Edit i of a flood: every cell in turn, never empty, so that each one changes the picture.
QByteArray floodEdit(int i)
{
    return setCell(i % 40, i / 40 % 25, i % 15 + 1);
}

QByteArray floodOf(int count)
{
    QByteArray flood;
    for (int i = 0; i < count; ++i)
        flood += floodEdit(i);
    return flood;
}

const QHostAddress Second(QStringLiteral("127.0.0.2"));
const QHostAddress Third(QStringLiteral("127.0.0.3"));

} // namespace

class tst_ServerJournal : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void sessionIsReadableWithSqlite();
    void killMidBurstKeepsEveryCommittedEdit();
    void fullDiskCostsOnlyTheJournal();
    void journalNotItsOwnIsRefused_data();
    void journalNotItsOwnIsRefused();
    void exportsThePictureAtAMoment();
    void fastSenderIsHeldBackNotRefused();
    void heldBackSenderThatLeavesLosesNothing();

private:
    QStringList arguments() const { return {QStringLiteral("--picture"), m_picture}; }

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_picture;
    QString m_journal;
};

void tst_ServerJournal::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_picture = m_dir->filePath(QStringLiteral("drawing.cvp"));
    m_journal = m_picture + QStringLiteral(".history");
}

void tst_ServerJournal::sessionIsReadableWithSqlite()
{
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start(arguments()), server.failure());
    QCOMPARE(server.countLogLines("created the journal"), 1);
    ServerClient first;
    ServerClient second;
    QVERIFY(first.connectTo(server.port(), Second));
    QVERIFY(second.connectTo(server.port(), Third));
    QVERIFY(first.fetchPicture());
    QVERIFY(second.fetchPicture());
    // One at a time, so that the order of the two senders is known.
    QList<QByteArray> relays;
    const auto edit = [&](ServerClient &from, const QByteArray &message) {
        from.send(message);
        const auto relayed = first.waitForRelays(1);
        if (relayed)
            relays += *relayed;
    };
    edit(first, setCell(1, 1, 1));
    edit(second, Protocol::encodeCommand(Protocol::SetColorsCommand, 2, 3, 0));
    edit(first, Protocol::encodeRowData(3, 2, reinterpret_cast<const quint8 *>("\x04\x05")));
    second.send(setCell(90, 1, 1)); // outside the grid: refused, not journaled
    edit(second, Protocol::encodeCommand(Protocol::ClearCommand, 0, 0, 0));
    QCOMPARE(relays.size(), 4);
    second.disconnectNow();
    QTRY_COMPARE(server.countLogLines("client 127.0.0.3"), 2);
    QCOMPARE(server.terminate(), 0);

    const std::optional<JournalRows> rows = JournalRows::read(m_journal);
    QVERIFY(rows);
    QCOMPARE(rows->applicationId, qint64(1129727050));
    QCOMPARE(rows->userVersion, qint64(4));
    QCOMPARE(rows->journalMode, QStringLiteral("wal"));
    QCOMPARE(rows->edits.size(), 4);
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(rows->edits.at(i).seq, qint64(i + 1));
        QCOMPARE(rows->edits.at(i).message, relays.at(i));
    }
    QCOMPARE(rows->connections.size(), 2);
    QCOMPARE(rows->connections.at(0).address, QStringLiteral("127.0.0.2"));
    QCOMPARE(rows->connections.at(0).port, qint64(first.socket().localPort()));
    QCOMPARE(rows->connections.at(1).address, QStringLiteral("127.0.0.3"));
    const qint64 ids[] = {rows->connections.at(0).id, rows->connections.at(1).id,
                          rows->connections.at(0).id, rows->connections.at(1).id};
    for (int i = 0; i < 4; ++i)
        QCOMPARE(rows->edits.at(i).connection, ids[i]);
    // Both have left: one by closing, one with the server.
    for (const JournalRows::Connection &connection : rows->connections) {
        QVERIFY(connection.leftMs);
        QVERIFY(*connection.leftMs >= connection.connectedMs);
    }
    QVERIFY(rows->edits.first().timeMs >= rows->connections.at(0).connectedMs);
    QCOMPARE(replay(*rows), pictureIn(m_picture));
}

void tst_ServerJournal::killMidBurstKeepsEveryCommittedEdit()
{
    QRandomGenerator random(5);
    for (int round = 0; round < 3; ++round) {
        ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
        QVERIFY2(server.start(arguments() + QStringList{"--max-edits-per-second", "0"}),
                 server.failure());
        ServerClient client;
        QVERIFY(client.connectTo(server.port()));
        // Bursts until the journal holds a number of edits that differs from round to round,
        // then a few more, so that the kill lands in the middle of a batch.
        const int wanted = 3000 + int(random.bounded(20000));
        int sent = 0;
        QVERIFY(QTest::qWaitFor(
            [&] {
                QByteArray burst;
                for (int k = 0; k < 500; ++k, ++sent)
                    burst += setCell(sent % 40, sent / 40 % 25, int(random.bounded(16)));
                client.send(burst);
                server.countLogLines("");
                const std::optional<JournalRows> rows = JournalRows::read(m_journal);
                return rows && rows->edits.size() >= wanted;
            },
            60000));
        client.send(setCell(0, 0, 3));
        server.kill();

        const std::optional<JournalRows> committed = JournalRows::read(m_journal);
        QVERIFY(committed);
        const std::optional<Picture> expected = replay(*committed);
        QVERIFY(expected);
        QVERIFY(committed->edits.size() >= wanted);

        QVERIFY2(server.start(arguments()), server.failure());
        ServerClient reader;
        QVERIFY(reader.connectTo(server.port()));
        const std::optional<Picture> served = reader.fetchPicture();
        QVERIFY(served);
        QVERIFY2(*served == *expected, server.standardError().constData());
        QCOMPARE(server.terminate(), 0);
    }
}

void tst_ServerJournal::fullDiskCostsOnlyTheJournal()
{
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    // Files may not grow past 256 KiB: the picture file (1014 bytes) always fits, the journal's
    // log soon does not, as on a small file system that has filled up.
    server.process().setChildProcessModifier([] {
        const rlimit small{256 * 1024, RLIM_INFINITY};
        ::setrlimit(RLIMIT_FSIZE, &small);
        ::signal(SIGXFSZ, SIG_IGN);
    });
    QVERIFY2(server.start(arguments() + QStringList{"--max-edits-per-second", "0"}),
             server.failure());
    ServerClient client;
    QVERIFY(client.connectTo(server.port()));
    QVERIFY(client.fetchPicture());
    int sent = 0;
    QVERIFY(QTest::qWaitFor(
        [&] {
            QByteArray burst;
            for (int k = 0; k < 200; ++k, ++sent)
                burst += setCell(sent % 40, sent / 40 % 25, sent % 16);
            client.send(burst);
            return server.countLogLines("cannot write the journal") > 0;
        },
        30000));
    // Edits go on and reach the picture file meanwhile.
    client.send(setCell(5, 5, 7));
    const std::optional<Picture> during = client.fetchPicture();
    QVERIFY(during);
    QTRY_COMPARE_WITH_TIMEOUT(pictureIn(m_picture), std::optional<Picture>(*during), 10000);
    QCOMPARE(server.countLogLines("cannot write the journal"), 1);

    // Room again (the soft limit rises, which needs no privilege): the journal takes up the picture
    // where it stands.
    const rlimit room{RLIM_INFINITY, RLIM_INFINITY};
    QCOMPARE(::prlimit(pid_t(server.process().processId()), RLIMIT_FSIZE, &room, nullptr), 0);
    QTRY_COMPARE_WITH_TIMEOUT(server.countLogLines("takes writes again"), 1, 10000);
    client.send(setCell(6, 6, 8));
    const std::optional<Picture> after = client.fetchPicture();
    QVERIFY(after);
    QCOMPARE(server.terminate(), 0);
    QCOMPARE(server.countLogLines("cannot write the journal"), 1);

    const std::optional<JournalRows> rows = JournalRows::read(m_journal);
    QVERIFY(rows);
    QCOMPARE(rows->gaps.size(), 1);
    QVERIFY(rows->gaps.at(0).untilMs >= rows->gaps.at(0).fromMs);
    QCOMPARE(replay(*rows), std::optional<Picture>(*after));
    QCOMPARE(pictureIn(m_picture), std::optional<Picture>(*after));
    // The edits journaled before the gap are there, numbered without holes through it.
    for (int i = 1; i < rows->edits.size(); ++i)
        QCOMPARE(rows->edits.at(i).seq, rows->edits.at(i - 1).seq + 1);
    QVERIFY(rows->gaps.at(0).afterSeq > 0);
}

void tst_ServerJournal::journalNotItsOwnIsRefused_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QByteArray>("reason");
    QTest::newRow("text") << QByteArray("notes\n") << QByteArray("not an SQLite database");
    QTest::newRow("another program's database")
        << QByteArray() << QByteArray("not a Celvane journal");
    QTest::newRow("damaged header")
        << QByteArray("SQLite format 3\0garbage", 23) << QByteArray("damaged");
}

void tst_ServerJournal::journalNotItsOwnIsRefused()
{
    QFETCH(QByteArray, contents);
    QFETCH(QByteArray, reason);
    if (contents.isEmpty())
        QVERIFY(JournalRows::execute(m_journal, QStringLiteral("CREATE TABLE notes(x)")));
    else
        QVERIFY(writeFile(m_journal, contents));
    const QByteArray before = readFile(m_journal);
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QCOMPARE(server.runToExit(arguments() + QStringList{"--listen", "127.0.0.1", "--port", "0"}),
             2);
    const QByteArray error = server.standardError();
    QVERIFY2(error.contains(m_journal.toUtf8()), error.constData());
    QVERIFY2(error.contains(reason), error.constData());
    QCOMPARE(readFile(m_journal), before);
}

void tst_ServerJournal::exportsThePictureAtAMoment()
{
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start(arguments()), server.failure());
    ServerClient client;
    QVERIFY(client.connectTo(server.port()));
    client.send(setCell(1, 1, 1));
    const std::optional<Picture> early = client.fetchPicture();
    QVERIFY(early);
    QCOMPARE(server.terminate(), 0);

    // The journal says when: the first edit an hour ago, the rest now.
    const qint64 hourAgo = QDateTime::currentMSecsSinceEpoch() - 3600 * 1000;
    QVERIFY(JournalRows::execute(
        m_journal, QStringLiteral("UPDATE snapshots SET time_ms = %1 - 60000 WHERE seq = 0; "
                                  "UPDATE edits SET time_ms = %1 WHERE seq = 1; "
                                  "UPDATE connections SET connected_ms = %1 - 1000")
                       .arg(hourAgo)));
    QVERIFY2(server.start(arguments()), server.failure());
    ServerClient later;
    QVERIFY(later.connectTo(server.port()));
    later.send(setCell(2, 2, 2));
    QVERIFY(later.fetchPicture());
    QCOMPARE(server.terminate(), 0);

    const auto exported = [&](const QString &at) {
        const QString png = m_dir->filePath(QStringLiteral("at-%1.png").arg(at));
        const QStringList exportArguments =
            arguments() + QStringList{"--export-png", png, "--at", at, "--export-size", "80x50"};
        ServerProcess exporter(QStringLiteral(CELVANE_SERVER_PATH));
        const int status = exporter.runToExit(exportArguments);
        return std::make_pair(status, QImage(png));
    };
    const auto [earlyStatus, earlyImage] = exported(QStringLiteral("30m"));
    QCOMPARE(earlyStatus, 0);
    const auto [nowStatus, nowImage] = exported(QStringLiteral("0s"));
    QCOMPARE(nowStatus, 0);
    const auto [startStatus, startImage] = exported(QStringLiteral("90m"));
    QCOMPARE(startStatus, 1);
    QVERIFY(startImage.isNull());
    const auto [badStatus, badImage] = exported(QStringLiteral("soon"));
    QCOMPARE(badStatus, 1);
    // An hour ago the picture held the first cell only; now it holds both.
    QVERIFY(!earlyImage.isNull() && !nowImage.isNull());
    QVERIFY(earlyImage != nowImage);
    const auto [secondStatus, secondImage] =
        exported(QDateTime::fromMSecsSinceEpoch(hourAgo + 1000)
                     .toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")));
    QCOMPARE(secondStatus, 0);
    QCOMPARE(secondImage, earlyImage);
}

void tst_ServerJournal::fastSenderIsHeldBackNotRefused()
{
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    // Deadlines far shorter than the hold: they must not close a client the server holds back.
    QVERIFY2(
        server.start(arguments() + QStringList{"--max-edits-per-second", "1000", "--hello-timeout",
                                               "1", "--stall-timeout", "1"}),
        server.failure());
    ServerClient watcher;
    QVERIFY(watcher.connectTo(server.port(), Third));
    QVERIFY(watcher.fetchPicture());

    // 10,000 edits at once, and only then the Hello: eight seconds held back.
    constexpr int Count = 10000;
    const QByteArray flood = floodOf(Count) + Protocol::encodeHello();
    ServerClient sender;
    QVERIFY(sender.connectTo(server.port(), Second));
    QElapsedTimer clock;
    clock.start();
    sender.send(flood);

    // The flood is under way when another client edits: its edit goes out long before the
    // flood's end, and the flood so far is within what the allowance lets through.
    QTRY_VERIFY_WITH_TIMEOUT(watcher.relaysReceived() >= 100, 10000);
    watcher.send(setCell(39, 24, 0));
    QList<QByteArray> relays;
    QVERIFY(QTest::qWaitFor(
        [&] {
            const auto more = watcher.waitForRelays(watcher.relaysReceived());
            if (more)
                relays += *more;
            return relays.contains(setCell(39, 24, 0));
        },
        10000));
    const qint64 seenMs = clock.elapsed();
    const int before = int(relays.indexOf(setCell(39, 24, 0)));
    QVERIFY2(before < Count / 2, qPrintable(QString::number(before)));
    // Never more than the burst and the rate since the start (with a margin for the moment
    // of the count), however fast or slow the machine.
    QVERIFY2(before <= 2000 + seenMs + 50,
             qPrintable(QStringLiteral("%1 after %2 ms").arg(before).arg(seenMs)));

    // All of it, in order, nothing refused, and the sender never closed.
    QVERIFY(QTest::qWaitFor(
        [&] {
            const auto more = watcher.waitForRelays(watcher.relaysReceived());
            if (more)
                relays += *more;
            server.countLogLines("");
            return relays.size() >= Count + 1;
        },
        60000));
    const qint64 allMs = clock.elapsed();
    QCOMPARE(relays.size(), Count + 1);
    relays.removeAt(before);
    for (int i = 0; i < Count; ++i)
        QCOMPARE(relays.at(i), floodEdit(i));
    // At the limit's pace: what is beyond the burst took at least its seconds.
    QVERIFY2(allMs >= (Count - 2000) - 500, qPrintable(QString::number(allMs)));
    QVERIFY(sender.waitForUpdate());
    QVERIFY(sender.isConnected());
    QCOMPARE(server.countLogLines("refused"), 0);
    QCOMPARE(server.countLogLines("dropping client"), 0);
    QCOMPARE(server.terminate(), 0);
    const std::optional<JournalRows> rows = JournalRows::read(m_journal);
    QVERIFY(rows);
    QCOMPARE(rows->edits.size(), Count + 1);
}

void tst_ServerJournal::heldBackSenderThatLeavesLosesNothing()
{
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start(arguments() + QStringList{"--max-edits-per-second", "1000"}),
             server.failure());
    ServerClient watcher;
    QVERIFY(watcher.connectTo(server.port(), Third));
    QVERIFY(watcher.fetchPicture());

    // Twice the burst, and gone before most of it can be applied.
    constexpr int Count = 4000;
    const QByteArray flood = floodOf(Count);
    ServerClient sender;
    QVERIFY(sender.connectTo(server.port(), Second));
    sender.send(flood);
    QVERIFY(sender.socket().waitForBytesWritten(5000) || sender.socket().bytesToWrite() == 0);
    sender.socket().disconnectFromHost();

    // About two seconds at the limit's pace.
    QTRY_VERIFY_WITH_TIMEOUT(watcher.relaysReceived() >= Count, 30000);
    const auto relays = watcher.waitForRelays(Count);
    QVERIFY(relays);
    QCOMPARE(relays->size(), Count);
    QCOMPARE(relays->last(), floodEdit(Count - 1));
    QTRY_COMPARE(server.countLogLines("client 127.0.0.2"), 2);
    QCOMPARE(server.countLogLines("after 4000 messages, 0 refused"), 1);
    QCOMPARE(server.terminate(), 0);
}

QTEST_GUILESS_MAIN(tst_ServerJournal)
#include "tst_serverjournal.moc"
