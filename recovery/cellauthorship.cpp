#include "recovery/cellauthorship.h"

#include "connection/protocol.h"
#include "recovery/recoveryplanner.h"
#include "server/picturestore.h"

#include <QDateTime>
#include <QHash>
#include <QTimer>

#include <algorithm>

namespace {

// A history that cannot be read now is tried again after this long, not on every turn.
constexpr int RetryMs = 1000;

} // namespace

CellAuthorship::CellAuthorship(PictureStore *store, std::function<PictureHistory *()> history,
                               QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_history(std::move(history))
    , m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &CellAuthorship::scanChunk);
    connect(store, &PictureStore::edited, this, &CellAuthorship::liveEdit);
    connect(store, &PictureStore::replaced, this, &CellAuthorship::restart);
}

CellAuthorship::~CellAuthorship() = default;

void CellAuthorship::start()
{
    restart();
}

void CellAuthorship::restart()
{
    m_cells.assign(size_t(m_store->picture().format().cellCount()), Entry());
    m_unknown = int(m_cells.size());
    m_seeded = false;
    m_positioned = false;
    m_timer->start(0);
}

std::optional<CellAuthorship::Span> CellAuthorship::cellsSetBy(QByteArrayView message,
                                                               const CanvasFormat &format)
{
    if (message.size() < Protocol::HeaderSize)
        return std::nullopt;
    const Protocol::MessageHeader header = Protocol::decodeHeader(message.data());
    if (message.size() != Protocol::HeaderSize + header.length)
        return std::nullopt;
    const auto edit =
        Protocol::decodeRelayedEdit(header.kind, message.sliced(Protocol::HeaderSize), format);
    if (!edit)
        return std::nullopt;
    switch (edit->type) {
    case Protocol::RelayedEdit::Clear:
        return Span{0, format.cellCount()};
    case Protocol::RelayedEdit::SetColors:
        return Span{0, 0};
    case Protocol::RelayedEdit::SetCell:
        return Span{edit->b * format.columns + edit->a, 1};
    case Protocol::RelayedEdit::Row:
        return Span{edit->a * format.columns, format.columns};
    }
    return std::nullopt;
}

void CellAuthorship::liveEdit(quint64 connection, QByteArrayView relayed)
{
    const std::optional<Span> span = cellsSetBy(relayed, m_store->picture().format());
    if (!span || size_t(span->first + span->count) > m_cells.size())
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (int i = span->first; i < span->first + span->count; ++i) {
        Entry &entry = m_cells[size_t(i)];
        m_unknown -= entry.seq == 0;
        entry = {Live, connection, now};
    }
}

void CellAuthorship::scanChunk()
{
    if (m_cells.size() != size_t(m_store->picture().format().cellCount())) {
        restart();
        return;
    }
    PictureHistory *history = m_history();
    if (!history) {
        m_timer->start(RetryMs);
        return;
    }
    if (!m_positioned) {
        // What is announced from here on comes live (and wins over the scan, should the two
        // meet); the scan reads what was kept before.
        m_next = history->lastSeq();
        m_oldest = history->oldestSeq();
        m_positioned = true;
    }
    // Retention may have folded edits away since the last turn: they are no longer kept.
    m_oldest = std::max(m_oldest, history->oldestSeq());
    if (m_unknown > 0 && m_next >= m_oldest) {
        const quint64 last = m_next;
        const quint64 first =
            last - m_oldest + 1 > quint64(SeedChunk) ? last - SeedChunk + 1 : m_oldest;
        const CanvasFormat &format = m_store->picture().format();
        // Forward within the chunk, so that its latest change of a cell wins; a cell whose
        // entry came from a later chunk, or live, is settled already.
        const bool read = history->forEachEdit(first, last, [&](const PictureHistory::Edit &edit) {
            const std::optional<Span> span = cellsSetBy(edit.message, format);
            if (!span)
                return true;
            for (int i = span->first; i < span->first + span->count; ++i) {
                Entry &entry = m_cells[size_t(i)];
                if (entry.seq > last)
                    continue; // settled by a newer chunk, or live
                m_unknown -= entry.seq == 0;
                entry = {edit.seq, edit.connection, edit.timeMs};
            }
            return true;
        });
        if (!read) {
            m_timer->start(RetryMs);
            return;
        }
        m_next = first - 1;
        if (m_unknown > 0 && m_next >= m_oldest) {
            m_timer->start(0);
            return;
        }
    }
    m_seeded = true;
    Q_EMIT seeded();
}

CellAuthorship::Cell CellAuthorship::cell(int x, int y)
{
    Cell answer;
    const CanvasFormat &format = m_store->picture().format();
    const size_t index = size_t(y) * size_t(format.columns) + size_t(x);
    if (x < 0 || y < 0 || x >= format.columns || index >= m_cells.size())
        return answer;
    const Entry &entry = m_cells[index];
    if (entry.seq == 0) {
        answer.state = m_seeded ? Unchanged : NotKnownYet;
        return answer;
    }
    answer.state = Changed;
    answer.connection = entry.connection;
    answer.timeMs = entry.timeMs;
    answer.who.id = entry.connection;
    if (PictureHistory *history = m_history()) {
        if (const auto found = history->connection(entry.connection))
            answer.who = *found;
    }
    return answer;
}

std::optional<CellAuthorship::Authors> CellAuthorship::authorsSince(qint64 sinceMs, QString *error)
{
    PictureHistory *history = m_history();
    if (!history) {
        *error = QStringLiteral("the history cannot be read now");
        return std::nullopt;
    }
    RecoveryPlanner planner(history);
    Authors result;
    result.sinceMs = std::max(sinceMs, history->oldestMs());
    std::optional<RecoveryPlanner::Span> span = planner.span(
        sinceMs < history->oldestMs() ? std::nullopt : std::optional(sinceMs), std::nullopt);
    if (!span) {
        *error = planner.errorString();
        return std::nullopt;
    }
    if (span->last >= span->first && span->last - span->first + 1 > MaxSummaryEdits) {
        span->first = span->last - MaxSummaryEdits + 1;
        history->forEachEdit(span->first, span->first, [&](const PictureHistory::Edit &edit) {
            result.sinceMs = edit.timeMs;
            return false;
        });
    }
    const auto connections = planner.summary(*span, {});
    if (!connections) {
        *error = planner.errorString();
        return std::nullopt;
    }
    QHash<QString, qsizetype> byName;
    for (const RecoveryPlanner::ConnectionSummary &entry : *connections) {
        const PictureHistory::Connection &c = entry.connection;
        qsizetype at = -1;
        if (!c.name.isEmpty())
            at = byName.value(c.name, -1);
        if (at < 0) {
            at = result.authors.size();
            if (!c.name.isEmpty())
                byName.insert(c.name, at);
            result.authors.append({c.name, c.name.isEmpty() ? c.id : 0, 0, 0, {}});
        }
        Author &author = result.authors[at];
        author.edits += entry.edits;
        author.lastMs = std::max(author.lastMs, entry.lastMs);
        if (!author.addresses.contains(c.address))
            author.addresses.append(c.address);
    }
    std::stable_sort(result.authors.begin(), result.authors.end(),
                     [](const Author &a, const Author &b) {
                         return a.edits != b.edits ? a.edits > b.edits : a.lastMs > b.lastMs;
                     });
    return result;
}
