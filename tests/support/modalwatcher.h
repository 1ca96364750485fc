#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>

class QWidget;

// Deals with modal dialogs and message boxes that the code under test opens in nested event
// loops. Each handler is given the next modal widget that appears, in order, and must close it
// (accept, reject, a button click). Handlers may wait with QTRY_* while their dialog is open.
//
//     ModalWatcher watcher({[](QWidget *box) { ...; box->close(); }});
//     window.connectToServer(...);
//     QCOMPARE(watcher.handledCount(), 1);
//
// Watching stops when every handler has run or the watcher is destroyed.
class ModalWatcher : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<void(QWidget *)>;

    explicit ModalWatcher(QList<Handler> handlers, QObject *parent = nullptr);
    ~ModalWatcher() override;

    int handledCount() const { return m_handled; }

    // A handler for a dialog that must not appear: it fails the test and lets the watcher close
    // the dialog. Put it last to prove that no further dialog opens.
    static Handler unexpected();

private:
    void poll();

    QList<Handler> m_handlers;
    QTimer m_timer;
    QPointer<QWidget> m_previous;
    int m_handled = 0;
    bool m_busy = false;
};
