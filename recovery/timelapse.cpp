#include "recovery/timelapse.h"

#include "connection/protocol.h"
#include "recovery/gifwriter.h"
#include "recovery/recoveryplanner.h"
#include "server/picturehistory.h"

#include <algorithm>

int Timelapse::frameCount(quint64 edits, int durationMs)
{
    const quint64 wanted = quint64(std::max(1, durationMs * FramesPerSecond / 1000));
    return int(std::clamp<quint64>(edits, 1, wanted));
}

std::optional<QByteArray> Timelapse::gif(PictureHistory *history, const Options &options,
                                         QString *problem)
{
    RecoveryPlanner planner(history);
    const std::optional<RecoveryPlanner::Span> span =
        planner.span(options.sinceMs, options.untilMs);
    if (!span) {
        *problem = planner.errorString();
        return std::nullopt;
    }
    std::optional<Picture> picture = history->pictureAt(span->first - 1);
    if (!picture) {
        *problem = QStringLiteral("cannot read the picture before edit %1: %2")
                       .arg(span->first)
                       .arg(history->errorString());
        return std::nullopt;
    }
    const quint64 edits = span->last >= span->first ? span->last - span->first + 1 : 0;
    const int frames = frameCount(edits, options.durationMs);
    const int delayCs = std::max(1, options.durationMs / 10 / frames);

    GifWriter writer(options.size, picture->format().palette);
    const auto addFrame = [&](int number) {
        return writer.addFrame(PictureRenderer::render(*picture, options.size),
                               number == frames ? LastFrameHoldMs / 10 : delayCs);
    };
    bool written = true;
    if (edits == 0) {
        written = addFrame(1);
    } else {
        // Frame n shows the picture after the edit that ends the n-th of frames equal shares.
        int next = 1;
        const auto endOfShare = [&](int frame) {
            return span->first - 1 +
                   (quint64(frame) * edits + quint64(frames) - 1) / quint64(frames);
        };
        quint64 target = endOfShare(next);
        const bool read =
            history->forEachEdit(span->first, span->last, [&](const PictureHistory::Edit &edit) {
                if (edit.message.size() >= Protocol::HeaderSize)
                    picture->apply(quint8(edit.message.at(0)),
                                   edit.message.sliced(Protocol::HeaderSize));
                while (edit.seq == target && next <= frames) {
                    if (!addFrame(next)) {
                        written = false;
                        return false;
                    }
                    target = ++next <= frames ? endOfShare(next) : 0;
                }
                return true;
            });
        if (!read && written) {
            *problem = QStringLiteral("cannot read the history: %1").arg(history->errorString());
            return std::nullopt;
        }
    }
    QByteArray bytes = writer.finish();
    if (!written || bytes.isEmpty()) {
        *problem = writer.errorString();
        return std::nullopt;
    }
    return bytes;
}
