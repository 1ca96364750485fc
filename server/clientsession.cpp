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
    , m_cooldown(&m_ownCooldown)
{
}

void ClientSession::shareCooldown(EditCooldown *cooldown, const QString &key)
{
    m_cooldown = cooldown ? cooldown : &m_ownCooldown;
    m_cooldownKey = key;
}

QByteArray ClientSession::takeCorrections()
{
    if (!hasCorrections() || m_ended)
        return QByteArray();
    return m_corrections->take(m_store->picture());
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
        if (m_allowance > 0)
            --m_allowance;
        if (const char *rule = ruleAgainst(message, nowMs)) {
            refuseEdit(message, rule);
            continue;
        }
        const Picture::EditResult result =
            m_store->submit(m_connection, message.kind, message.bytes);
        if (result == Picture::Applied) {
            ++m_applied;
            m_changed = true;
            if (m_limits->cooldownMs > 0)
                m_cooldown->started(m_cooldownKey, nowMs, m_limits->cooldownMs);
            qCDebug(lcServer).noquote() << m_name << "kind" << message.kind << "length"
                                        << message.payload.size() << preview(message.payload);
        } else {
            refuseEdit(message, Picture::describe(result));
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
    // The Update shows the window the picture whole: what it showed wrongly before is gone.
    m_relaysAnnounced = (m_limits->updateFlags & Protocol::UpdateRelaysEdits) != 0;
    if (m_corrections)
        m_corrections->clear();
    if (!m_sender(update))
        m_ended = true;
    return !m_ended;
}

const char *ClientSession::ruleAgainst(const MessageReader::Message &message, qint64 nowMs) const
{
    if (message.kind != Protocol::Command && message.kind != Protocol::RowData)
        return nullptr;
    if (m_limits->readOnly)
        return "the picture is read-only";
    if (m_limits->cooldownMs <= 0)
        return nullptr;
    const bool cell = message.kind == Protocol::Command && !message.payload.isEmpty() &&
                      quint8(message.payload.at(0)) == Protocol::SetCellCommand;
    if (!cell)
        return "only single cells may be changed (--cooldown)";
    if (!m_cooldown->allows(m_cooldownKey, nowMs, m_limits->cooldownMs))
        return "too soon after the last cell of this address or editor (--cooldown)";
    return nullptr;
}

void ClientSession::refuseEdit(const MessageReader::Message &message, const char *reason)
{
    // The picture's own verdict, whatever refused the edit first: a message it could never take
    // is the client's fault, and there is nothing in its window to put right.
    const Picture &picture = m_store->picture();
    const Picture::EditResult verdict = picture.check(message.kind, message.payload);
    if (verdict != Picture::Applied) {
        refuse(message.kind, message.payload.size(), Picture::describe(verdict), true);
        return;
    }
    ++m_disallowed;
    refuse(message.kind, message.payload.size(), reason, false);
    if (!m_relaysAnnounced)
        return;
    if (!m_corrections)
        m_corrections.emplace(picture.format());
    m_corrections->add(message.kind, message.bytes);
}

void ClientSession::refuse(quint8 kind, qsizetype length, const char *reason, bool counted)
{
    ++m_refused;
    if (m_refused <= quint64(m_limits->loggedRefusals)) {
        qCInfo(lcServer).noquote() << "refused a message from" << m_name << "- kind" << kind
                                   << "length" << length << "-" << reason;
        if (m_refused == quint64(m_limits->loggedRefusals))
            qCInfo(lcServer).noquote()
                << "further refused messages from" << m_name << "are counted, not logged; more than"
                << m_limits->maxRefused << "that could not be applied close it";
    }
    if (counted && m_refused - m_disallowed > quint64(m_limits->maxRefused)) {
        m_closeReason = QStringLiteral("sent more than %1 messages that could not be applied")
                            .arg(m_limits->maxRefused);
        m_ended = true;
    }
}
