#pragma once

#include "server/picturerenderer.h"

#include <QByteArray>
#include <QSize>
#include <QString>

#include <optional>

class PictureHistory;

// An animated GIF of a picture growing, from its kept history: each frame drawn as Celvane shows
// the picture (PictureRenderer, as --export-png), frames evenly spaced by edits rather than by
// time, so that idle hours take no frames, and the last frame held for a second.
class Timelapse
{
public:
    static constexpr int FramesPerSecond = 10;
    static constexpr int DefaultDurationMs = 10000;
    static constexpr int LastFrameHoldMs = 1000;

    struct Options
    {
        std::optional<qint64> sinceMs; // open: the whole kept history
        std::optional<qint64> untilMs; // open: up to the newest edit
        // How long the growing takes, the last frame's second not counted. It sets the number of
        // frames, ten a second, unless the span holds fewer edits than that.
        int durationMs = DefaultDurationMs;
        QSize size = PictureRenderer::DefaultSize;
    };

    // The number of frames a span of edits makes: one per edit up to the duration's share, and
    // one for a span without edits.
    static int frameCount(quint64 edits, int durationMs);

    // The GIF's bytes; nothing, with the reason in *problem, when the history cannot be read or
    // a moment is before its oldest.
    static std::optional<QByteArray> gif(PictureHistory *history, const Options &options,
                                         QString *problem);
};
