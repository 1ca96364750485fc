#include "server/deadlinequeue.h"

#include "server/connectedclient.h"

#include <QElapsedTimer>
#include <QTimer>

DeadlineQueue::DeadlineQueue(QObject *parent, const QElapsedTimer *clock,
                             std::function<void(ConnectedClient *)> due)
    : m_clock(clock)
    , m_due(std::move(due))
    , m_timer(new QTimer(parent))
{
    m_timer->setSingleShot(true);
    m_timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(m_timer, &QTimer::timeout, parent, [this] { fire(); });
}

void DeadlineQueue::arm(ConnectedClient *client)
{
    const ClientSession *session = client->session.get();
    qint64 due = -1;
    const auto consider = [&due](qint64 at) {
        due = due < 0 ? at : qMin(due, at);
    };
    const bool held = client->heldSinceMs >= 0;
    if (held)
        consider(client->resumeMs);
    if (!held && m_helloTimeoutMs > 0 && !session->helloReceived())
        consider(client->connectedMs + m_helloTimeoutMs);
    if (!held && m_stallTimeoutMs > 0 && session->partialSinceMs() >= 0)
        consider(session->partialSinceMs() + m_stallTimeoutMs);
    if (session->owesUpdate())
        consider(session->updateDueMs());
    if (due == client->dueMs)
        return;
    if (client->dueMs >= 0)
        m_queue.erase({client->dueMs, client});
    client->dueMs = due;
    if (due >= 0)
        m_queue.emplace(due, client);
    startTimer();
}

void DeadlineQueue::remove(ConnectedClient *client)
{
    if (client->dueMs < 0)
        return;
    m_queue.erase({client->dueMs, client});
    client->dueMs = -1;
}

DeadlineQueue::Due DeadlineQueue::dueFor(const ConnectedClient *client, qint64 nowMs) const
{
    const ClientSession *session = client->session.get();
    if (client->heldSinceMs >= 0)
        return nowMs >= client->resumeMs ? Due::Resume : Due::Nothing;
    if (m_helloTimeoutMs > 0 && !session->helloReceived() &&
        nowMs - client->connectedMs >= m_helloTimeoutMs)
        return Due::HelloMissed;
    if (m_stallTimeoutMs > 0 && session->partialSinceMs() >= 0 &&
        nowMs - session->partialSinceMs() >= m_stallTimeoutMs)
        return Due::Stalled;
    return Due::Nothing;
}

QString DeadlineQueue::reasonFor(Due due, const ConnectedClient *client) const
{
    if (due == Due::HelloMissed)
        return QStringLiteral("sent no Hello within %1 ms (--hello-timeout)").arg(m_helloTimeoutMs);
    if (due == Due::Stalled)
        return QStringLiteral("a message of %1 bytes was not complete after %2 ms "
                              "(--stall-timeout)")
            .arg(client->session->reader().awaitedLength())
            .arg(m_stallTimeoutMs);
    return QString();
}

void DeadlineQueue::startTimer()
{
    if (m_queue.empty()) {
        m_timer->stop();
        m_timerDueMs = -1;
        return;
    }
    // Clients join in order and their deadlines mostly follow: the first rarely changes, and the
    // timer is started again only when it does.
    const qint64 first = m_queue.begin()->first;
    if (first == m_timerDueMs && m_timer->isActive())
        return;
    m_timerDueMs = first;
    m_timer->start(int(qMax<qint64>(0, first - m_clock->elapsed())));
}

void DeadlineQueue::fire()
{
    m_timerDueMs = -1;
    const qint64 now = m_clock->elapsed();
    while (!m_queue.empty() && m_queue.begin()->first <= now) {
        ConnectedClient *client = m_queue.begin()->second;
        m_queue.erase(m_queue.begin());
        client->dueMs = -1;
        m_due(client); // files its next deadline, if any
    }
    startTimer();
}
