#include "connection/protocol.h"
#include "recovery/cellauthorship.h"
#include "recovery/controlclient.h"
#include "recovery/controlserver.h"
#include "recovery/picturechange.h"
#include "recovery/recoveryplanner.h"
#include "recovery/revertcomputation.h"
#include "recovery/timelapse.h"
#include "server/localpicturestore.h"
#include "server/picturerenderer.h"
#include "tests/support/memoryhistory.h"
#include "tests/support/testsupport.h"

#include <QBuffer>
#include <QImageReader>
#include <QLocalSocket>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

namespace {

// Who made an edit in a revert table: the author whose edits are reverted, or someone else.
constexpr char Author = 'A';
constexpr char Other = 'B';

struct Step
{
    char who;
    QByteArray message;
};

struct CellValue
{
    int x;
    int y;
    quint8 value;
};

QByteArray setCell(int x, int y, int value)
{
    return Protocol::encodeCommand(Protocol::SetCellCommand, quint8(x), quint8(y), quint8(value));
}

QByteArray clear()
{
    return Protocol::encodeCommand(Protocol::ClearCommand, 0, 0, 0);
}

QByteArray colours(int border, int background)
{
    return Protocol::encodeCommand(Protocol::SetColorsCommand, quint8(border), quint8(background),
                                   0);
}

// Format 2 is 22 columns wide.
QByteArray row(int y, int value)
{
    const QByteArray cells(22, char(value));
    return Protocol::encodeRowData(quint8(y), 22, reinterpret_cast<const quint8 *>(cells.data()));
}

// Format 2 with a pattern in which neighbouring cells differ, and frame colours 1 and 2.
Picture startPicture()
{
    Picture picture(2);
    picture.setCells(TestSupport::patternCells(2));
    picture.setFrameColors(1, 2);
    return picture;
}

quint8 startValue(int x, int y)
{
    return quint8((x + 3 * y) % 8);
}

// Keeps the labels of the connections opened for actions, and which of those are still open.
class LabellingStore : public LocalPictureStore
{
public:
    using LocalPictureStore::LocalPictureStore;
    quint64 openActionConnection(const QString &label) override
    {
        const quint64 id = LocalPictureStore::openActionConnection(label);
        labels.append(label);
        open.insert(id);
        return id;
    }
    void closeConnection(quint64 connection) override
    {
        open.remove(connection);
        LocalPictureStore::closeConnection(connection);
    }
    QStringList labels;
    QSet<quint64> open;
};

// Sends one request to a control socket served by this thread and reads the answer to the close.
std::optional<ControlClient::Reply> ask(const QString &path, const QByteArray &request)
{
    QLocalSocket peer;
    peer.connectToServer(path);
    if (!peer.waitForConnected(5000))
        return std::nullopt;
    peer.write(ControlClient::frame(request));
    QByteArray answer;
    if (!QTest::qWaitFor([&] {
            answer += peer.readAll();
            return peer.state() == QLocalSocket::UnconnectedState;
        }))
        return std::nullopt;
    answer += peer.readAll();
    if (answer.size() < 4)
        return std::nullopt;
    return ControlClient::decodeReply(answer.sliced(4));
}

} // namespace

Q_DECLARE_METATYPE(QList<Step>)
Q_DECLARE_METATYPE(QList<CellValue>)

class tst_Recovery : public QObject
{
    Q_OBJECT

private slots:
    void revert_data();
    void revert();
    void revertRefusesWhatIsNoEdit();
    void changeMessages();
    void revertSparesCellsChangedSince();
    void changeEncoding();
    void changeLimitedToAnArea_data();
    void changeLimitedToAnArea();
    void plannerRevertsAnAddress();
    void plannerRevertsAnAuthor();
    void plannerErrors_data();
    void plannerErrors();
    void restoreAtAMoment();
    void summaryTable();
    void timelapse_data();
    void timelapse();
    void controlSocketCarriesOutAChange();
    void controlSocketRefusesBadRequests_data();
    void controlSocketRefusesBadRequests();
    void subnets_data();
    void subnets();
    void moderationJudgesEdits_data();
    void moderationJudgesEdits();
    void clearAroundALock();
    void cellAuthorship();
};

void tst_Recovery::revert_data()
{
    QTest::addColumn<QList<Step>>("steps");
    QTest::addColumn<QList<CellValue>>("expected");
    QTest::addColumn<int>("cellsChanged");
    QTest::addColumn<int>("coloursChanged");

    QTest::newRow("nothing by the author")
        << QList<Step>{{Other, setCell(1, 1, 7)}} << QList<CellValue>{{1, 1, 7}} << 0 << 0;
    QTest::newRow("one cell goes back") << QList<Step>{{Author, setCell(1, 1, 7)}}
                                        << QList<CellValue>{{1, 1, startValue(1, 1)}} << 1 << 0;
    QTest::newRow("a run goes back to before its first change")
        << QList<Step>{{Author, setCell(1, 1, 7)},
                       {Author, setCell(1, 1, 6)},
                       {Author, setCell(1, 1, 5)}}
        << QList<CellValue>{{1, 1, startValue(1, 1)}} << 1 << 0;
    QTest::newRow("a cell repaired after the author stays repaired")
        << QList<Step>{{Author, setCell(1, 1, 7)}, {Other, setCell(1, 1, 3)}}
        << QList<CellValue>{{1, 1, 3}} << 0 << 0;
    QTest::newRow("only the author's last run goes back") << QList<Step>{{Author, setCell(1, 1, 7)},
                                                                         {Other, setCell(1, 1, 3)},
                                                                         {Author, setCell(1, 1, 6)},
                                                                         {Author, setCell(1, 1, 5)}}
                                                          << QList<CellValue>{{1, 1, 3}} << 1 << 0;
    QTest::newRow("others' edits of other cells count for nothing")
        << QList<Step>{{Author, setCell(1, 1, 7)},
                       {Other, setCell(2, 1, 3)},
                       {Author, setCell(1, 1, 5)}}
        << QList<CellValue>{{1, 1, startValue(1, 1)}, {2, 1, 3}} << 1 << 0;
    QTest::newRow("writing the value already there is a change")
        << QList<Step>{{Other, setCell(1, 1, 7)},
                       {Author, setCell(1, 1, 7)},
                       {Author, setCell(1, 1, 4)}}
        << QList<CellValue>{{1, 1, 7}} << 1 << 0;
    QTest::newRow("a clear by the author gives every cell back")
        << QList<Step>{{Author, clear()}}
        << QList<CellValue>{{0, 0, 0}, {21, 22, startValue(21, 22)}} << 22 * 23 << 0;
    QTest::newRow("a clear and paint-over, repaired in places")
        << QList<Step>{{Other, setCell(0, 0, 6)}, {Author, clear()},
                       {Author, row(5, 1)},       {Author, setCell(3, 3, 2)},
                       {Other, setCell(3, 3, 4)}, {Other, setCell(4, 5, 7)}}
        << QList<CellValue>{{0, 0, 6},
                            {3, 3, 4},
                            {4, 5, 7},
                            {5, 5, startValue(5, 5)},
                            {9, 9, startValue(9, 9)}}
        // Less the two repaired cells, and the three of row 5 whose value was 1 already.
        << 22 * 23 - 2 - 3 << 0;
    QTest::newRow("a clear by someone else ends the author's claim to every cell")
        << QList<Step>{{Author, setCell(1, 1, 7)}, {Author, row(2, 3)}, {Other, clear()}}
        << QList<CellValue>{{1, 1, EmptyCell}, {5, 2, EmptyCell}} << 0 << 0;
    QTest::newRow("a row by someone else ends the claim to that row only")
        << QList<Step>{{Author, setCell(1, 2, 7)}, {Author, setCell(1, 3, 7)}, {Other, row(2, 5)}}
        << QList<CellValue>{{1, 2, 5}, {1, 3, startValue(1, 3)}} << 1 << 0;
    QTest::newRow("frame colours go back")
        << QList<Step>{{Author, colours(5, 6)}, {Author, colours(7, 6)}} << QList<CellValue>{} << 0
        << 2;
    QTest::newRow("frame colours set since stay")
        << QList<Step>{{Author, colours(5, 6)}, {Other, colours(3, 4)}} << QList<CellValue>{} << 0
        << 0;
    QTest::newRow("a clear leaves the frame colours to their own claim")
        << QList<Step>{{Author, colours(5, 6)}, {Other, clear()}} << QList<CellValue>{} << 0 << 2;
}

void tst_Recovery::revert()
{
    QFETCH(QList<Step>, steps);
    QFETCH(QList<CellValue>, expected);
    QFETCH(int, cellsChanged);
    QFETCH(int, coloursChanged);

    const Picture start = startPicture();
    RevertComputation computation(start);
    Picture replayed = start;
    int authorEdits = 0;
    for (const Step &step : steps) {
        QVERIFY(computation.add(step.who == Author, step.message));
        replayed.apply(quint8(step.message.at(0)), QByteArrayView(step.message).sliced(4));
        authorEdits += step.who == Author;
    }
    QCOMPARE(computation.current(), replayed);
    QCOMPARE(computation.authorEdits(), quint64(authorEdits));
    const Picture reverted = computation.reverted();
    for (const CellValue &cell : expected)
        QCOMPARE(reverted.cell(cell.x, cell.y), cell.value);
    const PictureChange::Outcome outcome = PictureChange::difference(replayed, reverted);
    QCOMPARE(outcome.cells, cellsChanged);
    QCOMPARE(outcome.colours, coloursChanged);
    if (coloursChanged == 2) {
        QCOMPARE(reverted.border(), start.border());
        QCOMPARE(reverted.background(), start.background());
    }
}

void tst_Recovery::revertRefusesWhatIsNoEdit()
{
    const Picture start = startPicture();
    RevertComputation computation(start);
    const QList<QByteArray> refused = {
        QByteArray(),
        Protocol::encodeHello(),
        setCell(22, 0, 1),                   // outside the grid
        setCell(0, 0, 8),                    // outside the palette
        colours(8, 0),                       // outside the palette
        Protocol::encodeCommand(9, 0, 0, 0), // no such opcode
        row(23, 1),                          // no such row
        row(0, 9),                           // outside the palette
        setCell(0, 0, 1).chopped(1),         // shorter than its header says
        setCell(0, 0, 1) + '\0',             // longer than its header says
    };
    for (const QByteArray &message : refused)
        QVERIFY2(!computation.add(true, message), message.toHex().constData());
    QCOMPARE(computation.authorEdits(), quint64(0));
    QCOMPARE(computation.current(), start);
    QCOMPARE(computation.reverted(), start);
}

void tst_Recovery::changeMessages()
{
    const Picture start = startPicture();
    Picture wanted = start;
    QCOMPARE(PictureChange::messages(start, wanted), QList<QByteArray>());
    wanted.setCell(3, 4, 0);
    wanted.setCell(5, 4, EmptyCell);
    wanted.setCell(0, 22, 6);
    wanted.setFrameColors(1, 7);

    const QList<QByteArray> messages = PictureChange::messages(start, wanted);
    QCOMPARE(messages.size(), 3);
    QCOMPARE(messages.at(0), TestSupport::rawMessage(3, QByteArray::fromHex("01010700")));
    QCOMPARE(messages.at(1), TestSupport::rawMessage(4, QByteArray::fromHex("04160000") +
                                                            wanted.cells().mid(4 * 22, 22)));
    QCOMPARE(messages.at(2), TestSupport::rawMessage(4, QByteArray::fromHex("16160000") +
                                                            wanted.cells().mid(22 * 22, 22)));
    Picture applied = start;
    for (const QByteArray &message : messages)
        QCOMPARE(applied.apply(quint8(message.at(0)), QByteArrayView(message).sliced(4)),
                 Picture::Applied);
    QCOMPARE(applied, wanted);
    QCOMPARE(PictureChange::difference(start, wanted), (PictureChange::Outcome{3, 1}));
}

void tst_Recovery::revertSparesCellsChangedSince()
{
    Picture from = startPicture();
    Picture wanted = from;
    wanted.setCell(1, 1, 7);
    wanted.setCell(2, 1, 7);
    wanted.setFrameColors(3, 4);
    Picture current = from;
    current.setCell(2, 1, 4); // changed by someone after the revert was worked out
    current.setCell(9, 9, 6); // a cell the revert does not touch
    current.setFrameColors(1, 6);

    const std::optional<Picture> reverted = PictureChange::revert(from, wanted).appliedTo(current);
    QVERIFY(reverted);
    QCOMPARE(reverted->cell(1, 1), quint8(7));
    QCOMPARE(reverted->cell(2, 1), quint8(4));
    QCOMPARE(reverted->cell(9, 9), quint8(6));
    QCOMPARE(reverted->border(), quint8(3));
    QCOMPARE(reverted->background(), quint8(6));
    QCOMPARE(PictureChange::restore(wanted).appliedTo(current), wanted);
    QVERIFY(!PictureChange::restore(Picture(3)).appliedTo(current));
}

void tst_Recovery::changeEncoding()
{
    Picture from = startPicture();
    Picture wanted = from;
    wanted.setCell(4, 4, EmptyCell);
    for (const PictureChange &change :
         {PictureChange::revert(from, wanted), PictureChange::restore(wanted)}) {
        QString problem;
        const QByteArray bytes = change.encode();
        const std::optional<PictureChange> decoded = PictureChange::decode(bytes, &problem);
        QVERIFY2(decoded, qPrintable(problem));
        QCOMPARE(decoded->isConditional(), change.isConditional());
        QCOMPARE(decoded->from(), change.from());
        QCOMPARE(decoded->wanted(), change.wanted());
        // Every cut short, a byte too many, and a damaged picture are refused.
        for (qsizetype length = 0; length < bytes.size(); ++length)
            QVERIFY(!PictureChange::decode(QByteArrayView(bytes).first(length), &problem));
        QVERIFY(!PictureChange::decode(bytes + 'x', &problem));
        QByteArray damaged = bytes;
        damaged[damaged.size() - 20] = char(damaged.at(damaged.size() - 20) ^ 1);
        QVERIFY(!PictureChange::decode(damaged, &problem));
    }
}

void tst_Recovery::changeLimitedToAnArea_data()
{
    QTest::addColumn<bool>("conditional");
    QTest::addColumn<QRect>("area");
    QTest::newRow("a restore of an area") << false << QRect(2, 3, 4, 5);
    QTest::newRow("a revert of an area") << true << QRect(2, 3, 4, 5);
    QTest::newRow("a revert of the last cell") << true << QRect(21, 22, 1, 1);
    QTest::newRow("a restore of the whole grid as an area") << false << QRect(0, 0, 22, 23);
}

void tst_Recovery::changeLimitedToAnArea()
{
    QFETCH(bool, conditional);
    QFETCH(QRect, area);

    const Picture from = startPicture();
    Picture wanted(2);
    wanted.setFrameColors(5, 6);
    // Someone changed a cell in the area and one outside it since the change was worked out.
    Picture current = from;
    current.setCell(3, 4, 1);
    current.setCell(21, 22, 0);
    current.setCell(0, 0, 7);
    const PictureChange whole =
        conditional ? PictureChange::revert(from, wanted) : PictureChange::restore(wanted);
    QString problem;
    const std::optional<PictureChange> change =
        PictureChange::decode(whole.limitedTo(area).encode(), &problem);
    QVERIFY2(change, qPrintable(problem));
    QCOMPARE(change->area(), area);
    const std::optional<Picture> result = change->appliedTo(current);
    QVERIFY(result);
    for (int y = 0; y < 23; ++y) {
        for (int x = 0; x < 22; ++x) {
            const bool changedSince = current.cell(x, y) != from.cell(x, y);
            const quint8 expected = area.contains(x, y) && !(conditional && changedSince)
                                        ? wanted.cell(x, y)
                                        : current.cell(x, y);
            QCOMPARE(result->cell(x, y), expected);
        }
    }
    // The frame colours belong to no area.
    QCOMPARE(result->border(), current.border());
    QCOMPARE(result->background(), current.background());
}

void tst_Recovery::plannerRevertsAnAddress()
{
    // A draws, B clears and paints over, C repairs; B came back on a second connection.
    MemoryHistory history(startPicture(), 1000, 3);
    const quint64 a = history.addConnection(QStringLiteral("127.0.0.2"), 40000, 1000);
    const quint64 b = history.addConnection(QStringLiteral("127.0.0.3"), 40001, 1000);
    const quint64 c = history.addConnection(QStringLiteral("127.0.0.4"), 40002, 1000);
    const quint64 b2 = history.addConnection(QStringLiteral("::ffff:127.0.0.3"), 40003, 1000);
    QVERIFY(history.addEdit(a, 2000, row(1, 7)));
    QVERIFY(history.addEdit(a, 2100, setCell(2, 2, 6)));
    const Picture drawn = history.picture();
    QVERIFY(history.addEdit(b, 3000, clear()));
    QVERIFY(history.addEdit(b, 3100, row(1, 1)));
    QVERIFY(history.addEdit(c, 4000, setCell(5, 1, 4)));
    QVERIFY(history.addEdit(b2, 5000, colours(0, 0)));

    RecoveryPlanner planner(&history);
    const auto span = planner.span(std::nullopt, std::nullopt);
    QVERIFY(span);
    const std::optional<PictureChange> change =
        planner.revert({0, QStringLiteral("127.0.0.3")}, *span);
    QVERIFY2(change, qPrintable(planner.errorString()));
    QCOMPARE(change->from(), history.picture());
    Picture expected = drawn;
    expected.setCell(5, 1, 4);
    QCOMPARE(change->wanted(), expected);

    // One connection of the address alone: the second one's colours only.
    const auto second = planner.revert({b2, {}}, *span);
    QVERIFY(second);
    QCOMPARE(PictureChange::difference(history.picture(), second->wanted()),
             (PictureChange::Outcome{0, 2}));

    // Whose work the whole revert undoes: B's cells, and the colours of B's second connection.
    const std::optional<PictureChange> again =
        planner.revert({0, QStringLiteral("127.0.0.3")}, *span);
    const auto whose = planner.undone(history.picture(), again->wanted());
    QVERIFY2(whose, qPrintable(planner.errorString()));
    QCOMPARE(whose->size(), 2);
    QCOMPARE(whose->at(0).connection.id, b);
    QCOMPARE(whose->at(0).cells,
             PictureChange::difference(history.picture(), again->wanted()).cells);
    QCOMPARE(whose->at(0).colours, 0);
    QCOMPARE(whose->at(1).connection.address, QStringLiteral("::ffff:127.0.0.3"));
    QCOMPARE(whose->at(1).colours, 2);
    QCOMPARE(whose->at(1).cells, 0);

    // --until 3050: the clear alone goes back; B's own row after it counts as built on.
    const auto until = planner.revert({0, QStringLiteral("127.0.0.3")}, *planner.span({}, 3050));
    QVERIFY2(until, qPrintable(planner.errorString()));
    Picture clearUndone = drawn;
    for (int x = 0; x < 22; ++x)
        clearUndone.setCell(x, 1, x == 5 ? 4 : 1);
    clearUndone.setFrameColors(0, 0);
    QCOMPARE(until->wanted(), clearUndone);
    // A window in which the author made nothing.
    QVERIFY(!planner.revert({0, QStringLiteral("127.0.0.3")}, *planner.span(3200, 4500)));

    // The revert is itself an edit, of the server's own connection, and can be reverted.
    const quint64 control = history.addConnection(QStringLiteral("control"), 0, 6000);
    for (const QByteArray &message : PictureChange::messages(history.picture(), change->wanted()))
        QVERIFY(history.addEdit(control, 6000, message));
    QCOMPARE(history.picture(), expected);
    const auto undone = planner.revert({0, QStringLiteral("control")}, *planner.span({}, {}));
    QVERIFY2(undone, qPrintable(planner.errorString()));
    QCOMPARE(undone->wanted(), change->from());

    // --since: only what B did after 3050 goes back, to what the clear left.
    const auto since = planner.span(3050, std::nullopt);
    QVERIFY(since);
    QCOMPARE(since->first, quint64(4));
}

// Every connection of a name goes back, from whichever address; other names and unnamed
// connections from the same address are spared.
void tst_Recovery::plannerRevertsAnAuthor()
{
    MemoryHistory history(startPicture(), 1000);
    const QString alice = QStringLiteral("alice");
    const quint64 a = history.addConnection(QStringLiteral("127.0.0.2"), 1, 1000, {}, alice);
    const quint64 b = history.addConnection(QStringLiteral("127.0.0.2"), 2, 1000, {}, "bob");
    const quint64 c = history.addConnection(QStringLiteral("127.0.0.2"), 3, 1000);
    const quint64 a2 = history.addConnection(QStringLiteral("::1"), 4, 1000, {}, alice);
    const Picture before = history.picture();
    QVERIFY(history.addEdit(a, 2000, setCell(1, 1, 1)));
    QVERIFY(history.addEdit(b, 2100, setCell(2, 2, 2)));
    QVERIFY(history.addEdit(c, 2200, setCell(3, 3, 3)));
    QVERIFY(history.addEdit(a2, 2300, row(4, 4)));
    RecoveryPlanner planner(&history);
    RecoveryPlanner::Author author;
    author.name = alice;
    QCOMPARE(author.text(), QStringLiteral("author alice"));
    const auto change = planner.revert(author, *planner.span({}, {}));
    QVERIFY2(change, qPrintable(planner.errorString()));
    Picture expected = before;
    expected.setCell(2, 2, 2);
    expected.setCell(3, 3, 3);
    QCOMPARE(change->wanted(), expected);
    const auto whose = planner.undone(history.picture(), change->wanted());
    QVERIFY(whose);
    QCOMPARE(whose->size(), 2);
    QCOMPARE(whose->at(0).connection.id, a);
    QCOMPARE(whose->at(1).connection.id, a2);
    author.name = QStringLiteral("carol");
    QVERIFY(!planner.revert(author, *planner.span({}, {})));
    QCOMPARE(planner.errorString(), QStringLiteral("author carol made no edits in that time"));
}

void tst_Recovery::plannerErrors_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<qint64>("sinceMs");
    QTest::addColumn<bool>("broken");
    QTest::addColumn<QString>("error");
    QTest::newRow("an address that made no edits")
        << "127.0.0.9" << qint64(-1) << false << "127.0.0.9 made no edits in that time";
    QTest::newRow("an address that made none since")
        << "127.0.0.2" << qint64(2500) << false << "127.0.0.2 made no edits in that time";
    QTest::newRow("a moment before the oldest kept")
        << "127.0.0.2" << qint64(500) << false << "is before the oldest moment the history keeps";
    QTest::newRow("a history that cannot be read")
        << "127.0.0.2" << qint64(-1) << true << "the history is broken";
}

void tst_Recovery::plannerErrors()
{
    QFETCH(QString, address);
    QFETCH(qint64, sinceMs);
    QFETCH(bool, broken);
    QFETCH(QString, error);

    MemoryHistory history(startPicture(), 1000);
    const quint64 a = history.addConnection(QStringLiteral("127.0.0.2"), 40000, 1000);
    QVERIFY(history.addEdit(a, 2000, setCell(1, 1, 1)));
    history.setBroken(broken);
    RecoveryPlanner planner(&history);
    const auto span =
        planner.span(sinceMs < 0 ? std::nullopt : std::optional<qint64>(sinceMs), std::nullopt);
    if (span) {
        QVERIFY(!planner.revert({0, address}, *span));
        QVERIFY(!planner.summary(*span, {address}));
    }
    QVERIFY2(planner.errorString().contains(error), qPrintable(planner.errorString()));
    QVERIFY(!planner.errorString().contains(QLatin1Char('\n')));
}

void tst_Recovery::restoreAtAMoment()
{
    MemoryHistory history(Picture(3), 1000, 4);
    const quint64 a = history.addConnection(QStringLiteral("127.0.0.2"), 40000, 1000);
    QList<Picture> after;
    for (int i = 0; i < 10; ++i) {
        QVERIFY(history.addEdit(a, 2000 + 100 * i, setCell(i, 0, i % 8)));
        after.append(history.picture());
    }
    history.forgetBefore(2);
    RecoveryPlanner planner(&history);
    // Between two edits, on one, and after the last.
    QCOMPARE(planner.restore(2550)->wanted(), after.at(5));
    QCOMPARE(planner.restore(2500)->wanted(), after.at(5));
    QCOMPARE(planner.restore(99999)->wanted(), after.at(9));
    QCOMPARE(planner.restore(2250)->wanted(), after.at(2));
    QCOMPARE(planner.restore(2150)->wanted(), after.at(1)); // the oldest kept moment
    QVERIFY(!planner.restore(2050));
    QVERIFY(planner.errorString().contains(QLatin1String("before the oldest moment")));
    QVERIFY(!planner.restore(2250)->isConditional());
}

void tst_Recovery::summaryTable()
{
    MemoryHistory history(Picture(3), 0);
    const quint64 a = history.addConnection(QStringLiteral("127.0.0.2"), 40000, 0);
    const quint64 b = history.addConnection(QStringLiteral("::1"), 5, 0, {}, QStringLiteral("al"));
    const quint64 control =
        history.addConnection(QStringLiteral("control"), 0, 0, QStringLiteral("restore x by y"));
    QVERIFY(history.addEdit(b, 1000, setCell(0, 0, 1)));
    for (int i = 0; i < 12; ++i)
        QVERIFY(history.addEdit(a, 2000 + i, setCell(1, 0, 1)));
    QVERIFY(history.addEdit(control, 3000, clear()));
    RecoveryPlanner planner(&history);
    const auto all = planner.summary(*planner.span({}, {}), {});
    QVERIFY(all);
    QCOMPARE(all->size(), 3);
    QCOMPARE(all->at(0).connection.id, b);
    QCOMPARE(all->at(1).edits, quint64(12));
    QCOMPARE(all->at(1).firstMs, qint64(2000));
    QCOMPARE(all->at(1).lastMs, qint64(2011));

    const QString table = RecoveryPlanner::formatSummary(*all);
    const QStringList lines = table.split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 6); // heading, three connections, total, and the final newline
    QVERIFY(lines.at(0).startsWith(QLatin1String("CONN  ADDRESS")));
    // Columns line up: every line has its edit count end where the heading's EDITS ends.
    const qsizetype editsEnd = lines.at(0).indexOf(QLatin1String("EDITS")) + 5;
    QCOMPARE(lines.at(1).mid(editsEnd - 2, 2), QStringLiteral(" 1"));
    QCOMPARE(lines.at(2).mid(editsEnd - 2, 2), QStringLiteral("12"));
    QVERIFY(lines.at(2).contains(QLatin1String("127.0.0.2  -     40000")));
    // The editor's name under NAME, after the address; "-" for a connection without one.
    QCOMPARE(lines.at(1).indexOf(QLatin1String("  al  ")) + 2, lines.at(0).indexOf("NAME"));
    QCOMPARE(lines.at(3).indexOf(QLatin1String("  -  ")) + 2, lines.at(0).indexOf("NAME"));
    QVERIFY(lines.at(3).contains(QLatin1String("control")));
    // A repair's label ends its line, under the heading's LABEL.
    QVERIFY(lines.at(3).endsWith(QLatin1String("  restore x by y")));
    QCOMPARE(lines.at(3).indexOf(QLatin1String("restore")), lines.at(0).indexOf("LABEL"));
    QVERIFY(!lines.at(2).endsWith(QLatin1Char(' '))); // no label, no padding for one
    QVERIFY(lines.at(4).startsWith(QLatin1String("total: 14 edits from 3 connections")));

    for (const RecoveryPlanner::Filter &filter :
         {RecoveryPlanner::Filter{QStringLiteral("0:0::1")},
          RecoveryPlanner::Filter{{}, QStringLiteral("al")}}) {
        const auto one = planner.summary(*planner.span({}, {}), filter);
        QVERIFY(one);
        QCOMPARE(one->size(), 1);
        QCOMPARE(one->at(0).connection.port, quint16(5));
    }
    QVERIFY(!planner.summary(*planner.span({}, {}), {{}, QStringLiteral("alice")}));
    QCOMPARE(planner.errorString(), QStringLiteral("author alice made no edits in that time"));
    const auto late = planner.summary(*planner.span(2005, 2999), {});
    QCOMPARE(late->size(), 1);
    QCOMPARE(late->at(0).edits, quint64(6));
    QCOMPARE(RecoveryPlanner::formatSummary({}),
             QStringLiteral("CONN  ADDRESS  NAME  PORT  CONNECTED  LEFT  EDITS  FIRST EDIT  LAST "
                            "EDIT  LABEL\ntotal: no edits\n"));
}

void tst_Recovery::timelapse_data()
{
    QTest::addColumn<int>("edits");
    QTest::addColumn<int>("durationMs");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("frames");
    QTest::newRow("defaults, more edits than frames") << 250 << 10000 << QSize() << 100;
    QTest::newRow("fewer edits than frames") << 7 << 10000 << QSize(100, 80) << 7;
    QTest::newRow("no edits") << 0 << 10000 << QSize(40, 30) << 1;
    QTest::newRow("a short one") << 250 << 1500 << QSize(200, 300) << 15;
}

void tst_Recovery::timelapse()
{
    QFETCH(int, edits);
    QFETCH(int, durationMs);
    QFETCH(QSize, size);
    QFETCH(int, frames);

    QVERIFY2(QImageReader::supportedImageFormats().contains("gif"), "Qt's GIF plugin is missing");
    MemoryHistory history(startPicture(), 0, 50);
    const quint64 a = history.addConnection(QStringLiteral("127.0.0.2"), 40000, 0);
    for (int i = 0; i < edits; ++i)
        QVERIFY(history.addEdit(
            a, 1000 + i * 10,
            i % 50 == 49
                ? colours(i % 8, (i + 3) % 8)
                : setCell(i % 22, (i / 22) % 23, (i * 5) % 9 == 8 ? EmptyCell : (i * 5) % 9)));
    Timelapse::Options options;
    options.durationMs = durationMs;
    if (size.isValid())
        options.size = size;
    QString problem;
    const std::optional<QByteArray> gif = Timelapse::gif(&history, options, &problem);
    QVERIFY2(gif, qPrintable(problem));
    QVERIFY(gif->startsWith("GIF89a"));

    QBuffer buffer;
    buffer.setData(*gif);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "gif");
    QCOMPARE(reader.size(), options.size);
    QImage last;
    int count = 0;
    int delays = 0;
    while (reader.canRead()) {
        const QImage frame = reader.read();
        QVERIFY2(!frame.isNull(), qPrintable(reader.errorString()));
        QCOMPARE(frame.size(), options.size);
        last = frame;
        ++count;
        delays += reader.nextImageDelay();
    }
    QCOMPARE(count, frames);
    QCOMPARE(Timelapse::frameCount(quint64(edits), durationMs), frames);
    // The last frame is held for a second, the others share the duration.
    QCOMPARE(delays - 1000, frames > 1 ? (durationMs / frames / 10 * 10) * (frames - 1) : 0);
    const QImage expected = PictureRenderer::render(history.picture(), options.size);
    QCOMPARE(last.convertToFormat(QImage::Format_RGB32), expected);
}

void tst_Recovery::controlSocketCarriesOutAChange()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    LabellingStore store(startPicture());
    QList<QPair<quint64, QByteArray>> edited;
    connect(&store, &PictureStore::edited, this, [&](quint64 connection, QByteArrayView relayed) {
        edited.append({connection, relayed.toByteArray()});
    });
    ControlServer server(&store);
    QSignalSpy changed(&server, &ControlServer::changed);
    const QString path = ControlServer::socketPath(dir.filePath(QStringLiteral("p.cvp")));
    QVERIFY(server.listen(path));
    // Only its own user may use it, from the moment it exists.
    QCOMPARE(QFileInfo(path).permissions() &
                 (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
             QFileDevice::Permissions());
    QString problem;
    QVERIFY(ControlClient::checkOwner(path, &problem));

    Picture wanted = startPicture();
    wanted.setCell(0, 0, 7);
    wanted.setCell(0, 3, 7);
    wanted.setFrameColors(0, 0);
    // A dry run first: it answers with both pictures and changes nothing.
    const std::optional<ControlClient::Reply> dry =
        ask(path, ControlClient::encodeRequest(
                      {QStringLiteral("restore"), true, PictureChange::restore(wanted).encode()}));
    QVERIFY(dry);
    QVERIFY2(dry->ok, qPrintable(dry->message));
    QCOMPARE(dry->outcome, (PictureChange::Outcome{2, 2}));
    QCOMPARE(dry->current, std::optional<Picture>(startPicture()));
    QCOMPARE(dry->result, std::optional<Picture>(wanted));
    QCOMPARE(store.picture(), startPicture());
    QCOMPARE(edited.size(), 0);
    QCOMPARE(changed.count(), 0);
    QVERIFY(store.labels.isEmpty()); // no connection opened for it either

    QLocalSocket peer;
    peer.connectToServer(path);
    QVERIFY(peer.waitForConnected(5000));
    const QByteArray request = ControlClient::frame(ControlClient::encodeRequest(
        {QStringLiteral("restore 10:00\nby  me"), false, PictureChange::restore(wanted).encode()}));
    // Split, to be put together by the server.
    peer.write(request.first(3));
    QVERIFY(peer.waitForBytesWritten(5000));
    // The server holds the first piece, read on its own, before the rest is sent.
    const auto heldByServer = [&server] {
        for (const QLocalSocket *socket : server.findChildren<QLocalSocket *>()) {
            if (socket->property("celvaneControlPending").toByteArray().size() == 3)
                return true;
        }
        return false;
    };
    QTRY_VERIFY(heldByServer());
    peer.write(request.sliced(3));
    QTRY_VERIFY(peer.state() == QLocalSocket::UnconnectedState);
    const QByteArray answer = peer.readAll();
    QVERIFY(answer.size() > 4);
    const auto reply = ControlClient::decodeReply(answer.sliced(4));
    QVERIFY(reply);
    QVERIFY2(reply->ok, qPrintable(reply->message));
    QCOMPARE(reply->outcome, (PictureChange::Outcome{2, 2}));
    QVERIFY(!reply->current && !reply->result);
    QCOMPARE(store.picture(), wanted);
    QCOMPARE(changed.count(), 1);
    // The colours, then rows 0 and 3, each under the one connection of the action.
    QCOMPARE(edited.size(), 3);
    QCOMPARE(edited.at(0).second, QByteArray::fromHex("0300040001000000"));
    QCOMPARE(edited.at(1).second.first(6), QByteArray::fromHex("04001a000016"));
    QCOMPARE(edited.at(2).second.first(6), QByteArray::fromHex("04001a000316"));
    QCOMPARE(edited.at(0).first, edited.at(2).first);
    // Under a connection opened for this action alone, labelled in one line, and closed after.
    QCOMPARE(store.labels, QStringList{QStringLiteral("restore 10:00 by me")});
    QVERIFY(store.open.isEmpty());
}

void tst_Recovery::controlSocketRefusesBadRequests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("error");
    QByteArray huge(4, '\0');
    qToLittleEndian<quint32>(ControlServer::MaxRequestSize + 1, huge.data());
    QTest::newRow("too large") << huge << "larger than any change";
    const auto request = [](const PictureChange &change, bool dryRun = false) {
        return ControlClient::frame(
            ControlClient::encodeRequest({QStringLiteral("restore"), dryRun, change.encode()}));
    };
    QTest::newRow("not a request") << ControlClient::frame("garbage") << "not a request";
    QTest::newRow("a bare change, as an older command sends it")
        << ControlClient::frame(PictureChange::restore(startPicture()).encode()) << "not a request";
    QTest::newRow("not a change") << ControlClient::frame(
                                         ControlClient::encodeRequest({{}, false, "garbage"}))
                                  << "not a picture change";
    QTest::newRow("bytes after it") << request(PictureChange::restore(startPicture())) + "x"
                                    << "bytes after the request";
    QTest::newRow("another format") << request(PictureChange::restore(Picture(0))) << "format 2";
    QTest::newRow("a dry run of another format")
        << request(PictureChange::restore(Picture(0)), true) << "another format";
    QTest::newRow("an area outside the picture")
        << request(PictureChange::restore(startPicture()).limitedTo(QRect(20, 0, 3, 1)))
        << "an area outside the picture";
    QTest::newRow("a ban it cannot read")
        << ControlClient::frame(QByteArray(1, ControlClient::ModerationTag) + "junk")
        << "not a ban or lock";
    ControlClient::ModerationRequest unban;
    unban.change.kind = Moderation::Change::RemoveBan;
    unban.change.ban.subnet = *Subnet::parse(QStringLiteral("127.0.0.1"), nullptr);
    QTest::newRow("an unban of nothing")
        << ControlClient::frame(ControlClient::encodeRequest(unban)) << "127.0.0.1 is not banned";
    // Told apart by their first byte: neither kind is ever taken for the other.
    QTest::newRow("a request behind the ban tag")
        << ControlClient::frame(ControlClient::ModerationTag +
                                ControlClient::encodeRequest({{}, false, {}}))
        << "not a ban or lock";
    QTest::newRow("an empty frame") << ControlClient::frame({}) << "not a request";
}

void tst_Recovery::controlSocketRefusesBadRequests()
{
    QFETCH(QByteArray, request);
    QFETCH(QString, error);

    QTemporaryDir dir;
    LocalPictureStore store(startPicture());
    QSignalSpy edited(&store, &PictureStore::edited);
    ControlServer server(&store);
    const QString path = dir.filePath(QStringLiteral("c"));
    QVERIFY(server.listen(path));
    QLocalSocket peer;
    peer.connectToServer(path);
    QVERIFY(peer.waitForConnected(5000));
    peer.write(request);
    QTRY_VERIFY(peer.state() == QLocalSocket::UnconnectedState);
    const QByteArray answer = peer.readAll();
    QVERIFY(answer.size() > 4);
    const auto reply = ControlClient::decodeReply(answer.sliced(4));
    QVERIFY(reply);
    QVERIFY(!reply->ok);
    QVERIFY2(reply->message.contains(error), qPrintable(reply->message));
    QCOMPARE(edited.count(), 0);
    QCOMPARE(store.picture(), startPicture());
    QVERIFY(store.moderation().isEmpty());
}

void tst_Recovery::subnets_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("canonical"); // empty: refused
    QTest::addColumn<QString>("inside");
    QTest::addColumn<QString>("outside");
    QTest::newRow("one address") << "127.0.0.9"
                                 << "127.0.0.9"
                                 << "127.0.0.9"
                                 << "127.0.0.8";
    QTest::newRow("/32 is one address") << "127.0.0.9/32"
                                        << "127.0.0.9"
                                        << "127.0.0.9"
                                        << "127.0.0.10";
    QTest::newRow("host bits cleared") << "127.1.2.3/16"
                                       << "127.1.0.0/16"
                                       << "127.1.255.7"
                                       << "127.2.0.1";
    QTest::newRow("a mapped IPv4 peer counts as IPv4") << "127.0.0.0/8"
                                                       << "127.0.0.0/8"
                                                       << "::ffff:127.0.0.3"
                                                       << "::1";
    QTest::newRow("IPv6") << "2001:db8::/32"
                          << "2001:db8::/32"
                          << "2001:db8:5::1"
                          << "2001:db9::1";
    QTest::newRow("everyone") << "0.0.0.0/0"
                              << "0.0.0.0/0"
                              << "203.0.113.7"
                              << "::1";
    QTest::newRow("an octet too large") << "127.0.0.300"
                                        << ""
                                        << ""
                                        << "";
    QTest::newRow("a prefix too long") << "127.0.0.0/33"
                                       << ""
                                       << ""
                                       << "";
    QTest::newRow("an IPv6 prefix too long") << "::1/129"
                                             << ""
                                             << ""
                                             << "";
    QTest::newRow("a signed prefix") << "127.0.0.0/+8"
                                     << ""
                                     << ""
                                     << "";
    QTest::newRow("an empty prefix") << "127.0.0.0/"
                                     << ""
                                     << ""
                                     << "";
    QTest::newRow("a name") << "localhost"
                            << ""
                            << ""
                            << "";
    QTest::newRow("nothing") << ""
                             << ""
                             << ""
                             << "";
}

void tst_Recovery::subnets()
{
    QFETCH(QString, text);
    QFETCH(QString, canonical);
    QFETCH(QString, inside);
    QFETCH(QString, outside);
    QString error;
    const std::optional<Subnet> subnet = Subnet::parse(text, &error);
    QCOMPARE(bool(subnet), !canonical.isEmpty());
    if (!subnet) {
        QVERIFY(error.contains(QStringLiteral("is not an address")));
        return;
    }
    QCOMPARE(subnet->toString(), canonical);
    QVERIFY(subnet->contains(QHostAddress(inside)));
    QVERIFY(!subnet->contains(QHostAddress(outside)));
    QCOMPARE(Subnet::parse(canonical, &error), subnet);
}

void tst_Recovery::moderationJudgesEdits_data()
{
    QTest::addColumn<bool>("whole");
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("verdict");
    // A lock on the area 2,2,3,3 (cells 2..4 of rows 2..4) except for 127.0.0.2, or on the
    // whole picture, a ban on 127.1.0.0/16 and one on the author mallory. A sender is its
    // address, then its name if it has one.
    const QString anyone = QStringLiteral("127.0.0.5");
    QTest::newRow("a cell inside")
        << false << anyone << setCell(2, 2, 1) << int(Moderation::Locked);
    QTest::newRow("the far corner inside")
        << false << anyone << setCell(4, 4, 1) << int(Moderation::Locked);
    QTest::newRow("a cell just outside")
        << false << anyone << setCell(5, 4, 1) << int(Moderation::Allowed);
    QTest::newRow("a cell inside, excepted")
        << false << "127.0.0.2" << setCell(3, 3, 1) << int(Moderation::Allowed);
    QTest::newRow("a row across the area")
        << false << anyone << row(3, 1) << int(Moderation::Locked);
    QTest::newRow("a row above it") << false << anyone << row(1, 1) << int(Moderation::Allowed);
    QTest::newRow("a short row ending before it")
        << false << anyone
        << Protocol::encodeRowData(3, 2, reinterpret_cast<const quint8 *>("\1\1"))
        << int(Moderation::Allowed);
    QTest::newRow("a short row reaching into it")
        << false << anyone
        << Protocol::encodeRowData(3, 3, reinterpret_cast<const quint8 *>("\1\1\1"))
        << int(Moderation::Locked);
    QTest::newRow("frame colours beside an area")
        << false << anyone << colours(3, 4) << int(Moderation::Allowed);
    QTest::newRow("a clear beside an area")
        << false << anyone << clear() << int(Moderation::ClearAround);
    QTest::newRow("a clear, excepted")
        << false << "127.0.0.2" << clear() << int(Moderation::Allowed);
    QTest::newRow("a cell outside the grid is the picture's to refuse")
        << false << anyone << setCell(3, 200, 1) << int(Moderation::Allowed);
    QTest::newRow("banned") << false << "127.1.9.9" << setCell(20, 20, 1)
                            << int(Moderation::Banned);
    QTest::newRow("a banned author")
        << false << "127.0.0.5 mallory" << setCell(20, 20, 1) << int(Moderation::Banned);
    QTest::newRow("another author")
        << false << "127.0.0.5 alice" << setCell(20, 20, 1) << int(Moderation::Allowed);
    QTest::newRow("the server's own connection")
        << true << QString() << setCell(3, 3, 1) << int(Moderation::Allowed);
    QTest::newRow("whole: any cell")
        << true << anyone << setCell(20, 20, 1) << int(Moderation::Locked);
    QTest::newRow("whole: frame colours")
        << true << anyone << colours(3, 4) << int(Moderation::Locked);
    QTest::newRow("whole: a clear") << true << anyone << clear() << int(Moderation::Locked);
    QTest::newRow("whole: excepted")
        << true << "127.0.0.2" << colours(3, 4) << int(Moderation::Allowed);
}

void tst_Recovery::moderationJudgesEdits()
{
    QFETCH(bool, whole);
    QFETCH(QString, sender);
    QFETCH(QByteArray, message);
    QFETCH(int, verdict);
    Moderation moderation;
    QString error;
    Moderation::Change change;
    change.kind = Moderation::Change::AddLock;
    if (!whole)
        change.lock.area = QRect(2, 2, 3, 3);
    change.lock.except = {*Subnet::parse(QStringLiteral("127.0.0.2"), &error)};
    QVERIFY(moderation.apply(change, &error));
    change.kind = Moderation::Change::AddBan;
    change.ban.subnet = *Subnet::parse(QStringLiteral("127.1.0.0/16"), &error);
    change.ban.untilMs = 2000;
    QVERIFY(moderation.apply(change, &error));
    // An author's ban stands beside the address's, not in its place.
    change.ban.subnet = Subnet();
    change.ban.author = QStringLiteral("mallory");
    QVERIFY(moderation.apply(change, &error));
    QCOMPARE(moderation.bans().size(), size_t(2));
    QVERIFY(moderation.bansAuthor(QStringLiteral("mallory"), 1999));
    QVERIFY(!moderation.bansAuthor(QStringLiteral("mallory"), 2000));
    QVERIFY(!moderation.bansAuthor(QStringLiteral("alice"), 1000));
    QVERIFY(!moderation.bansAuthor(QString(), 1000));
    // Through the control socket's encoding and back, as a running server gets them.
    Moderation decoded;
    for (const auto &ban : moderation.bans())
        QVERIFY(decoded.apply(
            *Moderation::decode(Moderation::encode({Moderation::Change::AddBan, ban, {}})),
            &error));
    for (const auto &lock : moderation.locks())
        QVERIFY(decoded.apply(
            *Moderation::decode(Moderation::encode({Moderation::Change::AddLock, {}, lock})),
            &error));
    QCOMPARE(decoded, moderation);
    const QHostAddress from(sender.section(QLatin1Char(' '), 0, 0));
    const Moderation::Standing standing =
        moderation.standingOf(from, sender.section(QLatin1Char(' '), 1));
    const auto judgeAt = [&](qint64 nowMs) {
        return moderation.judge(standing, quint8(message.at(0)),
                                QByteArrayView(message).sliced(Protocol::HeaderSize),
                                Picture(2).format(), [nowMs] { return nowMs; });
    };
    QCOMPARE(int(judgeAt(1000)), verdict);
    // The bans ran out at 2000.
    if (verdict == Moderation::Banned)
        QVERIFY(judgeAt(2000) != Moderation::Banned);
}

// A Clear around a lock goes out as the rows that changed, under a connection of its own, and is
// refused as sent so that its sender's window is corrected.
void tst_Recovery::clearAroundALock()
{
    LocalPictureStore store(startPicture());
    QString error;
    Moderation::Change change;
    change.kind = Moderation::Change::AddLock;
    change.lock.area = QRect(2, 2, 3, 3);
    QSignalSpy changed(&store, &PictureStore::moderationChanged);
    QVERIFY(store.changeModeration(change, &error));
    QCOMPARE(changed.count(), 1);
    const quint64 sender = store.openConnection(QHostAddress(QStringLiteral("127.0.0.5")), 1);
    // The relayed bytes are valid during the signal only.
    QList<QPair<quint64, QByteArray>> edited;
    connect(&store, &PictureStore::edited, this, [&](quint64 connection, QByteArrayView relayed) {
        edited.append({connection, relayed.toByteArray()});
    });
    QCOMPARE(store.submit(sender, Protocol::Command, clear()), Picture::Locked);
    Picture expected = startPicture();
    for (int y = 0; y < 23; ++y)
        for (int x = 0; x < 22; ++x)
            if (!QRect(2, 2, 3, 3).contains(x, y))
                expected.setCell(x, y, EmptyCell);
    QCOMPARE(store.picture(), expected);
    const QList<QByteArray> rows = PictureChange::messages(startPicture(), expected);
    QCOMPARE(edited.size(), rows.size());
    for (qsizetype i = 0; i < rows.size(); ++i) {
        QCOMPARE(edited.at(i).second, rows.at(i));
        QCOMPARE(edited.at(i).first, edited.at(0).first);
        QVERIFY(edited.at(i).first != sender);
    }
    // Nothing left to clear: nothing relayed.
    edited.clear();
    QCOMPARE(store.submit(sender, Protocol::Command, clear()), Picture::Locked);
    QCOMPARE(edited.size(), 0);
    change.kind = Moderation::Change::RemoveLock;
    QVERIFY(store.changeModeration(change, &error));
    QVERIFY(!store.changeModeration(change, &error));
    QCOMPARE(error, QStringLiteral("no lock on the area 2,2,3,3 (see locks)"));
    QCOMPARE(store.submit(sender, Protocol::Command, clear()), Picture::Applied);

    // A ban of an author holds that name's connections, from the address of anyone else.
    change.kind = Moderation::Change::AddBan;
    change.ban.author = QStringLiteral("mallory");
    QVERIFY(store.changeModeration(change, &error));
    const QHostAddress shared(QStringLiteral("127.0.0.5"));
    const quint64 mallory = store.openNamedConnection(shared, 2, QStringLiteral("mallory"));
    const quint64 alice = store.openNamedConnection(shared, 3, QStringLiteral("alice"));
    QCOMPARE(store.submit(mallory, Protocol::Command, setCell(1, 1, 1)), Picture::Banned);
    QCOMPARE(store.submit(alice, Protocol::Command, setCell(1, 1, 1)), Picture::Applied);
    QCOMPARE(store.submit(sender, Protocol::Command, setCell(1, 1, 2)), Picture::Applied);
    change.kind = Moderation::Change::RemoveBan;
    QVERIFY(store.changeModeration(change, &error));
    QVERIFY(!store.changeModeration(change, &error));
    QCOMPARE(error, QStringLiteral("author mallory is not banned"));
    QCOMPARE(store.submit(mallory, Protocol::Command, setCell(1, 1, 3)), Picture::Applied);
}

// Seeded from a history written before it started, over more than one chunk of the scan, then
// fed live: each cell names the last edit that set it, and the authors group by name.
void tst_Recovery::cellAuthorship()
{
    MemoryHistory history(startPicture(), 1000, 500);
    const QString alice = QStringLiteral("alice");
    const quint64 a = history.addConnection(QStringLiteral("127.0.0.2"), 1, 1000, {}, alice);
    const quint64 b = history.addConnection(QStringLiteral("127.0.0.3"), 2, 1000);
    const quint64 a2 = history.addConnection(QStringLiteral("::1"), 3, 1000, {}, alice);
    QVERIFY(history.addEdit(b, 2000, clear()));
    QVERIFY(history.addEdit(b, 2500, setCell(7, 7, 2)));
    const int many = CellAuthorship::SeedChunk + 900;
    for (int i = 0; i < many; ++i)
        QVERIFY(history.addEdit(a, 3000 + i, setCell(i % 22, 0, 1 + i % 3)));
    QVERIFY(history.addEdit(b, 9000, row(1, 3)));
    QVERIFY(history.addEdit(a2, 9100, setCell(5, 5, 4)));
    QVERIFY(history.addEdit(a2, 9200, colours(3, 4)));
    // Retention folded the Clear away: the cells only it set are unchanged as far as is kept.
    history.forgetBefore(1);

    LocalPictureStore store(history.picture());
    CellAuthorship authorship(&store, [&history] { return &history; });
    QSignalSpy seeded(&authorship, &CellAuthorship::seeded);
    authorship.start();
    QCOMPARE(authorship.cell(5, 5).state, CellAuthorship::NotKnownYet);
    QVERIFY(seeded.wait());
    QCOMPARE(seeded.count(), 1);
    QVERIFY(authorship.isSeeded());
    const auto expect = [&](int x, int y, quint64 connection, qint64 timeMs) {
        const CellAuthorship::Cell cell = authorship.cell(x, y);
        return cell.state == CellAuthorship::Changed && cell.connection == connection &&
               cell.timeMs == timeMs && cell.who.id == connection;
    };
    QVERIFY(expect(5, 5, a2, 9100));
    QCOMPARE(authorship.cell(5, 5).who.name, alice);
    QCOMPARE(authorship.cell(5, 5).who.address, QStringLiteral("::1"));
    QVERIFY(expect(21, 1, b, 9000));
    QVERIFY(expect(7, 7, b, 2500)); // only in the oldest chunk
    for (int x = 0; x < 22; ++x)    // each row-0 cell's last setting, in the newest chunk
        QVERIFY(expect(x, 0, a, 3000 + (many - 1) - ((many - 1 - x) % 22)));
    QCOMPARE(authorship.cell(10, 10).state, CellAuthorship::Unchanged);

    // Live: a cell, a short row (relayed as the whole row), frame colours (no cell), a repair.
    const quint64 live = store.openConnection(QHostAddress(QStringLiteral("127.0.0.4")), 4);
    QCOMPARE(store.submit(live, Protocol::Command, setCell(10, 10, 1)), Picture::Applied);
    QVERIFY(authorship.cell(10, 10).state == CellAuthorship::Changed);
    QCOMPARE(authorship.cell(10, 10).connection, live);
    const QByteArray shortRow =
        Protocol::encodeRowData(9, 3, reinterpret_cast<const quint8 *>("\1\2\3"));
    QCOMPARE(store.submit(live, Protocol::RowData, shortRow), Picture::Applied);
    QCOMPARE(authorship.cell(21, 9).connection, live);
    QCOMPARE(store.submit(live, Protocol::Command, colours(1, 1)), Picture::Applied);
    QCOMPARE(authorship.cell(5, 5).connection, a2);
    const quint64 repair = store.openActionConnection(QStringLiteral("revert alice by me"));
    QCOMPARE(store.submit(repair, Protocol::Command, setCell(5, 5, 0)), Picture::Applied);
    QCOMPARE(authorship.cell(5, 5).connection, repair);
    QCOMPARE(store.submit(live, Protocol::Command, clear()), Picture::Applied);
    QCOMPARE(authorship.cell(5, 5).connection, live);
    QCOMPARE(authorship.cell(7, 7).connection, live);

    // Named editors together across their connections, the others one by one; most first.
    QString error;
    const auto all = authorship.authorsSince(0, &error);
    QVERIFY2(all, qPrintable(error));
    QCOMPARE(all->sinceMs, history.oldestMs());
    QCOMPARE(all->authors.size(), 2);
    QCOMPARE(all->authors.at(0).name, alice);
    QCOMPARE(all->authors.at(0).connection, quint64(0));
    QCOMPARE(all->authors.at(0).edits, quint64(many + 2));
    QCOMPARE(all->authors.at(0).lastMs, qint64(9200));
    QCOMPARE(all->authors.at(0).addresses, QStringList({"127.0.0.2", "::1"}));
    QCOMPARE(all->authors.at(1).name, QString());
    QCOMPARE(all->authors.at(1).connection, b);
    QCOMPARE(all->authors.at(1).edits, quint64(2));
    const auto late = authorship.authorsSince(9050, &error);
    QVERIFY(late);
    QCOMPARE(late->authors.size(), 1);
    QCOMPARE(late->authors.at(0).edits, quint64(2));
    QCOMPARE(late->authors.at(0).addresses, QStringList({"::1"}));
    history.setBroken(true);
    QVERIFY(!authorship.authorsSince(0, &error));
    QVERIFY(!error.isEmpty());
}

QTEST_GUILESS_MAIN(tst_Recovery)
#include "tst_recovery.moc"
