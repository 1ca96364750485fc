#include "connection/protocol.h"
#include "model/canvasformat.h"

#include <QtTest>

using namespace Protocol;

namespace {

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int value : values)
        out.append(char(value));
    return out;
}

QByteArray rowCells(int count)
{
    QByteArray cells(count, '\0');
    for (int i = 0; i < count; ++i)
        cells[i] = char(i % 16);
    return cells;
}

} // namespace

class tst_Protocol : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void hello()
    {
        QCOMPARE(encodeHello(), bytes({0x01, 0x00, 0x04, 0x00, 0x03, 0x00, 0x00, 0x00}));
    }

    void command_data()
    {
        QTest::addColumn<int>("opcode");
        QTest::addColumn<int>("a");
        QTest::addColumn<int>("b");
        QTest::addColumn<int>("c");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("clear") << 0 << 0 << 0 << 0
                               << bytes({0x03, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00});
        QTest::newRow("set colors 6 14")
            << 1 << 6 << 14 << 0 << bytes({0x03, 0x00, 0x04, 0x00, 0x01, 0x06, 0x0e, 0x00});
        QTest::newRow("paint cell 0,0 with 1")
            << 2 << 0 << 0 << 1 << bytes({0x03, 0x00, 0x04, 0x00, 0x02, 0x00, 0x00, 0x01});
        QTest::newRow("erase cell 5,7")
            << 2 << 5 << 7 << 255 << bytes({0x03, 0x00, 0x04, 0x00, 0x02, 0x05, 0x07, 0xff});
        QTest::newRow("paint cell 79,24 with 15")
            << 2 << 79 << 24 << 15 << bytes({0x03, 0x00, 0x04, 0x00, 0x02, 0x4f, 0x18, 0x0f});
    }

    void command()
    {
        QFETCH(int, opcode);
        QFETCH(int, a);
        QFETCH(int, b);
        QFETCH(int, c);
        QFETCH(QByteArray, expected);

        const QByteArray encoded = encodeCommand(quint8(opcode), quint8(a), quint8(b), quint8(c));
        QCOMPARE(encoded, expected);

        const auto decoded = decodeCommand(QByteArrayView(encoded).sliced(HeaderSize));
        QVERIFY(decoded);
        QCOMPARE(int(decoded->opcode), opcode);
        QCOMPARE(int(decoded->a), a);
        QCOMPARE(int(decoded->b), b);
        QCOMPARE(int(decoded->c), c);
    }

    void rowData_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("count");
        QTest::addColumn<QByteArray>("expectedStart");
        QTest::addColumn<int>("expectedSize");

        QTest::newRow("row 3 of 40")
            << 3 << 40 << bytes({0x04, 0x00, 0x2c, 0x00, 0x03, 0x28, 0x00, 0x00}) << 48;
        QTest::newRow("row 24 of 80")
            << 24 << 80 << bytes({0x04, 0x00, 0x54, 0x00, 0x18, 0x50, 0x00, 0x00}) << 88;
        QTest::newRow("row 22 of 22")
            << 22 << 22 << bytes({0x04, 0x00, 0x1a, 0x00, 0x16, 0x16, 0x00, 0x00}) << 30;
        QTest::newRow("empty row 0")
            << 0 << 0 << bytes({0x04, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00}) << 8;
        QTest::newRow("255 cells")
            << 1 << 255 << bytes({0x04, 0x00, 0x03, 0x01, 0x01, 0xff, 0x00, 0x00}) << 263;
    }

    void rowData()
    {
        QFETCH(int, row);
        QFETCH(int, count);
        QFETCH(QByteArray, expectedStart);
        QFETCH(int, expectedSize);

        const QByteArray cells = rowCells(count);
        const QByteArray encoded = encodeRowData(
            quint8(row), quint8(count), reinterpret_cast<const quint8 *>(cells.constData()));
        QCOMPARE(encoded.size(), expectedSize);
        QCOMPARE(encoded.first(8), expectedStart);
        QCOMPARE(encoded.sliced(8), cells);

        const auto decoded = decodeRowData(QByteArrayView(encoded).sliced(HeaderSize));
        QVERIFY(decoded);
        QCOMPARE(int(decoded->row), row);
        QCOMPARE(int(decoded->count), count);
        QCOMPARE(decoded->cells.toByteArray(), cells);
    }

    void encodeUpdateLayout_data()
    {
        QTest::addColumn<int>("formatNumber");
        QTest::addColumn<QByteArray>("expectedHeader");

        QTest::newRow("format 0") << 0 << bytes({0x02, 0x00, 0xec, 0x03});
        QTest::newRow("format 1") << 1 << bytes({0x02, 0x00, 0xd4, 0x07});
        QTest::newRow("format 2") << 2 << bytes({0x02, 0x00, 0xfe, 0x01});
        QTest::newRow("format 3") << 3 << bytes({0x02, 0x00, 0xec, 0x03});
    }

    void encodeUpdateLayout()
    {
        QFETCH(int, formatNumber);
        QFETCH(QByteArray, expectedHeader);

        const CanvasFormat &format = *canvasFormats().at(formatNumber);
        const QByteArray cells = rowCells(format.cellCount());
        const QByteArray encoded = encodeUpdate(quint8(formatNumber), 5, 6, cells);
        QCOMPARE(encoded.size(), HeaderSize + UpdatePrefixSize + format.cellCount());
        QCOMPARE(encoded.first(4), expectedHeader);
        QCOMPARE(encoded.sliced(4, 4), bytes({formatNumber, 5, 6, 0}));
        QCOMPARE(encoded.sliced(8), cells);
    }

    void decodeUpdateFields_data()
    {
        QTest::addColumn<int>("formatNumber");
        QTest::addColumn<int>("extraBytes");

        for (int number = 0; number < 4; ++number) {
            QTest::addRow("format %d, exact length", number) << number << 0;
            QTest::addRow("format %d, 7 bytes too many", number) << number << 7;
        }
    }

    void decodeUpdateFields()
    {
        QFETCH(int, formatNumber);
        QFETCH(int, extraBytes);

        const CanvasFormat *format = canvasFormats().at(formatNumber);
        const QByteArray cells = rowCells(format->cellCount());
        QByteArray payload = bytes({formatNumber, 9, 200, 0x77}) + cells;
        payload.append(extraBytes, char(0x42));

        const auto update = decodeUpdate(payload);
        QVERIFY(update);
        QCOMPARE(update->format, format);
        QCOMPARE(int(update->formatNumber), formatNumber);
        QCOMPARE(int(update->border), 9);
        // Out of the palette, and passed on as received.
        QCOMPARE(int(update->background), 200);
        QCOMPARE(update->cells.toByteArray(), cells);
    }

    void decodeUpdateRejects_data()
    {
        QTest::addColumn<QByteArray>("payload");

        QTest::newRow("no payload") << QByteArray();
        QTest::newRow("1 byte") << bytes({0});
        QTest::newRow("3 bytes") << bytes({0, 0, 0});
        QTest::newRow("prefix only") << bytes({0, 0, 0, 0});
        for (int number = 0; number < 4; ++number) {
            const int cellCount = canvasFormats().at(number)->cellCount();
            QTest::addRow("format %d, one cell short", number)
                << bytes({number, 0, 0, 0}) + QByteArray(cellCount - 1, '\1');
        }
        const QByteArray fullCells(2000, '\1');
        QTest::newRow("format 4") << bytes({4, 0, 0, 0}) + fullCells;
        QTest::newRow("format 255") << bytes({255, 0, 0, 0}) + fullCells;
    }

    void decodeUpdateRejects()
    {
        QFETCH(QByteArray, payload);
        QVERIFY(!decodeUpdate(payload));
    }
};

QTEST_GUILESS_MAIN(tst_Protocol)
#include "tst_protocol.moc"
