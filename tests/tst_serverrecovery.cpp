#include "connection/protocol.h"
#include "journal/journalhistory.h"
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
#include <QFile>
#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

#include <pwd.h>
#include <unistd.h>

namespace {

// The commands read a history of a few dozen edits: far less than this on any machine.
constexpr int CommandWaitMs = 60000;

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs celvane-server with these arguments to its end, as another user (uid 65534) if asked.
Run runServer(const QStringList &arguments, bool asNobody = false)
{
    QProcess process;
    if (asNobody)
        process.setChildProcessModifier([] {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(99);
        });
    process.start(QStringLiteral(CELVANE_SERVER_PATH), arguments);
    Run run;
    if (!process.waitForFinished(CommandWaitMs) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

QByteArray setCell(int x, int y, int value)
{
    return Protocol::encodeCommand(Protocol::SetCellCommand, quint8(x), quint8(y), quint8(value));
}

QByteArray colours(int border, int background)
{
    return Protocol::encodeCommand(Protocol::SetColorsCommand, quint8(border), quint8(background),
                                   0);
}

QByteArray clear()
{
    return Protocol::encodeCommand(Protocol::ClearCommand, 0, 0, 0);
}

// A whole row of format 3 (40 columns) in one value.
QByteArray row(int y, int value)
{
    const QByteArray cells(40, char(value));
    return Protocol::encodeRowData(quint8(y), 40, reinterpret_cast<const quint8 *>(cells.data()));
}

Picture readPicture(const QString &path)
{
    QFile file(path);
    QString problem;
    if (!file.open(QIODevice::ReadOnly))
        return Picture(0);
    return PictureFile::decode(file.readAll(), &problem).value_or(Picture(0));
}

// The user the commands run as, whose name ends every repair's label.
QString userName()
{
    const struct passwd *entry = ::getpwuid(::geteuid());
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString();
}

// The picture but for the cells in area (the whole picture and its frame colours when null),
// which come from source.
Picture within(const Picture &picture, const Picture &source, const QRect &area)
{
    if (area.isNull())
        return source;
    Picture result = picture;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            result.setCell(x, y, source.cell(x, y));
    return result;
}

QString utc(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

// The three people of every test, each at an address of their own.
const QString drawer = QStringLiteral("127.0.0.2");
const QString vandal = QStringLiteral("127.0.0.3");
const QString repairer = QStringLiteral("127.0.0.4");

// What the session leaves: the picture after each part of it, and when the drawing ended.
struct Session
{
    Picture drawn;          // after the drawer's edits
    Picture vandalised;     // after the vandal's
    Picture repaired;       // after the repairs: the picture at the end
    Picture expectedRevert; // the drawer's picture but for the repaired cells
    qint64 drawnMs = 0;
};

// The session as edits, each with who sends it; the repairs fix one cell inside a row the vandal
// painted and a whole row, and the vandal came back for a second go at one cell.
QList<QPair<QString, QByteArray>> sessionEdits()
{
    return {
        {drawer, colours(6, 0)},
        {drawer, row(0, 1)},
        {drawer, row(1, 2)},
        {drawer, row(2, 3)},
        {drawer, setCell(10, 10, 7)},
        // the vandal's part begins here
        {vandal, clear()},
        {vandal, colours(2, 2)},
        {vandal, row(1, 9)},
        {vandal, row(2, 9)},
        {vandal, setCell(10, 10, 9)},
        {repairer, setCell(3, 1, 2)},
        {repairer, row(2, 3)},
        {vandal, setCell(11, 10, 9)},
    };
}
constexpr int DrawerEdits = 5;

Session expectedSession()
{
    Session session;
    Picture picture(3);
    const auto edits = sessionEdits();
    for (int i = 0; i < edits.size(); ++i) {
        const QByteArray &message = edits.at(i).second;
        picture.apply(quint8(message.at(0)), QByteArrayView(message).sliced(4));
        if (i == DrawerEdits - 1)
            session.drawn = picture;
        if (i == edits.size() - 4)
            session.vandalised = picture;
    }
    session.repaired = picture;
    session.expectedRevert = session.drawn;
    session.expectedRevert.setCell(3, 1, 2);
    return session;
}

} // namespace

class tst_ServerRecovery : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void revertsTheVandalOnTheFiles();
    void restoresAMomentOnTheFiles();
    void printsTheHistory();
    void weighsARepairThenCarriesItOut_data();
    void weighsARepairThenCarriesItOut();
    void eachRepairIsUndoneAlone();
    void refusesWithOneLine_data();
    void refusesWithOneLine();
    void writesATimelapse();
    void repairsLiveInEveryWindow();
    void controlSocketRefusesOtherUsers();
    void bansAndLocksLive();
    void namesAnAuthor();

private:
    // Records the session in a journal beside m_path through the server's own store, as a server
    // would, with the drawing and the vandalism at least a millisecond apart.
    // named: the vandal is the editor "mallory", who came back for the last cell on a second
    // connection from another address.
    bool recordSession(Session *session, bool named = false);
    QString m_path;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_ServerRecovery::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_path = m_dir->filePath(QStringLiteral("shared.cvp"));
}

bool tst_ServerRecovery::recordSession(Session *session, bool named)
{
    *session = expectedSession();
    JournalStore store(m_path, Picture(3), false, JournalStore::Options());
    if (store.start() != JournalStore::Started)
        return false;
    QHash<QString, quint64> connections;
    quint16 port = 40000;
    for (const QString &address : {drawer, vandal, repairer})
        connections.insert(address, address == vandal && named
                                        ? store.openNamedConnection(QHostAddress(address), port++,
                                                                    QStringLiteral("mallory"))
                                        : store.openConnection(QHostAddress(address), port++));
    const auto edits = sessionEdits();
    for (int i = 0; i < edits.size(); ++i) {
        if (named && i == edits.size() - 1)
            connections.insert(vandal,
                               store.openNamedConnection(QHostAddress(QStringLiteral("127.0.0.6")),
                                                         port++, QStringLiteral("mallory")));
        if (i == DrawerEdits) {
            session->drawnMs = QDateTime::currentMSecsSinceEpoch();
            // The next edit must come in a later millisecond for a moment to lie between them.
            if (!QTest::qWaitFor(
                    [&] { return QDateTime::currentMSecsSinceEpoch() > session->drawnMs; }))
                return false;
        }
        const QByteArray &message = edits.at(i).second;
        if (store.submit(connections.value(edits.at(i).first), quint8(message.at(0)), message) !=
            Picture::Applied)
            return false;
    }
    for (const quint64 connection : connections)
        store.closeConnection(connection);
    return store.finish() && store.picture() == session->repaired;
}

void tst_ServerRecovery::revertsTheVandalOnTheFiles()
{
    Session session;
    QVERIFY(recordSession(&session));
    const Run revert =
        runServer({QStringLiteral("revert"), m_path, QStringLiteral("--address"), vandal});
    QVERIFY2(revert.exitCode == 0, revert.err.constData());
    QCOMPARE(revert.err, QByteArray());
    const PictureChange::Outcome outcome =
        PictureChange::difference(session.repaired, session.expectedRevert);
    QCOMPARE(revert.out, QStringLiteral("reverted %1: %2 cells and 2 frame colours changed\n")
                             .arg(vandal)
                             .arg(outcome.cells)
                             .toUtf8());
    QCOMPARE(readPicture(m_path), session.expectedRevert);

    // The journal keeps everything and adds the revert, under the server's own connection.
    const std::optional<JournalRows> rows = JournalRows::read(JournalStore::journalPathFor(m_path));
    QVERIFY(rows);
    QCOMPARE(rows->connections.last().address, QStringLiteral("control"));
    const qint64 control = rows->connections.last().id;
    const int sessionLength = int(sessionEdits().size());
    QVERIFY(rows->edits.size() > sessionLength);
    for (int i = 0; i < rows->edits.size(); ++i)
        QCOMPARE(rows->edits.at(i).connection == control, i >= sessionLength);
    // A SetColorsCommand, then whole rows.
    QCOMPARE(rows->edits.at(sessionLength).message, colours(6, 0));
    QCOMPARE(rows->edits.last().message.size(), 4 + 4 + 40);

    // A revert of the revert gives the vandalised and repaired picture back.
    const Run again = runServer({QStringLiteral("revert"), m_path, QStringLiteral("--connection"),
                                 QString::number(control)});
    QVERIFY2(again.exitCode == 0, again.err.constData());
    QCOMPARE(readPicture(m_path), session.repaired);
}

void tst_ServerRecovery::restoresAMomentOnTheFiles()
{
    Session session;
    QVERIFY(recordSession(&session));
    const int before = int(JournalRows::read(JournalStore::journalPathFor(m_path))->edits.size());
    const Run restore = runServer(
        {QStringLiteral("restore"), m_path, QStringLiteral("--at"), utc(session.drawnMs)});
    QVERIFY2(restore.exitCode == 0, restore.err.constData());
    QVERIFY2(restore.out.startsWith("restored the picture of "), restore.out.constData());
    QCOMPARE(readPicture(m_path), session.drawn);
    // A new edit on top, never a truncation: the picture at the end of the session is still
    // there to go back to.
    QVERIFY(JournalRows::read(JournalStore::journalPathFor(m_path))->edits.size() > before);
    JournalHistory history(JournalStore::journalPathFor(m_path));
    QCOMPARE(history.open(), JournalDatabase::Opened);
    QCOMPARE(history.pictureAt(quint64(before)), session.repaired);
}

void tst_ServerRecovery::printsTheHistory()
{
    Session session;
    QVERIFY(recordSession(&session));
    const Run all = runServer({QStringLiteral("history"), m_path});
    QVERIFY2(all.exitCode == 0, all.err.constData());
    const QList<QByteArray> lines = all.out.split('\n');
    QCOMPARE(lines.size(), 6);
    QVERIFY(lines.at(0).startsWith("CONN  ADDRESS"));
    // No names: "-" under NAME.
    QVERIFY(lines.at(1).contains(drawer.toUtf8() + "  -     40000"));
    QVERIFY(lines.at(2).contains(vandal.toUtf8() + "  -     40001"));
    QVERIFY(lines.at(3).contains(repairer.toUtf8() + "  -     40002"));
    QVERIFY2(lines.at(4).startsWith("total: 13 edits from 3 connections"), lines.at(4));

    const Run vandalOnly =
        runServer({QStringLiteral("history"), m_path, QStringLiteral("--address"), vandal,
                   QStringLiteral("--since"), utc(session.drawnMs)});
    QVERIFY2(vandalOnly.exitCode == 0, vandalOnly.err.constData());
    QVERIFY2(vandalOnly.out.contains("total: 6 edits from 1 connection,"),
             vandalOnly.out.constData());
}

void tst_ServerRecovery::weighsARepairThenCarriesItOut_data()
{
    QTest::addColumn<bool>("live");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QRect>("area");
    QTest::addColumn<QString>("label");
    const QStringList revert{"revert", "FILE", "--address", vandal};
    QTest::newRow("a revert on the files")
        << false << revert << QRect() << QStringLiteral("revert %1").arg(vandal);
    QTest::newRow("a revert of an area on the files")
        << false << revert + QStringList{"--area", "0,1,5,2"} << QRect(0, 1, 5, 2)
        << QStringLiteral("revert %1 in 0,1,5,2").arg(vandal);
    QTest::newRow("a restore of an area by the running server")
        << true << QStringList{"restore", "FILE", "--at", "DRAWN", "--area", "8,9,4,3"}
        << QRect(8, 9, 4, 3) << QStringLiteral("restore ");
}

// A dry run changes nothing, on the files or through a running server, and its preview is the
// picture the repair then leaves, which changes exactly the cells of its area.
void tst_ServerRecovery::weighsARepairThenCarriesItOut()
{
    QFETCH(bool, live);
    QFETCH(QStringList, arguments);
    QFETCH(QRect, area);
    QFETCH(QString, label);

    Session session;
    QVERIFY(recordSession(&session));
    const bool restore = arguments.first() == QLatin1String("restore");
    const Picture expected =
        within(session.repaired, restore ? session.drawn : session.expectedRevert, area);
    const PictureChange::Outcome outcome = PictureChange::difference(session.repaired, expected);
    QVERIFY(outcome.cells > 0);
    arguments.replaceInStrings(QStringLiteral("FILE"), m_path);
    arguments.replaceInStrings(QStringLiteral("DRAWN"), utc(session.drawnMs));
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    if (live) {
        QVERIFY2(server.start({QStringLiteral("--picture"), m_path}), server.failure());
        QTRY_VERIFY(QFile::exists(ControlServer::socketPath(m_path)));
    }
    const QString journal = JournalStore::journalPathFor(m_path);
    const QByteArray pictureBefore = PictureFile::encode(readPicture(m_path));
    const JournalRows rowsBefore = JournalRows::read(journal).value_or(JournalRows());

    const QString preview = m_dir->filePath(QStringLiteral("preview.png"));
    const Run dry = runServer(arguments + QStringList{"--dry-run", "--preview", preview});
    QVERIFY2(dry.exitCode == 0, dry.err.constData());
    const QByteArray counts = QStringLiteral("%1 cells and %2 frame colours")
                                  .arg(outcome.cells)
                                  .arg(outcome.colours)
                                  .toUtf8();
    QVERIFY2(dry.out.contains("(dry run, nothing changed): " + counts + " would change"),
             dry.out.constData());
    // Whose work it undoes, the vandal's among it.
    QVERIFY2(dry.out.contains("\nCONN  ADDRESS") && dry.out.contains(" " + vandal.toUtf8() + " "),
             dry.out.constData());
    QCOMPARE(PictureFile::encode(readPicture(m_path)), pictureBefore);
    const JournalRows rowsAfter = JournalRows::read(journal).value_or(JournalRows());
    QCOMPARE(rowsAfter.edits.size(), rowsBefore.edits.size());
    QCOMPARE(rowsAfter.connections.size(), rowsBefore.connections.size());

    const Run real = runServer(arguments);
    QVERIFY2(real.exitCode == 0, real.err.constData());
    QVERIFY2(real.out.contains(": " + counts + " changed"), real.out.constData());
    if (live)
        QCOMPARE(server.terminate(), 0);
    QCOMPARE(readPicture(m_path), expected);
    const JournalRows rows = *JournalRows::read(journal);
    QVERIFY2(rows.connections.last().label.startsWith(label),
             qPrintable(rows.connections.last().label));
    QVERIFY(rows.connections.last().label.endsWith(QStringLiteral(" by ") + userName()));

    const QString exported = m_dir->filePath(QStringLiteral("exported.png"));
    const Run exportRun =
        runServer({QStringLiteral("--picture"), m_path, QStringLiteral("--export-png"), exported});
    QVERIFY2(exportRun.exitCode == 0, exportRun.err.constData());
    const QImage previewImage(preview);
    QVERIFY(!previewImage.isNull());
    QCOMPARE(previewImage.convertToFormat(QImage::Format_RGB32),
             QImage(exported).convertToFormat(QImage::Format_RGB32));
}

void tst_ServerRecovery::eachRepairIsUndoneAlone()
{
    Session session;
    QVERIFY(recordSession(&session));
    const QRect rows(0, 0, 40, 2);
    const QRect row10(0, 10, 40, 1);
    const Run revert = runServer({"revert", m_path, "--address", vandal, "--area", "0,0,40,2"});
    QVERIFY2(revert.exitCode == 0, revert.err.constData());
    const Run restore =
        runServer({"restore", m_path, "--at", utc(session.drawnMs), "--area", "0,10,40,1"});
    QVERIFY2(restore.exitCode == 0, restore.err.constData());
    const Picture both =
        within(within(session.repaired, session.expectedRevert, rows), session.drawn, row10);
    QCOMPARE(readPicture(m_path), both);

    // history lists each under a connection of its own, with its label.
    const Run history = runServer({"history", m_path, "--address", "control"});
    QVERIFY2(history.exitCode == 0, history.err.constData());
    const QList<QByteArray> lines = history.out.split('\n');
    QCOMPARE(lines.size(), 5);
    QVERIFY2(lines.at(1).endsWith("revert " + vandal.toUtf8() + " in 0,0,40,2 by " +
                                  userName().toUtf8()),
             lines.at(1).constData());
    QVERIFY2(lines.at(2).contains(" restore ") && lines.at(2).contains(" in 0,10,40,1 by "),
             lines.at(2).constData());

    // Undoing the revert leaves the restore's row as it made it.
    const QByteArray reverting = lines.at(1).trimmed().split(' ').first();
    const Run undo = runServer({"revert", m_path, "--connection", QString::fromLatin1(reverting)});
    QVERIFY2(undo.exitCode == 0, undo.err.constData());
    QCOMPARE(readPicture(m_path), within(session.repaired, session.drawn, row10));
}

void tst_ServerRecovery::refusesWithOneLine_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("error");
    const QStringList revert{QStringLiteral("revert"), QStringLiteral("FILE")};
    QTest::newRow("a file without a journal")
        << "no journal" << revert + QStringList{"--address", vandal}
        << QByteArray("has no history");
    QTest::newRow("history of a file without a journal")
        << "no journal" << QStringList{"history", "FILE"} << QByteArray("has no history");
    QTest::newRow("a moment before the oldest kept")
        << "" << QStringList{"restore", "FILE", "--at", "2001-01-01T00:00Z"}
        << QByteArray("before the oldest moment the history keeps");
    QTest::newRow("since before the oldest kept")
        << "" << revert + QStringList{"--address", vandal, "--since", "2001-01-01T00:00Z"}
        << QByteArray("before the oldest moment the history keeps");
    QTest::newRow("an address that made no edits")
        << "" << revert + QStringList{"--address", "127.0.0.9"}
        << QByteArray("127.0.0.9 made no edits in that time");
    QTest::newRow("a connection that made no edits")
        << "" << revert + QStringList{"--connection", "99"}
        << QByteArray("connection 99 made no edits");
    QTest::newRow("history of an address that made no edits")
        << "" << QStringList{"history", "FILE", "--address", "127.0.0.9"}
        << QByteArray("127.0.0.9 made no edits");
    QTest::newRow("a moment that is none")
        << "" << QStringList{"restore", "FILE", "--at", "yesterday"}
        << QByteArray("--at needs a TIME");
    QTest::newRow("revert without an author")
        << "" << revert << QByteArray("one of --address, --author or --connection");
    QTest::newRow("restore without a moment")
        << "" << QStringList{"restore", "FILE"} << QByteArray("restore needs --at TIME");
    QTest::newRow("an area outside the grid")
        << "" << revert + QStringList{"--address", vandal, "--area", "38,0,3,1"}
        << QByteArray("--area 38,0,3,1 reaches outside the picture's grid of 40x");
    QTest::newRow("an area that is not four numbers")
        << "" << QStringList{"restore", "FILE", "--at", "10m", "--area", "1,2,3"}
        << QByteArray("--area needs X,Y,W,H");
    QTest::newRow("an area of no width")
        << "" << revert + QStringList{"--address", vandal, "--area", "0,0,0,5"}
        << QByteArray("W and H 1 or more");
    QTest::newRow("until before since")
        << "" << revert + QStringList{"--address", vandal, "--since", "10m", "--until", "20m"}
        << QByteArray("is before --since");
    QTest::newRow("a preview without a dry run")
        << "" << QStringList{"restore", "FILE", "--at", "10m", "--preview", "FILE.png"}
        << QByteArray("--preview needs --dry-run");
    const QStringList ban{QStringLiteral("ban"), QStringLiteral("FILE"),
                          QStringLiteral("--address")};
    QTest::newRow("ban of a malformed address")
        << "" << ban + QStringList{"127.0.0.300"} << QByteArray("is not an address");
    QTest::newRow("ban with too long a prefix")
        << "" << ban + QStringList{"127.0.0.0/33"} << QByteArray("is not an address");
    QTest::newRow("ban that matches nobody")
        << "" << ban + QStringList{"127.209.9.0/24", "--revert"} << QByteArray("matches nobody");
    QTest::newRow("ban for no duration")
        << "" << ban + QStringList{vandal, "--for", "soon"} << QByteArray("--for needs a DURATION");
    QTest::newRow("ban without an address")
        << "" << QStringList{"ban", "FILE"} << QByteArray("ban needs --address");
    QTest::newRow("unban of nothing") << "" << QStringList{"unban", "FILE", "--address", vandal}
                                      << QByteArray("127.0.0.3 is not banned");
    QTest::newRow("lock outside the grid")
        << "" << QStringList{"lock", "FILE", "--area", "30,20,20,10"}
        << QByteArray("is not inside the grid of 40 columns and 25 rows");
    QTest::newRow("lock of a malformed area")
        << "" << QStringList{"lock", "FILE", "--area", "1,2,3"}
        << QByteArray("--area needs X,Y,W,H");
    QTest::newRow("lock except a malformed address")
        << "" << QStringList{"lock", "FILE", "--except", "nope"}
        << QByteArray("--except: \"nope\" is not an address");
    QTest::newRow("unlock of nothing")
        << "" << QStringList{"unlock", "FILE"} << QByteArray("the whole picture is not locked");
    QTest::newRow("a control socket of another user")
        << "server" << revert + QStringList{"--address", vandal}
        << QByteArray("belongs to another user (uid 0)");
}

void tst_ServerRecovery::refusesWithOneLine()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, error);

    Session session;
    if (setup == QLatin1String("no journal"))
        QVERIFY(PictureFile(m_path).save(session.repaired));
    else
        QVERIFY(recordSession(&session));
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    const bool asNobody = setup == QLatin1String("server");
    if (asNobody) {
        if (::geteuid() != 0)
            QSKIP("needs root, to run the command as another user");
        QVERIFY(QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::WriteOwner |
                                                         QFile::ExeOwner | QFile::ReadOther |
                                                         QFile::ExeOther));
        QVERIFY2(server.start({QStringLiteral("--picture"), m_path}), server.failure());
        QTRY_VERIFY(QFile::exists(ControlServer::socketPath(m_path)));
    }
    const QString journal = JournalStore::journalPathFor(m_path);
    const QByteArray pictureBefore = PictureFile::encode(readPicture(m_path));
    const auto rowsBefore = JournalRows::read(journal);

    arguments.replaceInStrings(QStringLiteral("FILE"), m_path);
    const Run run = runServer(arguments, asNobody);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(error), run.err.constData());
    QCOMPARE(run.err.count('\n'), 1);
    QVERIFY(run.err.startsWith("celvane-server: "));
    QCOMPARE(run.out, QByteArray());
    // Nothing changed.
    QCOMPARE(PictureFile::encode(readPicture(m_path)), pictureBefore);
    const auto rowsAfter = JournalRows::read(journal);
    QCOMPARE(bool(rowsAfter), bool(rowsBefore));
    if (rowsBefore) {
        QCOMPARE(rowsAfter->edits.size(), rowsBefore->edits.size());
        QCOMPARE(rowsAfter->connections.size(), rowsBefore->connections.size());
        JournalHistory history(journal);
        QCOMPARE(history.open(), JournalDatabase::Opened);
        QVERIFY(history.moderation()->isEmpty());
    }
    if (server.isRunning())
        QCOMPARE(server.terminate(), 0);
}

void tst_ServerRecovery::writesATimelapse()
{
    QVERIFY2(QImageReader::supportedImageFormats().contains("gif"), "Qt's GIF plugin is missing");
    Session session;
    QVERIFY(recordSession(&session));
    const QString gif = m_dir->filePath(QStringLiteral("growing.gif"));
    const QString png = m_dir->filePath(QStringLiteral("now.png"));
    const Run run =
        runServer({QStringLiteral("timelapse"), m_path, gif, QStringLiteral("--duration"),
                   QStringLiteral("0.8"), QStringLiteral("--size"), QStringLiteral("320x200")});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    const Run exported =
        runServer({QStringLiteral("--picture"), m_path, QStringLiteral("--export-png"), png,
                   QStringLiteral("--export-size"), QStringLiteral("320x200")});
    QVERIFY2(exported.exitCode == 0, exported.err.constData());

    QImageReader reader(gif, "gif");
    QCOMPARE(reader.size(), QSize(320, 200));
    QImage last;
    int frames = 0;
    while (reader.canRead()) {
        last = reader.read();
        QVERIFY2(!last.isNull(), qPrintable(reader.errorString()));
        ++frames;
    }
    QCOMPARE(frames, 8); // 0.8 s at ten a second; the session has more edits than that
    QCOMPARE(last.convertToFormat(QImage::Format_RGB32),
             QImage(png).convertToFormat(QImage::Format_RGB32));
}

void tst_ServerRecovery::repairsLiveInEveryWindow()
{
    const Session session = expectedSession();
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start({QStringLiteral("--picture"), m_path}), server.failure());
    QHash<QString, ServerClient *> people;
    ServerClient a, b, c, window;
    people.insert(drawer, &a);
    people.insert(vandal, &b);
    people.insert(repairer, &c);
    for (const QString &address : {drawer, vandal, repairer})
        QVERIFY(people.value(address)->connectTo(server.port(), QHostAddress(address)));
    QVERIFY(window.connectTo(server.port(), QHostAddress(QStringLiteral("127.0.0.5"))));
    std::optional<Picture> shown = window.fetchPicture();
    QVERIFY(shown);

    // Each edit is seen relayed before the next is sent, so the server's order is the session's.
    qint64 drawnMs = 0;
    const auto edits = sessionEdits();
    for (int i = 0; i < edits.size(); ++i) {
        if (i == DrawerEdits) {
            drawnMs = QDateTime::currentMSecsSinceEpoch();
            QVERIFY(QTest::qWaitFor([&] { return QDateTime::currentMSecsSinceEpoch() > drawnMs; }));
        }
        people.value(edits.at(i).first)->send(edits.at(i).second);
        const auto relays = window.waitForRelays(1);
        QVERIFY(relays);
        QCOMPARE(relays->first(), edits.at(i).second);
    }
    // The command reads what the journal has committed.
    const QString journal = JournalStore::journalPathFor(m_path);
    QTRY_COMPARE_WITH_TIMEOUT(JournalRows::read(journal).value_or(JournalRows()).edits.size(),
                              edits.size(), 10000);

    const Run revert =
        runServer({QStringLiteral("revert"), m_path, QStringLiteral("--address"), vandal});
    QVERIFY2(revert.exitCode == 0, revert.err.constData());
    QVERIFY2(revert.out.endsWith("(by the running server)\n"), revert.out.constData());
    // The window sees the repair through relays alone, without asking for the picture.
    const QList<QByteArray> expected =
        PictureChange::messages(session.repaired, session.expectedRevert);
    const auto relays = window.waitForRelays(int(expected.size()));
    QVERIFY(relays);
    QCOMPARE(*relays, expected);
    QCOMPARE(window.updatesReceived(), 0);
    Picture picture = session.repaired;
    for (const QByteArray &message : *relays)
        picture.apply(quint8(message.at(0)), QByteArrayView(message).sliced(4));
    QCOMPARE(picture, session.expectedRevert);
    QCOMPARE(c.fetchPicture(), session.expectedRevert);

    // The journal has it under the server's own connection.
    QTRY_VERIFY_WITH_TIMEOUT(JournalRows::read(journal).value_or(JournalRows()).edits.size() ==
                                 edits.size() + expected.size(),
                             10000);
    const JournalRows rows = *JournalRows::read(journal);
    const auto control = std::find_if(rows.connections.cbegin(), rows.connections.cend(),
                                      [](const JournalRows::Connection &connection) {
                                          return connection.address == QLatin1String("control");
                                      });
    QVERIFY(control != rows.connections.cend());
    QCOMPARE(rows.edits.last().connection, control->id);
    QCOMPARE(rows.edits.at(edits.size()).connection, control->id);

    // A restore of the moment the drawing ended, live too.
    const Run restore =
        runServer({QStringLiteral("restore"), m_path, QStringLiteral("--at"), utc(drawnMs)});
    QVERIFY2(restore.exitCode == 0, restore.err.constData());
    const QList<QByteArray> back = PictureChange::messages(session.expectedRevert, session.drawn);
    const auto restored = window.waitForRelays(int(back.size()));
    QVERIFY(restored);
    QCOMPARE(*restored, back);
    QCOMPARE(c.fetchPicture(), session.drawn);
    QCOMPARE(server.terminate(), 0);
    QCOMPARE(readPicture(m_path), session.drawn);
}

void tst_ServerRecovery::controlSocketRefusesOtherUsers()
{
    if (::geteuid() != 0)
        QSKIP("needs root, to connect as another user");
    QVERIFY(QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::WriteOwner |
                                                     QFile::ExeOwner | QFile::ReadOther |
                                                     QFile::ExeOther));
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start({QStringLiteral("--picture"), m_path}), server.failure());
    const QString socket = ControlServer::socketPath(m_path);
    QTRY_VERIFY(QFile::exists(socket));
    // Even with the socket's mode opened to everyone, the server asks who is calling, and
    // answers before reading anything.
    QVERIFY(QFile::setPermissions(socket, QFileDevice::Permissions(0x6666)));
    QProcess peer;
    peer.setChildProcessModifier([] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(99);
    });
    const QString script = QStringLiteral("import socket, sys\n"
                                          "s = socket.socket(socket.AF_UNIX)\n"
                                          "s.connect(sys.argv[1])\n"
                                          "data = b''\n"
                                          "while True:\n"
                                          "    d = s.recv(4096)\n"
                                          "    if not d: break\n"
                                          "    data += d\n"
                                          "sys.stdout.buffer.write(data)\n");
    peer.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), script, socket});
    QVERIFY(peer.waitForFinished(CommandWaitMs));
    QVERIFY2(peer.exitCode() == 0, peer.readAllStandardError().constData());
    const QByteArray answer = peer.readAllStandardOutput();
    QVERIFY(answer.size() > 4);
    const auto reply = ControlClient::decodeReply(answer.sliced(4));
    QVERIFY(reply);
    QVERIFY(!reply->ok);
    QVERIFY2(reply->message.contains(QLatin1String("only the server's own user and root")),
             qPrintable(reply->message));
    QTRY_COMPARE(server.countLogLines("refused a control connection from uid 65534"), 1);
    QCOMPARE(server.terminate(), 0);
}

void tst_ServerRecovery::bansAndLocksLive()
{
    const Session session = expectedSession();
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start({QStringLiteral("--picture"), m_path}), server.failure());
    QHash<QString, ServerClient *> people;
    ServerClient a, b, c, window;
    people.insert(drawer, &a);
    people.insert(vandal, &b);
    people.insert(repairer, &c);
    for (const QString &address : {drawer, vandal, repairer})
        QVERIFY(people.value(address)->connectTo(server.port(), QHostAddress(address)));
    const QHostAddress viewer(QStringLiteral("127.0.0.5"));
    QVERIFY(window.connectTo(server.port(), viewer));
    for (ServerClient *client : {&a, &c, &window})
        QVERIFY(client->fetchPicture());
    const auto edits = sessionEdits();
    for (const auto &edit : edits) {
        people.value(edit.first)->send(edit.second);
        QVERIFY(window.waitForRelays(1));
    }
    const QString journal = JournalStore::journalPathFor(m_path);
    QTRY_COMPARE_WITH_TIMEOUT(JournalRows::read(journal).value_or(JournalRows()).edits.size(),
                              edits.size(), 10000);
    const auto run = [this](const QStringList &arguments) {
        return runServer(QStringList{arguments.at(0), m_path} + arguments.mid(1));
    };

    // The ban closes the vandal's window and undoes its edits in one step; the others stay.
    const Run ban = run({"ban", "--address", vandal + "/32", "--revert", "--reason", "spam"});
    QVERIFY2(ban.exitCode == 0, ban.err.constData());
    QVERIFY2(ban.out.startsWith("banned 127.0.0.3 until lifted; reverted its edits: "),
             ban.out.constData());
    QVERIFY(b.waitForDisconnected());
    const QList<QByteArray> reverted =
        PictureChange::messages(session.repaired, session.expectedRevert);
    const auto relays = window.waitForRelays(int(reverted.size()));
    QVERIFY(relays);
    QCOMPARE(*relays, reverted);
    QCOMPARE(c.waitForRelays(int(edits.size() + reverted.size()))->mid(edits.size()), reverted);
    ServerClient again;
    QVERIFY(again.connectTo(server.port(), QHostAddress(vandal)));
    QVERIFY(again.waitForDisconnected());
    QTRY_COMPARE(server.countLogLines("turned away client 127.0.0.3"), 1);
    const QByteArray user = ::getpwuid(::geteuid())->pw_name;
    QVERIFY(run({"bans"}).out.startsWith("127.0.0.3  by " + user + " at "));
    QVERIFY(run({"bans"}).out.endsWith("  until lifted  (spam)\n"));

    // A lock on the top left, for everyone but the drawer: the window's edit inside it is refused
    // (the edit after it is the next relay), the drawer's is not.
    const Run lock = run({"lock", "--area", "0,0,20,3", "--except", drawer});
    QVERIFY2(lock.exitCode == 0, lock.err.constData());
    QCOMPARE(lock.out, QByteArray("locked the area 0,0,20,3 except for 127.0.0.2 (by the running "
                                  "server)\n"));
    window.send(setCell(1, 1, 5));
    window.send(row(2, 8)); // partly inside: refused whole
    window.send(setCell(30, 20, 4));
    a.send(setCell(1, 0, 5));
    QCOMPARE(c.waitForRelays(2), QList<QByteArray>({setCell(30, 20, 4), setCell(1, 0, 5)}));

    // A Clear empties only the cells outside the lock, and the others see the rows that changed.
    Picture before = session.expectedRevert;
    before.setCell(30, 20, 4);
    before.setCell(1, 0, 5);
    Picture after = before;
    for (int y = 0; y < 25; ++y)
        for (int x = 0; x < 40; ++x)
            if (x >= 20 || y >= 3)
                after.setCell(x, y, EmptyCell);
    const QList<QByteArray> cleared = PictureChange::messages(before, after);
    window.send(clear());
    QCOMPARE(c.waitForRelays(int(cleared.size())), cleared);
    QCOMPARE(a.fetchPicture(), after);
    QTRY_VERIFY_WITH_TIMEOUT(JournalRows::read(journal)->edits.size() ==
                                 edits.size() + reverted.size() + 2 + cleared.size(),
                             10000);
    const JournalRows rows = *JournalRows::read(journal);
    QStringList labels;
    for (const JournalRows::Connection &connection : rows.connections)
        if (connection.address == QLatin1String("control"))
            labels.append(connection.label);
    QVERIFY2(labels.contains(QStringLiteral("ban 127.0.0.3 by ") + QString::fromUtf8(user)),
             qPrintable(labels.join(", ")));
    QVERIFY2(labels.contains(QStringLiteral("clear from 127.0.0.5 sparing locked cells")),
             qPrintable(labels.join(", ")));

    // Both are kept over a restart.
    QCOMPARE(server.terminate(), 0);
    QVERIFY2(server.start({QStringLiteral("--picture"), m_path}), server.failure());
    ServerClient vandalAgain, windowAgain, drawerAgain;
    QVERIFY(vandalAgain.connectTo(server.port(), QHostAddress(vandal)));
    QVERIFY(vandalAgain.waitForDisconnected());
    QVERIFY(windowAgain.connectTo(server.port(), viewer));
    QVERIFY(drawerAgain.connectTo(server.port(), QHostAddress(drawer)));
    QCOMPARE(drawerAgain.fetchPicture(), after);
    windowAgain.send(setCell(2, 2, 6));
    windowAgain.send(setCell(30, 21, 6));
    QCOMPARE(drawerAgain.waitForRelays(1), QList<QByteArray>({setCell(30, 21, 6)}));

    QCOMPARE(run({"unlock", "--area", "0,0,20,3"}).exitCode, 0);
    QCOMPARE(run({"unban", "--address", vandal}).exitCode, 0);
    QCOMPARE(run({"locks"}).out, QByteArray("no locks\n"));
    QCOMPARE(run({"bans"}).out, QByteArray("no bans\n"));
    QVERIFY(vandalAgain.connectTo(server.port(), QHostAddress(vandal)));
    QVERIFY(vandalAgain.fetchPicture());
    QCOMPARE(server.terminate(), 0);
}

// An editor's name in history's NAME column, and --author in history, revert, ban and unban,
// on the files and through the running server.
void tst_ServerRecovery::namesAnAuthor()
{
    Session session;
    QVERIFY(recordSession(&session, true));
    const auto run = [this](const QStringList &arguments) {
        return runServer(QStringList{arguments.at(0), m_path} + arguments.mid(1));
    };
    const Run all = run({"history"});
    QVERIFY2(all.exitCode == 0, all.err.constData());
    const QList<QByteArray> lines = all.out.split('\n');
    QCOMPARE(lines.size(), 7);
    QVERIFY2(lines.at(0).startsWith("CONN  ADDRESS    NAME      PORT"), lines.at(0).constData());
    QVERIFY(lines.at(1).contains(drawer.toUtf8() + "  -        40000"));
    QVERIFY(lines.at(2).contains(vandal.toUtf8() + "  mallory  40001"));
    QVERIFY(lines.at(4).contains("127.0.0.6  mallory  40003"));
    const Run named = run({"history", "--author", "mallory"});
    QVERIFY2(named.out.contains("total: 6 edits from 2 connections,"), named.out.constData());
    const Run badName = run({"history", "--author", "mal lory"});
    QCOMPARE(badName.exitCode, 1);
    QVERIFY2(badName.err.contains("--author needs an editor's NAME"), badName.err.constData());

    // Both of the name's connections go back, the drawer's and the repairer's work stays.
    const Run revert = run({"revert", "--author", "mallory"});
    QVERIFY2(revert.exitCode == 0, revert.err.constData());
    QVERIFY2(revert.out.startsWith("reverted author mallory: "), revert.out.constData());
    QCOMPARE(readPicture(m_path), session.expectedRevert);
    const std::optional<JournalRows> rows = JournalRows::read(JournalStore::journalPathFor(m_path));
    QVERIFY(rows);
    QCOMPARE(rows->connections.last().label,
             QStringLiteral("revert author mallory by ") + userName());

    // A ban of the name through the running server, listed, kept, and lifted.
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start({QStringLiteral("--picture"), m_path}), server.failure());
    const Run ban = run({"ban", "--author", "mallory", "--for", "2h"});
    QVERIFY2(ban.exitCode == 0, ban.err.constData());
    QVERIFY2(ban.out.startsWith("banned author mallory until "), ban.out.constData());
    QVERIFY2(ban.out.endsWith(" (by the running server)\n"), ban.out.constData());
    QVERIFY(run({"bans"}).out.startsWith("author mallory  by " + userName().toUtf8() + " at "));
    const Run nobody = run({"ban", "--author", "nobody"});
    QCOMPARE(nobody.exitCode, 1);
    QVERIFY2(nobody.err.contains("author nobody matches nobody"), nobody.err.constData());
    const Run both = run({"ban", "--author", "mallory", "--address", vandal});
    QVERIFY2(both.err.contains("needs --address ADDRESS[/PREFIX] or --author NAME"),
             both.err.constData());
    QCOMPARE(run({"unban", "--author", "mallory"}).out,
             QByteArray("unbanned author mallory (by the running server)\n"));
    QCOMPARE(run({"bans"}).out, QByteArray("no bans\n"));
}

QTEST_GUILESS_MAIN(tst_ServerRecovery)
#include "tst_serverrecovery.moc"
