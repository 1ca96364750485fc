#include "app/celvane.h"

#include <QtTest>

class tst_Smoke : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void windowStartsDisconnected()
    {
        Celvane window;
        QCOMPARE(window.windowTitle(), QStringLiteral("Celvane"));
        QVERIFY(!window.form().actionDisconnect->isEnabled());
    }
};

QTEST_MAIN(tst_Smoke)
#include "tst_smoke.moc"
