#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>
#include <set>
#include <utility>

class QElapsedTimer;
class QObject;
class QTimer;
struct ConnectedClient;

// Every client's next deadline, earliest first, under one timer: the Hello it has not sent, the
// message it stopped sending halfway, the Update it is owed, the moment a client held back for
// its edit rate may be read again. Each client has at most one entry, its earliest; when that
// comes, the client is handed back to have whatever is due done and its next one filed.
//
// The time a client is held back is the server's, not the client's: its Hello and stall
// deadlines do not run meanwhile.
class DeadlineQueue
{
public:
    static constexpr int DefaultHelloTimeoutMs = 5000;
    static constexpr int DefaultStallTimeoutMs = 10000;

    enum class Due {
        Nothing,     // no deadline the client can miss (its owed Update may be due)
        Resume,      // held back, and its allowance has returned
        HelloMissed, // no Hello within the Hello deadline
        Stalled,     // a message not complete within the stall deadline
    };

    // The timer becomes a child of parent; times are clock's. due is called for each client
    // whose deadline has come, out of the queue then.
    DeadlineQueue(QObject *parent, const QElapsedTimer *clock,
                  std::function<void(ConnectedClient *)> due);

    // 0 turns a deadline off. Files already queued keep their times until arm() is called again.
    void setHelloTimeout(int milliseconds) { m_helloTimeoutMs = milliseconds; }
    int helloTimeout() const { return m_helloTimeoutMs; }
    void setStallTimeout(int milliseconds) { m_stallTimeoutMs = milliseconds; }
    int stallTimeout() const { return m_stallTimeoutMs; }

    // Files the client's next deadline, if any, in place of the one it had.
    void arm(ConnectedClient *client);
    void remove(ConnectedClient *client);
    // Which deadline, if any, the client has missed at nowMs.
    Due dueFor(const ConnectedClient *client, qint64 nowMs) const;
    // What a client closed for missing that deadline is told in the log.
    QString reasonFor(Due due, const ConnectedClient *client) const;

private:
    void startTimer();
    void fire();

    const QElapsedTimer *m_clock = nullptr;
    std::function<void(ConnectedClient *)> m_due;
    int m_helloTimeoutMs = DefaultHelloTimeoutMs;
    int m_stallTimeoutMs = DefaultStallTimeoutMs;
    std::set<std::pair<qint64, ConnectedClient *>> m_queue;
    QTimer *m_timer = nullptr;
    qint64 m_timerDueMs = -1;
};
