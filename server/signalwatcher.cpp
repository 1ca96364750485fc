#include "server/signalwatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// [0] is written by the handler, [1] is read by the notifier.
int signalPipe[2] = {-1, -1};

void handleSignal(int signalNumber)
{
    const int savedErrno = errno;
    const char byte = char(signalNumber);
    // Nothing to do if the pipe is full: a byte already waiting wakes the loop just the same.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[0], &byte, 1);
    errno = savedErrno;
}

bool installHandler(int signalNumber)
{
    struct sigaction action = {};
    action.sa_handler = handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(signalNumber, &action, nullptr) == 0;
}

void restoreDefault(int signalNumber)
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signalNumber, &action, nullptr);
}

} // namespace

SignalWatcher::SignalWatcher(QObject *parent)
    : QObject(parent)
{
    Q_ASSERT(signalPipe[0] == -1);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    if (!installHandler(SIGINT) || !installHandler(SIGTERM) || !installHandler(SIGHUP)) {
        restoreDefault(SIGINT);
        restoreDefault(SIGTERM);
        restoreDefault(SIGHUP);
        return;
    }
    m_notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalWatcher::readSignal);
}

SignalWatcher::~SignalWatcher()
{
    restoreDefault(SIGINT);
    restoreDefault(SIGTERM);
    restoreDefault(SIGHUP);
    for (int &fd : signalPipe) {
        if (fd != -1)
            ::close(fd);
        fd = -1;
    }
}

void SignalWatcher::readSignal()
{
    char byte;
    while (::read(signalPipe[1], &byte, 1) == 1) {
        if (byte == char(SIGHUP))
            Q_EMIT reloadRequested();
        else
            Q_EMIT terminationRequested(int(quint8(byte)));
    }
}
