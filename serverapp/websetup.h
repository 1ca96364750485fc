#pragma once

#include <QHostAddress>

#include <memory>

class ControlServer;
class JournalStore;
class PictureServer;
class WebFrontEnd;
struct WebEndpoint;

// The web side of --http: its page, its picture and its counters, with the journal's kept past
// for the page's slider and time-lapse when the picture has one, and the moderation API, which
// carries out its reverts, bans and locks through control as the commands do.
class WebSetup
{
public:
    // Listening at the endpoint, whose address is the server's own when not given; null, with
    // the exit status in *status, after saying why it cannot listen.
    static std::unique_ptr<WebFrontEnd> start(PictureServer *server, JournalStore *journal,
                                              ControlServer *control, const WebEndpoint &endpoint,
                                              QHostAddress *address, int *status);
};
