// The real server ended without warning in a busy session: killed from outside at moments
// between its operations, and from inside each of them (a crash, or a power cut that loses every
// write not yet synced) through its CELVANE_TEST_FAULT seam. After each, it must start again on
// what is left with nobody's help, serving a picture that holds what clients were shown.

#include "connection/protocol.h"
#include "journal/journalstore.h"
#include "recovery/controlclient.h"
#include "recovery/controlserver.h"
#include "recovery/picturechange.h"
#include "server/picturefile.h"
#include "tests/support/journalrows.h"
#include "tests/support/serverclient.h"
#include "tests/support/serverprocess.h"
#include "tests/support/testsupport.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <map>
#include <memory>

namespace {

constexpr int Bursts = 10;
constexpr int BurstEdits = 8;
constexpr int RevertBurst = 4;
constexpr int RestoreBurst = 7;
// A sync is due at most 200 ms after a commit; a loaded machine may run the timer late, by as
// much again and more. An edit shown longer than this before a power cut must have survived it.
constexpr qint64 SyncedWithinMs = 200 + 500;

// Every kind of edit in turn: cells, whole rows, frame colours, and now and then a Clear.
QByteArray sessionEdit(int i)
{
    if (i % 29 == 28)
        return Protocol::encodeCommand(Protocol::ClearCommand, 0, 0, 0);
    switch (i % 5) {
    case 0:
    case 2:
        return Protocol::encodeCommand(Protocol::SetCellCommand, quint8(i % 40),
                                       quint8(i / 40 % 25), quint8(1 + i % 15));
    case 1: {
        const QByteArray cells(40 - i % 7, char(i % 16));
        return Protocol::encodeRowData(quint8(i % 25), quint8(cells.size()),
                                       reinterpret_cast<const quint8 *>(cells.data()));
    }
    case 3:
        return Protocol::encodeCommand(Protocol::SetColorsCommand, quint8(i % 16),
                                       quint8((i / 3) % 16), 0);
    default:
        return Protocol::encodeCommand(Protocol::SetCellCommand, quint8(39 - i % 40),
                                       quint8(24 - i % 25), quint8(i % 16));
    }
}

void applyTo(Picture *picture, const QByteArray &message)
{
    picture->apply(quint8(message.at(0)), QByteArrayView(message).sliced(Protocol::HeaderSize));
}

std::optional<Picture> readPicture(const QString &path)
{
    QString problem;
    return PictureFile::decode(TestSupport::readFile(path), &problem);
}

// What a session showed: the relays as the client that got most of them got them, and when the
// test took each from its socket (no earlier than it arrived).
struct Shown
{
    QList<QByteArray> relays;
    QList<qint64> takenMs;
};

} // namespace

class tst_ServerCrash : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void keepsWhatWasShown_data();
    void keepsWhatWasShown();

private:
    // Runs the session until the server dies (or burst killAfter was shown: the test kills it);
    // false with a failure recorded when the session itself went wrong.
    bool runSession(ServerProcess *server, int killAfter, Picture *initial, Shown *shown);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
    QStringList m_arguments;
};

void tst_ServerCrash::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_path = m_dir->filePath(QStringLiteral("crash.cvp"));
    // A journal this small is folded at every pass of retention, which the seam's pace runs
    // every 20 ms, as it saves the picture and takes a snapshot every 25 edits.
    m_arguments = {QStringLiteral("--picture"),          m_path,
                   QStringLiteral("--format"),           QStringLiteral("3"),
                   QStringLiteral("--history-max-size"), QStringLiteral("24K")};
}

bool tst_ServerCrash::runSession(ServerProcess *server, int killAfter, Picture *initial,
                                 Shown *shown)
{
    ServerClient watcher;
    ServerClient drawers[3];
    [&] {
        QVERIFY(watcher.connectTo(server->port(), QHostAddress(QStringLiteral("127.0.0.5"))));
        // Each holds the picture, and so is shown every edit.
        for (int i = 0; i < 3; ++i) {
            QVERIFY(drawers[i].connectTo(server->port(),
                                         QHostAddress(QStringLiteral("127.0.0.%1").arg(2 + i))));
            QVERIFY(drawers[i].fetchPicture());
        }
        const std::optional<Picture> first = watcher.fetchPicture();
        QVERIFY(first);
        *initial = *first;
    }();
    if (QTest::currentTestFailed())
        return false;

    Picture current = *initial;
    std::map<int, Picture> atBurst;
    int expected = 0;
    const auto take = [&] {
        const int count = watcher.relaysReceived();
        const std::optional<QList<QByteArray>> relays = watcher.waitForRelays(count);
        const qint64 ms = QDateTime::currentMSecsSinceEpoch();
        for (const QByteArray &relay : relays.value_or(QList<QByteArray>())) {
            shown->relays.append(relay);
            shown->takenMs.append(ms);
            applyTo(&current, relay);
        }
    };
    for (int burst = 0; burst < Bursts && server->isRunning(); ++burst) {
        atBurst.emplace(burst, current);
        // A live repair through the control socket, as the revert and restore commands send it.
        if (burst == RevertBurst || burst == RestoreBurst) {
            const PictureChange change = burst == RevertBurst
                                             ? PictureChange::revert(current, atBurst.at(2))
                                             : PictureChange::restore(atBurst.at(4));
            expected += int(PictureChange::messages(current, *change.appliedTo(current)).size());
            QString problem;
            ControlClient::Request request;
            request.label = QStringLiteral("crash test");
            request.change = change.encode();
            ControlClient::send(ControlServer::socketPath(m_path), request, &problem, 5000);
        }
        for (int k = 0; k < BurstEdits; ++k)
            drawers[(burst + k) % 3].send(sessionEdit(burst * BurstEdits + k));
        expected += BurstEdits;
        if (!QTest::qWaitFor(
                [&] {
                    return watcher.relaysReceived() >= expected - shown->relays.size() ||
                           !server->isRunning();
                },
                5000)) {
            qWarning("the running server relayed %d of %d edits", int(shown->relays.size()),
                     expected);
            return false;
        }
        take();
        // Killed as soon as the burst was shown, before the picture file is saved.
        if (burst == killAfter) {
            server->kill();
            break;
        }
        // The picture file is saved between bursts, so that saves, folds and snapshots all
        // happen amid the edits.
        if (!QTest::qWaitFor([&] { return readPicture(m_path) == current || !server->isRunning(); },
                             5000)) {
            qWarning("the running server did not save the picture it relayed");
            return false;
        }
    }
    if (server->isRunning())
        server->kill();
    // Whatever reached the sockets before the end is still read: it was shown.
    QList<QByteArray> longest;
    for (ServerClient *client : {&watcher, &drawers[0], &drawers[1], &drawers[2]}) {
        client->waitForDisconnected();
        QList<QByteArray> got =
            client == &watcher
                ? QList<QByteArray>()
                : client->waitForRelays(client->relaysReceived()).value_or(QList<QByteArray>());
        if (client == &watcher) {
            take();
            got = shown->relays;
        }
        // Every client is sent the one order: each got a beginning of it.
        const QList<QByteArray> &shorter = got.size() < longest.size() ? got : longest;
        const QList<QByteArray> &longer = got.size() < longest.size() ? longest : got;
        if (longer.mid(0, shorter.size()) != shorter) {
            qWarning("the clients were sent different orders");
            return false;
        }
        longest = longer;
    }
    const qint64 endMs = QDateTime::currentMSecsSinceEpoch();
    while (shown->relays.size() < longest.size()) {
        shown->relays.append(longest.at(shown->relays.size()));
        shown->takenMs.append(endMs);
    }
    return true;
}

void tst_ServerCrash::keepsWhatWasShown_data()
{
    QTest::addColumn<QByteArray>("fault");
    QTest::addColumn<int>("killAfter");

    // Killed from outside once a burst was shown: early, with the live revert and with the
    // restore.
    QTest::newRow("killed after 2 bursts") << QByteArray() << 1;
    QTest::newRow("killed after the revert") << QByteArray() << RevertBurst;
    QTest::newRow("killed after the restore") << QByteArray() << RestoreBurst;
    // Killed inside each operation, at its N-th write or sync; first, while the first start
    // makes the journal.
    QTest::newRow("crash creating the journal") << QByteArray("kill:12:other") << -1;
    QTest::newRow("power cut creating the journal") << QByteArray("cut:20:other") << -1;
    QTest::newRow("crash in a commit, early") << QByteArray("kill:8:commit") << -1;
    QTest::newRow("crash in a commit, late") << QByteArray("kill:30:commit") << -1;
    QTest::newRow("crash in a snapshot") << QByteArray("kill:12:snapshot") << -1;
    QTest::newRow("crash in a sync") << QByteArray("kill:3:sync") << -1;
    QTest::newRow("crash in a save, writing") << QByteArray("kill:4:save") << -1;
    QTest::newRow("crash in a save, renaming") << QByteArray("kill:8:save") << -1;
    QTest::newRow("crash in a save, syncing the folder") << QByteArray("kill:12:save") << -1;
    QTest::newRow("crash in a fold") << QByteArray("kill:5:fold") << -1;
    // Power cuts: every write not yet synced is lost with the process.
    QTest::newRow("power cut in a commit") << QByteArray("cut:20:commit") << -1;
    QTest::newRow("power cut in a sync") << QByteArray("cut:4:sync") << -1;
    QTest::newRow("power cut in a save") << QByteArray("cut:8:save") << -1;
    QTest::newRow("power cut in a fold") << QByteArray("cut:3:fold") << -1;
    QTest::newRow("power cut in a snapshot") << QByteArray("cut:20:snapshot") << -1;
}

void tst_ServerCrash::keepsWhatWasShown()
{
    QFETCH(QByteArray, fault);
    QFETCH(int, killAfter);
    const bool powerCut = fault.startsWith("cut");

    Picture initial(3);
    Shown shown;
    qint64 cutMs = 0;
    {
        ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("CELVANE_TEST_FAULT"),
                           QString::fromLatin1(fault.isEmpty() ? QByteArray("kill:0") : fault));
        server.process().setProcessEnvironment(environment);
        // Only a fault inside the start keeps the server from listening.
        const bool started = server.start(m_arguments);
        QVERIFY2(started || fault.endsWith(":other"), server.failure());
        if (started)
            QVERIFY(runSession(&server, killAfter, &initial, &shown));
        server.process().waitForFinished(5000);
        const QByteArray log = server.standardError();
        const QRegularExpressionMatch fired =
            QRegularExpression(QStringLiteral("fault: \\w+ at \\d+ in \\w+, (\\d+)"))
                .match(QString::fromLatin1(log));
        // A row whose fault never fired would test nothing but the kill at the end.
        QVERIFY2(fault.isEmpty() || fired.hasMatch(), log.constData());
        cutMs = fired.captured(1).toLongLong();
    }

    ServerProcess restarted(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(restarted.start(m_arguments), restarted.failure());
    ServerClient client;
    QVERIFY(client.connectTo(restarted.port()));
    const std::optional<Picture> served = client.fetchPicture();
    QVERIFY(served);
    if (shown.relays.isEmpty())
        initial = *served;
    // The picture file and the journal agreed: the start neither refused nor recorded a gap.
    QCOMPARE(restarted.countLogLines("does not lead to"), 0);

    const std::optional<JournalRows> rows = JournalRows::read(JournalStore::journalPathFor(m_path));
    QVERIFY(rows);
    QVERIFY(rows->gaps.isEmpty());
    // Edits are numbered from 1 in the server's order, which is the order clients were shown:
    // every kept edit that was shown is that relay, once.
    const qint64 shownCount = shown.relays.size();
    QVERIFY(!rows->snapshots.isEmpty());
    // The oldest snapshot is where the kept edits begin (retention folds into it), and it never
    // passes what the picture file held, which everyone had been shown.
    qint64 last = rows->snapshots.first().seq;
    QVERIFY(last <= shownCount);
    for (const JournalRows::Edit &edit : rows->edits) {
        QCOMPARE(edit.seq, last + 1);
        if (edit.seq <= shownCount)
            QCOMPARE(edit.message, shown.relays.at(edit.seq - 1));
        last = edit.seq;
    }
    QVERIFY(rows->snapshots.last().seq <= last);
    if (powerCut) {
        for (qint64 i = 0; i < shownCount; ++i) {
            if (shown.takenMs.at(i) < cutMs - SyncedWithinMs)
                QVERIFY2(i < last, qPrintable(QStringLiteral("edit %1, shown %2 ms before the "
                                                             "cut, is lost")
                                                  .arg(i + 1)
                                                  .arg(cutMs - shown.takenMs.at(i))));
        }
    } else {
        QVERIFY2(last >= shownCount, qPrintable(QStringLiteral("%1 of %2 edits shown are lost")
                                                    .arg(shownCount - last)
                                                    .arg(shownCount)));
    }
    // The picture served is one that existed: the shown edits up to the last kept, then any
    // kept that nobody was shown yet.
    Picture expected = initial;
    for (qint64 i = 0; i < qMin(last, shownCount); ++i)
        applyTo(&expected, shown.relays.at(i));
    for (const JournalRows::Edit &edit : rows->edits) {
        if (edit.seq > shownCount)
            applyTo(&expected, edit.message);
    }
    QCOMPARE(*served, expected);
    QCOMPARE(restarted.terminate(), 0);
    QCOMPARE(readPicture(m_path), std::optional<Picture>(expected));
}

CELVANE_TEST_MAIN(tst_ServerCrash)
#include "tst_servercrash.moc"
