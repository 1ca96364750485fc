#pragma once

#include "recovery/picturechange.h"
#include "server/picturehistory.h"
#include "server/subnet.h"

#include <QHash>
#include <QList>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

class RevertComputation;

// Answers the recovery commands' questions from a picture's kept history: who edited when, what
// reverting one author gives, and the picture at a moment. It reads through PictureHistory
// alone, so it works the same on a journal file and on a shared stream.
//
// Every answer that fails says why in errorString(), in one line for a person.
class RecoveryPlanner
{
public:
    // Whose edits a revert undoes: one connection, every connection from an address, or every
    // connection of a named editor (a web page opened with that editor's key).
    struct Author
    {
        quint64 connection = 0; // used when address and name are empty
        QString address;
        QString name{}; // used when set, before address
        // As messages and labels name it: "connection 17", "127.0.0.2" or "author alice".
        QString text() const;
    };
    // Which connections a summary keeps: all, or those from an address, or of a name.
    struct Filter
    {
        QString address{};
        QString name{};
        bool isEmpty() const { return address.isEmpty() && name.isEmpty(); }
    };

    struct ConnectionSummary
    {
        PictureHistory::Connection connection;
        quint64 edits = 0;
        qint64 firstMs = 0;
        qint64 lastMs = 0;
    };

    // Whose work a change would undo: the cells and frame colours whose value it changes that
    // the connection set last.
    struct Undone
    {
        PictureHistory::Connection connection; // id 0: set before the history's oldest picture
        int cells = 0;
        int colours = 0;
    };

    struct Span
    {
        quint64 first = 1; // the first edit in it
        quint64 last = 0;  // the last; first > last for an empty span
    };

    explicit RecoveryPlanner(PictureHistory *history);

    QString errorString() const { return m_error; }

    // The edits between two moments (either may be left open: all kept, up to the newest).
    std::optional<Span> span(std::optional<qint64> sinceMs, std::optional<qint64> untilMs);

    // One entry per connection that edited in the span, in the order of their first edits;
    // a filter's address or name, when not empty, keeps only the connections from it or of it.
    std::optional<QList<ConnectionSummary>> summary(const Span &span, const Filter &filter);
    // The summary as the history command prints it: aligned columns, then a total line.
    static QString formatSummary(const QList<ConnectionSummary> &summary);

    // Undoes the author's edits in the span that nobody built on. Edits after the span, the
    // author's own included, count as built on it. Fails for an author who made none in it.
    std::optional<PictureChange> revert(const Author &author, const Span &span);
    // The same for every connection from an address in the subnet.
    std::optional<PictureChange> revert(const Subnet &subnet, const Span &span);
    // The picture as it stood at a moment, made the current one.
    std::optional<PictureChange> restore(qint64 atMs);

    // The picture after the newest kept edit.
    std::optional<Picture> newest();
    // Whose work the last revert() or restore() undoes, where current becomes result: one
    // entry per connection, in the order of their numbers.
    std::optional<QList<Undone>> undone(const Picture &current, const Picture &result);
    // As a dry run prints it: aligned columns under a heading.
    static QString formatUndone(const QList<Undone> &undone);

    static bool sameAddress(const QString &a, const QString &b);

private:
    std::optional<PictureHistory::Connection> connection(quint64 id);
    // isAuthorOf tells a connection's edits from the others', or nothing when it cannot.
    std::optional<PictureChange>
    revertWhere(const std::function<std::optional<bool>(quint64)> &isAuthorOf, const QString &who,
                const Span &span);
    bool fail(const QString &error);
    // Adds every edit from first to the newest; false after saying why when reading failed.
    bool compute(RevertComputation *computation, quint64 first,
                 const std::function<std::optional<bool>(const PictureHistory::Edit &)> &byAuthor);

    PictureHistory *m_history = nullptr;
    QHash<quint64, PictureHistory::Connection> m_connections;
    // Who set each slot last, as RevertComputation::writers() gives it, for undone().
    std::vector<quint64> m_writers;
    // The picture the last restore() goes back to, and the edit it stood after, until undone()
    // reads on from there.
    std::optional<Picture> m_restored;
    quint64 m_restoredSeq = 0;
    QString m_error;
};
