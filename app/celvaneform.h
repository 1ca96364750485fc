#pragma once

class QAction;
class QMainWindow;
class QMenu;
class QMenuBar;
class QStatusBar;
class QWidget;

// The main window's actions, menus and status bar, built as the form tool would build them.
// Owns nothing; the window owns every object through Qt parenthood.
struct CelvaneForm
{
    QAction *actionQuit = nullptr;
    QAction *actionClear = nullptr;
    QAction *actionConnect = nullptr;
    QAction *actionDisconnect = nullptr;
    QAction *actionLoadImage = nullptr;
    QWidget *centralWidget = nullptr;
    QMenuBar *menuBar = nullptr;
    QMenu *menuFile = nullptr;
    QMenu *menuCanvas = nullptr;
    QMenu *menuBorderColor = nullptr;
    QMenu *menuBackgroundColor = nullptr;
    QMenu *menuDrawingColor = nullptr;
    QStatusBar *statusBar = nullptr;

    void setupForm(QMainWindow *window);
    void retranslateForm(QMainWindow *window);
};
