#pragma once

#include "journal/journalhistory.h"
#include "journal/journalwriter.h"
#include "server/picturestore.h"

#include <QByteArray>
#include <QLockFile>

#include <map>
#include <memory>

class PictureSaver;
class QTimer;

// A picture held in this process, saved to its file as before, with every edit also kept in a
// journal beside it (FILE.history, see docs/journal.md). An edit takes effect inside submit() and
// joins the pending batch. The batch is committed (one transaction, handed to the operating
// system without a sync) before anyone is shown what it holds: aboutToRelay(), which the server
// calls before relaying and before sending a picture, commits it, so that a crash of this process
// loses nothing any client saw. The disk is synced at most SyncDelayMs after a commit (a power
// cut loses at most that much), before every save of the picture file, and on finish().
//
// The picture file never holds an edit the journal lacks while the journal works, so after a
// crash the start finds the file at or behind the journal and replays the journal's newer edits
// over it (every edit sets values, so replaying from the last recorded save onwards is harmless).
// A file that matches neither the journal's last picture nor the one it recorded as saved was
// written while the journal could not be, or by hand: it is served as it is, and the journal
// records a gap and takes it up from there.
//
// A journal that stops taking writes (a full disk, a read-only or removed file) costs nothing but
// the journal: the failure is logged once, edits go on being applied, relayed and saved to the
// picture file, and writing is tried again every RetryMs. When it works again, the gap is
// recorded (from the first edit not journaled to then) and the picture as it then stands is
// journaled as edits of the server's own "control" connection, so that the journal rebuilds
// every later moment exactly.
class JournalStore : public PictureStore
{
    Q_OBJECT

public:
    struct Options
    {
        int keepDays = 30;                // 0 keeps everything
        qint64 maxBytes = 256LL << 20;    // 0 sets no bound
        int syncDelayMs = 200;            // a commit waits at most this for its sync to the disk
        int snapshotEvery = 2000;         // edits between whole pictures in the journal
        qint64 maxPendingBytes = 8 << 20; // a batch this large is committed at once
        int retentionIntervalMs = 60000;  // how often the bounds are applied
        int retryMs = 1000;               // how often a failing journal is tried again
    };
    static constexpr int SyncDelayMs = 200;

    enum StartResult {
        Started,
        Refused, // damaged, foreign or of a newer schema
        InUse,   // another server writes it
        Failed,  // cannot be opened or created
    };

    // picture is what the picture file held (or the new picture, when pictureFileExisted is false).
    JournalStore(const QString &picturePath, const Picture &picture, bool pictureFileExisted,
                 const Options &options, QObject *parent = nullptr);
    ~JournalStore() override;

    static QString journalPathFor(const QString &picturePath);
    const QString &journalPath() const { return m_journalPath; }

    // Opens or creates the journal and brings the picture up to date from it. Anything but
    // Started leaves the store unusable; errorString() names the journal and says why.
    StartResult start();
    QString errorString() const { return m_error; }

    const Picture &picture() const override { return m_picture; }
    quint64 openConnection(const QHostAddress &address, quint16 port) override;
    // Recorded with the editor's name beside the address.
    quint64 openNamedConnection(const QHostAddress &address, quint16 port,
                                const QString &name) override;
    void closeConnection(quint64 connection) override;
    Picture::EditResult submit(quint64 connection, quint8 kind, QByteArrayView message) override;
    // Commits the pending batch, so that what is about to be shown survives a crash.
    void aboutToRelay() override;
    // Kept in the journal at once, in a transaction of its own; refused while the journal cannot
    // be written, since a ban that a restart forgets is worse than one that says it failed.
    bool changeModeration(const Moderation::Change &change, QString *problem) override;

    // Opens a connection of the server's own, recorded as address "control", port 0, under which
    // it applies edits nobody sent (reverting, restoring). Closed like any other.
    quint64 openControlConnection();
    // The same, one per action, with the action's label recorded beside it.
    quint64 openActionConnection(const QString &label) override;
    // Commits the pending batch now, without a sync. False while the journal cannot be written.
    bool commitNow();
    // Commits and syncs every commit so far to the disk.
    bool syncNow();
    // The journal as committed, after committing what is pending; nullptr while the journal
    // cannot be read. Valid until the next call of any other member.
    PictureHistory *history();
    // Commits and saves the picture file, for stopping. Returns whether the picture file holds
    // the picture (the journal's failure alone does not fail it).
    bool finish();

    PictureSaver *saver() const { return m_saver; }
    bool isJournaling() const { return !m_failing; }
    // The last edit applied, journaled or not, and the last committed.
    quint64 lastSeq() const { return m_nextSeq - 1; }
    quint64 committedSeq() const { return m_committedSeq; }

Q_SIGNALS:
    // A batch was committed (a crash of this process no longer loses it); lastSeq is the newest
    // edit in the journal.
    void committed(quint64 lastSeq);

private:
    struct LiveConnection
    {
        QString address;
        QString label;
        QString name;
        quint16 port = 0;
        qint64 connectedMs = 0;
        bool queued = false;   // in the writer's pending batch
        bool recorded = false; // committed
    };

    quint64 openRecordedConnection(const QString &address, quint16 port,
                                   const QString &label = QString(),
                                   const QString &name = QString());
    qint64 now();
    StartResult catchUp(bool created);
    void scheduleSync();
    // Called after a commit failed: logs (once), drops the batch and starts trying again.
    void startFailing(const QString &reason, qint64 firstLostMs);
    void retry();
    // Writes the gap and the picture as it stands; true when the journal takes writes again.
    bool resume();
    // Queues the picture as it stands as control edits, then a snapshot after them.
    void queuePictureAsEdits();
    // The journal file is gone or another file took its place.
    bool journalReplaced() const;
    void applyBounds(bool force);
    void fold(quint64 seq);
    void afterSave();

    QString m_picturePath;
    QString m_journalPath;
    Picture m_picture;
    bool m_pictureFileExisted = false;
    Options m_options;
    QString m_error;
    QLockFile m_lock;
    JournalWriter m_writer;
    std::unique_ptr<JournalHistory> m_history;
    PictureSaver *m_saver = nullptr;
    QTimer *m_syncTimer = nullptr;
    QTimer *m_retryTimer = nullptr;
    QByteArray m_widened;

    std::map<quint64, LiveConnection> m_connections;
    quint64 m_nextSeq = 1;
    quint64 m_nextConnection = 1;
    quint64 m_committedSeq = 0;
    quint64 m_lastSnapshotSeq = 0;
    qint64 m_lastMs = 0;
    qint64 m_firstPendingMs = -1;
    qint64 m_lastBoundsMs = 0;
    // The edit the picture file holds as far as the journal has recorded it.
    qint64 m_savedSeq = -1;
    quint64 m_journalInode = 0;

    bool m_unsynced = false; // committed since the last sync
    bool m_failing = false;
    qint64 m_gapFromMs = 0;
};
