#include "redis/redispicturehistory.h"

#include "redis/redismoderation.h"
#include "redis/redissentinel.h"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <vector>

namespace {

// Edits read from the stream at a time.
constexpr int ReadCount = 10000;
constexpr int TimeoutMs = 5000;

QByteArray replyText(const redisReply *reply)
{
    return QByteArray(reply->str, qsizetype(reply->len));
}

} // namespace

void RedisPictureHistory::ReplyDeleter::operator()(redisReply *reply) const
{
    freeReplyObject(reply);
}

RedisPictureHistory::RedisPictureHistory(const QString &host, quint16 port,
                                         const QByteArray &password, const QByteArray &key)
    : m_host(host)
    , m_port(port)
    , m_password(password)
    , m_keys(key)
{
}

RedisPictureHistory::RedisPictureHistory(const RedisSettings &settings)
    : RedisPictureHistory(settings.host, settings.port, settings.password, settings.key)
{
    m_settings = settings;
}

RedisPictureHistory::~RedisPictureHistory()
{
    if (m_context)
        redisFree(m_context);
}

bool RedisPictureHistory::open()
{
    RedisSettings::Address primary;
    if (m_settings.usesSentinel()) {
        if (!RedisSentinel::askNow(m_settings, &primary, &m_error))
            return false;
        m_host = primary.host;
        m_port = primary.port;
    }
    const timeval timeout{TimeoutMs / 1000, 0};
    m_context = redisConnectWithTimeout(m_host.toUtf8().constData(), m_port, timeout);
    if (!m_context || m_context->err) {
        m_error = QStringLiteral("cannot reach Redis at %1:%2: %3")
                      .arg(m_host)
                      .arg(m_port)
                      .arg(m_context ? QString::fromUtf8(m_context->errstr)
                                     : QStringLiteral("out of memory"));
        return false;
    }
    redisSetTimeout(m_context, timeout);
    if (!m_password.isEmpty() && !run({QByteArrayLiteral("AUTH"), m_password}))
        return false;
    const Reply type = run({QByteArrayLiteral("TYPE"), m_keys.picture()});
    if (!type)
        return false;
    const QByteArray held = replyText(type.get());
    if (held != "string" || !metaNumber("seq")) {
        m_error = held == "none" ? QStringLiteral("Redis holds no picture under %1")
                                       .arg(QString::fromUtf8(m_keys.picture()))
                                 : QStringLiteral("%1 in Redis is not a Celvane picture")
                                       .arg(QString::fromUtf8(m_keys.picture()));
        return false;
    }
    return true;
}

RedisPictureHistory::Reply RedisPictureHistory::run(const QList<QByteArray> &arguments)
{
    if (!m_context) {
        m_error = QStringLiteral("not connected to Redis");
        return nullptr;
    }
    std::vector<const char *> pointers;
    std::vector<size_t> lengths;
    for (const QByteArray &argument : arguments) {
        pointers.push_back(argument.constData());
        lengths.push_back(size_t(argument.size()));
    }
    Reply reply(static_cast<redisReply *>(
        redisCommandArgv(m_context, int(pointers.size()), pointers.data(), lengths.data())));
    if (!reply) {
        m_error = QStringLiteral("Redis at %1:%2: %3")
                      .arg(m_host)
                      .arg(m_port)
                      .arg(QString::fromUtf8(m_context->errstr));
        return nullptr;
    }
    if (reply->type == REDIS_REPLY_ERROR) {
        m_error = QStringLiteral("Redis: %1").arg(QString::fromUtf8(replyText(reply.get())));
        return nullptr;
    }
    return reply;
}

std::optional<quint64> RedisPictureHistory::metaNumber(const char *field)
{
    const Reply reply = run({QByteArrayLiteral("HGET"), m_keys.meta(), QByteArray(field)});
    if (!reply || reply->type != REDIS_REPLY_STRING) {
        if (reply)
            m_error = QStringLiteral("%1 has no %2")
                          .arg(QString::fromUtf8(m_keys.meta()), QString::fromLatin1(field));
        return std::nullopt;
    }
    bool ok = false;
    const quint64 number = replyText(reply.get()).toULongLong(&ok);
    return ok ? std::optional<quint64>(number) : std::nullopt;
}

quint64 RedisPictureHistory::oldestSeq()
{
    return metaNumber("oldest").value_or(0) + 1;
}

qint64 RedisPictureHistory::oldestMs()
{
    qint64 taken = 0;
    snapshot(oldestSeq() - 1, &taken);
    return taken;
}

quint64 RedisPictureHistory::lastSeq()
{
    return metaNumber("seq").value_or(0);
}

std::optional<QByteArray> RedisPictureHistory::snapshot(quint64 seq, qint64 *takenMs)
{
    const Reply reply =
        run({QByteArrayLiteral("HGET"), m_keys.snapshots(), QByteArray::number(seq)});
    if (!reply || reply->type != REDIS_REPLY_STRING) {
        if (reply)
            m_error = QStringLiteral("the picture after edit %1 is no longer kept").arg(seq);
        return std::nullopt;
    }
    const QByteArray value = replyText(reply.get());
    const qsizetype colon = value.indexOf(':');
    if (takenMs)
        *takenMs = value.left(colon).toLongLong();
    return value.mid(colon + 1);
}

std::optional<qint64> RedisPictureHistory::timeOf(quint64 seq)
{
    std::optional<qint64> time;
    forEachEdit(seq, seq, [&time](const Edit &edit) {
        time = edit.timeMs;
        return false;
    });
    return time;
}

std::optional<quint64> RedisPictureHistory::seqAt(qint64 ms)
{
    const quint64 oldest = oldestSeq() - 1;
    qint64 taken = 0;
    if (!snapshot(oldest, &taken) || ms < taken)
        return std::nullopt;
    // Times grow with the numbers: the last edit at or before ms, by halves.
    quint64 low = oldest;
    quint64 high = lastSeq();
    while (low < high) {
        const quint64 middle = low + (high - low + 1) / 2;
        const std::optional<qint64> time = timeOf(middle);
        if (!time)
            return std::nullopt;
        if (*time <= ms)
            low = middle;
        else
            high = middle - 1;
    }
    return low;
}

std::optional<Picture> RedisPictureHistory::pictureAt(quint64 seq)
{
    if (seq + 1 < oldestSeq() || seq > lastSeq()) {
        m_error = QStringLiteral("edit %1 is not kept").arg(seq);
        return std::nullopt;
    }
    const Reply keys = run({QByteArrayLiteral("HKEYS"), m_keys.snapshots()});
    if (!keys)
        return std::nullopt;
    // The newest whole picture at or before seq, then the edits after it.
    std::optional<quint64> start;
    for (size_t i = 0; i < keys->elements; ++i) {
        const quint64 point = replyText(keys->element[i]).toULongLong();
        if (point <= seq && (!start || point > *start))
            start = point;
    }
    const std::optional<QByteArray> value = start ? snapshot(*start, nullptr) : std::nullopt;
    std::optional<Picture> picture = value ? RedisPictureKeys::decodePicture(*value) : std::nullopt;
    if (!picture) {
        if (value)
            m_error = QStringLiteral("the picture kept after edit %1 is damaged").arg(*start);
        return std::nullopt;
    }
    bool applied = true;
    if (!forEachEdit(*start + 1, seq,
                     [&](const Edit &edit) {
                         applied = picture->apply(quint8(edit.message.at(0)),
                                                  edit.message.sliced(4)) == Picture::Applied;
                         return applied;
                     }) ||
        !applied)
        return std::nullopt;
    return picture;
}

bool RedisPictureHistory::forEachEdit(quint64 first, quint64 last,
                                      const std::function<bool(const Edit &)> &visit)
{
    quint64 next = first;
    while (next <= last) {
        const Reply reply = run({QByteArrayLiteral("XRANGE"), m_keys.edits(),
                                 RedisPictureKeys::entryId(next), RedisPictureKeys::entryId(last),
                                 QByteArrayLiteral("COUNT"), QByteArray::number(ReadCount)});
        if (!reply)
            return false;
        if (reply->elements == 0)
            return true;
        for (size_t i = 0; i < reply->elements; ++i) {
            const redisReply *entry = reply->element[i];
            Edit edit;
            edit.seq = RedisPictureKeys::seqOfEntry(replyText(entry->element[0])).value_or(0);
            const redisReply *fields = entry->element[1];
            for (size_t f = 0; f + 1 < fields->elements; f += 2) {
                const QByteArray name = replyText(fields->element[f]);
                const redisReply *value = fields->element[f + 1];
                if (name == "c")
                    edit.connection = replyText(value).toULongLong();
                else if (name == "t")
                    edit.timeMs = replyText(value).toLongLong();
                else if (name == "m")
                    edit.message = QByteArrayView(value->str, qsizetype(value->len));
            }
            if (edit.seq < next || edit.message.size() < 4) {
                m_error = QStringLiteral("edit %1 in the stream is damaged").arg(edit.seq);
                return false;
            }
            if (!visit(edit))
                return true;
            next = edit.seq + 1;
        }
    }
    return true;
}

std::optional<PictureHistory::Connection> RedisPictureHistory::connection(quint64 id)
{
    const Reply reply =
        run({QByteArrayLiteral("HGET"), m_keys.connections(), QByteArray::number(id)});
    if (!reply || reply->type != REDIS_REPLY_STRING)
        return std::nullopt;
    const QList<QByteArray> parts = replyText(reply.get()).split(' ');
    if (parts.size() != 4)
        return std::nullopt;
    Connection connection;
    connection.id = id;
    connection.address = QString::fromUtf8(parts.at(0));
    connection.port = quint16(parts.at(1).toUInt());
    connection.connectedMs = parts.at(2).toLongLong();
    connection.leftMs = parts.at(3).toLongLong();
    const Reply label = run({QByteArrayLiteral("HGET"), m_keys.labels(), QByteArray::number(id)});
    if (!label)
        return std::nullopt;
    if (label->type == REDIS_REPLY_STRING)
        connection.label = QString::fromUtf8(replyText(label.get()));
    const Reply name = run({QByteArrayLiteral("HGET"), m_keys.names(), QByteArray::number(id)});
    if (!name)
        return std::nullopt;
    if (name->type == REDIS_REPLY_STRING)
        connection.name = QString::fromUtf8(replyText(name.get()));
    return connection;
}

std::optional<Moderation> RedisPictureHistory::moderation()
{
    const QList<QList<QByteArray>> reads = RedisModeration::readCommands(m_keys);
    const Reply bans = run(reads.at(0));
    const Reply locks = bans ? run(reads.at(1)) : nullptr;
    Moderation moderation;
    if (!locks || !RedisModeration::addBans(bans.get(), &moderation) ||
        !RedisModeration::addLocks(locks.get(), &moderation)) {
        if (locks)
            m_error = QStringLiteral("Redis holds bans or locks that are not hashes");
        return std::nullopt;
    }
    return moderation;
}

bool RedisPictureHistory::changeModeration(const Moderation::Change &change)
{
    std::optional<Moderation> kept = moderation();
    if (!kept || !kept->apply(change, &m_error))
        return false;
    return bool(run(RedisModeration::command(m_keys, change)));
}

std::optional<bool> RedisPictureHistory::hasConnectionNamed(const QString &name)
{
    const Reply names = run({QByteArrayLiteral("HVALS"), m_keys.names()});
    if (!names)
        return std::nullopt;
    for (size_t i = 0; i < names->elements; ++i)
        if (QString::fromUtf8(replyText(names->element[i])) == name)
            return true;
    return false;
}

std::optional<bool> RedisPictureHistory::hasConnectionFrom(const Subnet &subnet)
{
    const Reply records = run({QByteArrayLiteral("HVALS"), m_keys.connections()});
    if (!records)
        return std::nullopt;
    for (size_t i = 0; i < records->elements; ++i) {
        const QByteArray record = replyText(records->element[i]);
        if (subnet.contains(QHostAddress(QString::fromUtf8(record.left(record.indexOf(' '))))))
            return true;
    }
    return false;
}
