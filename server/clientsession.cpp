#include "server/clientsession.h"

#include "server/picturestore.h"
#include "server/serverlogging.h"

#include <utility>

namespace {

QByteArray preview(QByteArrayView payload)
{
    constexpr qsizetype Shown = 16;
    QByteArray hex = payload.first(qMin(payload.size(), Shown)).toByteArray().toHex(' ');
    if (payload.size() > Shown)
        hex += " ...";
    return hex;
}

} // namespace

ClientSession::ClientSession(PictureStore *store, quint64 connection, const Limits *limits,
                             const QString &name, Sender sender)
    : m_store(store)
    , m_connection(connection)
    , m_limits(limits)
    , m_name(name)
    , m_sender(std::move(sender))
{
}

bool ClientSession::takeChanged()
{
    return std::exchange(m_changed, false);
}

bool ClientSession::receive(QByteArrayView bytes, qint64 nowMs)
{
    // The payloads handed out point into the reader's buffer: appending while they are in use
    // would move it. The server never calls back in; this keeps it so.
    Q_ASSERT(!m_inside);
    if (m_ended || m_inside)
        return false;
    m_inside = true;
    const bool hadPartial = m_reader.pendingBytes() > 0;
    const quint64 messagesBefore = m_messages;
    m_reader.append(bytes);

    MessageReader::Message message;
    while (!m_ended && m_allowance != 0 && m_reader.next(&message)) {
        ++m_messages;
        if (message.kind == Protocol::Hello) {
            qCDebug(lcServer).noquote() << m_name << "Hello" << preview(message.payload);
            if (!answerHello(nowMs))
                break;
            continue;
        }
        if (m_limits->readOnly &&
            (message.kind == Protocol::Command || message.kind == Protocol::RowData)) {
            refuse(message.kind, message.payload.size(), "the picture is read-only");
            continue;
        }
        if (m_allowance > 0)
            --m_allowance;
        const Picture::EditResult result =
            m_store->submit(m_connection, message.kind, message.bytes);
        if (result == Picture::Applied) {
            ++m_applied;
            m_changed = true;
            qCDebug(lcServer).noquote() << m_name << "kind" << message.kind << "length"
                                        << message.payload.size() << preview(message.payload);
        } else {
            refuse(message.kind, message.payload.size(), Picture::describe(result));
        }
    }
    m_inside = false;
    if (m_ended)
        return false;

    if (m_reader.pendingBytes() == 0)
        m_partialSinceMs = -1;
    else if (!hadPartial || m_messages != messagesBefore)
        // The waiting message began in these bytes.
        m_partialSinceMs = nowMs;
    return true;
}

bool ClientSession::answerHello(qint64 nowMs)
{
    ++m_hellos;
    if (!m_updated || nowMs - m_lastUpdateMs >= m_limits->updateIntervalMs) {
        m_earlyHellos = 0;
        return sendUpdate(nowMs);
    }
    // Within the interval: one Update later answers this and every other Hello until then.
    m_owesUpdate = true;
    if (++m_earlyHellos > m_limits->extraHellos) {
        m_closeReason = QStringLiteral("asks for pictures without reading them (%1 Hellos "
                                       "within %2 ms)")
                            .arg(m_earlyHellos + 1)
                            .arg(m_limits->updateIntervalMs);
        m_ended = true;
        return false;
    }
    return true;
}

bool ClientSession::sendOwedUpdate(qint64 nowMs)
{
    if (m_ended || !m_owesUpdate || nowMs < updateDueMs())
        return !m_ended;
    m_earlyHellos = 0;
    return sendUpdate(nowMs);
}

bool ClientSession::sendUpdate(qint64 nowMs)
{
    m_owesUpdate = false;
    m_updated = true;
    m_lastUpdateMs = nowMs;
    m_store->aboutToRelay();
    // The picture's own copy: the sender may outlive an edit that makes the picture forget it.
    const QByteArray update = m_store->picture().update(m_limits->updateFlags);
    if (!m_sender(update))
        m_ended = true;
    return !m_ended;
}

void ClientSession::refuse(quint8 kind, qsizetype length, const char *reason)
{
    ++m_refused;
    if (m_refused <= quint64(m_limits->loggedRefusals)) {
        qCInfo(lcServer).noquote() << "refused a message from" << m_name << "- kind" << kind
                                   << "length" << length << "-" << reason;
        if (m_refused == quint64(m_limits->loggedRefusals))
            qCInfo(lcServer).noquote()
                << "further refused messages from" << m_name << "are counted, not logged; more than"
                << m_limits->maxRefused << "close it";
    }
    if (m_refused > quint64(m_limits->maxRefused)) {
        m_closeReason = QStringLiteral("sent more than %1 messages that could not be applied")
                            .arg(m_limits->maxRefused);
        m_ended = true;
    }
}
