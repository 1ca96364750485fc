#include "redis/redismoderation.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <hiredis/hiredis.h>

namespace {

QByteArray lockField(const QRect &area)
{
    return area.isNull() ? QByteArrayLiteral("whole") : Moderation::areaText(area).toLatin1();
}

// A ban's field in NAME:bans: its subnet, or "author:" and the name (no subnet has a colon
// after letters, so the two never meet).
QByteArray banField(const Moderation::Ban &ban)
{
    return ban.author.isEmpty() ? ban.subnet.toString().toLatin1()
                                : QByteArrayLiteral("author:") + ban.author.toUtf8();
}

QJsonObject objectOf(const redisReply *value)
{
    if (value->type != REDIS_REPLY_STRING)
        return {};
    return QJsonDocument::fromJson(QByteArray(value->str, qsizetype(value->len))).object();
}

} // namespace

QList<QByteArray> RedisModeration::command(const RedisPictureKeys &keys,
                                           const Moderation::Change &change)
{
    const auto json = [](const QJsonObject &object) {
        return QJsonDocument(object).toJson(QJsonDocument::Compact);
    };
    switch (change.kind) {
    case Moderation::Change::AddBan:
        return {QByteArrayLiteral("HSET"), keys.bans(), banField(change.ban),
                json(Moderation::toJson(change.ban))};
    case Moderation::Change::RemoveBan:
        return {QByteArrayLiteral("HDEL"), keys.bans(), banField(change.ban)};
    case Moderation::Change::AddLock:
        return {QByteArrayLiteral("HSET"), keys.locks(), lockField(change.lock.area),
                json(Moderation::toJson(change.lock))};
    case Moderation::Change::RemoveLock:
        return {QByteArrayLiteral("HDEL"), keys.locks(), lockField(change.lock.area)};
    }
    return {};
}

QList<QList<QByteArray>> RedisModeration::readCommands(const RedisPictureKeys &keys)
{
    return {{QByteArrayLiteral("HGETALL"), keys.bans()},
            {QByteArrayLiteral("HGETALL"), keys.locks()}};
}

namespace {

// HGETALL answers with a flat array of fields and values (RESP2, which these connections speak).
bool isHash(const redisReply *reply)
{
    return reply && reply->type == REDIS_REPLY_ARRAY;
}

} // namespace

bool RedisModeration::addBans(const redisReply *reply, Moderation *moderation)
{
    if (!isHash(reply))
        return false;
    QString ignored;
    Moderation::Change change;
    change.kind = Moderation::Change::AddBan;
    for (size_t i = 1; i < reply->elements; i += 2)
        if (const auto ban = Moderation::banFromJson(objectOf(reply->element[i]))) {
            change.ban = *ban;
            moderation->apply(change, &ignored);
        }
    return true;
}

bool RedisModeration::addLocks(const redisReply *reply, Moderation *moderation)
{
    if (!isHash(reply))
        return false;
    QString ignored;
    Moderation::Change change;
    change.kind = Moderation::Change::AddLock;
    for (size_t i = 1; i < reply->elements; i += 2)
        if (const auto lock = Moderation::lockFromJson(objectOf(reply->element[i]))) {
            change.lock = *lock;
            moderation->apply(change, &ignored);
        }
    return true;
}
