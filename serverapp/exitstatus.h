#pragma once

#include <QString>

// The program's exit statuses, and the one way it says why it stops.
namespace ExitStatus {

enum Status {
    Ok = 0,
    Usage = 1,       // a bad option, or the address cannot be listened on
    PictureFile = 2, // the configuration file, the picture file, its journal or the Redis key is
                     // refused, or cannot be written
};

// Says on standard error why the program stops, and returns the status to stop with.
inline int fail(int status, const QString &message)
{
    qCritical("celvane-server: %s", qPrintable(message));
    return status;
}

} // namespace ExitStatus
