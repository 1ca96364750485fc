#pragma once

#include "web/webhistory.h"
#include "web/webmoderation.h"

class ControlServer;
class JournalStore;
class PictureServer;
class WebFrontEnd;

// The hooks behind the web side's /cell and moderation API, filled from the parts that do the
// work: the editors' keys the web side holds, the journal's kept past, and the control socket's
// server, whose revert, ban and lock the API carries out in this process exactly as the revert,
// ban and lock commands have it carry them out through the socket, and who drew each cell as
// CellAuthorship keeps it (made here, owned by web). Without a journal there is no past: /cell,
// the authors list and reverts answer 404, and bans, locks and their listing work on the store
// alone.
class WebModerationSetup
{
public:
    static WebModeration hooks(PictureServer *server, JournalStore *journal, ControlServer *control,
                               WebFrontEnd *web);
    // TIME as the commands' --since, --until and --at read it.
    static TimeParser timeParser();
};
