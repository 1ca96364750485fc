// Which messages of one read the window acts on: the last Update it can install, and whether a
// superseded one would have enabled the frame-colour menus.

#include "connection/batchplan.h"
#include "connection/protocol.h"
#include "model/canvasformat.h"

#include <QtTest>

namespace {

// One payload per word of the stream: U<n> an Update of format n with all its cells, S<n> one of
// format n a byte short, B an Update of the unknown format 9, X a message of kind 9, C a Command.
QList<QByteArray> payloadsOf(const QString &stream, QList<quint8> *kinds)
{
    QList<QByteArray> payloads;
    for (const QString &word : stream.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QChar tag = word.at(0);
        const int number = word.size() > 1 ? word.mid(1).toInt() : 0;
        QByteArray payload;
        quint8 kind = Protocol::Update;
        if (tag == QLatin1Char('U') || tag == QLatin1Char('S')) {
            payload.append(char(number)).append(3, char(1));
            payload.append(QByteArray(canvasFormat(uint8(number))->cellCount(), char(1)));
            if (tag == QLatin1Char('S'))
                payload.chop(1);
        } else if (tag == QLatin1Char('B')) {
            payload = QByteArray(4 + 2000, char(9));
        } else {
            kind = tag == QLatin1Char('X') ? 9 : Protocol::Command;
            payload = QByteArray(4, char(0));
        }
        kinds->append(kind);
        payloads.append(payload);
    }
    return payloads;
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

        QList<quint8> kinds;
        const QList<QByteArray> payloads = payloadsOf(stream, &kinds);
        QList<MessageReader::Message> messages;
        for (qsizetype i = 0; i < payloads.size(); ++i)
            messages.append({kinds.at(i), payloads.at(i), {}});

        const BatchPlan plan = planBatch(messages);
        QCOMPARE(plan.lastUpdate, qsizetype(lastUpdate));
        QCOMPARE(plan.supersededFrameColors, supersededFrameColors);
    }
};

QTEST_GUILESS_MAIN(tst_BatchPlan)
#include "tst_batchplan.moc"
