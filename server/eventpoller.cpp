#include "server/eventpoller.h"

#include "server/serverlogging.h"

#include <QSocketNotifier>

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Events taken from the kernel per turn of Qt's loop. More wait for the next turn, which comes at
// once since the epoll descriptor stays readable: timers and the listening socket get their turn
// in between.
constexpr int EventsPerTurn = 1024;

} // namespace

EventPoller::EventPoller(QObject *parent)
    : QObject(parent)
    , m_fd(::epoll_create1(EPOLL_CLOEXEC))
    , m_events(new epoll_event[EventsPerTurn])
{
    if (m_fd < 0) {
        qCWarning(lcServer) << "cannot create an epoll descriptor:" << std::strerror(errno);
        return;
    }
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &EventPoller::poll);
}

EventPoller::~EventPoller()
{
    if (m_fd >= 0) {
        // The notifier goes first: Qt must not watch a closed descriptor.
        delete m_notifier;
        ::close(m_fd);
    }
}

bool EventPoller::add(int fd, Handler *handler)
{
    if (fd < 0)
        return false;
    if (m_interest.size() <= std::size_t(fd))
        m_interest.resize(std::size_t(fd) + 1);
    m_interest[std::size_t(fd)] = {handler, true, false};
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = handler;
    if (::epoll_ctl(m_fd, EPOLL_CTL_ADD, fd, &event) == 0)
        return true;
    m_interest[std::size_t(fd)] = {};
    return false;
}

void EventPoller::update(int fd, int operation)
{
    const Interest &interest = m_interest[std::size_t(fd)];
    epoll_event event{};
    event.events = EPOLLIN | (interest.writing ? EPOLLOUT : 0u);
    event.data.ptr = interest.handler;
    ::epoll_ctl(m_fd, operation, fd, &event);
}

void EventPoller::setWriting(int fd, bool on)
{
    Interest &interest = m_interest[std::size_t(fd)];
    if (interest.writing == on)
        return;
    interest.writing = on;
    if (interest.reading)
        update(fd, EPOLL_CTL_MOD);
}

void EventPoller::setReading(int fd, bool on)
{
    Interest &interest = m_interest[std::size_t(fd)];
    if (interest.reading == on)
        return;
    interest.reading = on;
    if (on) {
        update(fd, EPOLL_CTL_ADD);
    } else {
        epoll_event unused{};
        ::epoll_ctl(m_fd, EPOLL_CTL_DEL, fd, &unused);
    }
}

void EventPoller::remove(int fd)
{
    if (std::size_t(fd) < m_interest.size() && m_interest[std::size_t(fd)].reading) {
        epoll_event unused{};
        ::epoll_ctl(m_fd, EPOLL_CTL_DEL, fd, &unused);
    }
    if (std::size_t(fd) < m_interest.size())
        m_interest[std::size_t(fd)] = {};
}

void EventPoller::poll()
{
    const int count = ::epoll_wait(m_fd, m_events.get(), EventsPerTurn, 0);
    for (int i = 0; i < count; ++i)
        static_cast<Handler *>(m_events[i].data.ptr)->handleEvents(m_events[i].events);
    Q_EMIT turnHandled();
}
