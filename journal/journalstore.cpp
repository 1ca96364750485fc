#include "journal/journalstore.h"

#include "connection/protocol.h"
#include "journal/journallogging.h"
#include "journal/journalmoderation.h"
#include "server/faultpoint.h"
#include "server/picturefile.h"
#include "server/picturesaver.h"

#include <QDateTime>
#include <QFile>
#include <QTimer>

#include <sys/stat.h>

Q_LOGGING_CATEGORY(lcJournal, "celvane.journal", QtWarningMsg)

namespace {

constexpr qint64 DayMs = 86400LL * 1000;

quint64 inodeOf(const QString &path)
{
    struct stat status
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return 0;
    return quint64(status.st_ino);
}

} // namespace

JournalStore::JournalStore(const QString &picturePath, const Picture &picture,
                           bool pictureFileExisted, const Options &options, QObject *parent)
    : PictureStore(parent)
    , m_picturePath(picturePath)
    , m_journalPath(journalPathFor(picturePath))
    , m_picture(picture)
    , m_pictureFileExisted(pictureFileExisted)
    , m_options(options)
    , m_lock(m_journalPath + QStringLiteral(".lock"))
    , m_writer(m_journalPath)
    , m_syncTimer(new QTimer(this))
    , m_retryTimer(new QTimer(this))
{
    if (FaultPoint::isArmed()) {
        // The crash tests' pace: snapshots, retention and saves within a session of a second.
        m_options.snapshotEvery = 25;
        m_options.retentionIntervalMs = 20;
    }
    m_syncTimer->setSingleShot(true);
    m_syncTimer->setInterval(m_options.syncDelayMs);
    connect(m_syncTimer, &QTimer::timeout, this, &JournalStore::syncNow);
    m_retryTimer->setInterval(m_options.retryMs);
    connect(m_retryTimer, &QTimer::timeout, this, &JournalStore::retry);
}

JournalStore::~JournalStore()
{
    m_history.reset();
    m_writer.close();
}

QString JournalStore::journalPathFor(const QString &picturePath)
{
    return picturePath + QStringLiteral(".history");
}

qint64 JournalStore::now()
{
    // Times never go back along the order, even when the clock does: readers find the edit at
    // a moment by bisection.
    m_lastMs = qMax(m_lastMs, QDateTime::currentMSecsSinceEpoch());
    return m_lastMs;
}

JournalStore::StartResult JournalStore::start()
{
    m_lock.setStaleLockTime(0);
    if (!m_lock.tryLock(0)) {
        qint64 pid = 0;
        QString host;
        QString application;
        m_lock.getLockInfo(&pid, &host, &application);
        m_error =
            m_lock.error() == QLockFile::LockFailedError
                ? QStringLiteral("%1 is in use by another server (pid %2 on %3, lock %1.lock)")
                      .arg(m_journalPath)
                      .arg(pid)
                      .arg(host)
                : QStringLiteral("%1: cannot create its lock file").arg(m_journalPath);
        return m_lock.error() == QLockFile::LockFailedError ? InUse : Failed;
    }
    const JournalDatabase::OpenResult opened = m_writer.open();
    if (opened == JournalDatabase::Refused) {
        m_error = m_writer.errorString();
        return Refused;
    }
    if (opened != JournalDatabase::Opened && opened != JournalDatabase::Created) {
        m_error = m_writer.errorString();
        return Failed;
    }
    m_journalInode = inodeOf(m_journalPath);
    m_history = std::make_unique<JournalHistory>(m_writer.database());
    const std::optional<Moderation> kept = JournalModeration::read(m_writer.database(), &m_error);
    if (!kept)
        return Failed;
    setModeration(*kept);
    m_lastMs = m_writer.storedLastTimeMs();
    m_nextConnection = m_writer.storedLastConnection() + 1;
    if (opened == JournalDatabase::Created)
        qCInfo(lcJournal).noquote() << "created the journal" << m_journalPath;
    const StartResult caughtUp = catchUp(opened == JournalDatabase::Created);
    if (caughtUp != Started)
        return caughtUp;
    // What the catching up wrote is on the disk before anyone is served.
    m_unsynced = true;
    syncNow();

    m_saver = new PictureSaver(m_picturePath, &m_picture, this);
    if (FaultPoint::isArmed())
        m_saver->setDelay(20);
    // Synced, not only committed: the picture file, synced by its save, must never be on the
    // disk ahead of the journal, or a power cut would leave a file the journal cannot lead to.
    connect(m_saver, &PictureSaver::aboutToSave, this, &JournalStore::syncNow);
    connect(m_saver, &PictureSaver::saved, this, &JournalStore::afterSave);
    if (m_savedSeq != qint64(lastSeq()))
        m_saver->scheduleSave();
    applyBounds(true);
    return Started;
}

JournalStore::StartResult JournalStore::catchUp(bool created)
{
    const qint64 startMs = now();
    const bool hasSnapshot =
        m_writer.database()->queryInteger("SELECT count(*) FROM snapshots") > 0;
    if (created || !hasSnapshot) {
        // The journal's first whole picture is the one served from now on.
        m_nextSeq = m_writer.storedLastSeq() + 1;
        m_writer.addSnapshot(m_nextSeq - 1, startMs, PictureFile::encode(m_picture));
        m_lastSnapshotSeq = m_nextSeq - 1;
        // The picture file holds it already: the server writes a missing one before it starts.
        m_savedSeq = qint64(m_nextSeq - 1);
        m_writer.setSaved(m_nextSeq - 1, startMs);
        if (!m_writer.commit()) {
            m_error = m_writer.errorString();
            return Failed;
        }
        m_committedSeq = m_nextSeq - 1;
        return Started;
    }

    const quint64 last = m_writer.storedLastSeq();
    m_nextSeq = last + 1;
    m_committedSeq = last;
    m_lastSnapshotSeq =
        quint64(m_writer.database()->queryInteger("SELECT ifnull(max(seq), 0) FROM snapshots"));
    const std::optional<Picture> newest = m_history->pictureAt(last);
    if (!newest) {
        m_error = QStringLiteral("%1; refusing to use it").arg(m_history->errorString());
        return Refused;
    }
    const qint64 savedSeq = m_writer.storedSavedSeq();
    if (!m_pictureFileExisted) {
        qCInfo(lcJournal).noquote() << "no picture file: serving the journal's newest picture, "
                                       "after edit"
                                    << last;
        m_picture = *newest;
        return Started;
    }
    if (m_picture == *newest) {
        m_savedSeq = qint64(last);
        return Started;
    }
    // The file as last recorded saved, or as the journal began: either way older than the
    // journal, which leads on from it.
    for (const qint64 seq : {savedSeq, qint64(m_history->oldestSeq()) - 1}) {
        if (seq < 0 || quint64(seq) + 1 < m_history->oldestSeq() || quint64(seq) > last)
            continue;
        const std::optional<Picture> saved = m_history->pictureAt(quint64(seq));
        if (saved && *saved == m_picture) {
            qCInfo(lcJournal).noquote()
                << QStringLiteral("brought %1 up to date from its journal: %2 edits after the "
                                  "picture it holds")
                       .arg(m_picturePath)
                       .arg(last - quint64(seq));
            m_picture = *newest;
            m_savedSeq = seq;
            return Started;
        }
    }
    // The file knows something the journal does not: it is what people last saw, so it wins,
    // and the journal says where its record breaks off.
    qCWarning(lcJournal).noquote()
        << QStringLiteral("%1 holds a picture its journal does not lead to (saved while the "
                          "journal could not be written, or changed by hand): serving the file "
                          "and recording a gap in %2 after edit %3")
               .arg(m_picturePath, m_journalPath)
               .arg(last);
    m_writer.addGap(m_writer.storedLastTimeMs(), startMs, last);
    queuePictureAsEdits();
    if (!m_writer.commit()) {
        m_error = m_writer.errorString();
        return Failed;
    }
    m_committedSeq = m_nextSeq - 1;
    return Started;
}

quint64 JournalStore::openConnection(const QHostAddress &address, quint16 port)
{
    return openNamedConnection(address, port, QString());
}

quint64 JournalStore::openNamedConnection(const QHostAddress &address, quint16 port,
                                          const QString &name)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    const quint64 id = openRecordedConnection(
        isV4 ? QHostAddress(v4).toString() : address.toString(), port, QString(), name);
    noteAddress(id, address, name);
    return id;
}

quint64 JournalStore::openControlConnection()
{
    return openRecordedConnection(QStringLiteral("control"), 0);
}

quint64 JournalStore::openActionConnection(const QString &label)
{
    return openRecordedConnection(QStringLiteral("control"), 0, label);
}

quint64 JournalStore::openRecordedConnection(const QString &address, quint16 port,
                                             const QString &label, const QString &name)
{
    const quint64 id = m_nextConnection++;
    LiveConnection &connection = m_connections[id];
    connection.address = address;
    connection.label = label;
    connection.name = name;
    connection.port = port;
    connection.connectedMs = now();
    if (!m_failing) {
        m_writer.addConnection(id, address, port, connection.connectedMs, label, name);
        connection.queued = true;
        scheduleSync();
    }
    return id;
}

bool JournalStore::changeModeration(const Moderation::Change &change, QString *problem)
{
    Moderation changed = moderation();
    if (!changed.apply(change, problem))
        return false;
    if (m_failing || !m_writer.isOpen()) {
        *problem = QStringLiteral("%1 cannot be written now").arg(m_journalPath);
        return false;
    }
    if (!JournalModeration::write(m_writer.database(), changed, problem))
        return false;
    setModeration(changed);
    return true;
}

void JournalStore::closeConnection(quint64 id)
{
    forgetAddress(id);
    const auto found = m_connections.find(id);
    if (found == m_connections.end())
        return;
    // A connection whose record never reached the journal leaves no end to record either: its
    // edits were lost with it.
    if (!m_failing && (found->second.queued || found->second.recorded)) {
        m_writer.setLeft(id, now());
        scheduleSync();
    }
    m_connections.erase(found);
}

Picture::EditResult JournalStore::submit(quint64 connection, quint8 kind, QByteArrayView message)
{
    if (const Picture::EditResult screened = screen(connection, kind, message);
        screened != Picture::Applied)
        return screened;
    const Picture::EditResult result = m_picture.apply(kind, message.sliced(Protocol::HeaderSize));
    if (result != Picture::Applied)
        return result;
    const QByteArrayView relayed = m_picture.relayed(kind, message, &m_widened);
    if (m_failing) {
        m_saver->scheduleSave();
        Q_EMIT edited(connection, relayed);
        return result;
    }
    const quint64 seq = m_nextSeq++;
    const qint64 ms = now();
    m_writer.addEdit(seq, ms, connection, relayed);
    if (m_firstPendingMs < 0)
        m_firstPendingMs = ms;
    if (seq - m_lastSnapshotSeq >= quint64(m_options.snapshotEvery)) {
        m_writer.addSnapshot(seq, ms, PictureFile::encode(m_picture));
        m_lastSnapshotSeq = seq;
    }
    m_saver->scheduleSave();
    Q_EMIT edited(connection, relayed);
    if (m_writer.pendingBytes() >= m_options.maxPendingBytes)
        commitNow();
    else
        scheduleSync();
    return result;
}

void JournalStore::scheduleSync()
{
    // A running timer already covers this record: restarting it would let a steady stream put
    // the sync off for ever.
    if (!m_syncTimer->isActive())
        m_syncTimer->start();
}

void JournalStore::aboutToRelay()
{
    commitNow();
}

bool JournalStore::syncNow()
{
    m_syncTimer->stop();
    if (!commitNow())
        return false;
    if (!m_unsynced)
        return true;
    if (!m_writer.sync()) {
        // What the failed sync covered may or may not be on the disk: the journal is treated as
        // failing from here on, and records a gap when it works again.
        startFailing(m_writer.errorString(), now());
        return false;
    }
    m_unsynced = false;
    return true;
}

bool JournalStore::commitNow()
{
    if (m_failing)
        return false;
    if (!m_writer.hasPending())
        return true;
    const qint64 firstLost = m_firstPendingMs >= 0 ? m_firstPendingMs : now();
    if (journalReplaced()) {
        startFailing(QStringLiteral("the file was removed or replaced"), firstLost);
        return false;
    }
    if (!m_writer.commit()) {
        startFailing(m_writer.errorString(), firstLost);
        return false;
    }
    m_firstPendingMs = -1;
    m_committedSeq = m_nextSeq - 1;
    for (auto &entry : m_connections) {
        if (entry.second.queued) {
            entry.second.queued = false;
            entry.second.recorded = true;
        }
    }
    m_unsynced = true;
    scheduleSync();
    Q_EMIT committed(m_committedSeq);
    applyBounds(false);
    return true;
}

bool JournalStore::journalReplaced() const
{
    return inodeOf(m_journalPath) != m_journalInode;
}

void JournalStore::startFailing(const QString &reason, qint64 firstLostMs)
{
    qCWarning(lcJournal).noquote()
        << QStringLiteral("cannot write the journal %1 (%2): edits are not journaled until it "
                          "can be written again; %3 is still saved")
               .arg(m_journalPath, reason, m_picturePath);
    m_failing = true;
    m_gapFromMs = firstLostMs;
    m_firstPendingMs = -1;
    m_writer.discardPending();
    // Edits lost with the batch have numbers no journal will hold: numbering goes on from the
    // last one committed, so that the kept order has no holes.
    m_nextSeq = m_committedSeq + 1;
    m_lastSnapshotSeq = qMin(m_lastSnapshotSeq, m_committedSeq);
    for (auto &entry : m_connections)
        entry.second.queued = false;
    m_retryTimer->start();
}

void JournalStore::retry()
{
    if (!m_failing) {
        m_retryTimer->stop();
        return;
    }
    if (resume()) {
        m_retryTimer->stop();
        applyBounds(true);
    }
}

bool JournalStore::resume()
{
    const qint64 untilMs = now();
    bool recreated = false;
    if (journalReplaced() || !m_writer.isOpen()) {
        m_history.reset();
        m_writer.close();
        const JournalDatabase::OpenResult opened = m_writer.open();
        if (opened != JournalDatabase::Opened && opened != JournalDatabase::Created)
            return false;
        if (opened == JournalDatabase::Opened && m_writer.storedLastSeq() != m_committedSeq) {
            // Someone put another journal there: it is not ours to continue.
            m_writer.close();
            return false;
        }
        recreated = opened == JournalDatabase::Created;
        if (recreated) {
            for (auto &entry : m_connections)
                entry.second.recorded = false;
        }
        m_journalInode = inodeOf(m_journalPath);
        m_history = std::make_unique<JournalHistory>(m_writer.database());
    }
    m_writer.discardPending();
    for (auto &entry : m_connections) {
        if (!entry.second.recorded) {
            m_writer.addConnection(entry.first, entry.second.address, entry.second.port,
                                   entry.second.connectedMs, entry.second.label, entry.second.name);
            entry.second.queued = true;
        }
    }
    m_writer.addGap(m_gapFromMs, untilMs, m_committedSeq);
    if (recreated) {
        // A new file has no past to lead to the picture: it starts from it.
        m_writer.addSnapshot(m_committedSeq, untilMs, PictureFile::encode(m_picture));
        m_lastSnapshotSeq = m_committedSeq;
    } else {
        queuePictureAsEdits();
    }
    if (!m_writer.commit()) {
        m_writer.discardPending();
        m_nextSeq = m_committedSeq + 1;
        for (auto &entry : m_connections)
            entry.second.queued = false;
        return false;
    }
    m_failing = false;
    m_committedSeq = m_nextSeq - 1;
    m_unsynced = true;
    scheduleSync();
    for (auto &entry : m_connections) {
        if (entry.second.queued) {
            entry.second.queued = false;
            entry.second.recorded = true;
        }
    }
    qCInfo(lcJournal).noquote()
        << QStringLiteral("the journal %1 takes writes again%2; nothing was journaled from %3 to "
                          "%4 (recorded as a gap)")
               .arg(m_journalPath,
                    recreated ? QStringLiteral(" (a new file: its past is gone)") : QString(),
                    QDateTime::fromMSecsSinceEpoch(m_gapFromMs).toString(Qt::ISODateWithMs),
                    QDateTime::fromMSecsSinceEpoch(untilMs).toString(Qt::ISODateWithMs));
    Q_EMIT committed(m_committedSeq);
    return true;
}

void JournalStore::queuePictureAsEdits()
{
    // The whole picture as edits of the server's own: the frame colours and every row in full.
    // Replayed over anything in the same format, they give exactly this picture.
    const quint64 control = m_nextConnection++;
    const qint64 ms = now();
    m_writer.addConnection(control, QStringLiteral("control"), 0, ms);
    m_writer.addEdit(m_nextSeq++, ms, control,
                     Protocol::encodeCommand(Protocol::SetColorsCommand, m_picture.border(),
                                             m_picture.background(), 0));
    const CanvasFormat &format = m_picture.format();
    for (int row = 0; row < format.rows; ++row) {
        const auto *cells =
            reinterpret_cast<const quint8 *>(m_picture.cells().constData()) + row * format.columns;
        m_writer.addEdit(m_nextSeq++, ms, control,
                         Protocol::encodeRowData(quint8(row), quint8(format.columns), cells));
    }
    m_writer.setLeft(control, ms);
    // A whole picture after them, so that a journal whose older pictures are in another format
    // still rebuilds every moment from here on.
    m_writer.addSnapshot(m_nextSeq - 1, ms, PictureFile::encode(m_picture));
    m_lastSnapshotSeq = m_nextSeq - 1;
}

void JournalStore::afterSave()
{
    if (m_failing)
        return;
    // The save was preceded by a commit, so the file holds exactly the picture after the last
    // edit numbered.
    // Committed at once: a start that found the file newer than the journal's record of it
    // would take it for a file the journal knows nothing of.
    m_savedSeq = qint64(m_nextSeq - 1);
    m_writer.setSaved(m_nextSeq - 1, now());
    commitNow();
}

PictureHistory *JournalStore::history()
{
    commitNow();
    return m_writer.isOpen() ? m_history.get() : nullptr;
}

bool JournalStore::finish()
{
    // Everyone still connected leaves with the server.
    for (const auto &entry : m_connections) {
        if (!m_failing && (entry.second.queued || entry.second.recorded))
            m_writer.setLeft(entry.first, now());
    }
    m_connections.clear();
    commitNow();
    const bool saved = m_saver->saveNow();
    // Records the save just made, so that the next start finds the file current.
    syncNow();
    return saved;
}

void JournalStore::applyBounds(bool force)
{
    const qint64 nowMs = now();
    if (m_failing || (!force && nowMs - m_lastBoundsMs < m_options.retentionIntervalMs))
        return;
    m_lastBoundsMs = nowMs;
    // Never past the picture file's recorded save: a start after a crash replays from there.
    if (m_savedSeq < 0)
        return;
    const quint64 limit = quint64(m_savedSeq);
    const quint64 oldest = m_history->oldestSeq();
    if (m_options.keepDays > 0) {
        const std::optional<quint64> seq = m_history->seqAt(nowMs - m_options.keepDays * DayMs);
        if (seq && *seq >= oldest)
            fold(qMin(*seq, limit));
    }
    if (m_options.maxBytes > 0) {
        const qint64 used = m_writer.usedBytes();
        const qint64 edits = m_writer.editCount();
        if (used > m_options.maxBytes && edits > 0) {
            // Down to three quarters of the bound, so that folding is not needed again at once.
            const qint64 perEdit = qMax<qint64>(1, used / edits);
            const quint64 drop = quint64((used - m_options.maxBytes * 3 / 4) / perEdit + 1);
            const quint64 first = m_history->oldestSeq();
            fold(qMin(qMin(first - 1 + drop, m_history->lastSeq()), limit));
        }
    }
}

void JournalStore::fold(quint64 seq)
{
    if (seq < m_history->oldestSeq())
        return;
    qint64 timeMs = 0;
    m_history->forEachEdit(seq, seq, [&timeMs](const PictureHistory::Edit &edit) {
        timeMs = edit.timeMs;
        return false;
    });
    const std::optional<Picture> picture = m_history->pictureAt(seq);
    if (!picture || timeMs == 0) {
        qCWarning(lcJournal).noquote() << "cannot fold old edits:" << m_history->errorString();
        return;
    }
    if (!m_writer.fold(seq, timeMs, PictureFile::encode(*picture))) {
        qCWarning(lcJournal).noquote() << "cannot fold old edits:" << m_writer.errorString();
        return;
    }
    qCInfo(lcJournal).noquote() << "folded the edits up to" << seq << "into a snapshot of"
                                << QDateTime::fromMSecsSinceEpoch(timeMs).toString(Qt::ISODate);
}
