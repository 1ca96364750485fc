#include "connection/batchplan.h"

#include "model/canvasformat.h"

BatchPlan planBatch(const QList<MessageReader::Message> &messages)
{
    BatchPlan plan;
    for (qsizetype i = 0; i < messages.size(); ++i) {
        if (messages.at(i).kind != Protocol::Update)
            continue;
        // An Update the window would drop installs nothing, so it supersedes nothing either.
        const auto update = Protocol::decodeUpdate(messages.at(i).payload);
        if (!update)
            continue;
        if (plan.lastUpdate >= 0) {
            const auto previous = Protocol::decodeUpdate(messages.at(plan.lastUpdate).payload);
            plan.supersededFrameColors |= previous->format->hasFrameColors;
        }
        plan.lastUpdate = i;
    }
    return plan;
}
