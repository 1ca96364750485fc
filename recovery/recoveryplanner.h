#pragma once

#include "recovery/picturechange.h"
#include "server/picturehistory.h"
#include "server/subnet.h"

#include <QHash>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

// Answers the recovery commands' questions from a picture's kept history: who edited when, what
// reverting one author gives, and the picture at a moment. It reads through PictureHistory
// alone, so it works the same on a journal file and on a shared stream.
//
// Every answer that fails says why in errorString(), in one line for a person.
class RecoveryPlanner
{
public:
    // Whose edits a revert undoes: one connection, or every connection from an address.
    struct Author
    {
        quint64 connection = 0; // used when address is empty
        QString address;
    };

    struct ConnectionSummary
    {
        PictureHistory::Connection connection;
        quint64 edits = 0;
        qint64 firstMs = 0;
        qint64 lastMs = 0;
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
    // address, when not empty, keeps only the connections from it.
    std::optional<QList<ConnectionSummary>> summary(const Span &span, const QString &address);
    // The summary as the history command prints it: aligned columns, then a total line.
    static QString formatSummary(const QList<ConnectionSummary> &summary);

    // Undoes the author's edits in the span that nobody built on. Fails for an author who made
    // none in it.
    std::optional<PictureChange> revert(const Author &author, const Span &span);
    // The same for every connection from an address in the subnet.
    std::optional<PictureChange> revert(const Subnet &subnet, const Span &span);
    // The picture as it stood at a moment, made the current one.
    std::optional<PictureChange> restore(qint64 atMs);

    static bool sameAddress(const QString &a, const QString &b);

private:
    std::optional<PictureHistory::Connection> connection(quint64 id);
    // isAuthorOf tells a connection's edits from the others', or nothing when it cannot.
    std::optional<PictureChange>
    revertWhere(const std::function<std::optional<bool>(quint64)> &isAuthorOf, const QString &who,
                const Span &span);
    bool fail(const QString &error);

    PictureHistory *m_history = nullptr;
    QHash<quint64, PictureHistory::Connection> m_connections;
    QString m_error;
};
