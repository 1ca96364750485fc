#pragma once

#include <QString>

class OptionValues;
class PictureServer;

// Puts the options that may change while the server runs (Option::Live) into effect on the
// running server: once at start, and again for each one a reload changes. Each such option has
// one line here saying how; an option marked Live without one is a mistake that handles() shows.
class LiveOptions
{
public:
    explicit LiveOptions(PictureServer *server);

    static bool handles(const QString &name);
    // Applies the option's value from values.
    void apply(const QString &name, const OptionValues &values) const;
    // Turns the info lines on, and every message with --verbose. QT_LOGGING_RULES still wins.
    static void setVerbose(bool verbose);

private:
    PictureServer *m_server;
};
