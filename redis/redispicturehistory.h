#pragma once

#include "redis/redispicturekeys.h"
#include "redis/redissettings.h"
#include "server/moderation.h"
#include "server/picturehistory.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

struct redisContext;
struct redisReply;

// The kept past of a picture in Redis (see RedisPictureKeys), read for the commands that run
// on their own and exit: the history, reverts and restores worked out, exports at a moment. It
// waits for each answer, which is what such a command wants and what a serving process must not
// do, so a server never holds one. Servers may go on editing meanwhile: what is read is the
// stream as it stood at each read, and an edit trimmed away between two reads fails the second.
class RedisPictureHistory : public PictureHistory
{
public:
    RedisPictureHistory(const QString &host, quint16 port, const QByteArray &password,
                        const QByteArray &key);
    // The picture the settings name; with Sentinels, on the primary they name when it opens.
    explicit RedisPictureHistory(const RedisSettings &settings);
    ~RedisPictureHistory() override;

    // Connects and checks that the key holds a picture; false with errorString() if not.
    bool open();

    QString errorString() const override { return m_error; }
    quint64 oldestSeq() override;
    qint64 oldestMs() override;
    quint64 lastSeq() override;
    std::optional<quint64> seqAt(qint64 ms) override;
    std::optional<Picture> pictureAt(quint64 seq) override;
    bool forEachEdit(quint64 first, quint64 last,
                     const std::function<bool(const Edit &)> &visit) override;
    std::optional<Connection> connection(quint64 id) override;

    // The bans and locks kept with the picture; nothing if reading failed.
    std::optional<Moderation> moderation();
    // Sets or lifts one (false, with errorString(), for lifting what is not there); every server
    // serving the picture applies it within RedisModeration::PollMs.
    bool changeModeration(const Moderation::Change &change);
    // Whether any connection kept came from the subnet; nothing if reading failed.
    std::optional<bool> hasConnectionFrom(const Subnet &subnet);
    // Whether any connection kept drew as the named editor; nothing if reading failed.
    std::optional<bool> hasConnectionNamed(const QString &name);

private:
    struct ReplyDeleter
    {
        void operator()(redisReply *reply) const;
    };
    using Reply = std::unique_ptr<redisReply, ReplyDeleter>;

    // Runs one command; null (with m_error set) if it could not, or Redis answered an error.
    Reply run(const QList<QByteArray> &arguments);
    std::optional<quint64> metaNumber(const char *field);
    // The time edit seq took effect; nothing if it is not kept.
    std::optional<qint64> timeOf(quint64 seq);
    std::optional<QByteArray> snapshot(quint64 seq, qint64 *takenMs);

    QString m_host;
    quint16 m_port = 0;
    QByteArray m_password;
    RedisPictureKeys m_keys;
    RedisSettings m_settings;
    redisContext *m_context = nullptr;
    QString m_error;
};
