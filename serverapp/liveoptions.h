#pragma once

#include <QString>

class OptionValues;
class PictureServer;
class WebFrontEnd;

// Puts the options that may change while the server runs (Option::Live) into effect on the
// running server: once at start, and again for each one a reload changes. Each such option has
// one line here saying how; an option marked Live without one is a mistake that handles() shows.
class LiveOptions
{
public:
    // web is the web side, when there is one; its options do nothing without it.
    LiveOptions(PictureServer *server, WebFrontEnd *web);

    static bool handles(const QString &name);
    // Applies the option's value from values.
    void apply(const QString &name, const OptionValues &values) const;
    // A reload reads the files that options name again, changed or not (--web-keys).
    void rereadFiles(const OptionValues &values) const;
    // Turns the info lines on, and every message with --verbose. QT_LOGGING_RULES still wins.
    static void setVerbose(bool verbose);

private:
    PictureServer *m_server;
    WebFrontEnd *m_web;
};
