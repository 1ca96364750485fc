#include "service/socketactivation.h"

#ifdef CELVANE_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

bool SocketActivation::isSupported()
{
#ifdef CELVANE_HAVE_SYSTEMD
    return true;
#else
    return false;
#endif
}

bool SocketActivation::take()
{
    m_descriptor = -1;
    m_errorString.clear();
#ifdef CELVANE_HAVE_SYSTEMD
    const int count = sd_listen_fds(1);
    if (count < 0) {
        m_errorString = QStringLiteral("the sockets handed over by the service manager cannot be "
                                       "used: %1")
                            .arg(QString::fromLocal8Bit(std::strerror(-count)));
        return false;
    }
    if (count == 0)
        return true;
    if (count > 1) {
        m_errorString = QStringLiteral("the service manager handed over %1 sockets; the server "
                                       "listens on one (one ListenStream= in the socket unit)")
                            .arg(count);
        return false;
    }
    const int descriptor = SD_LISTEN_FDS_START;
    if (sd_is_socket_inet(descriptor, AF_UNSPEC, SOCK_STREAM, 1, 0) <= 0) {
        m_errorString = QStringLiteral("the socket handed over by the service manager is not a "
                                       "listening TCP socket");
        return false;
    }
    m_descriptor = descriptor;
    return true;
#else
    // sd_listen_fds() by hand, as far as telling that something was meant for this process.
    if (qEnvironmentVariableIsSet("LISTEN_FDS") &&
        qgetenv("LISTEN_PID").toLongLong() == qint64(::getpid())) {
        m_errorString = QStringLiteral("the service manager handed over a socket, but this "
                                       "build cannot take one (it was built without libsystemd)");
        return false;
    }
    return true;
#endif
}
