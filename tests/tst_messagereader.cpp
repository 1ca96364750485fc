#include "connection/messagereader.h"
#include "connection/protocol.h"
#include "model/canvasformat.h"
#include "tests/support/testsupport.h"

#include <QtTest>

using namespace Protocol;
using TestSupport::rawMessage;

namespace {

struct Received
{
    int kind = 0;
    QByteArray payload;

    bool operator==(const Received &other) const
    {
        return kind == other.kind && payload == other.payload;
    }
};

QByteArray cellsFor(int formatNumber, int seed)
{
    const CanvasFormat &format = *canvasFormats().at(formatNumber);
    QByteArray cells(format.cellCount(), '\0');
    for (int i = 0; i < cells.size(); ++i)
        cells[i] = char((i * 7 + seed) % format.palette.size());
    return cells;
}

QByteArray updatePayload(int formatNumber, int border, int background, const QByteArray &cells)
{
    QByteArray payload;
    payload.append(char(formatNumber));
    payload.append(char(border));
    payload.append(char(background));
    payload.append(char(0));
    return payload + cells;
}

// Every kind the server could send, the strange ones among them, in one stream.
QList<Received> sampleMessages()
{
    QList<Received> messages;
    messages.append({Update, updatePayload(2, 3, 4, cellsFor(2, 1))});
    messages.append({Hello, QByteArray::fromHex("03000000")});
    messages.append({Command, QByteArray::fromHex("02050701")});
    messages.append({RowData, QByteArray::fromHex("00030000010203")});
    messages.append({0, QByteArray()});
    messages.append({5, QByteArray("abc")});
    messages.append({9, QByteArray()});
    messages.append({255, QByteArray(17, '\xff')});
    // Shorter than its format needs.
    messages.append({Update, updatePayload(0, 0, 0, cellsFor(0, 2).first(999))});
    messages.append({Update, QByteArray::fromHex("0100")});
    // Longer than its format needs; the surplus looks like a header on purpose.
    messages.append({Update, updatePayload(0, 1, 0, cellsFor(0, 3)) + rawMessage(2, "xyz")});
    messages.append({Update, updatePayload(4, 0, 0, cellsFor(0, 4))});
    messages.append({Update, updatePayload(255, 0, 0, cellsFor(1, 5))});
    messages.append({Update, updatePayload(1, 0, 1, cellsFor(1, 6))});
    messages.append({Update, updatePayload(3, 6, 14, cellsFor(3, 7))});
    return messages;
}

QByteArray streamOf(const QList<Received> &messages)
{
    QByteArray stream;
    int reserved = 0;
    for (const Received &m : messages)
        stream += rawMessage(m.kind, m.payload, reserved++ * 37);
    return stream;
}

// Takes every complete message; payloads are copied because they point into the reader.
void drain(MessageReader &reader, QList<Received> *out)
{
    MessageReader::Message m;
    while (reader.next(&m))
        out->append({m.kind, m.payload.toByteArray()});
}

QList<Received> readInPieces(const QByteArray &stream, const QList<qsizetype> &cuts)
{
    MessageReader reader;
    QList<Received> out;
    qsizetype from = 0;
    for (qsizetype cut : cuts) {
        reader.append(QByteArrayView(stream).sliced(from, cut - from));
        drain(reader, &out);
        from = cut;
    }
    reader.append(QByteArrayView(stream).sliced(from));
    drain(reader, &out);
    if (reader.pendingBytes() != 0)
        out.append({-1, QByteArray()});
    return out;
}

} // namespace

class tst_MessageReader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void wholeStream()
    {
        const QList<Received> expected = sampleMessages();
        QCOMPARE(readInPieces(streamOf(expected), {}), expected);
    }

    void byteByByte()
    {
        const QList<Received> expected = sampleMessages();
        const QByteArray stream = streamOf(expected);
        MessageReader reader;
        QList<Received> out;
        for (char byte : stream) {
            reader.append(QByteArrayView(&byte, 1));
            drain(reader, &out);
        }
        QCOMPARE(out, expected);
        QCOMPARE(reader.pendingBytes(), 0);
    }

    void everyTwoPieceSplit()
    {
        const QList<Received> expected = sampleMessages();
        const QByteArray stream = streamOf(expected);
        for (qsizetype cut = 0; cut <= stream.size(); ++cut) {
            const QList<Received> out = readInPieces(stream, {cut});
            if (out != expected)
                QFAIL(qPrintable(QStringLiteral("split at %1 differs").arg(cut)));
        }
    }

    void threePieceSplits()
    {
        const QList<Received> expected = sampleMessages();
        const QByteArray stream = streamOf(expected);
        // Prime steps so that the cuts fall on every kind of position: inside headers, on
        // message boundaries and inside payloads.
        for (qsizetype first = 0; first <= stream.size(); first += 53) {
            for (qsizetype second = first; second <= stream.size(); second += 97) {
                const QList<Received> out = readInPieces(stream, {first, second});
                if (out != expected)
                    QFAIL(qPrintable(
                        QStringLiteral("split at %1 and %2 differs").arg(first).arg(second)));
            }
        }
    }

    void decodedUpdatesInOrder()
    {
        // What the window installs from the sample stream: the good Updates, the over-long one
        // from its first bytes, and nothing from the short ones or those with no format.
        MessageReader reader;
        reader.append(streamOf(sampleMessages()));
        QList<QByteArray> cells;
        QList<int> formats;
        MessageReader::Message m;
        while (reader.next(&m)) {
            if (m.kind != Update)
                continue;
            if (const auto update = decodeUpdate(m.payload)) {
                formats.append(update->formatNumber);
                cells.append(update->cells.toByteArray());
            }
        }
        QCOMPARE(formats, QList<int>({2, 0, 1, 3}));
        QCOMPARE(cells, QList<QByteArray>(
                            {cellsFor(2, 1), cellsFor(0, 3), cellsFor(1, 6), cellsFor(3, 7)}));
    }

    void fewerThanHeaderWaits_data()
    {
        QTest::addColumn<int>("count");
        QTest::newRow("1 byte") << 1;
        QTest::newRow("2 bytes") << 2;
        QTest::newRow("3 bytes") << 3;
    }

    void fewerThanHeaderWaits()
    {
        QFETCH(int, count);
        MessageReader reader;
        reader.append(QByteArray::fromHex("09000000").first(count));
        MessageReader::Message m;
        QVERIFY(!reader.next(&m));
        QCOMPARE(reader.pendingBytes(), count);
        QCOMPARE(reader.awaitedLength(), -1);

        reader.append(QByteArray::fromHex("09000000").sliced(count));
        QVERIFY(reader.next(&m));
        QCOMPARE(int(m.kind), 9);
        QCOMPARE(reader.pendingBytes(), 0);
    }

    void emptyPayloadConsumesHeaderOnly()
    {
        MessageReader reader;
        reader.append(QByteArray::fromHex("07000000"
                                          "0200"));
        MessageReader::Message m;
        QVERIFY(reader.next(&m));
        QCOMPARE(int(m.kind), 7);
        QVERIFY(m.payload.isEmpty());
        QCOMPARE(reader.pendingBytes(), 2);
        QVERIFY(!reader.next(&m));
    }

    void partialMessageWaitsForItsLength()
    {
        // 1004 arrives as EC 03.
        const QByteArray update = rawMessage(Update, updatePayload(0, 0, 0, cellsFor(0, 0)));
        QCOMPARE(update.first(4), QByteArray::fromHex("0200ec03"));

        MessageReader reader;
        reader.append(update.first(1007));
        MessageReader::Message m;
        QVERIFY(!reader.next(&m));
        QCOMPARE(reader.awaitedLength(), 1004);
        QCOMPARE(reader.pendingBytes(), 1007);

        reader.append(update.sliced(1007) + QByteArray::fromHex("0200"));
        QVERIFY(reader.next(&m));
        QCOMPARE(m.payload.size(), 1004);
        QVERIFY(!reader.next(&m));
        QCOMPARE(reader.pendingBytes(), 2);
    }

    void reservedByteIgnored_data()
    {
        QTest::addColumn<int>("reserved");
        QTest::newRow("1") << 1;
        QTest::newRow("2") << 2;
        QTest::newRow("255") << 255;
    }

    void reservedByteIgnored()
    {
        QFETCH(int, reserved);
        const QByteArray payload = updatePayload(2, 1, 2, cellsFor(2, 9));
        MessageReader reader;
        reader.append(rawMessage(Update, payload, reserved) + rawMessage(Hello, "abcd"));
        MessageReader::Message m;
        QVERIFY(reader.next(&m));
        QCOMPARE(int(m.kind), int(Update));
        QCOMPARE(m.payload.toByteArray(), payload);
        QVERIFY(reader.next(&m));
        QCOMPARE(int(m.kind), int(Hello));
    }

    void clearForgetsPartialMessage()
    {
        MessageReader reader;
        reader.append(rawMessage(Update, updatePayload(0, 0, 0, cellsFor(0, 0))).first(500));
        reader.clear();
        QCOMPARE(reader.pendingBytes(), 0);

        const QByteArray payload = updatePayload(3, 0, 0, cellsFor(3, 0));
        reader.append(rawMessage(Update, payload));
        MessageReader::Message m;
        QVERIFY(reader.next(&m));
        QCOMPARE(m.payload.toByteArray(), payload);
    }

    void manySmallMessagesInOneRead()
    {
        QByteArray stream;
        const int count = 20000;
        for (int i = 0; i < count; ++i)
            stream += rawMessage(9, QByteArray(1, char(i)));
        MessageReader reader;
        reader.append(stream);
        MessageReader::Message m;
        int seen = 0;
        while (reader.next(&m)) {
            QCOMPARE(m.payload.at(0), char(seen));
            ++seen;
        }
        QCOMPARE(seen, count);
        QCOMPARE(reader.pendingBytes(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_MessageReader)
#include "tst_messagereader.moc"
