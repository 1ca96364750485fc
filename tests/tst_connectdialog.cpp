#include "app/celvane.h"
#include "dialogs/connectdialog.h"
#include "settings/connectionpreferences.h"
#include "tests/support/testsupport.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QSpacerItem>
#include <QTemporaryDir>
#include <QTimer>
#include <QVBoxLayout>
#include <QtTest>

#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

// Runs the dialog modally; act is called once it is running and must end it.
int runDialog(ConnectDialog &dialog, const std::function<void(ConnectDialog &)> &act)
{
    QTimer::singleShot(0, &dialog, [&] { act(dialog); });
    return dialog.exec();
}

void printLine(const QString &line)
{
    std::printf("%s\n", line.toUtf8().constData());
}

// The test program re-run as a short-lived child: it uses the preferences the way the
// application does and then exits, so that the save at process exit really happens. The parent
// hands it a settings folder of its own in XDG_CONFIG_HOME.
int runChild(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME"))
        return 2;
    QApplication app(argc, argv);
    const QString mode = QString::fromLocal8Bit(argv[2]);
    const QString text = argc > 3 ? QString::fromUtf8(argv[3]) : QString();

    if (mode == QLatin1String("idle")) {
        Celvane window;
        window.show();
        QCoreApplication::processEvents();
        return 0;
    }

    ConnectDialog dialog;
    printLine(dialog.form().host->text());
    printLine(dialog.form().port->text());
    printLine(dialog.form().port->isEnabled() ? QStringLiteral("enabled")
                                              : QStringLiteral("disabled"));
    int result = -1;
    if (mode == QLatin1String("show")) {
        result = runDialog(dialog, [](ConnectDialog &d) { d.form().cancelButton->click(); });
    } else if (mode == QLatin1String("accept") || mode == QLatin1String("twice") ||
               mode == QLatin1String("accept-then-killed")) {
        result = runDialog(dialog, [&](ConnectDialog &d) {
            d.form().host->setText(text);
            d.form().okButton->click();
        });
    } else if (mode == QLatin1String("escape")) {
        result = runDialog(dialog, [&](ConnectDialog &d) {
            d.form().host->setText(text);
            QTest::keyClick(&d, Qt::Key_Escape);
        });
    }
    printLine(QString::number(result));
    if (mode == QLatin1String("accept-then-killed")) {
        // No exit handler runs, as after a crash or a kill.
        std::fflush(stdout);
        std::_Exit(0);
    }

    if (mode == QLatin1String("twice")) {
        ConnectDialog again;
        printLine(again.form().host->text());
    }
    return 0;
}

struct ChildRun
{
    QStringList lines;
    QString settingsFile;
};

QString settingsFileIn(const QString &configHome)
{
    return configHome + QStringLiteral("/Norvask LLC/Celvane.conf");
}

} // namespace

class tst_ConnectDialog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir childFolders;
    int childRuns = 0;

    // Runs a child with a fresh settings folder, seeded with the given keys.
    ChildRun runChildProcess(const QStringList &arguments, const QVariantMap &seed = {})
    {
        const QString configHome = childFolders.filePath(QString::number(++childRuns));
        ChildRun run;
        run.settingsFile = settingsFileIn(configHome);
        if (!seed.isEmpty()) {
            QSettings seeded(run.settingsFile, QSettings::IniFormat);
            for (auto it = seed.cbegin(); it != seed.cend(); ++it)
                seeded.setValue(it.key(), it.value());
        }

        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(),
                    QStringList{QStringLiteral("--child")} + arguments);
        if (!child.waitForFinished(30000) || child.exitStatus() != QProcess::NormalExit ||
            child.exitCode() != 0) {
            qWarning("child run failed");
            return run;
        }
        const QString output = QString::fromUtf8(child.readAllStandardOutput());
        run.lines = output.split(QLatin1Char('\n'));
        if (run.lines.last().isEmpty())
            run.lines.removeLast();
        return run;
    }

    // The saved values, read from a copy so that no cached view of the file gets in the way.
    QVariantMap savedValues(const ChildRun &run)
    {
        QVariantMap values;
        if (!QFile::exists(run.settingsFile))
            return values;
        const QString copy = run.settingsFile + QStringLiteral(".read");
        QFile::remove(copy);
        QFile::copy(run.settingsFile, copy);
        QSettings settings(copy, QSettings::IniFormat);
        for (const QString &key : settings.allKeys())
            values.insert(key, settings.value(key));
        return values;
    }

    void clearStoredSettings()
    {
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                           QLatin1String(PreferenceKeys::Organization),
                           QLatin1String(PreferenceKeys::Application));
        settings.clear();
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(childFolders.isValid()); }

    void form()
    {
        ConnectDialog dialog;
        const Ui::ConnectDialog &f = dialog.form();

        QCOMPARE(dialog.objectName(), QStringLiteral("ConnectDialog"));
        QCOMPARE(QString::fromLatin1(dialog.metaObject()->className()),
                 QStringLiteral("ConnectDialog"));
        QCOMPARE(dialog.size(), QSize(255, 111));
        QCOMPARE(dialog.sizePolicy().horizontalPolicy(), QSizePolicy::Preferred);
        QCOMPARE(dialog.sizePolicy().verticalPolicy(), QSizePolicy::Preferred);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Connect"));

        QCOMPARE(dialog.layout(), f.verticalLayout);
        QCOMPARE(f.verticalLayout->objectName(), QStringLiteral("verticalLayout"));
        QCOMPARE(f.gridLayout->objectName(), QStringLiteral("gridLayout"));
        QCOMPARE(f.hboxLayout->objectName(), QStringLiteral("hboxLayout"));
        QCOMPARE(f.host->objectName(), QStringLiteral("host"));
        QCOMPARE(f.port->objectName(), QStringLiteral("port"));
        QCOMPARE(f.label->objectName(), QStringLiteral("label"));
        QCOMPARE(f.label_2->objectName(), QStringLiteral("label_2"));
        QCOMPARE(f.okButton->objectName(), QStringLiteral("okButton"));
        QCOMPARE(f.cancelButton->objectName(), QStringLiteral("cancelButton"));
        for (QWidget *child :
             {static_cast<QWidget *>(f.host), static_cast<QWidget *>(f.port),
              static_cast<QWidget *>(f.label), static_cast<QWidget *>(f.label_2),
              static_cast<QWidget *>(f.okButton), static_cast<QWidget *>(f.cancelButton)})
            QCOMPARE(child->parentWidget(), &dialog);

        QCOMPARE(f.label->text(), QStringLiteral("Host"));
        QCOMPARE(f.label_2->text(), QStringLiteral("Port"));
        QCOMPARE(f.okButton->text(), QStringLiteral("OK"));
        QCOMPARE(f.cancelButton->text(), QStringLiteral("Cancel"));
        QCOMPARE(int(f.label->alignment()), 0x82);
        QCOMPARE(f.label->alignment(), Qt::AlignRight | Qt::AlignTrailing | Qt::AlignVCenter);
        QCOMPARE(f.label_2->alignment(), f.label->alignment());
        QVERIFY(f.host->isEnabled());
        QVERIFY(!f.port->isEnabled());
    }

    void gridCells_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("column");

        QTest::newRow("host") << "host" << 0 << 1;
        QTest::newRow("label") << "label" << 0 << 0;
        QTest::newRow("label_2") << "label_2" << 1 << 0;
        QTest::newRow("port") << "port" << 1 << 1;
    }

    void gridCells()
    {
        QFETCH(QString, name);
        QFETCH(int, row);
        QFETCH(int, column);

        ConnectDialog dialog;
        QWidget *widget = dialog.findChild<QWidget *>(name);
        QVERIFY(widget);
        const int index = dialog.form().gridLayout->indexOf(widget);
        QVERIFY(index >= 0);
        int r = -1, c = -1, rowSpan = -1, columnSpan = -1;
        dialog.form().gridLayout->getItemPosition(index, &r, &c, &rowSpan, &columnSpan);
        QCOMPARE(r, row);
        QCOMPARE(c, column);
        QCOMPARE(rowSpan, 1);
        QCOMPARE(columnSpan, 1);
    }

    void layoutBelowGrid()
    {
        ConnectDialog dialog;
        const Ui::ConnectDialog &f = dialog.form();
        QCOMPARE(f.verticalLayout->count(), 3);
        QCOMPARE(f.verticalLayout->itemAt(0)->layout(), f.gridLayout);
        QSpacerItem *vertical = f.verticalLayout->itemAt(1)->spacerItem();
        QVERIFY(vertical);
        QCOMPARE(vertical->sizeHint(), QSize(20, 1));
        QCOMPARE(vertical->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
        QCOMPARE(vertical->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(f.verticalLayout->itemAt(2)->layout(), f.hboxLayout);

        QCOMPARE(f.hboxLayout->spacing(), 6);
        QCOMPARE(f.hboxLayout->contentsMargins(), QMargins(0, 0, 0, 0));
        QCOMPARE(f.hboxLayout->count(), 3);
        QSpacerItem *horizontal = f.hboxLayout->itemAt(0)->spacerItem();
        QVERIFY(horizontal);
        QCOMPARE(horizontal->sizeHint(), QSize(131, 31));
        QCOMPARE(horizontal->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(horizontal->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
        QCOMPARE(f.hboxLayout->itemAt(1)->widget(), f.okButton);
        QCOMPARE(f.hboxLayout->itemAt(2)->widget(), f.cancelButton);
    }

    void showsPreferences()
    {
        connectionPreferences().host = QStringLiteral("::1");
        connectionPreferences().port = 4321;
        ConnectDialog dialog;
        QCOMPARE(dialog.form().host->text(), QStringLiteral("::1"));
        QCOMPARE(dialog.form().port->text(), QStringLiteral("4321"));
    }

    void okStoresHostAsTyped_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::newRow("address") << "127.0.0.1";
        QTest::newRow("blanks kept") << "  127.0.0.1 ";
        QTest::newRow("empty") << "";
        QTest::newRow("a name, not an address") << "picture-server";
    }

    void okStoresHostAsTyped()
    {
        QFETCH(QString, typed);
        connectionPreferences().host = QStringLiteral("::1");
        connectionPreferences().port = 2999;
        ConnectDialog dialog;
        const int result = runDialog(dialog, [&](ConnectDialog &d) {
            d.form().host->setText(typed);
            QTest::mouseClick(d.form().okButton, Qt::LeftButton);
        });
        QCOMPARE(result, int(QDialog::Accepted));
        QCOMPARE(connectionPreferences().host, typed);
        QCOMPARE(int(connectionPreferences().port), 2999);
    }

    void rejectingStoresNothing_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("Cancel") << 0;
        QTest::newRow("Escape") << 1;
        QTest::newRow("window closed") << 2;
    }

    void rejectingStoresNothing()
    {
        QFETCH(int, how);
        connectionPreferences().host = QStringLiteral("::1");
        connectionPreferences().port = 1234;
        ConnectDialog dialog;
        const int result = runDialog(dialog, [&](ConnectDialog &d) {
            d.form().host->setText(QStringLiteral("127.0.0.1"));
            if (how == 0)
                QTest::mouseClick(d.form().cancelButton, Qt::LeftButton);
            else if (how == 1)
                QTest::keyClick(&d, Qt::Key_Escape);
            else
                d.close();
        });
        QCOMPARE(result, int(QDialog::Rejected));
        QCOMPARE(connectionPreferences().host, QStringLiteral("::1"));
        QCOMPARE(int(connectionPreferences().port), 1234);
    }

    void loadConversions_data()
    {
        QTest::addColumn<QVariant>("storedHost");
        QTest::addColumn<QVariant>("storedPort");
        QTest::addColumn<QString>("expectedHost");
        QTest::addColumn<int>("expectedPort");

        const QString defaultHost = QString::fromLatin1(DefaultPreferredHost);
        QTest::newRow("nothing stored")
            << QVariant() << QVariant() << defaultHost << int(DefaultPreferredPort);
        QTest::newRow("host only") << QVariant(QStringLiteral("::1")) << QVariant()
                                   << QStringLiteral("::1") << int(DefaultPreferredPort);
        QTest::newRow("port only") << QVariant() << QVariant(2345) << defaultHost << 2345;
        QTest::newRow("host with blanks")
            << QVariant(QStringLiteral(" ::1 ")) << QVariant(1) << QStringLiteral(" ::1 ") << 1;
        QTest::newRow("port as text")
            << QVariant(QStringLiteral("::1")) << QVariant(QStringLiteral("1234"))
            << QStringLiteral("::1") << 1234;
        // A port that can never be connected to reads as the default, so that it can be repaired.
        const QVariant unusablePorts[] = {QStringLiteral("abc"),  0, -1, 65536, 70000,
                                          QStringLiteral("3000x")};
        for (const QVariant &port : unusablePorts)
            QTest::addRow("port %s", qPrintable(port.toString()))
                << QVariant(QStringLiteral("::1")) << port << QStringLiteral("::1")
                << int(DefaultPreferredPort);
        QTest::newRow("port 65535")
            << QVariant(QStringLiteral("::1")) << QVariant(65535) << QStringLiteral("::1") << 65535;
    }

    void loadConversions()
    {
        QFETCH(QVariant, storedHost);
        QFETCH(QVariant, storedPort);
        QFETCH(QString, expectedHost);
        QFETCH(int, expectedPort);

        clearStoredSettings();
        {
            QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                               QLatin1String(PreferenceKeys::Organization),
                               QLatin1String(PreferenceKeys::Application));
            if (storedHost.isValid())
                settings.setValue(QLatin1String(PreferenceKeys::Host), storedHost);
            if (storedPort.isValid())
                settings.setValue(QLatin1String(PreferenceKeys::Port), storedPort);
        }
        const ConnectionPreferences loaded = loadConnectionPreferences();
        QCOMPARE(loaded.host, expectedHost);
        QCOMPARE(int(loaded.port), expectedPort);
        clearStoredSettings();
    }

    void firstOpeningWithNothingStored()
    {
        const ChildRun run = runChildProcess({QStringLiteral("show")});
        QCOMPARE(run.lines,
                 QStringList({QString::fromLatin1(DefaultPreferredHost), QStringLiteral("3000"),
                              QStringLiteral("disabled"), QStringLiteral("0")}));
        // Cancelled, and still both keys are written at exit.
        const QVariantMap saved = savedValues(run);
        QCOMPARE(saved.size(), 2);
        QCOMPARE(saved.value(QStringLiteral("network/preferred_host")).toString(),
                 QString::fromLatin1(DefaultPreferredHost));
        QCOMPARE(saved.value(QStringLiteral("network/preferred_port")).toString(),
                 QStringLiteral("3000"));
    }

    void acceptedHostSavedAtExit()
    {
        const ChildRun run = runChildProcess({QStringLiteral("accept"), QStringLiteral(" ::1  ")},
                                             {{QStringLiteral("network/preferred_port"), 4000}});
        QCOMPARE(run.lines.value(0), QString::fromLatin1(DefaultPreferredHost));
        QCOMPARE(run.lines.value(1), QStringLiteral("4000"));
        QCOMPARE(run.lines.value(3), QStringLiteral("1"));
        const QVariantMap saved = savedValues(run);
        QCOMPARE(saved.value(QStringLiteral("network/preferred_host")).toString(),
                 QStringLiteral(" ::1  "));
        QCOMPARE(saved.value(QStringLiteral("network/preferred_port")).toInt(), 4000);
    }

    void acceptedHostStoredAtOnce()
    {
        const ChildRun run =
            runChildProcess({QStringLiteral("accept-then-killed"), QStringLiteral("127.0.0.1")},
                            {{QStringLiteral("network/preferred_host"), QStringLiteral("::1")},
                             {QStringLiteral("network/preferred_port"), 4002}});
        QCOMPARE(run.lines.value(3), QStringLiteral("1"));
        const QVariantMap saved = savedValues(run);
        QCOMPARE(saved.value(QStringLiteral("network/preferred_host")).toString(),
                 QStringLiteral("127.0.0.1"));
        QCOMPARE(saved.value(QStringLiteral("network/preferred_port")).toInt(), 4002);
    }

    void escapeSavesWhatWasLoaded()
    {
        const ChildRun run =
            runChildProcess({QStringLiteral("escape"), QStringLiteral("127.0.0.1")},
                            {{QStringLiteral("network/preferred_host"), QStringLiteral("::1")},
                             {QStringLiteral("network/preferred_port"), 4001}});
        QCOMPARE(run.lines.value(0), QStringLiteral("::1"));
        QCOMPARE(run.lines.value(3), QStringLiteral("0"));
        const QVariantMap saved = savedValues(run);
        QCOMPARE(saved.value(QStringLiteral("network/preferred_host")).toString(),
                 QStringLiteral("::1"));
        QCOMPARE(saved.value(QStringLiteral("network/preferred_port")).toInt(), 4001);
    }

    void secondOpeningShowsAcceptedHost()
    {
        const ChildRun run = runChildProcess({QStringLiteral("twice"), QStringLiteral("::1")});
        QCOMPARE(run.lines.size(), 5);
        QCOMPARE(run.lines.at(3), QStringLiteral("1"));
        QCOMPARE(run.lines.at(4), QStringLiteral("::1"));
    }

    void storedPortShownAndSavedRepaired_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("shown");

        QTest::newRow("abc") << QVariant(QStringLiteral("abc")) << "3000";
        QTest::newRow("70000") << QVariant(70000) << "3000";
        QTest::newRow("65535 kept") << QVariant(65535) << "65535";
    }

    void storedPortShownAndSavedRepaired()
    {
        QFETCH(QVariant, stored);
        QFETCH(QString, shown);
        const ChildRun run = runChildProcess({QStringLiteral("show")},
                                             {{QStringLiteral("network/preferred_port"), stored}});
        QCOMPARE(run.lines.value(1), shown);
        QCOMPARE(savedValues(run).value(QStringLiteral("network/preferred_port")).toString(),
                 shown);
    }

    void runWithoutDialogWritesNothing()
    {
        const ChildRun run = runChildProcess({QStringLiteral("idle")});
        QVERIFY(run.lines.isEmpty());
        QVERIFY(!QFile::exists(run.settingsFile));
        QVERIFY(!QFileInfo::exists(QFileInfo(run.settingsFile).path()));
    }
};

int main(int argc, char **argv)
{
    if (argc >= 3 && qstrcmp(argv[1], "--child") == 0)
        return runChild(argc, argv);

    TestSupport::isolateSettings();
    QApplication app(argc, argv);
    tst_ConnectDialog test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_connectdialog.moc"
