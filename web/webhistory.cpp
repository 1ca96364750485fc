#include "web/webhistory.h"

#include "server/picturehistory.h"

#include <utility>

WebHistory webHistoryOf(std::function<PictureHistory *()> historyNow, TimeParser parseTime)
{
    WebHistory web;
    web.keptRange = [historyNow]() -> std::optional<WebHistory::Range> {
        PictureHistory *history = historyNow();
        if (!history)
            return std::nullopt;
        const qint64 first = history->oldestMs();
        qint64 last = first;
        const quint64 lastSeq = history->lastSeq();
        if (lastSeq >= history->oldestSeq()) {
            history->forEachEdit(lastSeq, lastSeq, [&last](const PictureHistory::Edit &edit) {
                last = qMax(last, edit.timeMs);
                return false;
            });
        }
        return WebHistory::Range{QDateTime::fromMSecsSinceEpoch(first, Qt::UTC),
                                 QDateTime::fromMSecsSinceEpoch(last, Qt::UTC)};
    };
    web.pictureAt = [historyNow, parse = std::move(parseTime)](
                        const QString &time, QString *error) -> std::optional<Picture> {
        const std::optional<qint64> moment = parse(time, error);
        if (!moment)
            return std::nullopt;
        PictureHistory *history = historyNow();
        if (!history) {
            *error = QStringLiteral("the history cannot be read now");
            return std::nullopt;
        }
        const std::optional<quint64> seq = history->seqAt(*moment);
        if (!seq) {
            *error = QStringLiteral("%1 is before the oldest moment kept, %2")
                         .arg(time, QDateTime::fromMSecsSinceEpoch(history->oldestMs(), Qt::UTC)
                                        .toString(Qt::ISODate));
            return std::nullopt;
        }
        std::optional<Picture> picture = history->pictureAt(*seq);
        if (!picture)
            *error = history->errorString();
        return picture;
    };
    return web;
}
