#include "model/canvasformat.h"

#include <QtTest>

class tst_CanvasFormat : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void records_data();
    void records();
    void palettes_data();
    void palettes();
    void tableIsStable();
    void numbersBeyondTableSelectNothing_data();
    void numbersBeyondTableSelectNothing();
    void formatNumberOfForeignRecord();
};

void tst_CanvasFormat::records_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("columns");
    QTest::addColumn<float>("cellAspect");
    QTest::addColumn<bool>("hasFrameColors");
    QTest::addColumn<bool>("rowGap");
    QTest::addColumn<int>("paletteSize");

    QTest::newRow("0: two colours, 40x25") << 0 << 25 << 40 << 0.74f << false << true << 2;
    QTest::newRow("1: two colours, 80x25") << 1 << 25 << 80 << 0.37f << false << true << 2;
    QTest::newRow("2: eight colours, 22x23") << 2 << 23 << 22 << 1.6f << true << false << 8;
    QTest::newRow("3: sixteen colours, 40x25") << 3 << 25 << 40 << 0.74f << true << false << 16;
}

void tst_CanvasFormat::records()
{
    QFETCH(int, number);
    QFETCH(int, rows);
    QFETCH(int, columns);
    QFETCH(float, cellAspect);
    QFETCH(bool, hasFrameColors);
    QFETCH(bool, rowGap);
    QFETCH(int, paletteSize);

    QCOMPARE(canvasFormats().size(), 4);
    const CanvasFormat *format = canvasFormats().at(number);
    QVERIFY(format);
    QCOMPARE(canvasFormat(uint8(number)), format);
    QCOMPARE(canvasFormatNumber(format), number);

    QCOMPARE(format->rows, rows);
    QCOMPARE(format->columns, columns);
    QCOMPARE(format->cellCount(), rows * columns);
    // Exact comparison on purpose: the fitting arithmetic depends on these being the nearest
    // single-precision values, not merely close ones.
    QVERIFY(format->cellAspect == cellAspect);
    QCOMPARE(format->hasFrameColors, hasFrameColors);
    QCOMPARE(format->rowGap, rowGap);
    QCOMPARE(format->palette.size(), paletteSize);
}

void tst_CanvasFormat::palettes_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QStringList>("colors");

    const QStringList twoColors = {"#000000", "#00ff00"};
    QTest::newRow("0") << 0 << twoColors;
    QTest::newRow("1") << 1 << twoColors;
    QTest::newRow("2") << 2 << QStringList{"#000000", "#ffffff", "#941701", "#52c6d4",
                                           "#901ccc", "#51be08", "#311ad5", "#c4d71c"};
    QTest::newRow("3") << 3 << QStringList{"#000000", "#ffffff", "#894036", "#7abfc7",
                                           "#8a46ae", "#68a941", "#3e31a2", "#d0dc71",
                                           "#905f25", "#5c4700", "#bb776d", "#555555",
                                           "#808080", "#acea88", "#7c70da", "#ababab"};
}

void tst_CanvasFormat::palettes()
{
    QFETCH(int, number);
    QFETCH(QStringList, colors);

    const QList<QColor> &palette = canvasFormat(uint8(number))->palette;
    QCOMPARE(palette.size(), colors.size());
    for (int i = 0; i < colors.size(); ++i) {
        const QColor &color = palette.at(i);
        QVERIFY2(color.isValid(), qPrintable(QString::number(i)));
        // An RGB colour: QColor compares its kind along with the values.
        QCOMPARE(color, QColor::fromRgb(color.rgb()));
        QCOMPARE(color.alpha(), 255);
        QCOMPARE(color.name(), colors.at(i));
    }
}

void tst_CanvasFormat::tableIsStable()
{
    const QList<CanvasFormat *> &first = canvasFormats();
    const QList<CanvasFormat *> firstRecords = first;
    const QList<CanvasFormat *> &second = canvasFormats();
    QCOMPARE(&first, &second);
    QCOMPARE(second, firstRecords);

    for (int i = 0; i < 4; ++i) {
        QCOMPARE(canvasFormat(uint8(i)), firstRecords.at(i));
        QCOMPARE(canvasFormat(uint8(i)), canvasFormat(uint8(i)));
    }

    // Same grid, different records: formats are told apart by address, never by their fields.
    QVERIFY(canvasFormat(0) != canvasFormat(3));
    // Formats 0 and 1 list the same colours but must not share one palette.
    QVERIFY(&canvasFormat(0)->palette != &canvasFormat(1)->palette);
}

void tst_CanvasFormat::numbersBeyondTableSelectNothing_data()
{
    QTest::addColumn<int>("number");
    QTest::newRow("4") << 4;
    QTest::newRow("5") << 5;
    QTest::newRow("128") << 128;
    QTest::newRow("254") << 254;
    QTest::newRow("255") << 255;
}

void tst_CanvasFormat::numbersBeyondTableSelectNothing()
{
    QFETCH(int, number);
    QCOMPARE(canvasFormat(uint8(number)), nullptr);
}

void tst_CanvasFormat::formatNumberOfForeignRecord()
{
    CanvasFormat lookalike = *canvasFormat(0);
    QCOMPARE(canvasFormatNumber(&lookalike), -1);
    QCOMPARE(canvasFormatNumber(nullptr), -1);
}

QTEST_APPLESS_MAIN(tst_CanvasFormat)
#include "tst_canvasformat.moc"
