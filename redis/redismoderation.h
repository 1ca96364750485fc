#pragma once

#include "redis/redispicturekeys.h"
#include "server/moderation.h"

#include <QByteArray>
#include <QList>

#include <optional>

struct redisReply;

// The bans and locks of a picture kept in Redis: one hash field per ban (NAME:bans, by subnet)
// and per lock (NAME:locks, by area, "whole" for the whole picture), each the JSON Moderation
// writes. One field per entry, so that two moderators setting different bans at once both keep
// theirs. Every server reads both hashes every PollMs and applies what changed.
class RedisModeration
{
public:
    static constexpr int PollMs = 500;

    // The commands that carry a change out.
    static QList<QByteArray> command(const RedisPictureKeys &keys,
                                     const Moderation::Change &change);
    // The commands that read both hashes, in this order.
    static QList<QList<QByteArray>> readCommands(const RedisPictureKeys &keys);
    // Adds what the answer to the first (bans) or second (locks) of readCommands() holds; entries
    // that cannot be read are left out. False for an answer that is not a hash.
    static bool addBans(const redisReply *reply, Moderation *moderation);
    static bool addLocks(const redisReply *reply, Moderation *moderation);
};
