#include "app/celvane.h"
#include "canvas/canvas.h"
#include "tests/support/paintcounter.h"
#include "tests/support/testsupport.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTranslator>
#include <QtTest>

using TestSupport::statusLabelOf;

namespace {

// Translates the main form's context alone, so that a text coming out changed proves which
// context it was looked up in.
class FormTranslator : public QTranslator
{
public:
    bool isEmpty() const override { return false; }
    QString translate(const char *context, const char *sourceText, const char *disambiguation,
                      int) const override
    {
        if (qstrcmp(context, "CelvaneClass") != 0 || disambiguation)
            return QString();
        return QStringLiteral("<") + QString::fromUtf8(sourceText) + QStringLiteral(">");
    }
};

QList<QObject *> formObjects(const Ui::CelvaneClass &form)
{
    return {form.actionQuit,
            form.actionClear,
            form.actionConnect,
            form.actionDisconnect,
            form.actionLoadImage,
            form.centralWidget,
            form.menuBar,
            form.menuFile,
            form.menuCanvas,
            form.menuBorderColor,
            form.menuBackgroundColor,
            form.menuDrawingColor,
            form.statusBar};
}

// What the menus hold, one entry per item: an object name, or "-" for a separator.
QStringList items(const QWidget *container)
{
    QStringList result;
    for (const QAction *action : container->actions()) {
        if (action->isSeparator())
            result << QStringLiteral("-");
        else if (action->menu())
            result << action->menu()->objectName();
        else
            result << action->objectName();
    }
    return result;
}

QStringList methodSignatures(const QMetaObject &meta)
{
    QStringList result;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        result << QString::fromLatin1(meta.method(i).methodSignature());
    return result;
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void formOnItsOwn();
    void formKeepsGivenObjectName();
    void objectNamesAndParents_data();
    void objectNamesAndParents();
    void actionsCarryNothingElse();
    void menuContents();
    void texts();
    void textsUseFormContext();
    void windowShape();
    void canvasReplacesPlaceholder();
    void windowMetaObject();
    void canvasMetaObject();
    void connectionStates_data();
    void connectionStates();
    void unknownStateOnlyRepaints();
    void colorMenusReachSlots();
    void quitClosesWindow();
};

void tst_MainWindow::formOnItsOwn()
{
    QMainWindow window;
    Ui::CelvaneClass form;
    form.setupUi(&window);

    QCOMPARE(window.objectName(), QStringLiteral("CelvaneClass"));
    // Before any connection state is applied only Disconnect is off.
    QVERIFY(!form.actionDisconnect->isEnabled());
    for (QAction *action :
         {form.actionQuit, form.actionClear, form.actionConnect, form.actionLoadImage})
        QVERIFY2(action->isEnabled(), qPrintable(action->objectName()));
    for (QMenu *menu : {form.menuFile, form.menuCanvas, form.menuBorderColor,
                        form.menuBackgroundColor, form.menuDrawingColor})
        QVERIFY2(menu->isEnabled(), qPrintable(menu->objectName()));
    QVERIFY(form.menuBar->isEnabled());
    QCOMPARE(window.centralWidget(), form.centralWidget);
    QCOMPARE(window.menuBar(), form.menuBar);
    QCOMPARE(window.statusBar(), form.statusBar);
}

void tst_MainWindow::formKeepsGivenObjectName()
{
    QMainWindow window;
    window.setObjectName(QStringLiteral("mainWindow"));
    Ui::CelvaneClass form;
    form.setupUi(&window);
    QCOMPARE(window.objectName(), QStringLiteral("mainWindow"));

    Celvane celvane;
    QCOMPARE(celvane.objectName(), QStringLiteral("CelvaneClass"));
}

void tst_MainWindow::objectNamesAndParents_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("className");
    QTest::addColumn<QString>("parent"); // "" for the window

    const char *rows[][3] = {{"actionQuit", "QAction", ""},
                             {"actionClear", "QAction", ""},
                             {"actionConnect", "QAction", ""},
                             {"actionDisconnect", "QAction", ""},
                             {"actionLoadImage", "QAction", ""},
                             {"centralWidget", "QWidget", ""},
                             {"menuBar", "QMenuBar", ""},
                             {"menuFile", "QMenu", "menuBar"},
                             {"menuCanvas", "QMenu", "menuBar"},
                             {"menuBorderColor", "QMenu", "menuCanvas"},
                             {"menuBackgroundColor", "QMenu", "menuCanvas"},
                             {"menuDrawingColor", "QMenu", "menuCanvas"},
                             {"statusBar", "QStatusBar", ""}};
    int index = 0;
    for (const auto &row : rows) {
        QTest::newRow(row[0]) << index++ << QString::fromLatin1(row[0]) << QByteArray(row[1])
                              << QString::fromLatin1(row[2]);
    }
}

void tst_MainWindow::objectNamesAndParents()
{
    QFETCH(int, index);
    QFETCH(QString, name);
    QFETCH(QByteArray, className);
    QFETCH(QString, parent);

    Celvane window;
    // The placeholder is gone by the time anyone could look at it; the form record is checked
    // on a bare window instead.
    QMainWindow bare;
    Ui::CelvaneClass bareForm;
    bareForm.setupUi(&bare);
    const bool placeholder = name == QLatin1String("centralWidget");
    QMainWindow *owner = placeholder ? &bare : static_cast<QMainWindow *>(&window);
    const Ui::CelvaneClass &form = placeholder ? bareForm : window.form();

    QObject *object = formObjects(form).at(index);
    QVERIFY(object);
    QCOMPARE(object->objectName(), name);
    QCOMPARE(QByteArray(object->metaObject()->className()), className);
    QCOMPARE(owner->findChild<QObject *>(name), object);
    QObject *expectedParent = parent.isEmpty() ? owner : owner->findChild<QObject *>(parent);
    QVERIFY(expectedParent);
    QCOMPARE(object->parent(), expectedParent);
    if (auto *widget = qobject_cast<QWidget *>(object)) {
        if (!qobject_cast<QMenu *>(widget))
            QVERIFY(!widget->isWindow());
    }
}

void tst_MainWindow::actionsCarryNothingElse()
{
    Celvane window;
    const Ui::CelvaneClass &form = window.form();
    for (QAction *action : {form.actionQuit, form.actionClear, form.actionConnect,
                            form.actionDisconnect, form.actionLoadImage}) {
        QVERIFY2(action->shortcut().isEmpty(), qPrintable(action->objectName()));
        QVERIFY(action->statusTip().isEmpty());
        QVERIFY(action->icon().isNull());
        QVERIFY(!action->isCheckable());
        QCOMPARE(action->toolTip(), action->text().remove(QStringLiteral("...")));
    }
}

void tst_MainWindow::menuContents()
{
    Celvane window;
    const Ui::CelvaneClass &form = window.form();

    QCOMPARE(items(form.menuBar), QStringList({"menuFile", "menuCanvas"}));
    QCOMPARE(items(form.menuFile),
             QStringList({"actionConnect", "actionDisconnect", "-", "actionQuit"}));
    QCOMPARE(items(form.menuCanvas),
             QStringList({"actionClear", "actionLoadImage", "-", "menuBorderColor",
                          "menuBackgroundColor", "menuDrawingColor", "-"}));
    QVERIFY(form.menuBorderColor->actions().isEmpty());
    QVERIFY(form.menuBackgroundColor->actions().isEmpty());
    QVERIFY(form.menuDrawingColor->actions().isEmpty());
}

void tst_MainWindow::texts()
{
    Celvane window;
    const Ui::CelvaneClass &form = window.form();
    QCOMPARE(window.windowTitle(), QStringLiteral("Celvane"));
    QCOMPARE(form.actionQuit->text(), QStringLiteral("Quit"));
    QCOMPARE(form.actionClear->text(), QStringLiteral("Clear"));
    QCOMPARE(form.actionConnect->text(), QStringLiteral("Connect..."));
    QCOMPARE(form.actionDisconnect->text(), QStringLiteral("Disconnect"));
    QCOMPARE(form.actionLoadImage->text(), QStringLiteral("Load Image..."));
    QCOMPARE(form.menuFile->title(), QStringLiteral("File"));
    QCOMPARE(form.menuCanvas->title(), QStringLiteral("Edit"));
    QCOMPARE(form.menuBorderColor->title(), QStringLiteral("Border Color"));
    QCOMPARE(form.menuBackgroundColor->title(), QStringLiteral("Background Color"));
    QCOMPARE(form.menuDrawingColor->title(), QStringLiteral("Drawing Color"));
    QVERIFY(statusLabelOf(window));
    QCOMPARE(statusLabelOf(window)->text(), QStringLiteral("Disconnected"));
}

void tst_MainWindow::textsUseFormContext()
{
    Celvane window;
    Ui::CelvaneClass form = window.form();

    FormTranslator translator;
    QVERIFY(QCoreApplication::installTranslator(&translator));
    form.retranslateUi(&window);
    window.setConnectionState(Celvane::Connecting);
    const QString title = window.windowTitle();
    const QStringList actionTexts = {form.actionQuit->text(), form.actionClear->text(),
                                     form.actionConnect->text(), form.actionDisconnect->text(),
                                     form.actionLoadImage->text()};
    const QStringList menuTitles = {
        form.menuFile->title(), form.menuCanvas->title(), form.menuBorderColor->title(),
        form.menuBackgroundColor->title(), form.menuDrawingColor->title()};
    const QString status = statusLabelOf(window)->text();
    QVERIFY(QCoreApplication::removeTranslator(&translator));

    QCOMPARE(title, QStringLiteral("<Celvane>"));
    QCOMPARE(actionTexts,
             QStringList({"<Quit>", "<Clear>", "<Connect...>", "<Disconnect>", "<Load Image...>"}));
    QCOMPARE(menuTitles, QStringList({"<File>", "<Edit>", "<Border Color>", "<Background Color>",
                                      "<Drawing Color>"}));
    // Status texts are never translated.
    QCOMPARE(status, QStringLiteral("Connecting..."));

    form.retranslateUi(&window);
    QCOMPARE(window.windowTitle(), QStringLiteral("Celvane"));
    QCOMPARE(form.menuCanvas->title(), QStringLiteral("Edit"));
}

void tst_MainWindow::windowShape()
{
    Celvane window;
    QCOMPARE(window.size(), QSize(473, 400));
    QCOMPARE(window.form().menuBar->geometry(), QRect(0, 0, 473, 22));
    QVERIFY(!window.acceptDrops());
    QVERIFY(!window.isWindowModified());
    QCOMPARE(window.parent(), nullptr);
    QCOMPARE(window.windowFlags(), QMainWindow().windowFlags());

    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.size(), QSize(473, 400));
    QVERIFY(!window.acceptDrops());
}

void tst_MainWindow::canvasReplacesPlaceholder()
{
    Celvane window;
    QCOMPARE(window.form().centralWidget, nullptr);
    QPointer<QWidget> placeholder = window.findChild<QWidget *>(QStringLiteral("centralWidget"));
    auto *canvas = qobject_cast<Canvas *>(window.centralWidget());
    QVERIFY(canvas);
    QCOMPARE(canvas->parent(), &window);
    QCOMPARE(canvas->format(), nullptr);
    QVERIFY(placeholder.isNull() || placeholder->isHidden());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(placeholder.isNull());
    QVERIFY(!window.findChild<QWidget *>(QStringLiteral("centralWidget")));

    QLabel *label = statusLabelOf(window);
    QVERIFY(label);
    QCOMPARE(label->parent(), window.form().statusBar);

    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(canvas->isVisible());
    QVERIFY(label->isVisible());
}

void tst_MainWindow::windowMetaObject()
{
    const QMetaObject &meta = Celvane::staticMetaObject;
    QCOMPARE(QByteArray(meta.className()), QByteArray("Celvane"));
    QCOMPARE(meta.superClass(), &QMainWindow::staticMetaObject);
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    QCOMPARE(meta.enumeratorCount(), meta.enumeratorOffset());
    QCOMPARE(meta.classInfoCount(), meta.classInfoOffset());
    QCOMPARE(meta.constructorCount(), 0);

    QCOMPARE(methodSignatures(meta),
             QStringList({"OnActionConnect()", "OnActionDisconnect()", "OnActionClear()",
                          "OnActionLoadImage()", "OnActionBorderColor(QAction*)",
                          "OnActionBackgroundColor(QAction*)", "OnActionPenColor(QAction*)",
                          "OnSocketConnected()", "OnSocketDisconnected()", "OnSocketReadReady()",
                          "OnCellChanged(uint8,uint8,uint8)"}));
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
    }
    const int offset = meta.methodOffset();
    for (int i : {4, 5, 6})
        QCOMPARE(meta.method(offset + i).parameterNames(), QList<QByteArray>{"action"});
    QCOMPARE(meta.method(offset + 10).parameterNames(), QList<QByteArray>({"x", "y", "color"}));
    QCOMPARE(meta.method(offset + 10).parameterType(0), qMetaTypeId<uint8>());
}

void tst_MainWindow::canvasMetaObject()
{
    const QMetaObject &meta = Canvas::staticMetaObject;
    QCOMPARE(QByteArray(meta.className()), QByteArray("Canvas"));
    QCOMPARE(meta.superClass(), &QWidget::staticMetaObject);
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    QCOMPARE(meta.enumeratorCount(), meta.enumeratorOffset());
    QCOMPARE(meta.classInfoCount(), meta.classInfoOffset());
    QCOMPARE(methodSignatures(meta), QStringList{"CellChanged(uint8,uint8,uint8)"});

    const QMetaMethod signal = meta.method(meta.methodOffset());
    QCOMPARE(signal.methodType(), QMetaMethod::Signal);
    QCOMPARE(signal.parameterNames(), QList<QByteArray>({"x", "y", "color"}));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(signal.parameterType(i), qMetaTypeId<uint8>());
    QCOMPARE(signal, QMetaMethod::fromSignal(&Canvas::CellChanged));
}

namespace {

// The enabled flags that a connection state sets; -1 leaves the item as it was.
struct StateRow
{
    int menuBar;
    int actionConnect;
    int actionDisconnect;
    int actionClear;
    int actionLoadImage;
    int colorMenus;
    const char *status;
};

QList<int> flags(const Ui::CelvaneClass &form)
{
    // A menu counts as enabled by its own flag: the menu bar's being off greys the menus below
    // it without changing what the state set on them.
    return {form.menuBar->isEnabled(),
            form.actionConnect->isEnabled(),
            form.actionDisconnect->isEnabled(),
            form.actionClear->isEnabled(),
            form.actionLoadImage->isEnabled(),
            form.menuBackgroundColor->isEnabledTo(form.menuBar),
            form.menuBorderColor->isEnabledTo(form.menuBar),
            form.menuDrawingColor->isEnabledTo(form.menuBar)};
}

} // namespace

void tst_MainWindow::connectionStates_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("prior");
    QTest::addColumn<QList<int>>("expected");
    QTest::addColumn<QString>("status");

    const StateRow table[] = {{1, 1, 0, 0, 0, 0, "Disconnected"},
                              {0, -1, -1, -1, -1, -1, "Connecting..."},
                              {0, -1, -1, -1, -1, -1, "Receiving update..."},
                              {1, 0, 1, 1, 1, -1, "Connected"}};
    const char *names[] = {"Disconnected", "Connecting", "ReceivingUpdate", "Connected"};
    for (int state = 0; state < 4; ++state) {
        const StateRow &row = table[state];
        for (bool prior : {false, true}) {
            const QList<int> settings = {row.menuBar,     row.actionConnect,   row.actionDisconnect,
                                         row.actionClear, row.actionLoadImage, row.colorMenus,
                                         row.colorMenus,  row.colorMenus};
            QList<int> expected;
            for (int setting : settings)
                expected << (setting < 0 ? int(prior) : setting);
            const QByteArray name = QByteArray(names[state]) + (prior ? ", all on" : ", all off");
            QTest::newRow(name.constData())
                << state << prior << expected << QString::fromLatin1(row.status);
        }
    }
}

void tst_MainWindow::connectionStates()
{
    QFETCH(int, state);
    QFETCH(bool, prior);
    QFETCH(QList<int>, expected);
    QFETCH(QString, status);

    Celvane window;
    const Ui::CelvaneClass &form = window.form();
    form.menuBar->setEnabled(prior);
    for (QAction *action : {form.actionConnect, form.actionDisconnect, form.actionClear,
                            form.actionLoadImage, form.actionQuit})
        action->setEnabled(prior);
    for (QMenu *menu : {form.menuBackgroundColor, form.menuBorderColor, form.menuDrawingColor})
        menu->setEnabled(prior);
    statusLabelOf(window)->setText(QStringLiteral("earlier"));

    window.setConnectionState(Celvane::ConnectionState(state));

    QCOMPARE(flags(form), expected);
    QCOMPARE(statusLabelOf(window)->text(), status);
    QCOMPARE(form.actionQuit->isEnabled(), prior);
    QCOMPARE(window.windowTitle(), QStringLiteral("Celvane"));
}

void tst_MainWindow::unknownStateOnlyRepaints()
{
    Celvane window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCoreApplication::processEvents();
    PaintCounter paints(&window);

    for (int state = 0; state < 4; ++state) {
        const int before = paints.count;
        window.setConnectionState(Celvane::ConnectionState(state));
        QVERIFY2(paints.count > before, "each state is painted before the call returns");
    }

    const QList<int> before = flags(window.form());
    const QString status = statusLabelOf(window)->text();
    const int paintsBefore = paints.count;
    window.setConnectionState(Celvane::ConnectionState(7));
    QCOMPARE(flags(window.form()), before);
    QCOMPARE(statusLabelOf(window)->text(), status);
    QVERIFY(paints.count > paintsBefore);
}

void tst_MainWindow::colorMenusReachSlots()
{
    Celvane window;
    const Ui::CelvaneClass &form = window.form();
    auto *canvas = qobject_cast<Canvas *>(window.centralWidget());
    QVERIFY(canvas);

    // Actions put into a colour menu later need no connection of their own.
    auto addSwatch = [](QMenu *menu, int index) {
        auto *action = new QAction(QString::number(index), menu);
        action->setData(index);
        menu->addAction(action);
        return action;
    };
    QAction *border = addSwatch(form.menuBorderColor, 3);
    QAction *background = addSwatch(form.menuBackgroundColor, 6);
    QAction *pen = addSwatch(form.menuDrawingColor, 9);

    QSignalSpy penSpy(form.menuDrawingColor, &QMenu::triggered);
    pen->trigger();
    QCOMPARE(penSpy.count(), 1);
    QCOMPARE(penSpy.at(0).at(0).value<QAction *>(), pen);
    QCOMPARE(canvas->penColor(), uint8(9));
    QCOMPARE(canvas->borderColor(), uint8(0));
    QCOMPARE(canvas->backgroundColor(), uint8(0));

    border->trigger();
    QCOMPARE(canvas->borderColor(), uint8(3));
    QCOMPARE(canvas->backgroundColor(), uint8(0));

    background->trigger();
    QCOMPARE(canvas->backgroundColor(), uint8(6));
    QCOMPARE(canvas->borderColor(), uint8(3));
    QCOMPARE(canvas->penColor(), uint8(9));
}

void tst_MainWindow::quitClosesWindow()
{
    Celvane window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.form().actionQuit->trigger();
    QVERIFY(!window.isVisible());
}

CELVANE_TEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
