#include "server/faultpoint.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Settings
{
    bool armed = false;
    bool cut = false;
    long long at = 0;
    QByteArray label;
};

const Settings &settings()
{
    static const Settings read = [] {
        Settings result;
        const QList<QByteArray> parts = qgetenv("CELVANE_TEST_FAULT").split(':');
        if (parts.size() < 2 || (parts.at(0) != "kill" && parts.at(0) != "cut"))
            return result;
        result.armed = true;
        result.cut = parts.at(0) == "cut";
        result.at = parts.at(1).toLongLong();
        if (parts.size() > 2)
            result.label = parts.at(2);
        return result;
    }();
    return read;
}

const char *currentLabel = "other";
long long steps = 0;

std::function<void()> &powerCutUndo()
{
    static std::function<void()> undo;
    return undo;
}

} // namespace

bool FaultPoint::isArmed()
{
    return settings().armed;
}

bool FaultPoint::simulatesPowerCut()
{
    return settings().armed && settings().cut;
}

void FaultPoint::reached()
{
    const Settings &fault = settings();
    if (!fault.armed || fault.at <= 0)
        return;
    if (!fault.label.isEmpty() && fault.label != currentLabel)
        return;
    if (++steps != fault.at)
        return;
    std::fprintf(stderr, "fault: %s at %lld in %s, %lld\n", fault.cut ? "cut" : "kill", steps,
                 currentLabel, static_cast<long long>(QDateTime::currentMSecsSinceEpoch()));
    std::fflush(stderr);
    if (fault.cut && powerCutUndo())
        powerCutUndo()();
    std::raise(SIGKILL);
    std::abort();
}

FaultPoint::Scope::Scope(const char *label)
    : m_previous(currentLabel)
{
    currentLabel = label;
}

FaultPoint::Scope::~Scope()
{
    currentLabel = m_previous;
}

void FaultPoint::setPowerCutUndo(std::function<void()> undo)
{
    powerCutUndo() = std::move(undo);
}
