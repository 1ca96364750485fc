#pragma once

#include "connection/messagereader.h"

#include <QList>

// What one read's worth of complete messages asks of the window. Every Update replaces the whole
// picture, so of several that arrive together only the last one that can be installed needs
// installing: the ones before it are superseded, and so is anything else that came before it.
// Messages after it still need acting on, in order, once it is installed.
struct BatchPlan
{
    // Index of the last Update with a known format and all of its cells, or -1 when none.
    qsizetype lastUpdate = -1;
    // Whether an installable Update before lastUpdate names a format with frame colours.
    // Installing one enables the border and background menus, and an Update of a two-colour
    // format leaves them as they are, empty; skipping it must not change that.
    bool supersededFrameColors = false;
};

BatchPlan planBatch(const QList<MessageReader::Message> &messages);
