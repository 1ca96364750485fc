#pragma once

#include "journal/journaldatabase.h"
#include "server/moderation.h"
#include "server/picturehistory.h"

#include <memory>

// The kept past of a picture, read from its journal: a file given by path and opened read-only
// here (exports at a moment, the recovery commands), or the database a running server writes
// (which sees what that server has committed).
//
// Edit times never decrease along the order (the writer sees to it), so the edit at a moment is
// found by bisecting the order rather than by an index on time.
class JournalHistory : public PictureHistory
{
public:
    // Reads the journal file at path once open() succeeds.
    explicit JournalHistory(const QString &path);
    // Reads through a database that stays open elsewhere; it must outlive this.
    explicit JournalHistory(JournalDatabase *database);
    ~JournalHistory() override;

    // Opens the file read-only; Opened, Missing, Refused or Failed.
    JournalDatabase::OpenResult open();

    QString errorString() const override { return m_error; }
    quint64 oldestSeq() override;
    qint64 oldestMs() override;
    quint64 lastSeq() override;
    std::optional<quint64> seqAt(qint64 ms) override;
    std::optional<Picture> pictureAt(quint64 seq) override;
    bool forEachEdit(quint64 first, quint64 last,
                     const std::function<bool(const Edit &)> &visit) override;
    std::optional<Connection> connection(quint64 id) override;

    // The bans and locks kept in the journal; nothing if reading failed.
    std::optional<Moderation> moderation();
    // Whether any connection the journal keeps came from the subnet; nothing if reading failed.
    std::optional<bool> hasConnectionFrom(const Subnet &subnet);
    // Whether any connection the journal keeps drew as the named editor; nothing if reading
    // failed.
    std::optional<bool> hasConnectionNamed(const QString &name);

    // The gaps in the journal, oldest first.
    struct Gap
    {
        qint64 fromMs = 0;
        qint64 untilMs = 0;
        quint64 afterSeq = 0;
    };
    QList<Gap> gaps();

private:
    bool prepare();
    bool failed(const char *what);
    // The time of one kept edit, or -1.
    qint64 editTime(quint64 seq);

    std::unique_ptr<JournalDatabase> m_owned;
    JournalDatabase *m_database = nullptr;
    QString m_error;
    bool m_prepared = false;
    JournalDatabase::Statement m_oldest;
    JournalDatabase::Statement m_last;
    JournalDatabase::Statement m_editTime;
    JournalDatabase::Statement m_snapshot;
    JournalDatabase::Statement m_edits;
    JournalDatabase::Statement m_connection;
};
