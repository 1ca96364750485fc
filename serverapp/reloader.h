#pragma once

#include "options/optionvalues.h"

#include <QString>

class LiveOptions;
class ServerConfiguration;

// Reads the configuration file again, as SIGHUP and "celvane-server reload" ask. The whole file
// is read into fresh values and checked first, so that a file with any error changes nothing.
// Then each live option that changed is applied, with one log line each, and the options that
// changed but need a restart are named in one line and left as they run.
class Reloader
{
public:
    Reloader(const ServerConfiguration *configuration, const LiveOptions *live);

    struct Result
    {
        bool ok = false;
        QString summary; // one line: what changed, or why nothing did
    };
    Result reload();

private:
    QString shown(const OptionValues &values, const QString &name) const;

    const ServerConfiguration *m_configuration;
    const LiveOptions *m_live;
    // The values the server runs with: those given at start, then each live change applied.
    OptionValues m_running;
};
