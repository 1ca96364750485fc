#include "server/tokenbucket.h"

#include <QtTest>

#include <limits>

// Each row is a script of steps "TIME:OP", OP being "tN" (take N), "aN" (expect N available) or
// "wN/C" (expect N milliseconds until C are available) or "rR/B" (change to rate R, burst B).
class tst_TokenBucket : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void followsScript_data();
    void followsScript();
    void unlimitedNeverRunsOut();
};

void tst_TokenBucket::followsScript_data()
{
    QTest::addColumn<qint64>("rate");
    QTest::addColumn<qint64>("burst");
    QTest::addColumn<QString>("script");

    QTest::newRow("starts full") << qint64(1000) << qint64(2000) << "0:a2000 0:w0/2000";
    QTest::newRow("burst then pace")
        << qint64(1000) << qint64(2000) << "0:t2000 0:a0 0:w1/1 1:a1 999:a999 1000:a1000";
    QTest::newRow("never above the burst")
        << qint64(1000) << qint64(2000) << "0:t500 400:a1900 500:a2000 100000:a2000";
    QTest::newRow("taking part leaves the rest")
        << qint64(1000) << qint64(2000) << "0:t1999 0:a1 0:t1 0:a0 3:a3";
    QTest::newRow("slow rate keeps fractions")
        << qint64(3) << qint64(3) << "0:t3 0:w334/1 333:a0 334:a1 667:a2 1000:a3";
    QTest::newRow("fractions add up over small steps")
        << qint64(7) << qint64(10)
        << "0:t10 100:a0 142:a0 143:a1 200:a1 285:a1 286:a2 1000:a7 1429:a10";
    QTest::newRow("clock stepping back is no time")
        << qint64(1000) << qint64(2000) << "100:t2000 50:a0 100:a0 101:a1";
    QTest::newRow("wait for more than there is")
        << qint64(100) << qint64(200) << "0:t200 0:w500/50 250:w250/50 500:a50 500:w0/50";
    QTest::newRow("wait is capped at the burst")
        << qint64(100) << qint64(200) << "0:t200 0:w2000/1000";
    QTest::newRow("taking more than there is empties it")
        << qint64(1000) << qint64(2000) << "0:t5000 0:a0 10:a10";
    QTest::newRow("long idle spell is a full bucket")
        << qint64(1000000) << qint64(2000000) << "0:t2000000 9000000000000:a2000000";
    // A change of rate counts the time before it at the old rate, and a lower burst caps what
    // was saved up, so that lowering the rate never lets a larger burst through.
    QTest::newRow("lower rate caps the saved burst")
        << qint64(1000) << qint64(2000) << "0:r10/20 0:a20 0:t20 99:a0 100:a1 5000:a20";
    QTest::newRow("lower rate after a partial refill")
        << qint64(1000) << qint64(2000) << "0:t2000 5:r10/20 5:a5 105:a6";
    QTest::newRow("higher rate keeps what was there")
        << qint64(10) << qint64(20) << "0:t20 100:r1000/2000 100:a1 101:a2 2100:a2000";
}

void tst_TokenBucket::followsScript()
{
    QFETCH(qint64, rate);
    QFETCH(qint64, burst);
    QFETCH(QString, script);

    TokenBucket bucket(rate, burst, 0);
    QVERIFY(bucket.isLimited());
    for (const QString &step : script.split(QLatin1Char(' '))) {
        const qint64 time = step.section(QLatin1Char(':'), 0, 0).toLongLong();
        const QString operation = step.section(QLatin1Char(':'), 1);
        const QChar op = operation.at(0);
        const QString argument = operation.mid(1);
        if (op == QLatin1Char('t')) {
            QVERIFY2(bucket.available(time) >= 0, qPrintable(step));
            bucket.take(argument.toLongLong());
        } else if (op == QLatin1Char('a')) {
            QVERIFY2(bucket.available(time) == argument.toLongLong(),
                     qPrintable(
                         QStringLiteral("%1: %2 available").arg(step).arg(bucket.available(time))));
        } else if (op == QLatin1Char('r')) {
            bucket.setRate(argument.section(QLatin1Char('/'), 0, 0).toLongLong(),
                           argument.section(QLatin1Char('/'), 1).toLongLong(), time);
        } else {
            const qint64 wait = argument.section(QLatin1Char('/'), 0, 0).toLongLong();
            const qint64 count = argument.section(QLatin1Char('/'), 1).toLongLong();
            const qint64 actual = bucket.msUntil(count, time);
            QVERIFY2(actual == wait, qPrintable(QStringLiteral("%1: %2 ms").arg(step).arg(actual)));
        }
    }
}

void tst_TokenBucket::unlimitedNeverRunsOut()
{
    for (TokenBucket bucket : {TokenBucket(), TokenBucket(0, 10, 0)}) {
        QVERIFY(!bucket.isLimited());
        bucket.take(1000000);
        QCOMPARE(bucket.available(0), std::numeric_limits<qint64>::max());
        QCOMPARE(bucket.msUntil(5, 0), qint64(0));
    }
}

QTEST_GUILESS_MAIN(tst_TokenBucket)
#include "tst_tokenbucket.moc"
