#pragma once

#include <QString>

// Tells the service manager how the server stands (sd_notify): ready once it listens, so that
// units ordered after it start only then, and stopping once asked to stop. Does nothing when no
// service manager asked to be told (no NOTIFY_SOCKET), or in a build without libsystemd.
class ServiceNotifier
{
public:
    // Whether this build can notify at all.
    static bool isSupported();
    // READY=1, with a status line for systemctl status.
    static void ready(const QString &status);
    static void stopping();
    // RELOADING=1, with the monotonic clock's time as systemd asks: ready() follows once the
    // configuration is read again.
    static void reloading();
};
