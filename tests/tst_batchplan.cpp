// Which messages of one read the window acts on: the last Update it can install, and whether a
// superseded one would have enabled the frame-colour menus.

#include "connection/batchplan.h"
#include "connection/protocol.h"
#include "model/canvasformat.h"

#include <QtTest>

namespace {

// The plan for one message per word of the stream: U<n> an Update of format n with all its cells,
// S<n> one of format n a byte short, B an Update of the unknown format 9, X a message of kind 9,
// C a Command.
BatchPlan planOf(const QString &stream)
{
    const QStringList words = stream.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QList<QByteArray> payloads; // what the messages view
    payloads.reserve(words.size());
    QList<MessageReader::Message> messages;
    for (const QString &word : words) {
        const char tag = word.at(0).toLatin1();
        const int number = word.mid(1).toInt();
        if (tag == 'U' || tag == 'S') {
            const int cells = canvasFormat(uint8(number))->cellCount();
            payloads.append(char(number) + QByteArray(3 + cells - (tag == 'S'), char(1)));
        } else {
            payloads.append(QByteArray(tag == 'B' ? 4 + 2000 : 4, char(tag == 'B' ? 9 : 0)));
        }
        const quint8 kind = tag == 'X' ? 9 : tag == 'C' ? Protocol::Command : Protocol::Update;
        messages.append({kind, payloads.last(), {}});
    }
    return planBatch(messages);
}

} // namespace

class tst_BatchPlan : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void plan_data()
    {
        QTest::addColumn<QString>("stream");
        QTest::addColumn<int>("lastUpdate");
        QTest::addColumn<bool>("supersededFrameColors");

        QTest::newRow("nothing") << "" << -1 << false;
        QTest::newRow("no Update") << "X C" << -1 << false;
        QTest::newRow("only dropped Updates") << "B S0 S3" << -1 << false;
        QTest::newRow("one") << "U0" << 0 << false;
        QTest::newRow("last of several") << "U0 U1 U0" << 2 << false;
        QTest::newRow("frame colours superseded") << "U3 U0" << 1 << true;
        QTest::newRow("eight colours superseded") << "U2 U1 U1" << 2 << true;
        QTest::newRow("frame colours last") << "U0 U3" << 1 << false;
        QTest::newRow("unknown format does not supersede") << "U2 B" << 0 << false;
        QTest::newRow("short one does not supersede") << "U3 S1" << 0 << false;
        QTest::newRow("dropped frame format counts for nothing") << "S3 B U0" << 2 << false;
        QTest::newRow("other kinds around it") << "X U2 C U1 X" << 3 << true;
    }

    void plan()
    {
        QFETCH(QString, stream);
        QFETCH(int, lastUpdate);
        QFETCH(bool, supersededFrameColors);

        const BatchPlan plan = planOf(stream);
        QCOMPARE(plan.lastUpdate, qsizetype(lastUpdate));
        QCOMPARE(plan.supersededFrameColors, supersededFrameColors);
    }
};

QTEST_GUILESS_MAIN(tst_BatchPlan)
#include "tst_batchplan.moc"
