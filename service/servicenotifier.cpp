#include "service/servicenotifier.h"

#ifdef CELVANE_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include <ctime>

namespace {

void notify(const QByteArray &state)
{
#ifdef CELVANE_HAVE_SYSTEMD
    // NOTIFY_SOCKET stays set: the server notifies more than once, ready and later stopping.
    sd_notify(0, state.constData());
#else
    Q_UNUSED(state);
#endif
}

} // namespace

bool ServiceNotifier::isSupported()
{
#ifdef CELVANE_HAVE_SYSTEMD
    return true;
#else
    return false;
#endif
}

void ServiceNotifier::ready(const QString &status)
{
    notify("READY=1\nSTATUS=" + status.toUtf8());
}

void ServiceNotifier::stopping()
{
    notify("STOPPING=1\nSTATUS=Saving and stopping");
}

void ServiceNotifier::reloading()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const qint64 microseconds = qint64(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    notify("RELOADING=1\nSTATUS=Reading the configuration again\nMONOTONIC_USEC=" +
           QByteArray::number(microseconds));
}
