#pragma once

#include "redis/redissettings.h"

#include <QObject>

class RedisConnection;
struct redisReply;

// The Sentinels watching a picture's Redis: which server is the primary now, and word when they
// promote another. Each question goes to the Sentinels in the order given until one names the
// primary, since any of them may be down; the first that answers is then listened to for its
// +switch-master, so that a failover is followed at once rather than at the next attempt.
class RedisSentinel : public QObject
{
    Q_OBJECT

public:
    explicit RedisSentinel(const RedisSettings &settings, QObject *parent = nullptr);
    ~RedisSentinel() override;

    // Starts a round of asking; found() or failed() follows from the event loop. A round
    // started before this one ends silently.
    void ask();

    // The same, waiting for each answer, for a command that runs once and exits.
    static bool askNow(const RedisSettings &settings, RedisSettings::Address *primary,
                       QString *error);

    // A Sentinel's answer to SENTINEL get-master-addr-by-name: the address, or nothing.
    static bool parseAnswer(const redisReply *reply, RedisSettings::Address *primary);

Q_SIGNALS:
    void found(const QString &host, quint16 port);
    // No Sentinel named a primary; reason says what each one did, for a person.
    void failed(const QString &reason);
    // A Sentinel announced that it promoted the server at host:port to the primary.
    void switched(const QString &host, quint16 port);

private:
    void askNext();
    void answered(redisReply *reply);
    void skip(const QString &reason);
    void watch(const RedisSettings::Address &sentinel);
    void announced(const QByteArray &message);

    RedisSettings m_settings;
    RedisConnection *m_asking = nullptr;
    RedisConnection *m_watching = nullptr;
    bool m_watched = false;
    qsizetype m_next = 0;
    QStringList m_failures;
};
