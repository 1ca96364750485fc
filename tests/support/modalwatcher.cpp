#include "tests/support/modalwatcher.h"

#include <QApplication>
#include <QDialog>
#include <QTest>
#include <QWidget>

ModalWatcher::ModalWatcher(QList<Handler> handlers, QObject *parent)
    : QObject(parent)
    , m_handlers(std::move(handlers))
{
    m_timer.setInterval(10);
    connect(&m_timer, &QTimer::timeout, this, &ModalWatcher::poll);
    if (!m_handlers.isEmpty())
        m_timer.start();
}

ModalWatcher::~ModalWatcher() = default;

ModalWatcher::Handler ModalWatcher::unexpected()
{
    return [](QWidget *modal) {
        QTest::qFail(qPrintable(QStringLiteral("unexpected %1 \"%2\"")
                                    .arg(QString::fromLatin1(modal->metaObject()->className()),
                                         modal->windowTitle())),
                     __FILE__, __LINE__);
    };
}

void ModalWatcher::poll()
{
    // A handler that waits runs the event loop, and with it this timer again.
    if (m_busy)
        return;
    QWidget *modal = QApplication::activeModalWidget();
    // The widget just handled can still be the active one until its event loop has ended.
    if (!modal || !modal->isVisible() || modal == m_previous)
        return;

    m_previous = modal;
    m_busy = true;
    const Handler handler = m_handlers.at(m_handled);
    const QPointer<QWidget> handled = modal;
    handler(modal);
    ++m_handled;
    // A handler that failed half-way leaves its dialog open; close it, or the code under test
    // would wait in it until the test's watchdog fires.
    if (handled && handled->isVisible()) {
        qWarning("ModalWatcher: handler %d left %s open", m_handled,
                 handled->metaObject()->className());
        if (auto *dialog = qobject_cast<QDialog *>(handled.data()))
            dialog->reject();
        else
            handled->close();
    }
    m_busy = false;
    if (m_handled == m_handlers.size())
        m_timer.stop();
}
