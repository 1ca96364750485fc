#include "app/celvaneform.h"

#include <QAction>
#include <QCoreApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>

void CelvaneForm::setupForm(QMainWindow *window)
{
    if (window->objectName().isEmpty())
        window->setObjectName(QString::fromUtf8("CelvaneClass"));
    window->resize(473, 400);
    window->setAcceptDrops(false);

    actionQuit = new QAction(window);
    actionQuit->setObjectName(QString::fromUtf8("actionQuit"));
    actionClear = new QAction(window);
    actionClear->setObjectName(QString::fromUtf8("actionClear"));
    actionConnect = new QAction(window);
    actionConnect->setObjectName(QString::fromUtf8("actionConnect"));
    actionDisconnect = new QAction(window);
    actionDisconnect->setObjectName(QString::fromUtf8("actionDisconnect"));
    actionDisconnect->setEnabled(false);
    actionLoadImage = new QAction(window);
    actionLoadImage->setObjectName(QString::fromUtf8("actionLoadImage"));

    centralWidget = new QWidget(window);
    centralWidget->setObjectName(QString::fromUtf8("centralWidget"));
    window->setCentralWidget(centralWidget);

    menuBar = new QMenuBar(window);
    menuBar->setObjectName(QString::fromUtf8("menuBar"));
    menuBar->setGeometry(0, 0, 473, 22);
    menuFile = new QMenu(menuBar);
    menuFile->setObjectName(QString::fromUtf8("menuFile"));
    menuCanvas = new QMenu(menuBar);
    menuCanvas->setObjectName(QString::fromUtf8("menuCanvas"));
    menuBorderColor = new QMenu(menuCanvas);
    menuBorderColor->setObjectName(QString::fromUtf8("menuBorderColor"));
    menuBackgroundColor = new QMenu(menuCanvas);
    menuBackgroundColor->setObjectName(QString::fromUtf8("menuBackgroundColor"));
    menuDrawingColor = new QMenu(menuCanvas);
    menuDrawingColor->setObjectName(QString::fromUtf8("menuDrawingColor"));
    window->setMenuBar(menuBar);

    statusBar = new QStatusBar(window);
    statusBar->setObjectName(QString::fromUtf8("statusBar"));
    window->setStatusBar(statusBar);

    menuBar->addAction(menuFile->menuAction());
    menuBar->addAction(menuCanvas->menuAction());
    menuFile->addAction(actionConnect);
    menuFile->addAction(actionDisconnect);
    menuFile->addSeparator();
    menuFile->addAction(actionQuit);
    menuCanvas->addAction(actionClear);
    menuCanvas->addAction(actionLoadImage);
    menuCanvas->addSeparator();
    menuCanvas->addAction(menuBorderColor->menuAction());
    menuCanvas->addAction(menuBackgroundColor->menuAction());
    menuCanvas->addAction(menuDrawingColor->menuAction());
    menuCanvas->addSeparator();

    retranslateForm(window);

    QMetaObject::connectSlotsByName(window);
}

void CelvaneForm::retranslateForm(QMainWindow *window)
{
    window->setWindowTitle(QCoreApplication::translate("CelvaneClass", "Celvane"));
    actionQuit->setText(QCoreApplication::translate("CelvaneClass", "Quit"));
    actionClear->setText(QCoreApplication::translate("CelvaneClass", "Clear"));
    actionConnect->setText(QCoreApplication::translate("CelvaneClass", "Connect..."));
    actionDisconnect->setText(QCoreApplication::translate("CelvaneClass", "Disconnect"));
    actionLoadImage->setText(QCoreApplication::translate("CelvaneClass", "Load Image..."));
    menuFile->setTitle(QCoreApplication::translate("CelvaneClass", "File"));
    menuCanvas->setTitle(QCoreApplication::translate("CelvaneClass", "Edit"));
    menuBorderColor->setTitle(QCoreApplication::translate("CelvaneClass", "Border Color"));
    menuBackgroundColor->setTitle(QCoreApplication::translate("CelvaneClass", "Background Color"));
    menuDrawingColor->setTitle(QCoreApplication::translate("CelvaneClass", "Drawing Color"));
}
