#include "connection/protocol.h"
#include "journal/journaldatabase.h"
#include "journal/journalhistory.h"
#include "journal/journalstore.h"
#include "journal/moment.h"
#include "recovery/cellauthorship.h"
#include "server/picturefile.h"
#include "server/picturesaver.h"
#include "tests/support/journalrows.h"
#include "tests/support/testsupport.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using TestSupport::rawMessage;
using TestSupport::readFile;
using TestSupport::writeFile;

namespace {

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (const int value : values)
        out.append(char(value));
    return out;
}

QByteArray setCell(int x, int y, int value)
{
    return rawMessage(Protocol::Command, bytes({Protocol::SetCellCommand, x, y, value}));
}

QByteArray command(int opcode, int a = 0, int b = 0)
{
    return rawMessage(Protocol::Command, bytes({opcode, a, b, 0}));
}

QByteArray row(int y, const QByteArray &cells)
{
    return rawMessage(Protocol::RowData, bytes({y, int(cells.size()), 0, 0}) + cells);
}

Picture::EditResult submit(JournalStore &store, quint64 connection, const QByteArray &message)
{
    return store.submit(connection, quint8(message.at(0)), message);
}

// A random edit that the picture takes: mostly single cells, some rows, now and then a clear.
QByteArray randomEdit(QRandomGenerator &random, const CanvasFormat &format)
{
    const int pick = random.bounded(100);
    if (pick == 0)
        return command(Protocol::ClearCommand);
    if (pick < 3)
        return command(Protocol::SetColorsCommand, random.bounded(int(format.palette.size())),
                       random.bounded(int(format.palette.size())));
    if (pick < 10) {
        QByteArray cells(random.bounded(1, format.columns + 1), '\0');
        for (char &cell : cells)
            cell = char(random.bounded(int(format.palette.size())));
        return row(random.bounded(format.rows), cells);
    }
    return setCell(random.bounded(format.columns), random.bounded(format.rows),
                   random.bounded(int(format.palette.size())));
}

// Random edits, committed every commitEvery; the picture file bytes before any and after each, or
// fewer if an edit was refused or a commit failed.
QList<QByteArray> randomSession(JournalStore &store, quint64 connection, int count, int seed,
                                int commitEvery)
{
    QRandomGenerator random{quint32(seed)};
    QList<QByteArray> states{PictureFile::encode(store.picture())};
    for (int i = 0; i < count; ++i) {
        if (submit(store, connection, randomEdit(random, store.picture().format())) !=
            Picture::Applied)
            return states;
        states.append(PictureFile::encode(store.picture()));
        if (i % commitEvery == 0 && !store.commitNow())
            return states;
    }
    if (!store.commitNow())
        states.removeLast();
    return states;
}

} // namespace

class tst_Journal : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void parsesMoments_data();
    void parsesMoments();
    void recordsSessionAsSqliteRows();
    void rebuildsEveryMoment();
    void startCatchesUp_data();
    void startCatchesUp();
    void refusesJournalsNotItsOwn_data();
    void refusesJournalsNotItsOwn();
    void secondStoreIsRefused();
    void upgradesAnOlderJournalInPlace_data();
    void upgradesAnOlderJournalInPlace();
    void boundsFoldOldEdits_data();
    void boundsFoldOldEdits();
    void removedJournalIsRecreatedWithGap();

private:
    std::unique_ptr<JournalStore> makeStore(const JournalStore::Options &options = {});

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_picture;
    QString m_journal;
};

void tst_Journal::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_picture = m_dir->filePath(QStringLiteral("drawing.cvp"));
    m_journal = JournalStore::journalPathFor(m_picture);
}

std::unique_ptr<JournalStore> tst_Journal::makeStore(const JournalStore::Options &options)
{
    Picture picture(3);
    bool existed = false;
    PictureFile file(m_picture);
    if (QFile::exists(m_picture)) {
        existed = file.load(&picture) == PictureFile::Loaded;
        if (!existed)
            return nullptr;
    }
    return std::make_unique<JournalStore>(m_picture, picture, existed, options);
}

void tst_Journal::parsesMoments_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("expected"); // -1: refused

    // Local times are compared with what Qt makes of the same local time, so the rows hold in
    // any time zone.
    const QDateTime now(QDate(2026, 12, 7), QTime(21, 30, 15, 250), Qt::LocalTime);
    const auto local = [](int y, int mo, int d, int h, int mi, int s = 0, int ms = 0) {
        return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::LocalTime).toMSecsSinceEpoch();
    };
    const qint64 nowMs = now.toMSecsSinceEpoch();
    QTest::newRow("90s") << "90s" << nowMs - 90000;
    QTest::newRow("10m") << "10m" << nowMs - 600000;
    QTest::newRow("2h") << "2h" << nowMs - 7200000;
    QTest::newRow("3d") << "3d" << nowMs - 3 * 86400000LL;
    QTest::newRow("0s is now") << "0s" << nowMs;
    QTest::newRow("spaces around") << " 10m " << nowMs - 600000;
    QTest::newRow("time of day") << "14:05" << local(2026, 12, 7, 14, 5);
    QTest::newRow("one-digit hour") << "9:05" << local(2026, 12, 7, 9, 5);
    QTest::newRow("time with seconds") << "14:05:30" << local(2026, 12, 7, 14, 5, 30);
    QTest::newRow("time with fraction") << "14:05:30.5" << local(2026, 12, 7, 14, 5, 30, 500);
    QTest::newRow("later today is today") << "23:59" << local(2026, 12, 7, 23, 59);
    QTest::newRow("ISO local") << "2026-12-01T08:00:00" << local(2026, 12, 1, 8, 0);
    QTest::newRow("ISO with space") << "2026-12-01 08:00" << local(2026, 12, 1, 8, 0);
    QTest::newRow("ISO date") << "2026-12-01" << local(2026, 12, 1, 0, 0);
    QTest::newRow("ISO Z") << "2026-12-01T08:00:00Z" << qint64(1796112000000);
    QTest::newRow("ISO Z with ms") << "2026-12-01T08:00:00.125Z" << qint64(1796112000125);
    QTest::newRow("ISO offset") << "2026-12-01T09:30:00+01:30" << qint64(1796112000000);
    QTest::newRow("ISO negative offset") << "2026-12-01T03:00-05:00" << qint64(1796112000000);
    QTest::newRow("empty") << "" << qint64(-1);
    QTest::newRow("no unit") << "90" << qint64(-1);
    QTest::newRow("unknown unit") << "3w" << qint64(-1);
    QTest::newRow("negative span") << "-5m" << qint64(-1);
    QTest::newRow("hour 24") << "24:00" << qint64(-1);
    QTest::newRow("minute 60") << "12:60" << qint64(-1);
    QTest::newRow("month 13") << "2026-13-01T00:00" << qint64(-1);
    QTest::newRow("February 30") << "2026-02-30" << qint64(-1);
    QTest::newRow("words") << "yesterday" << qint64(-1);
    QTest::newRow("span beyond a century") << "999999999999d" << qint64(-1);
    QTest::newRow("trailing junk") << "2026-12-01T08:00Zx" << qint64(-1);
}

void tst_Journal::parsesMoments()
{
    QFETCH(QString, text);
    QFETCH(qint64, expected);
    const QDateTime now(QDate(2026, 12, 7), QTime(21, 30, 15, 250), Qt::LocalTime);
    const std::optional<qint64> parsed = parseMoment(text, now);
    if (expected < 0) {
        QVERIFY2(!parsed, qPrintable(QString::number(parsed.value_or(0))));
        return;
    }
    QVERIFY(parsed);
    QCOMPARE(*parsed, expected);
}

void tst_Journal::recordsSessionAsSqliteRows()
{
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    auto store = makeStore();
    QCOMPARE(store->start(), JournalStore::Started);
    const Picture initial = store->picture();
    const quint64 first = store->openConnection(QHostAddress(QStringLiteral("127.0.0.2")), 4001);
    const quint64 second = store->openNamedConnection(QHostAddress(QStringLiteral("::1")), 4002,
                                                      QStringLiteral("alice"));
    const quint64 mapped =
        store->openConnection(QHostAddress(QStringLiteral("::ffff:127.0.0.3")), 4003);
    QVERIFY(first < second && second < mapped);

    QList<QByteArray> relayed;
    connect(store.get(), &PictureStore::edited, this,
            [&relayed](quint64, QByteArrayView bytes) { relayed.append(bytes.toByteArray()); });
    QCOMPARE(submit(*store, first, setCell(1, 2, 3)), Picture::Applied);
    QCOMPARE(submit(*store, second, setCell(99, 0, 1)), Picture::OutsideGrid);
    QCOMPARE(submit(*store, second, row(4, QByteArray("\x05\x06", 2))), Picture::Applied);
    QCOMPARE(submit(*store, mapped, command(Protocol::SetColorsCommand, 7, 8)), Picture::Applied);
    store->closeConnection(second);
    QCOMPARE(submit(*store, first, command(Protocol::ClearCommand)), Picture::Applied);
    QVERIFY(store->commitNow());
    QCOMPARE(relayed.size(), 4);

    const std::optional<JournalRows> rows = JournalRows::read(m_journal);
    QVERIFY(rows);
    QCOMPARE(rows->applicationId, qint64(1129727050));
    QCOMPARE(rows->userVersion, qint64(JournalDatabase::SchemaVersion));
    QCOMPARE(rows->journalMode, QStringLiteral("wal"));
    const qint64 after = QDateTime::currentMSecsSinceEpoch();

    QCOMPARE(rows->edits.size(), 4);
    const quint64 from[] = {first, second, mapped, first};
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(rows->edits.at(i).seq, qint64(i + 1));
        QCOMPARE(rows->edits.at(i).message, relayed.at(i));
        QCOMPARE(rows->edits.at(i).connection, qint64(from[i]));
        QVERIFY(rows->edits.at(i).timeMs >= before && rows->edits.at(i).timeMs <= after);
    }
    // The short row is kept as relayed: the whole row as it stood after it.
    QCOMPARE(rows->edits.at(1).message.size(), Protocol::HeaderSize + 4 + 40);
    QCOMPARE(rows->edits.at(1).message.mid(8, 3), QByteArray("\x05\x06\xff", 3));

    QCOMPARE(rows->connections.size(), 3);
    QCOMPARE(rows->connections.at(0).address, QStringLiteral("127.0.0.2"));
    QCOMPARE(rows->connections.at(0).port, qint64(4001));
    QCOMPARE(rows->connections.at(1).address, QStringLiteral("::1"));
    QCOMPARE(rows->connections.at(2).address, QStringLiteral("127.0.0.3"));
    const QString names[] = {QString(), QStringLiteral("alice"), QString()};
    JournalHistory history(m_journal);
    QCOMPARE(history.open(), JournalDatabase::Opened);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(rows->connections.at(i).name, names[i]);
        QCOMPARE(history.connection(quint64(rows->connections.at(i).id))->name, names[i]);
    }
    QVERIFY(!rows->connections.at(0).leftMs);
    QVERIFY(rows->connections.at(1).leftMs);
    QVERIFY(*rows->connections.at(1).leftMs >= rows->connections.at(1).connectedMs);

    QCOMPARE(rows->snapshots.size(), 1);
    QCOMPARE(rows->snapshots.at(0).seq, qint64(0));
    QCOMPARE(rows->snapshots.at(0).picture, PictureFile::encode(initial));
    QVERIFY(rows->gaps.isEmpty());

    // Connection numbers go on from the journal's after a restart.
    QVERIFY(store->finish());
    store.reset();
    store = makeStore();
    QCOMPARE(store->start(), JournalStore::Started);
    QCOMPARE(store->openConnection(QHostAddress::LocalHost, 1), mapped + 1);
    QCOMPARE(store->openControlConnection(), mapped + 2);
    QVERIFY(store->commitNow());
    const std::optional<JournalRows> again = JournalRows::read(m_journal);
    QVERIFY(again);
    QCOMPARE(again->connections.last().address, QStringLiteral("control"));
    QCOMPARE(again->connections.last().port, qint64(0));
}

void tst_Journal::rebuildsEveryMoment()
{
    JournalStore::Options options;
    options.snapshotEvery = 700;
    auto store = makeStore(options);
    QCOMPARE(store->start(), JournalStore::Started);
    const quint64 connection = store->openConnection(QHostAddress::LocalHost, 1);
    const QList<QByteArray> states = randomSession(*store, connection, 3000, 7, 450);
    QCOMPARE(states.size(), 3001);

    // Read as an export would: the file on its own, read-only, while the server holds it.
    JournalHistory history(m_journal);
    QCOMPARE(history.open(), JournalDatabase::Opened);
    QCOMPARE(history.oldestSeq(), quint64(1));
    QCOMPARE(history.lastSeq(), quint64(3000));
    for (const quint64 seq : {0, 1, 2, 699, 700, 701, 1400, 1999, 2100, 2999, 3000}) {
        const std::optional<Picture> picture = history.pictureAt(seq);
        QVERIFY2(picture, qPrintable(history.errorString()));
        QCOMPARE(PictureFile::encode(*picture), states.at(int(seq)));
    }
    QVERIFY(!history.pictureAt(3001));

    // Every edit's own moment leads to it or to a later edit of the same millisecond.
    QList<qint64> times;
    QVERIFY(history.forEachEdit(1, 3000, [&times](const PictureHistory::Edit &edit) {
        times.append(edit.timeMs);
        return true;
    }));
    QCOMPARE(times.size(), 3000);
    for (const int index : {0, 1, 1500, 2999}) {
        const std::optional<quint64> seq = history.seqAt(times.at(index));
        QVERIFY(seq);
        QVERIFY(*seq >= quint64(index + 1));
        QCOMPARE(times.at(int(*seq) - 1), times.at(index));
    }
    QCOMPARE(history.seqAt(history.oldestMs() - 1), std::nullopt);
    QCOMPARE(history.seqAt(times.last() + 1000000), std::optional<quint64>(3000));
    if (times.first() > history.oldestMs())
        QCOMPARE(history.seqAt(times.first() - 1), std::optional<quint64>(0));
    // A visit stops where it is told to.
    int visited = 0;
    QVERIFY(history.forEachEdit(
        10, 20, [&visited](const PictureHistory::Edit &) { return ++visited < 3; }));
    QCOMPARE(visited, 3);
    QVERIFY(history.connection(connection));
    QCOMPARE(history.connection(connection)->address, QStringLiteral("127.0.0.1"));
    QVERIFY(!history.connection(connection + 100));
}

void tst_Journal::startCatchesUp_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("journalWins");
    QTest::addColumn<int>("gaps");
    QTest::newRow("file at its last save") << "saved" << true << 0;
    QTest::newRow("file current") << "current" << true << 0;
    QTest::newRow("file missing") << "missing" << true << 0;
    QTest::newRow("file changed by hand") << "changed" << false << 1;
}

void tst_Journal::startCatchesUp()
{
    QFETCH(QString, file);
    QFETCH(bool, journalWins);
    QFETCH(int, gaps);

    auto store = makeStore();
    QCOMPARE(store->start(), JournalStore::Started);
    const quint64 connection = store->openConnection(QHostAddress::LocalHost, 1);
    for (int x = 0; x < 10; ++x)
        submit(*store, connection, setCell(x, 0, 1));
    QVERIFY(store->saver()->saveNow());
    for (int x = 0; x < 10; ++x)
        submit(*store, connection, setCell(x, 1, 2));
    if (file == QLatin1String("current"))
        QVERIFY(store->saver()->saveNow());
    QVERIFY(store->commitNow());
    const Picture journaled = store->picture();
    // Gone without a last save, as after kill -9.
    store.reset();

    Picture changed = journaled;
    if (file == QLatin1String("missing"))
        QVERIFY(QFile::remove(m_picture));
    if (file == QLatin1String("changed")) {
        changed.setCell(5, 5, 9);
        QVERIFY(PictureFile(m_picture).save(changed));
    }
    store = makeStore();
    QVERIFY(store);
    QCOMPARE(store->start(), JournalStore::Started);
    QCOMPARE(store->picture(), journalWins ? journaled : changed);
    QVERIFY(store->finish());
    store.reset();

    const std::optional<JournalRows> rows = JournalRows::read(m_journal);
    QVERIFY(rows);
    QCOMPARE(rows->gaps.size(), gaps);
    Picture onDisk;
    QCOMPARE(PictureFile(m_picture).load(&onDisk), PictureFile::Loaded);
    QCOMPARE(onDisk, journalWins ? journaled : changed);
    // The journal leads to what is served, whichever won.
    JournalHistory history(m_journal);
    QCOMPARE(history.open(), JournalDatabase::Opened);
    QCOMPARE(history.pictureAt(history.lastSeq()), std::optional<Picture>(onDisk));
}

void tst_Journal::refusesJournalsNotItsOwn_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("text file") << "text"
                               << "not an SQLite database";
    QTest::newRow("another program's database") << "foreign"
                                                << "not a Celvane journal";
    QTest::newRow("a newer schema") << "newer"
                                    << "newer schema";
    QTest::newRow("pages overwritten") << "damaged"
                                       << "damaged";
    QTest::newRow("table missing") << "no table"
                                   << "no table edits";
}

void tst_Journal::refusesJournalsNotItsOwn()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);

    if (kind == QLatin1String("text")) {
        QVERIFY(writeFile(m_journal, "my notes\n"));
    } else if (kind == QLatin1String("foreign")) {
        QVERIFY(JournalRows::execute(m_journal, QStringLiteral("CREATE TABLE t(x)")));
    } else {
        auto store = makeStore();
        QCOMPARE(store->start(), JournalStore::Started);
        const quint64 connection = store->openConnection(QHostAddress::LocalHost, 1);
        for (int i = 0; i < 500; ++i)
            submit(*store, connection, setCell(i % 40, i % 25, i % 16));
        QVERIFY(store->finish());
        store.reset();
        QVERIFY(JournalRows::execute(m_journal, QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)")));
        if (kind == QLatin1String("newer")) {
            QVERIFY(JournalRows::execute(m_journal, QStringLiteral("PRAGMA user_version = %1")
                                                        .arg(JournalDatabase::SchemaVersion + 1)));
        } else if (kind == QLatin1String("no table")) {
            QVERIFY(JournalRows::execute(m_journal, QStringLiteral("DROP TABLE edits")));
        } else {
            QByteArray bytes = readFile(m_journal);
            QVERIFY(bytes.size() > 3 * 4096);
            // Pages past the first hold the tables' trees; garbage there is what a failing
            // disk leaves.
            for (qsizetype i = 4096; i < bytes.size(); ++i)
                bytes[i] = char(0xa5 ^ i);
            QVERIFY(writeFile(m_journal, bytes));
        }
    }
    const QByteArray before = readFile(m_journal);
    auto store = makeStore();
    QCOMPARE(store->start(), JournalStore::Refused);
    QVERIFY2(store->errorString().contains(m_journal), qPrintable(store->errorString()));
    QVERIFY2(store->errorString().contains(reason), qPrintable(store->errorString()));
    store.reset();
    QCOMPARE(readFile(m_journal), before);

    JournalHistory history(m_journal);
    QCOMPARE(history.open(), JournalDatabase::Refused);
}

void tst_Journal::upgradesAnOlderJournalInPlace_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("downgrade");
    // As the previous versions wrote them: 3 without names, 2 without bans and locks either, 1
    // without labels either.
    QTest::newRow("from 1") << 1
                            << "DROP TABLE bans; DROP TABLE locks; "
                               "ALTER TABLE connections DROP COLUMN name; "
                               "ALTER TABLE connections DROP COLUMN label";
    QTest::newRow("from 2") << 2
                            << "DROP TABLE bans; DROP TABLE locks; "
                               "ALTER TABLE connections DROP COLUMN name";
    QTest::newRow("from 3") << 3
                            << "ALTER TABLE connections DROP COLUMN name; "
                               "ALTER TABLE bans DROP COLUMN author";
}

// Upgraded in one step by the first store that writes it, keeping what it held; read as it is
// by everything that only reads.
void tst_Journal::upgradesAnOlderJournalInPlace()
{
    QFETCH(int, version);
    QFETCH(QString, downgrade);
    Moderation::Change ban;
    QString error;
    // A block none of the test's connections comes from.
    ban.ban.subnet = *Subnet::parse(QStringLiteral("127.9.0.0/16"), &error);
    ban.ban.reason = QStringLiteral("spam");
    {
        auto store = makeStore();
        QCOMPARE(store->start(), JournalStore::Started);
        const quint64 connection = store->openConnection(QHostAddress::LocalHost, 1);
        QCOMPARE(submit(*store, connection, setCell(1, 2, 3)), Picture::Applied);
        QVERIFY2(store->changeModeration(ban, &error), qPrintable(error));
        QVERIFY(store->finish());
    }
    QVERIFY(JournalRows::execute(m_journal, downgrade));
    QVERIFY(
        JournalRows::execute(m_journal, QStringLiteral("PRAGMA user_version = %1").arg(version)));
    const QByteArray before = readFile(m_journal);
    {
        // Read as it is, and left alone by reading.
        JournalHistory history(m_journal);
        QCOMPARE(history.open(), JournalDatabase::Opened);
        QCOMPARE(history.connection(1)->address, QStringLiteral("127.0.0.1"));
        QCOMPARE(history.connection(1)->label, QString());
        QCOMPARE(history.connection(1)->name, QString());
        Moderation kept;
        if (version == 3)
            QVERIFY(kept.apply(ban, &error));
        QCOMPARE(history.moderation(), std::optional<Moderation>(kept));
    }
    QCOMPARE(readFile(m_journal), before);

    // Written to, it is upgraded first, and keeps what it held.
    Moderation::Change authorBan = ban;
    authorBan.ban.subnet = Subnet();
    authorBan.ban.author = QStringLiteral("mallory");
    auto store = makeStore();
    QCOMPARE(store->start(), JournalStore::Started);
    QCOMPARE(JournalRows::read(m_journal)->userVersion, qint64(JournalDatabase::SchemaVersion));
    const quint64 action = store->openActionConnection(QStringLiteral("revert 127.0.0.1 by me"));
    QCOMPARE(submit(*store, action, setCell(1, 2, 0)), Picture::Applied);
    const quint64 named =
        store->openNamedConnection(QHostAddress::LocalHost, 2, QStringLiteral("alice"));
    QCOMPARE(submit(*store, named, setCell(1, 3, 4)), Picture::Applied);
    QVERIFY2(store->changeModeration(ban, &error), qPrintable(error));
    QVERIFY2(store->changeModeration(authorBan, &error), qPrintable(error));
    QVERIFY(store->finish());
    store.reset();
    const std::optional<JournalRows> rows = JournalRows::read(m_journal);
    QVERIFY(rows);
    QCOMPARE(rows->userVersion, qint64(JournalDatabase::SchemaVersion));
    QCOMPARE(rows->connections.size(), 3);
    QCOMPARE(rows->connections.at(0).label, QString());
    QCOMPARE(rows->connections.at(0).address, QStringLiteral("127.0.0.1"));
    QCOMPARE(rows->connections.at(1).address, QStringLiteral("control"));
    QCOMPARE(rows->connections.at(1).label, QStringLiteral("revert 127.0.0.1 by me"));
    QCOMPARE(rows->connections.at(2).name, QStringLiteral("alice"));
    QCOMPARE(rows->edits.size(), 3);
    JournalHistory history(m_journal);
    QCOMPARE(history.open(), JournalDatabase::Opened);
    QCOMPARE(history.connection(quint64(rows->connections.at(1).id))->label,
             QStringLiteral("revert 127.0.0.1 by me"));
    QCOMPARE(history.connection(quint64(rows->connections.at(2).id))->name,
             QStringLiteral("alice"));
    store = makeStore();
    QCOMPARE(store->start(), JournalStore::Started);
    QCOMPARE(store->moderation().bans().size(), size_t(2));
    QCOMPARE(store->moderation().bans().front(), ban.ban);
    QCOMPARE(store->moderation().bans().back(), authorBan.ban);
    // The ban of the name holds the editor's next connection from any address.
    const quint64 again =
        store->openNamedConnection(QHostAddress(QStringLiteral("::1")), 3, QStringLiteral("alice"));
    const quint64 banned = store->openNamedConnection(QHostAddress(QStringLiteral("::1")), 4,
                                                      QStringLiteral("mallory"));
    QCOMPARE(submit(*store, again, setCell(2, 3, 4)), Picture::Applied);
    QCOMPARE(submit(*store, banned, setCell(2, 3, 5)), Picture::Banned);

    // Who changed a cell, from the journal written before this start and live since.
    CellAuthorship authorship(store.get(), [&store] { return store->history(); });
    QSignalSpy seeded(&authorship, &CellAuthorship::seeded);
    authorship.start();
    QVERIFY(seeded.wait());
    QCOMPARE(authorship.cell(1, 3).who.name, QStringLiteral("alice"));
    QCOMPARE(authorship.cell(1, 3).who.id, named);
    QCOMPARE(authorship.cell(1, 2).who.label, QStringLiteral("revert 127.0.0.1 by me"));
    QCOMPARE(authorship.cell(2, 3).who.id, again);
    QCOMPARE(authorship.cell(3, 3).state, CellAuthorship::Unchanged);
    QCOMPARE(submit(*store, again, command(Protocol::ClearCommand)), Picture::Applied);
    QCOMPARE(authorship.cell(3, 3).who.id, again);
    QCOMPARE(authorship.cell(3, 3).who.address, QStringLiteral("::1"));
}

void tst_Journal::secondStoreIsRefused()
{
    auto first = makeStore();
    QCOMPARE(first->start(), JournalStore::Started);
    auto second = makeStore();
    QCOMPARE(second->start(), JournalStore::InUse);
    QVERIFY2(second->errorString().contains(QStringLiteral("in use by another server (pid %1")
                                                .arg(QCoreApplication::applicationPid())),
             qPrintable(second->errorString()));
}

void tst_Journal::boundsFoldOldEdits_data()
{
    QTest::addColumn<bool>("bySize");
    QTest::newRow("by size") << true;
    QTest::newRow("by days") << false;
}

void tst_Journal::boundsFoldOldEdits()
{
    QFETCH(bool, bySize);
    JournalStore::Options options;
    options.snapshotEvery = 500;
    options.maxBytes = 0;
    options.keepDays = 0;
    auto store = makeStore(options);
    QCOMPARE(store->start(), JournalStore::Started);
    const quint64 connection = store->openConnection(QHostAddress::LocalHost, 1);
    const QList<QByteArray> states = randomSession(*store, connection, 6000, 11, 1000);
    QCOMPARE(states.size(), 6001);
    QVERIFY(store->finish());
    store.reset();
    if (!bySize) {
        // The first 1000 edits are 40 days old.
        const qint64 old = QDateTime::currentMSecsSinceEpoch() - 40 * 86400000LL;
        QVERIFY(JournalRows::execute(
            m_journal, QStringLiteral("UPDATE edits SET time_ms = %1 + seq WHERE seq <= 1000; "
                                      "UPDATE snapshots SET time_ms = %1 WHERE seq = 0")
                           .arg(old)));
    }
    const qint64 sizeBefore = QFileInfo(m_journal).size();
    if (bySize)
        options.maxBytes = 100 * 1024;
    else
        options.keepDays = 30;
    store = makeStore(options);
    QCOMPARE(store->start(), JournalStore::Started);
    QVERIFY(store->finish());
    store.reset();

    const std::optional<JournalRows> rows = JournalRows::read(m_journal);
    QVERIFY(rows);
    QVERIFY(!rows->snapshots.isEmpty());
    const qint64 oldest = rows->snapshots.first().seq;
    if (bySize) {
        QVERIFY2(oldest > 0 && oldest < 6000, qPrintable(QString::number(oldest)));
        QVERIFY(QFileInfo(m_journal).size() < sizeBefore);
    } else {
        QCOMPARE(oldest, qint64(1000));
    }
    QCOMPARE(rows->edits.first().seq, oldest + 1);
    QCOMPARE(rows->edits.last().seq, qint64(6000));
    // The fold's snapshot is the picture as it stood then, and every later moment still rebuilds.
    QCOMPARE(rows->snapshots.first().picture, states.at(int(oldest)));
    JournalHistory history(m_journal);
    QCOMPARE(history.open(), JournalDatabase::Opened);
    QCOMPARE(history.oldestSeq(), quint64(oldest + 1));
    QVERIFY(!history.pictureAt(quint64(oldest - 1)));
    for (const qint64 seq : {oldest, oldest + 1, qint64(5999), qint64(6000)})
        QCOMPARE(PictureFile::encode(*history.pictureAt(quint64(seq))), states.at(int(seq)));
    QCOMPARE(history.seqAt(history.oldestMs() - 1), std::nullopt);
}

void tst_Journal::removedJournalIsRecreatedWithGap()
{
    JournalStore::Options options;
    options.retryMs = 20;
    auto store = makeStore(options);
    QCOMPARE(store->start(), JournalStore::Started);
    const quint64 connection = store->openConnection(QHostAddress::LocalHost, 1);
    submit(*store, connection, setCell(1, 1, 1));
    QVERIFY(store->commitNow());
    for (const QString &suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")})
        QFile::remove(m_journal + suffix);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
                                           "cannot write the journal .* removed or replaced")));
    const qint64 lostFrom = QDateTime::currentMSecsSinceEpoch();
    submit(*store, connection, setCell(2, 2, 2));
    QVERIFY(!store->commitNow());
    QVERIFY(!store->isJournaling());
    // Edits go on meanwhile.
    QCOMPARE(submit(*store, connection, setCell(3, 3, 3)), Picture::Applied);
    QTRY_VERIFY(store->isJournaling());
    QCOMPARE(submit(*store, connection, setCell(4, 4, 4)), Picture::Applied);
    QVERIFY(store->commitNow());

    const std::optional<JournalRows> rows = JournalRows::read(m_journal);
    QVERIFY(rows);
    QCOMPARE(rows->gaps.size(), 1);
    QCOMPARE(rows->gaps.at(0).afterSeq, qint64(1));
    QVERIFY(rows->gaps.at(0).fromMs >= lostFrom);
    QVERIFY(rows->gaps.at(0).untilMs >= rows->gaps.at(0).fromMs);
    QCOMPARE(rows->snapshots.size(), 1);
    QCOMPARE(rows->snapshots.at(0).seq, qint64(1));
    QCOMPARE(rows->edits.size(), 1);
    QCOMPARE(rows->edits.at(0).seq, qint64(2));
    QCOMPARE(rows->edits.at(0).message, setCell(4, 4, 4));
    // The live connection is recorded in the new file, under its number.
    QCOMPARE(rows->connections.size(), 1);
    QCOMPARE(rows->connections.at(0).id, qint64(connection));
    Picture expected(3);
    expected.setCell(1, 1, 1);
    expected.setCell(2, 2, 2);
    expected.setCell(3, 3, 3);
    QCOMPARE(rows->snapshots.at(0).picture, PictureFile::encode(expected));
}

QTEST_GUILESS_MAIN(tst_Journal)
#include "tst_journal.moc"
