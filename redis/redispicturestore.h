#pragma once

#include "redis/redispicturekeys.h"
#include "server/picturestore.h"

#include <QElapsedTimer>
#include <QHash>

#include <functional>

class QTimer;
class RedisConnection;
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
class RedisPictureStore : public PictureStore
{
    Q_OBJECT

public:
    struct Settings
    {
        QString host; // numeric: connecting again must not wait for a resolver
        quint16 port = 6379;
        QByteArray password;
        QByteArray key = QByteArrayLiteral("celvane");
        // The stream keeps at least the edits of the last keepMs and at most about maxEntries.
        qint64 keepMs = 30LL * 24 * 3600 * 1000;
        qint64 maxEntries = 256LL * 1024 * 1024 / EstimatedEntryBytes;
    };
    // What one kept edit takes in Redis, roughly (a stream entry and its share of the whole
    // pictures), to turn a size bound into a number of edits.
    static constexpr qint64 EstimatedEntryBytes = 100;
    // Whole pictures are kept every this many edits: often enough that a moment is rebuilt from
    // a few thousand edits at most, rarely enough that they take little room.
    static qint64 snapshotInterval(qint64 maxEntries);

    // The settings --redis HOST:PORT, --redis-key NAME and --redis-password-file FILE (empty:
    // none) give, the bounds left at their defaults; false with one line in *error if one is
    // wrong. A name is resolved once here, so that connecting again later never waits for a
    // resolver.
    static bool settingsFrom(const QString &address, const QString &key,
                             const QString &passwordFile, Settings *settings, QString *error);

    // initial is the picture a key that does not exist yet is created with.
    RedisPictureStore(const Settings &settings, const Picture &initial, QObject *parent = nullptr);
    ~RedisPictureStore() override;

    // Connects; availabilityChanged(true) or refused() follows.
    void start();

    const Picture &picture() const override { return m_picture; }
    quint64 openConnection(const QHostAddress &address, quint16 port) override;
    void closeConnection(quint64 connection) override;
    Picture::EditResult submit(quint64 connection, quint8 kind, QByteArrayView message) override;
    bool isAvailable() const override { return m_available; }
    // Written to Redis at once; every server serving the picture, this one included, applies it
    // at its next reading of the bans and locks (within RedisModeration::PollMs).
    bool changeModeration(const Moderation::Change &change, QString *problem) override;
    quint64 openLabelledConnection(const QString &label) override;

    // The number of the last edit picture() holds.
    quint64 appliedSeq() const { return m_applied; }
    // Edits submitted that Redis has not confirmed yet.
    int pendingEdits() const { return m_pending; }
    QString address() const;

Q_SIGNALS:
    // The key holds something that is not a Celvane picture; nothing was changed or served.
    void refused(const QString &reason);
    // Every edit submitted so far has been confirmed (or refused) by Redis.
    void settled();
    // The record of a closed connection (when it left) is in Redis.
    void connectionRecorded(quint64 connection);

private:
    enum State { Offline, Connecting, Loading, Serving, Refused };

    void connectNow();
    void connectionOpened();
    void connectionLost(const QString &reason);
    void load();
    void loaded(redisReply *reply);
    void readNext();
    void entriesRead(redisReply *reply);
    void refuse(const QString &reason);
    // EVALSHA, and EVAL should Redis have lost the script: the reply goes to done either way.
    void runScript(const QList<QByteArray> &arguments, std::function<void(redisReply *)> done);
    void sendBatch();
    void batchConfirmed(redisReply *reply, int count);
    // Pings Redis on the commands connection, and counts it lost if the last ping went unanswered.
    void checkAnswering();
    // Reads the bans and locks, and applies them if they changed.
    void pollModeration();
    quint64 openRecordedConnection(const QByteArray &name, quint16 port);

    Settings m_settings;
    RedisPictureKeys m_keys;
    QByteArray m_initial;
    Picture m_picture;
    RedisConnection *m_commands = nullptr;
    RedisConnection *m_reader = nullptr;
    QTimer *m_retryTimer = nullptr;
    QTimer *m_pingTimer = nullptr;
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
