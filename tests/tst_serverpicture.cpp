#include "connection/protocol.h"
#include "model/canvasformat.h"
#include "painting/canvasgeometry.h"
#include "server/correctionqueue.h"
#include "server/picture.h"
#include "server/picturefile.h"
#include "server/picturerenderer.h"
#include "server/picturesaver.h"
#include "server/samplepicture.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct CellChange
{
    int x;
    int y;
    quint8 value;
};

// Format 3 with every cell set to a value that no edit in the table writes, so that any cell an
// edit touches by mistake shows up.
Picture startingPicture(int formatNumber)
{
    Picture picture(formatNumber);
    picture.setFrameColors(4, 6);
    for (int y = 0; y < picture.format().rows; ++y)
        for (int x = 0; x < picture.format().columns; ++x)
            picture.setCell(x, y, 100);
    return picture;
}

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int value : values)
        out.append(char(value));
    return out;
}

QByteArray command(quint8 opcode, quint8 a, quint8 b, quint8 c)
{
    return bytes({opcode, a, b, c});
}

QByteArray rowPayload(quint8 row, quint8 count, int cells, quint8 value)
{
    return bytes({row, count, 0, 0}) + QByteArray(cells, char(value));
}

} // namespace

Q_DECLARE_METATYPE(Picture::EditResult)
Q_DECLARE_METATYPE(QList<CellChange>)

class tst_ServerPicture : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void newPictureIsEmpty_data();
    void newPictureIsEmpty();
    void applyEdit_data();
    void applyEdit();
    void clearEmptiesEveryCellButKeepsFrameColors();
    void correctionsOfRefusedEdits_data();
    void correctionsOfRefusedEdits();
    void correctedWindowShowsThePicture_data();
    void correctedWindowShowsThePicture();
    void fileRoundTrip_data();
    void fileRoundTrip();
    void fileRefusesWhatIsNotOurs_data();
    void fileRefusesWhatIsNotOurs();
    void fileLoadReportsMissingAndRefused();
    void saverWritesAtOnceWhenAsked();
    void rendererPaintsLikeTheCanvas();
    void samplePictureUsesOnlyItsPalette_data();
    void samplePictureUsesOnlyItsPalette();
};

void tst_ServerPicture::newPictureIsEmpty_data()
{
    QTest::addColumn<int>("formatNumber");
    QTest::addColumn<QByteArray>("header");
    QTest::newRow("format 0") << 0 << QByteArray::fromHex("0200ec03");
    QTest::newRow("format 1") << 1 << QByteArray::fromHex("0200d407");
    QTest::newRow("format 2") << 2 << QByteArray::fromHex("0200fe01");
    QTest::newRow("format 3") << 3 << QByteArray::fromHex("0200ec03");
}

void tst_ServerPicture::newPictureIsEmpty()
{
    QFETCH(int, formatNumber);
    QFETCH(QByteArray, header);

    const Picture picture(formatNumber);
    QCOMPARE(picture.formatNumber(), formatNumber);
    QCOMPARE(&picture.format(), canvasFormats().at(formatNumber));
    QCOMPARE(picture.cells(), QByteArray(picture.format().cellCount(), char(EmptyCell)));

    const QByteArray update = picture.encodeUpdate();
    QCOMPARE(update.left(4), header);
    QCOMPARE(update.mid(4, 4), bytes({formatNumber, 0, 0, 0}));
    QCOMPARE(update.size(), 8 + picture.format().cellCount());
}

void tst_ServerPicture::applyEdit_data()
{
    QTest::addColumn<int>("formatNumber");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<Picture::EditResult>("result");
    QTest::addColumn<QList<CellChange>>("changes");
    QTest::addColumn<int>("border");     // -1: unchanged
    QTest::addColumn<int>("background"); // -1: unchanged

    const int cmd = Protocol::Command;
    const int row = Protocol::RowData;
    using Changes = QList<CellChange>;

    QTest::newRow("set cell") << 3 << cmd << command(2, 5, 7, 9) << Picture::Applied
                              << Changes{{5, 7, 9}} << -1 << -1;
    QTest::newRow("erase cell") << 3 << cmd << command(2, 0, 0, 255) << Picture::Applied
                                << Changes{{0, 0, 255}} << -1 << -1;
    QTest::newRow("last cell of format 1") << 1 << cmd << command(2, 79, 24, 1) << Picture::Applied
                                           << Changes{{79, 24, 1}} << -1 << -1;
    QTest::newRow("last cell of format 2") << 2 << cmd << command(2, 21, 22, 7) << Picture::Applied
                                           << Changes{{21, 22, 7}} << -1 << -1;
    QTest::newRow("colour beyond the palette is refused")
        << 0 << cmd << command(2, 1, 1, 200) << Picture::OutsidePalette << Changes{} << -1 << -1;
    QTest::newRow("set colours") << 3 << cmd << command(1, 11, 12, 0) << Picture::Applied
                                 << Changes{} << 11 << 12;
    QTest::newRow("set colours beyond the palette")
        << 2 << cmd << command(1, 250, 7, 0) << Picture::OutsidePalette << Changes{} << -1 << -1;
    QTest::newRow("background just beyond the palette")
        << 2 << cmd << command(1, 7, 8, 0) << Picture::OutsidePalette << Changes{} << -1 << -1;
    QTest::newRow("last colour of format 3")
        << 3 << cmd << command(2, 39, 24, 15) << Picture::Applied << Changes{{39, 24, 15}} << -1
        << -1;
    QTest::newRow("colour 16 in format 3")
        << 3 << cmd << command(2, 0, 0, 16) << Picture::OutsidePalette << Changes{} << -1 << -1;
    QTest::newRow("colour 2 in a two-colour format")
        << 1 << cmd << command(2, 0, 0, 2) << Picture::OutsidePalette << Changes{} << -1 << -1;
    QTest::newRow("row of 77") << 3 << row << rowPayload(0, 40, 40, 77) << Picture::OutsidePalette
                               << Changes{} << -1 << -1;
    QTest::newRow("row of empty cells") << 2 << row << rowPayload(1, 2, 2, 255) << Picture::Applied
                                        << Changes{{0, 1, 255}, {1, 1, 255}} << -1 << -1;
    QTest::newRow("full row") << 3 << row << rowPayload(24, 40, 40, 3) << Picture::Applied << [] {
        Changes c;
        for (int x = 0; x < 40; ++x)
            c.append({x, 24, 3});
        return c;
    }() << -1 << -1;
    QTest::newRow("short row changes only its cells")
        << 2 << row << rowPayload(3, 2, 2, 5) << Picture::Applied << Changes{{0, 3, 5}, {1, 3, 5}}
        << -1 << -1;
    QTest::newRow("empty row changes nothing")
        << 3 << row << rowPayload(0, 0, 0, 0) << Picture::Applied << Changes{} << -1 << -1;

    QTest::newRow("cell column outside")
        << 3 << cmd << command(2, 40, 0, 1) << Picture::OutsideGrid << Changes{} << -1 << -1;
    QTest::newRow("cell row outside")
        << 3 << cmd << command(2, 0, 25, 1) << Picture::OutsideGrid << Changes{} << -1 << -1;
    QTest::newRow("cell outside format 2")
        << 2 << cmd << command(2, 22, 0, 1) << Picture::OutsideGrid << Changes{} << -1 << -1;
    QTest::newRow("row outside") << 3 << row << rowPayload(25, 40, 40, 1) << Picture::OutsideGrid
                                 << Changes{} << -1 << -1;
    QTest::newRow("row longer than the grid")
        << 3 << row << rowPayload(0, 41, 41, 1) << Picture::OutsideGrid << Changes{} << -1 << -1;
    QTest::newRow("row longer than format 2")
        << 2 << row << rowPayload(0, 23, 23, 1) << Picture::OutsideGrid << Changes{} << -1 << -1;
    QTest::newRow("row count above its length")
        << 3 << row << rowPayload(0, 40, 39, 1) << Picture::BadLength << Changes{} << -1 << -1;
    QTest::newRow("row count below its length")
        << 3 << row << rowPayload(0, 10, 11, 1) << Picture::BadLength << Changes{} << -1 << -1;
    QTest::newRow("row without prefix")
        << 3 << row << QByteArray("\0\0\0", 3) << Picture::BadLength << Changes{} << -1 << -1;
    QTest::newRow("command too short")
        << 3 << cmd << QByteArray("\2\1\1", 3) << Picture::BadLength << Changes{} << -1 << -1;
    QTest::newRow("command too long")
        << 3 << cmd << QByteArray("\2\1\1\1\0", 5) << Picture::BadLength << Changes{} << -1 << -1;
    QTest::newRow("unknown opcode")
        << 3 << cmd << command(3, 1, 1, 1) << Picture::UnknownOpcode << Changes{} << -1 << -1;
    QTest::newRow("opcode 255") << 3 << cmd << command(255, 0, 0, 0) << Picture::UnknownOpcode
                                << Changes{} << -1 << -1;
    QTest::newRow("Update from a client")
        << 3 << int(Protocol::Update) << Picture(3).encodeUpdate().mid(4) << Picture::UnknownKind
        << Changes{} << -1 << -1;
    QTest::newRow("kind 0") << 3 << 0 << QByteArray() << Picture::UnknownKind << Changes{} << -1
                            << -1;
    QTest::newRow("kind 255 shaped like a clear")
        << 3 << 255 << command(0, 0, 0, 0) << Picture::UnknownKind << Changes{} << -1 << -1;
}

void tst_ServerPicture::applyEdit()
{
    QFETCH(int, formatNumber);
    QFETCH(int, kind);
    QFETCH(QByteArray, payload);
    QFETCH(Picture::EditResult, result);
    QFETCH(QList<CellChange>, changes);
    QFETCH(int, border);
    QFETCH(int, background);

    const Picture before = startingPicture(formatNumber);
    Picture picture = before;
    // The verdict without the change, and then the change.
    QCOMPARE(before.check(quint8(kind), payload), result);
    QCOMPARE(picture.apply(quint8(kind), payload), result);

    Picture expected = before;
    for (const CellChange &change : changes)
        expected.setCell(change.x, change.y, change.value);
    expected.setFrameColors(border < 0 ? before.border() : quint8(border),
                            background < 0 ? before.background() : quint8(background));
    QCOMPARE(picture.cells(), expected.cells());
    QCOMPARE(picture.border(), expected.border());
    QCOMPARE(picture.background(), expected.background());
    QCOMPARE(picture.formatNumber(), formatNumber);
}

void tst_ServerPicture::clearEmptiesEveryCellButKeepsFrameColors()
{
    Picture picture = startingPicture(1);
    QCOMPARE(picture.apply(Protocol::Command, command(0, 0, 0, 0)), Picture::Applied);
    QCOMPARE(picture.cells(), QByteArray(80 * 25, char(EmptyCell)));
    QCOMPARE(picture.border(), quint8(4));
    QCOMPARE(picture.background(), quint8(6));

    // Operand bytes of a clear carry no meaning and do not stop it.
    picture.setCell(3, 3, 1);
    QCOMPARE(picture.apply(Protocol::Command, command(0, 9, 9, 9)), Picture::Applied);
    QCOMPARE(picture.cell(3, 3), quint8(EmptyCell));
}

namespace {

QByteArray cellMessage(int x, int y, int value)
{
    return Protocol::encodeCommand(Protocol::SetCellCommand, quint8(x), quint8(y), quint8(value));
}

QByteArray rowMessage(int y, int columns, int value)
{
    const QByteArray cells(columns, char(value));
    return Protocol::encodeRowData(quint8(y), quint8(columns),
                                   reinterpret_cast<const quint8 *>(cells.constData()));
}

QByteArray wholeRow(const Picture &picture, int y)
{
    const int columns = picture.format().columns;
    return Protocol::encodeRowData(quint8(y), quint8(columns),
                                   reinterpret_cast<const quint8 *>(picture.cells().constData()) +
                                       y * columns);
}

} // namespace

void tst_ServerPicture::correctionsOfRefusedEdits_data()
{
    QTest::addColumn<int>("formatNumber");
    QTest::addColumn<QByteArrayList>("refused");
    // What take() gives, once and then again.
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");

    // The picture of each row: format 3 or 1, border 4, background 6, cell (x, y) = (x + y) % 2
    // in rows 0 to 2 and 24, empty elsewhere.
    Picture p3(3);
    Picture p1(1);
    for (Picture *picture : {&p3, &p1}) {
        picture->setFrameColors(4, 6);
        for (int y : {0, 1, 2, 24})
            for (int x = 0; x < picture->format().columns; ++x)
                picture->setCell(x, y, quint8((x + y) % 2));
    }
    const QByteArray clear = Protocol::encodeCommand(Protocol::ClearCommand, 0, 0, 0);
    const QByteArray colours = Protocol::encodeCommand(Protocol::SetColorsCommand, 1, 2, 0);
    const QByteArray current = Protocol::encodeCommand(Protocol::SetColorsCommand, 4, 6, 0);
    const QByteArray rows = wholeRow(p3, 0) + wholeRow(p3, 1) + wholeRow(p3, 2) + wholeRow(p3, 24);
    const QByteArray importRow = rowMessage(7, 40, 3);

    QTest::newRow("one cell refused 100 times is corrected once")
        << 3 << QByteArrayList(100, cellMessage(5, 1, 9)) << cellMessage(5, 1, 0) << QByteArray();
    QTest::newRow("an empty cell is put back empty")
        << 3 << QByteArrayList{cellMessage(39, 23, 2)} << cellMessage(39, 23, EmptyCell)
        << QByteArray();
    QTest::newRow("cells in row order, whatever the order refused")
        << 3 << QByteArrayList{cellMessage(3, 24, 1), cellMessage(9, 0, 1), cellMessage(2, 24, 1)}
        << cellMessage(9, 0, 1) + cellMessage(2, 24, 0) + cellMessage(3, 24, 1) << QByteArray();
    QTest::newRow("six cells of a row cost no more than the row") << 3 <<
        [] {
            QByteArrayList l;
            for (int x = 0; x < 6; ++x)
                l << cellMessage(x, 2, 5);
            return l;
        }() <<
        [&] {
            QByteArray out;
            for (int x = 0; x < 6; ++x)
                out += cellMessage(x, 2, x % 2);
            return out;
        }() << QByteArray();
    QTest::newRow("seven go as the whole row") << 3 << [] {
        QByteArrayList l;
        for (int x = 0; x < 7; ++x)
            l << cellMessage(x, 2, 5);
        return l;
    }() << wholeRow(p3, 2) << QByteArray();
    QTest::newRow("frame colours")
        << 3 << QByteArrayList{colours, colours} << current << QByteArray();
    QTest::newRow("a row, with a cell of it")
        << 3 << QByteArrayList{importRow, cellMessage(1, 7, 3)} << wholeRow(p3, 7) << QByteArray();
    QTest::newRow("clear: the rows that are not empty")
        << 3 << QByteArrayList{clear, cellMessage(1, 1, 9), cellMessage(1, 5, 9)}
        << wholeRow(p3, 0) + wholeRow(p3, 1) + wholeRow(p3, 2) + cellMessage(1, 5, EmptyCell) +
               wholeRow(p3, 24)
        << QByteArray();
    QTest::newRow("clear alone") << 3 << QByteArrayList{clear} << rows << QByteArray();
    QTest::newRow("80 columns: colours, then rows")
        << 1 << QByteArrayList{clear, colours}
        << current + wholeRow(p1, 0) + wholeRow(p1, 1) + wholeRow(p1, 2) + wholeRow(p1, 24)
        << QByteArray();
}

void tst_ServerPicture::correctionsOfRefusedEdits()
{
    QFETCH(int, formatNumber);
    QFETCH(QByteArrayList, refused);
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);

    Picture picture(formatNumber);
    picture.setFrameColors(4, 6);
    for (int y : {0, 1, 2, 24})
        for (int x = 0; x < picture.format().columns; ++x)
            picture.setCell(x, y, quint8((x + y) % 2));
    CorrectionQueue queue(picture.format());
    const qint64 limit = CorrectionQueue::creditLimit(picture.format());
    QCOMPARE(limit, picture.format().rows * (8 + picture.format().columns) + 8);
    QVERIFY(queue.isEmpty());
    for (const QByteArray &message : refused)
        queue.add(quint8(message.at(0)), message);
    QVERIFY(!queue.isEmpty());
    QCOMPARE(queue.take(picture).toHex(' '), first.toHex(' '));
    QCOMPARE(queue.take(picture).toHex(' '), second.toHex(' '));
    QVERIFY(queue.isEmpty());
    // It starts full, so what was refused did not add to it.
    QCOMPARE(queue.credit(), limit - first.size());

    // Once the credit is spent, a clear waits until refused bytes have paid for its rows, and
    // never gets more than they paid.
    const QByteArray clear = Protocol::encodeCommand(Protocol::ClearCommand, 0, 0, 0);
    for (int i = 0; i < 10; ++i) {
        queue.add(Protocol::Command, clear);
        queue.take(picture);
    }
    const qint64 left = queue.credit();
    QVERIFY(left < 8 + picture.format().columns);
    qint64 paid = 0;
    qint64 sent = 0;
    for (int i = 0; i < 1000; ++i) {
        queue.add(Protocol::Command, clear);
        paid += clear.size();
        sent += queue.take(picture).size();
        QVERIFY2(sent <= paid + left, qPrintable(QStringLiteral("%1 > %2").arg(sent).arg(paid)));
    }
    QVERIFY(sent > paid / 2);

    // A whole Update makes what was queued moot.
    queue.add(Protocol::Command, clear);
    queue.clear();
    QVERIFY(queue.isEmpty());
    QCOMPARE(queue.take(picture), QByteArray());
}

void tst_ServerPicture::correctedWindowShowsThePicture_data()
{
    QTest::addColumn<int>("formatNumber");
    QTest::addColumn<quint32>("seed");
    for (int format = 0; format < CanvasFormatCount; ++format)
        for (quint32 seed : {1u, 2u, 3u})
            QTest::addRow("format %d, seed %u", format, seed) << format << seed;
}

// A window draws its own edits at once and applies what the server sends in order: the relays
// of edits the server applied, and the corrections of its own refused ones, taken in relay
// passes after the relays. Some of its edits are still on their way while others' edits arrive,
// and some of what the server sent is still on its way when it edits again. Once everything has
// arrived and the queue is empty, the window shows exactly the picture; and the corrections
// never came to more than the refused edits plus the credit limit.
void tst_ServerPicture::correctedWindowShowsThePicture()
{
    QFETCH(int, formatNumber);
    QFETCH(quint32, seed);

    QRandomGenerator random(seed);
    Picture picture = samplePicture(formatNumber);
    Picture window = picture;
    const CanvasFormat &format = picture.format();
    CorrectionQueue queue(format);
    QByteArrayList outbox;   // the window's edits on their way to the server
    QByteArrayList toWindow; // what the server sent, on its way to the window
    qint64 refusedBytes = 0;
    qint64 correctionBytes = 0;
    // Every message the window is given must apply; a failure inside the helpers ends the run.
    bool applied = true;
    const auto show = [&](const QByteArray &message) {
        applied = applied && window.apply(quint8(message.at(0)),
                                          QByteArrayView(message).sliced(4)) == Picture::Applied;
    };
    const auto randomEdit = [&] {
        const int palette = int(format.palette.size());
        const int choice = random.bounded(20);
        if (choice == 0)
            return Protocol::encodeCommand(Protocol::ClearCommand, 0, 0, 0);
        if (choice == 1)
            return Protocol::encodeCommand(Protocol::SetColorsCommand,
                                           quint8(random.bounded(palette)),
                                           quint8(random.bounded(palette)), 0);
        const quint8 y = quint8(random.bounded(format.rows));
        if (choice == 2)
            return rowMessage(y, format.columns, random.bounded(palette));
        return cellMessage(random.bounded(format.columns), y,
                           random.bounded(palette + 1) == palette ? EmptyCell
                                                                  : random.bounded(palette));
    };
    const auto deliver = [&](qsizetype count) {
        for (const QByteArray &message : toWindow.mid(0, count))
            show(message);
        toWindow.remove(0, qMin(count, toWindow.size()));
    };
    const auto serverReads = [&] {
        // Half of the window's edits are refused; the server reads them in order and ends the
        // turn with the relays, then the corrections.
        for (const QByteArray &message : std::as_const(outbox)) {
            if (random.bounded(2) == 0) {
                picture.apply(quint8(message.at(0)), QByteArrayView(message).sliced(4));
                toWindow << message;
            } else {
                queue.add(quint8(message.at(0)), message);
                refusedBytes += message.size();
            }
        }
        outbox.clear();
        QByteArray corrections = queue.take(picture);
        correctionBytes += corrections.size();
        applied = applied && correctionBytes <= refusedBytes + CorrectionQueue::creditLimit(format);
        while (!corrections.isEmpty()) {
            const int size = 4 + (quint8(corrections.at(2)) | quint8(corrections.at(3)) << 8);
            toWindow << corrections.first(size);
            corrections.remove(0, size);
        }
    };

    for (int step = 0; step < 3000 && applied; ++step) {
        const int choice = random.bounded(10);
        if (choice < 4) {
            // The window's own edit, drawn at once.
            const QByteArray edit = randomEdit();
            show(edit);
            outbox << edit;
        } else if (choice < 6) {
            // Someone else's edit, applied and relayed.
            const QByteArray edit = randomEdit();
            picture.apply(quint8(edit.at(0)), QByteArrayView(edit).sliced(4));
            toWindow << edit;
        } else if (choice < 8) {
            serverReads();
        } else {
            deliver(random.bounded(qsizetype(4)));
        }
    }
    // Quiet: the server reads the rest, and refused cells that change nothing in the window pay
    // for whatever waits for credit.
    serverReads();
    for (int round = 0; round < 1000 && applied && !queue.isEmpty(); ++round) {
        const QByteArray same = cellMessage(0, 0, picture.cell(0, 0));
        show(same);
        outbox << same;
        serverReads();
        deliver(toWindow.size());
    }
    deliver(toWindow.size());
    QVERIFY2(applied, "a message did not apply, or the corrections exceeded their bound");
    QVERIFY(queue.isEmpty());
    QVERIFY(window == picture);
}

void tst_ServerPicture::fileRoundTrip_data()
{
    QTest::addColumn<int>("formatNumber");
    for (int n = 0; n < 4; ++n)
        QTest::addRow("format %d", n) << n;
}

void tst_ServerPicture::fileRoundTrip()
{
    QFETCH(int, formatNumber);
    Picture picture(formatNumber);
    picture.setFrameColors(7, 200);
    const CanvasFormat &format = picture.format();
    for (int y = 0; y < format.rows; ++y)
        for (int x = 0; x < format.columns; ++x)
            picture.setCell(x, y, quint8((x * 7 + y * 13) % 256));

    const QByteArray bytes = PictureFile::encode(picture);
    QCOMPARE(bytes.left(9), QByteArray("CELVPICT\x01"));
    QCOMPARE(bytes.size(), 12 + format.cellCount() + 2);
    QCOMPARE(quint8(bytes.at(9)), quint8(formatNumber));

    QString problem;
    const auto decoded = PictureFile::decode(bytes, &problem);
    QVERIFY2(decoded, qPrintable(problem));
    QVERIFY(*decoded == picture);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    PictureFile file(dir.filePath(QStringLiteral("picture.cvp")));
    QVERIFY2(file.save(picture), qPrintable(file.errorString()));
    Picture loaded;
    QCOMPARE(file.load(&loaded), PictureFile::Loaded);
    QVERIFY(loaded == picture);
}

void tst_ServerPicture::fileRefusesWhatIsNotOurs_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("problem");

    const QByteArray good = PictureFile::encode(startingPicture(3));
    QByteArray otherVersion = good;
    otherVersion[8] = 2;
    QByteArray badFormat = good;
    badFormat[9] = 4;
    QByteArray flipped = good;
    flipped[500] = char(flipped.at(500) ^ 0x10);

    QTest::newRow("empty") << QByteArray() << "not a Celvane picture file";
    QTest::newRow("png") << QByteArray::fromHex("89504e470d0a1a0a0000000d49484452")
                         << "not a Celvane picture file";
    QTest::newRow("text") << QByteArray("host=127.0.0.1\nport=3000\n")
                          << "not a Celvane picture file";
    QTest::newRow("magic only") << QByteArray("CELVPICT") << "damaged";
    QTest::newRow("other version") << otherVersion << "version 2";
    QTest::newRow("format 4") << badFormat << "unknown format 4";
    QTest::newRow("truncated") << good.left(good.size() - 1) << "damaged";
    QTest::newRow("one byte too many") << good + 'x' << "damaged";
    QTest::newRow("flipped cell bit") << flipped << "checksum";
}

void tst_ServerPicture::fileRefusesWhatIsNotOurs()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, problem);

    QString found;
    QVERIFY(!PictureFile::decode(bytes, &found));
    QVERIFY2(found.contains(problem), qPrintable(found));
}

void tst_ServerPicture::fileLoadReportsMissingAndRefused()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Picture picture = startingPicture(2);
    const Picture untouched = picture;

    PictureFile missing(dir.filePath(QStringLiteral("none.cvp")));
    QCOMPARE(missing.load(&picture), PictureFile::Missing);
    QVERIFY(picture == untouched);

    const QString foreignPath = dir.filePath(QStringLiteral("notes.txt"));
    QFile foreign(foreignPath);
    QVERIFY(foreign.open(QIODevice::WriteOnly));
    foreign.write("just some notes\n");
    foreign.close();
    PictureFile refused(foreignPath);
    QCOMPARE(refused.load(&picture), PictureFile::Refused);
    QVERIFY(refused.errorString().contains(foreignPath));
    QVERIFY(refused.errorString().contains(QStringLiteral("not a Celvane picture file")));
    QVERIFY(picture == untouched);

    PictureFile folder(dir.path());
    QCOMPARE(folder.load(&picture), PictureFile::Refused);
    QVERIFY(!folder.save(picture));
}

void tst_ServerPicture::saverWritesAtOnceWhenAsked()
{
    // What a stop relies on, with no timed save that could come first: saveNow() writes pending
    // changes at once, and nothing when there are none.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("saver.cvp"));
    Picture picture = startingPicture(1);
    PictureSaver saver(path, &picture);
    saver.setDelay(24 * 60 * 60 * 1000);
    QVERIFY(saver.saveNow());
    QCOMPARE(saver.saveCount(), quint64(0));
    QVERIFY(!QFile::exists(path));

    picture.setCell(3, 4, 5);
    saver.scheduleSave();
    QVERIFY(saver.isPending());
    QVERIFY(!QFile::exists(path));
    QVERIFY(saver.saveNow());
    QVERIFY(!saver.isPending());
    QCOMPARE(saver.saveCount(), quint64(1));
    Picture loaded;
    QCOMPARE(PictureFile(path).load(&loaded), PictureFile::Loaded);
    QVERIFY(loaded == picture);
}

void tst_ServerPicture::rendererPaintsLikeTheCanvas()
{
    // Format 0 at 592 x 500 has the grid at about (59.2, 50, 473.6, 400): cells 11.84 x 16,
    // painted 14 high because of the row gap.
    Picture picture(0);
    picture.setFrameColors(1, 0);
    picture.setCell(0, 0, 1);
    picture.setCell(39, 24, 1);
    picture.setCell(1, 0, 2); // beyond the palette: not painted
    const QImage image = PictureRenderer::render(picture, QSize(592, 500));
    QCOMPARE(image.size(), QSize(592, 500));

    const QRectF grid = fitCanvasRect(QRect(0, 0, 592, 500), picture.format());
    QVERIFY(qAbs(grid.x() - 59.2) < 0.01 && qAbs(grid.width() - 473.6) < 0.01);

    const QRgb black = qRgb(0, 0, 0);
    const QRgb green = qRgb(0, 0xff, 0);
    QCOMPARE(image.pixel(10, 10), green);   // border
    QCOMPARE(image.pixel(65, 56), green);   // inside cell (0, 0)
    QCOMPARE(image.pixel(65, 65), black);   // the gap below row 0 shows the background
    QCOMPARE(image.pixel(77, 56), black);   // cell (1, 0), value 2, shows the background
    QCOMPARE(image.pixel(526, 440), green); // cell (39, 24)
    QCOMPARE(image.pixel(526, 449), black); // and the gap below it
    QCOMPARE(image.pixel(300, 70), black);  // an empty cell

    // Frame indices the palette lacks are painted dark grey, as the canvas does.
    picture.setFrameColors(0, 9);
    const QImage framed = PictureRenderer::render(picture, QSize(592, 500));
    QCOMPARE(framed.pixel(10, 10), black);
    QCOMPARE(framed.pixel(300, 70), qRgb(0x44, 0x44, 0x44));
    QCOMPARE(framed.pixel(65, 56), green);

    QCOMPARE(PictureRenderer::render(picture).size(), PictureRenderer::DefaultSize);
}

void tst_ServerPicture::samplePictureUsesOnlyItsPalette_data()
{
    fileRoundTrip_data();
}

void tst_ServerPicture::samplePictureUsesOnlyItsPalette()
{
    QFETCH(int, formatNumber);
    const Picture sample = samplePicture(formatNumber);
    QCOMPARE(sample.formatNumber(), formatNumber);
    const int paletteSize = int(sample.format().palette.size());
    int painted = 0;
    for (char value : sample.cells()) {
        QVERIFY(quint8(value) < paletteSize || quint8(value) == EmptyCell);
        painted += quint8(value) == EmptyCell ? 0 : 1;
    }
    QVERIFY2(painted > sample.format().cellCount() / 20, "the scene is all but empty");
    QVERIFY(sample.border() < paletteSize && sample.background() < paletteSize);
}

QTEST_GUILESS_MAIN(tst_ServerPicture)
#include "tst_serverpicture.moc"
