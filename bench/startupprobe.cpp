#include "bench/startupprobe.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <ctime>

StartupProbe::StartupProbe(QWidget *window)
{
    window->installEventFilter(this);
}

bool StartupProbe::eventFilter(QObject *, QEvent *event)
{
    if (event->type() == QEvent::Paint && !m_painted) {
        m_painted = true;
        // The paint event is seen before it is handled: the window counts as shown once this
        // paint, and the flush to the screen that follows it, are over.
        QTimer::singleShot(0, this, [] {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            std::printf("%lld\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
            std::fflush(stdout);
            QCoreApplication::quit();
        });
    }
    return false;
}
