#pragma once

#include <functional>

// A test seam, and nothing else: the crash tests start the real server with
// CELVANE_TEST_FAULT=MODE:N[:LABEL] in its environment, and the N-th write or sync of the
// journal or the picture file (counting only those inside LABEL's operation, when one is given)
// ends the process right there, before that write or sync happens. MODE "kill" dies as a crash
// does (SIGKILL); MODE "cut" first undoes every write not yet synced, as a power cut would lose
// it. N = 0 never fires, but still sets the journal's quick pace (see JournalStore). The variable
// is read once, at the first question; a server started without it pays one test a write.
//
// Before dying it writes "fault: MODE at STEP in LABEL, EPOCH_MS" to standard error, so that
// a test knows when the cut happened.
class FaultPoint
{
public:
    static bool isArmed();
    static bool simulatesPowerCut();

    // Called before each counted write or sync; does not return when the fault fires here.
    static void reached();

    // Names the operation the following writes and syncs belong to, for LABEL; restores the
    // previous one when it ends.
    class Scope
    {
    public:
        explicit Scope(const char *label);
        ~Scope();
        Scope(const Scope &) = delete;
        Scope &operator=(const Scope &) = delete;

    private:
        const char *m_previous;
    };

    // What a power cut would undo: called just before the process dies in MODE "cut".
    static void setPowerCutUndo(std::function<void()> undo);
};
