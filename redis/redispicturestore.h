#pragma once

#include "redis/redispicturekeys.h"
#include "redis/redissettings.h"
#include "server/picturestore.h"

#include <QElapsedTimer>
#include <QHash>

#include <functional>

class QTimer;
class RedisConnection;
class RedisSentinel;
struct redisReply;

// A picture kept in Redis and shared by every server started on the same key (see
// RedisPictureKeys). An edit this server accepts is checked here, then applied in Redis by the
// one script, which appends it to the stream; what takes effect is announced only when it comes
// back from the stream, which every server reads on a connection of its own from the last entry
// it applied. So every server announces every edit, its own included, in the stream's order, and
// picture() is always the picture as it stood after one entry.
//
// A server that finds an entry missing (it fell behind the stream's trimmed start) reloads the
// picture together with its position in one atomic step and announces replaced(). One that loses
// Redis says it is unavailable, tries again with a growing pause, and once it is back reloads the
// same way before saying it is available again: its copy never runs ahead of Redis, and no edit
// Redis applied is skipped.
//
// With Sentinels, the Redis is whichever server they name the primary, asked again whenever the
// connection fails, a write is refused as read-only, or a Sentinel announces a promotion. A
// failover is expected to end in seconds, so for a while after losing the primary the clients are
// kept: once the promoted replica is serving, the picture and its position are loaded from it
// and every window is sent the picture afresh (replaced()). Only when no primary is back within
// FailoverGraceMs does the picture count as out of reach.
//
// With Settings::replicas N, an edit read from the stream is announced only once N replicas
// acknowledge holding it (WAIT, on the reading connection, after a write of its own that
// places its position past what was read), and a loaded picture only once N replicas hold it.
// A failover promotes the replica that holds the most, so it holds every edit any window was
// shown. Replicas that do not acknowledge in time (RedisDurability::ReplicasWithinMs) count as
// Redis lost (with Sentinels, the clients are kept through the grace as in a failover) and the
// picture is loaded again: an edit no replica took is never shown, and a Redis without enough
// replicas serves nobody.
class RedisPictureStore : public PictureStore
{
    Q_OBJECT

public:
    using Settings = RedisSettings;
    static constexpr qint64 EstimatedEntryBytes = RedisSettings::EstimatedEntryBytes;
    // Whole pictures are kept every this many edits: often enough that a moment is rebuilt from
    // a few thousand edits at most, rarely enough that they take little room.
    static qint64 snapshotInterval(qint64 maxEntries);

    // initial is the picture a key that does not exist yet is created with.
    RedisPictureStore(const Settings &settings, const Picture &initial, QObject *parent = nullptr);
    ~RedisPictureStore() override;

    // Connects; availabilityChanged(true) or refused() follows.
    void start();

    const Picture &picture() const override { return m_picture; }
    quint64 openConnection(const QHostAddress &address, quint16 port) override;
    quint64 openActionConnection(const QString &label) override;
    quint64 openNamedConnection(const QHostAddress &address, quint16 port,
                                const QString &name) override;
    void closeConnection(quint64 connection) override;
    Picture::EditResult submit(quint64 connection, quint8 kind, QByteArrayView message) override;
    bool isAvailable() const override { return m_available; }
    // Written to Redis at once; every server serving the picture, this one included, applies it
    // at its next reading of the bans and locks (within RedisModeration::PollMs).
    bool changeModeration(const Moderation::Change &change, QString *problem) override;

    // The number of the last edit picture() holds.
    quint64 appliedSeq() const { return m_applied; }
    // Edits submitted that Redis has not confirmed yet.
    int pendingEdits() const { return m_pending; }
    // The Redis in use, as HOST:PORT (the primary last named, with Sentinels).
    QString address() const;

    static constexpr int FailoverGraceMs = 10000;

Q_SIGNALS:
    // The key holds something that is not a Celvane picture; nothing was changed or served.
    void refused(const QString &reason);
    // Every edit submitted so far has been confirmed (or refused) by Redis.
    void settled();
    // The record of a closed connection (when it left) is in Redis.
    void connectionRecorded(quint64 connection);

private:
    enum State { Offline, Connecting, Loading, Serving, Refused };
    // An edit read from the stream, held until enough replicas have it.
    struct Entry
    {
        quint64 seq = 0;
        quint64 connection = 0;
        QByteArray message;
    };

    void connectNow();
    void openConnections(const QString &host, quint16 port);
    void connectionOpened();
    void connectionLost(const QString &reason);
    void dropConnections();
    void graceOver();
    void followSwitch(const QString &host, quint16 port);
    void load();
    void loaded(redisReply *reply);
    void serve(const Picture &picture, quint64 seq, quint64 server);
    void checkPersistence();
    // then() once Settings::replicas replicas hold what connection wrote last (with publish,
    // after a write that places it past what the connection read).
    void whenReplicated(RedisConnection *connection, bool publish, std::function<void()> then);
    void readNext();
    void entriesRead(redisReply *reply);
    void announce(const QList<Entry> &entries);
    void refuse(const QString &reason);
    // EVALSHA, and EVAL should Redis have lost the script: the reply goes to done either way.
    void runScript(const QList<QByteArray> &arguments, std::function<void(redisReply *)> done);
    void sendBatch();
    void batchConfirmed(redisReply *reply, int count);
    // Pings Redis on the commands connection, and counts it lost if the last ping went unanswered.
    void checkAnswering();
    // Reads the bans and locks, and applies them if they changed.
    void pollModeration();

    Settings m_settings;
    RedisPictureKeys m_keys;
    QByteArray m_initial;
    Picture m_picture;
    RedisConnection *m_commands = nullptr;
    RedisConnection *m_reader = nullptr;
    RedisSentinel *m_sentinel = nullptr;
    QString m_primaryHost;
    quint16 m_primaryPort = 0;
    bool m_persistenceChecked = false;
    QTimer *m_retryTimer = nullptr;
    QTimer *m_pingTimer = nullptr;
    QTimer *m_graceTimer = nullptr;
    QTimer *m_moderationTimer = nullptr;
    bool m_moderationAsked = false;
    qint64 m_pingSentMs = -1;
    QElapsedTimer m_clock;
    State m_state = Offline;
    bool m_available = false;
    // Replies to commands of an earlier connection are ignored.
    quint64 m_generation = 0;
    quint64 m_applied = 0;
    quint64 m_server = 0;
    quint64 m_lastConnection = 0;
    int m_pending = 0;
    // The script call the edits submitted in this turn of the event loop go out in.
    QList<QByteArray> m_batch;
    int m_retryDelayMs = 0;
    qint64 m_lastLossLogMs = -1;
    QByteArray m_columns;
    QByteArray m_every;
    QByteArray m_maxEntries;
    QByteArray m_keepMs;
    // "ADDRESS PORT CONNECTED_MS" of every open connection, for its record when it closes.
    QHash<quint64, QByteArray> m_open;
};
