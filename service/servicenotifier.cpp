#include "service/servicenotifier.h"

#ifdef CELVANE_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

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
