#pragma once

#include "serverapp/picturehome.h"
#include "serverapp/serverconfiguration.h"
#include "service/socketactivation.h"

#include <QHostAddress>

#include <memory>

class ControlServer;
class LiveOptions;
class PictureSaver;
class PictureServer;
class Reloader;
class SignalWatcher;
class WebFrontEnd;

// celvane-server: the recovery commands, or the picture server put together from its parts (the
// picture's home, the server, the web side, the control socket, the signals) and run until it
// is asked to stop. The members are declared in the order the parts are made, so that each goes
// before the parts it uses.
class ServerApp
{
public:
    static int run(int argc, char *argv[]);

private:
    ServerApp();
    ~ServerApp();

    static constexpr int Serving = -1;
    // Reads the options and starts serving: Serving, or the exit status to stop with.
    int start(const QStringList &arguments);
    int checkOptions();
    int listen();
    void applyLiveOptions();
    void logRoom() const;
    void startSaving();
    void startControl();
    void watchSignals();
    void stop();
    void announce() const;
    void logCounters() const;

    ServerConfiguration m_configuration;
    SocketActivation m_activation;
    quint64 m_descriptorLimit = 0;
    PictureHome m_home;
    std::unique_ptr<PictureServer> m_server;
    std::unique_ptr<LiveOptions> m_live;
    std::unique_ptr<Reloader> m_reloader;
    // Made after the picture server and so gone before it: its viewers are the server's clients.
    std::unique_ptr<WebFrontEnd> m_web;
    QHostAddress m_webAddress;
    PictureSaver *m_saver = nullptr;
    ControlServer *m_control = nullptr; // owned by the picture server
    std::unique_ptr<SignalWatcher> m_signals;
    int m_status = 0;
};
