#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class RedisConnection;

// Whether what Redis holds outlives Redis: on its disk, and on its replicas. Each asks on the
// connection given, without waiting: the answer comes from the event loop.
namespace RedisDurability {

// Logs one line saying how the Redis at address keeps its data: a warning when it keeps nothing
// on disk (appendonly no and no save points), so that its restart loses everything.
void checkPersistence(RedisConnection *connection, const QString &address);

// answered(held, reason) once replicas replicas hold everything connection wrote, with
// publishFirst everything it has read too, or once ReplicasWithinMs have passed; reason says
// what fell short. Not called at all if the connection went first.
constexpr int ReplicasWithinMs = 2000;
void waitForReplicas(RedisConnection *connection, int replicas, const QByteArray &publishFirst,
                     std::function<void(bool held, const QString &reason)> answered);

} // namespace RedisDurability
