#include "recovery/recoveryplanner.h"

#include "recovery/revertcomputation.h"

#include <QDateTime>
#include <QHostAddress>
#include <QStringList>

#include <algorithm>
#include <map>

namespace {

QString moment(qint64 ms)
{
    if (ms < 0)
        return QStringLiteral("-");
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// Rows of text in columns two spaces apart: numbers on the right, text on the left, no
// trailing spaces.
QString formatTable(const QList<QStringList> &rows, const QList<bool> &rightAligned)
{
    QList<qsizetype> widths(rightAligned.size(), 0);
    for (const QStringList &row : rows)
        for (qsizetype i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row.at(i).size());
    QString text;
    for (const QStringList &row : rows) {
        QStringList cells;
        for (qsizetype i = 0; i < row.size(); ++i)
            cells.append(rightAligned.at(i) ? row.at(i).rightJustified(widths.at(i))
                                            : row.at(i).leftJustified(widths.at(i)));
        QString line = cells.join(QStringLiteral("  "));
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
        text += line + QLatin1Char('\n');
    }
    return text;
}

} // namespace

RecoveryPlanner::RecoveryPlanner(PictureHistory *history)
    : m_history(history)
{
}

bool RecoveryPlanner::fail(const QString &error)
{
    m_error = error;
    return false;
}

bool RecoveryPlanner::sameAddress(const QString &a, const QString &b)
{
    const QHostAddress first(a);
    const QHostAddress second(b);
    if (first.isNull() || second.isNull())
        return a == b;
    return first.isEqual(second, QHostAddress::ConvertV4MappedToIPv4);
}

std::optional<PictureHistory::Connection> RecoveryPlanner::connection(quint64 id)
{
    const auto known = m_connections.constFind(id);
    if (known != m_connections.constEnd())
        return *known;
    std::optional<PictureHistory::Connection> found = m_history->connection(id);
    if (!found) {
        fail(QStringLiteral("the history names connection %1 but does not keep it: %2")
                 .arg(id)
                 .arg(m_history->errorString()));
        return std::nullopt;
    }
    m_connections.insert(id, *found);
    return found;
}

std::optional<RecoveryPlanner::Span> RecoveryPlanner::span(std::optional<qint64> sinceMs,
                                                           std::optional<qint64> untilMs)
{
    Span span;
    span.first = m_history->oldestSeq();
    span.last = m_history->lastSeq();
    const auto edgeAt = [this](qint64 ms) -> std::optional<quint64> {
        const std::optional<quint64> seq = m_history->seqAt(ms);
        if (!seq)
            fail(QStringLiteral("%1 is before the oldest moment the history keeps, %2")
                     .arg(moment(ms), moment(m_history->oldestMs())));
        return seq;
    };
    if (sinceMs) {
        const std::optional<quint64> seq = edgeAt(*sinceMs);
        if (!seq)
            return std::nullopt;
        span.first = *seq + 1;
    }
    if (untilMs) {
        const std::optional<quint64> seq = edgeAt(*untilMs);
        if (!seq)
            return std::nullopt;
        span.last = *seq;
    }
    return span;
}

QString RecoveryPlanner::Author::text() const
{
    if (!name.isEmpty())
        return QStringLiteral("author %1").arg(name);
    if (!address.isEmpty())
        return address;
    return QStringLiteral("connection %1").arg(connection);
}

std::optional<QList<RecoveryPlanner::ConnectionSummary>>
RecoveryPlanner::summary(const Span &span, const Filter &filter)
{
    QList<ConnectionSummary> entries;
    QHash<quint64, qsizetype> entryOf;
    bool lookupFailed = false;
    const bool read =
        span.first > span.last ||
        m_history->forEachEdit(span.first, span.last, [&](const PictureHistory::Edit &edit) {
            auto known = entryOf.constFind(edit.connection);
            if (known == entryOf.constEnd()) {
                const auto found = connection(edit.connection);
                if (!found) {
                    lookupFailed = true;
                    return false;
                }
                // A connection from another address, or of another name, is remembered as
                // left out.
                const bool wanted =
                    (filter.address.isEmpty() || sameAddress(found->address, filter.address)) &&
                    (filter.name.isEmpty() || found->name == filter.name);
                known = entryOf.insert(edit.connection, wanted ? entries.size() : -1);
                if (wanted)
                    entries.append({*found, 0, edit.timeMs, edit.timeMs});
            }
            if (*known >= 0) {
                ConnectionSummary &entry = entries[*known];
                ++entry.edits;
                entry.lastMs = edit.timeMs;
            }
            return true;
        });
    if (lookupFailed)
        return std::nullopt;
    if (!read) {
        fail(QStringLiteral("cannot read the history: %1").arg(m_history->errorString()));
        return std::nullopt;
    }
    if (!filter.isEmpty() && entries.isEmpty()) {
        fail(QStringLiteral("%1 made no edits in that time")
                 .arg(filter.name.isEmpty() ? filter.address
                                            : QStringLiteral("author %1").arg(filter.name)));
        return std::nullopt;
    }
    return entries;
}

QString RecoveryPlanner::formatSummary(const QList<ConnectionSummary> &summary)
{
    const QStringList headings = {QStringLiteral("CONN"),      QStringLiteral("ADDRESS"),
                                  QStringLiteral("NAME"),      QStringLiteral("PORT"),
                                  QStringLiteral("CONNECTED"), QStringLiteral("LEFT"),
                                  QStringLiteral("EDITS"),     QStringLiteral("FIRST EDIT"),
                                  QStringLiteral("LAST EDIT"), QStringLiteral("LABEL")};
    QList<QStringList> rows{headings};
    quint64 total = 0;
    for (const ConnectionSummary &entry : summary) {
        const PictureHistory::Connection &c = entry.connection;
        rows.append(
            {QString::number(c.id), c.address, c.name.isEmpty() ? QStringLiteral("-") : c.name,
             c.address == QLatin1String("control") ? QStringLiteral("-") : QString::number(c.port),
             moment(c.connectedMs), moment(c.leftMs), QString::number(entry.edits),
             moment(entry.firstMs), moment(entry.lastMs), c.label});
        total += entry.edits;
    }
    QString text =
        formatTable(rows, {true, false, false, true, false, false, true, false, false, false});
    if (summary.isEmpty()) {
        text += QStringLiteral("total: no edits\n");
    } else {
        qint64 first = summary.first().firstMs;
        qint64 last = summary.first().lastMs;
        for (const ConnectionSummary &entry : summary) {
            first = std::min(first, entry.firstMs);
            last = std::max(last, entry.lastMs);
        }
        text += QStringLiteral("total: %1 edit%2 from %3 connection%4, %5 to %6\n")
                    .arg(total)
                    .arg(total == 1 ? "" : "s")
                    .arg(summary.size())
                    .arg(summary.size() == 1 ? "" : "s")
                    .arg(moment(first), moment(last));
    }
    return text;
}

bool RecoveryPlanner::compute(
    RevertComputation *computation, quint64 first,
    const std::function<std::optional<bool>(const PictureHistory::Edit &)> &byAuthor)
{
    bool lookupFailed = false;
    const quint64 last = m_history->lastSeq();
    const bool read =
        first > last || m_history->forEachEdit(first, last, [&](const PictureHistory::Edit &edit) {
            const std::optional<bool> isAuthor = byAuthor(edit);
            if (!isAuthor) {
                lookupFailed = true;
                return false;
            }
            computation->add(*isAuthor, edit.message, edit.connection);
            return true;
        });
    if (!lookupFailed && !read)
        fail(QStringLiteral("cannot read the history: %1").arg(m_history->errorString()));
    if (lookupFailed || !read)
        return false;
    m_writers = computation->writers();
    return true;
}

std::optional<PictureChange> RecoveryPlanner::revert(const Author &author, const Span &span)
{
    if (!author.name.isEmpty())
        return revertWhere(
            [&](quint64 id) -> std::optional<bool> {
                const auto found = connection(id);
                if (!found)
                    return std::nullopt;
                return found->name == author.name;
            },
            author.text(), span);
    if (author.address.isEmpty())
        return revertWhere([&](quint64 id) { return std::optional<bool>(id == author.connection); },
                           QStringLiteral("connection %1").arg(author.connection), span);
    return revertWhere(
        [&](quint64 id) -> std::optional<bool> {
            const auto found = connection(id);
            if (!found)
                return std::nullopt;
            return sameAddress(found->address, author.address);
        },
        author.address, span);
}

std::optional<PictureChange> RecoveryPlanner::revert(const Subnet &subnet, const Span &span)
{
    return revertWhere(
        [&](quint64 id) -> std::optional<bool> {
            const auto found = connection(id);
            if (!found)
                return std::nullopt;
            return subnet.contains(QHostAddress(found->address));
        },
        subnet.toString(), span);
}

std::optional<PictureChange>
RecoveryPlanner::revertWhere(const std::function<std::optional<bool>(quint64)> &isAuthorOf,
                             const QString &who, const Span &span)
{
    m_restored.reset();
    const std::optional<Picture> start = m_history->pictureAt(span.first - 1);
    if (!start) {
        fail(QStringLiteral("cannot read the picture before edit %1: %2")
                 .arg(span.first)
                 .arg(m_history->errorString()));
        return std::nullopt;
    }
    RevertComputation computation(*start);
    QHash<quint64, bool> isAuthor;
    // The computation goes on to the newest edit, so that what anyone did after the span,
    // the author too, is spared.
    const bool computed = compute(
        &computation, span.first, [&](const PictureHistory::Edit &edit) -> std::optional<bool> {
            auto known = isAuthor.constFind(edit.connection);
            if (known == isAuthor.constEnd()) {
                const std::optional<bool> matches = isAuthorOf(edit.connection);
                if (!matches)
                    return std::nullopt;
                known = isAuthor.insert(edit.connection, *matches);
            }
            return *known && edit.seq <= span.last;
        });
    if (!computed)
        return std::nullopt;
    if (computation.authorEdits() == 0) {
        fail(QStringLiteral("%1 made no edits in that time").arg(who));
        return std::nullopt;
    }
    return PictureChange::revert(computation.current(), computation.reverted());
}

std::optional<PictureChange> RecoveryPlanner::restore(qint64 atMs)
{
    const std::optional<Span> edits = span(std::nullopt, atMs);
    if (!edits)
        return std::nullopt;
    const std::optional<Picture> picture = m_history->pictureAt(edits->last);
    if (!picture) {
        fail(QStringLiteral("cannot read the picture after edit %1: %2")
                 .arg(edits->last)
                 .arg(m_history->errorString()));
        return std::nullopt;
    }
    // Whose work it undoes is read only if asked: it takes reading every later edit.
    m_writers.clear();
    m_restoredSeq = edits->last;
    m_restored = *picture;
    return PictureChange::restore(*picture);
}

std::optional<Picture> RecoveryPlanner::newest()
{
    std::optional<Picture> picture = m_history->pictureAt(m_history->lastSeq());
    if (!picture)
        fail(QStringLiteral("cannot read the newest picture: %1").arg(m_history->errorString()));
    return picture;
}

std::optional<QList<RecoveryPlanner::Undone>> RecoveryPlanner::undone(const Picture &current,
                                                                      const Picture &result)
{
    if (m_restored) {
        RevertComputation computation(*m_restored);
        m_restored.reset();
        if (!compute(&computation, m_restoredSeq + 1,
                     [](const PictureHistory::Edit &) { return std::optional<bool>(false); }))
            return std::nullopt;
    }
    std::map<quint64, Undone> byConnection;
    const QByteArray &now = current.cells();
    const QByteArray &then = result.cells();
    const qsizetype cellCount = now.size();
    const auto count = [&](qsizetype slot, bool isColour) {
        const quint64 writer = slot < qsizetype(m_writers.size()) ? m_writers.at(size_t(slot)) : 0;
        Undone &entry = byConnection[writer];
        entry.connection.id = writer;
        ++(isColour ? entry.colours : entry.cells);
    };
    for (qsizetype i = 0; i < cellCount && i < then.size(); ++i)
        if (now.at(i) != then.at(i))
            count(i, false);
    if (current.border() != result.border())
        count(cellCount, true);
    if (current.background() != result.background())
        count(cellCount + 1, true);
    QList<Undone> entries;
    for (auto &[id, entry] : byConnection) {
        if (id != 0) {
            const std::optional<PictureHistory::Connection> found = connection(id);
            if (!found)
                return std::nullopt;
            entry.connection = *found;
        }
        entries.append(entry);
    }
    return entries;
}

QString RecoveryPlanner::formatUndone(const QList<Undone> &undone)
{
    QList<QStringList> rows{{QStringLiteral("CONN"), QStringLiteral("ADDRESS"),
                             QStringLiteral("CELLS"), QStringLiteral("COLOURS"),
                             QStringLiteral("LABEL")}};
    for (const Undone &entry : undone) {
        const PictureHistory::Connection &c = entry.connection;
        rows.append({c.id ? QString::number(c.id) : QStringLiteral("-"),
                     c.id ? c.address : QStringLiteral("(older than the history)"),
                     QString::number(entry.cells), QString::number(entry.colours), c.label});
    }
    return formatTable(rows, {true, false, true, true, false});
}
