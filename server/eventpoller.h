#pragma once

#include <QObject>

#include <memory>
#include <vector>

class QSocketNotifier;
struct epoll_event;

// One epoll descriptor inside Qt's event loop, which watches it with a single notifier; the
// descriptors added here are reported from it, one turn at a time.
//
// Qt's own dispatcher keeps every socket notifier in one list that it walks on each turn of the
// loop and on each registration, so with a notifier or two per client every turn, and every write
// that toggles a write notifier, costs in proportion to the number of clients. Here a turn costs
// what is ready, and asking to hear of room to write is one epoll_ctl().
class EventPoller : public QObject
{
    Q_OBJECT

public:
    // What a descriptor's events are handed to. A handler removed during a turn may still be
    // called later in the same turn, so it must outlive the turn (the server frees its clients
    // from the event loop) and know it has been removed.
    class Handler
    {
    public:
        // events: the EPOLLIN, EPOLLOUT, EPOLLHUP and EPOLLERR bits reported.
        virtual void handleEvents(quint32 events) = 0;

    protected:
        ~Handler() = default;
    };

    explicit EventPoller(QObject *parent = nullptr);
    ~EventPoller() override;

    // False if the system gave no epoll descriptor.
    bool isValid() const { return m_fd >= 0; }
    // Starts watching fd for input. False if the system refused.
    bool add(int fd, Handler *handler);
    // Whether fd is watched for room to write (off when added).
    void setWriting(int fd, bool on);
    // Whether fd is watched at all (on when added). Off, not even a hang-up is reported, so that
    // input left unread on purpose does not wake the loop; what setWriting() asks meanwhile takes
    // effect when it is on again.
    void setReading(int fd, bool on);
    // Stops watching fd; before it is closed, so that a descriptor number used again is new here.
    void remove(int fd);

Q_SIGNALS:
    // After the handlers of one turn have all run.
    void turnHandled();

private:
    void poll();
    void update(int fd, int operation);

    struct Interest
    {
        Handler *handler = nullptr;
        bool reading = false;
        bool writing = false;
    };

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    std::unique_ptr<epoll_event[]> m_events;
    // By descriptor number, which the system keeps small.
    std::vector<Interest> m_interest;
};
