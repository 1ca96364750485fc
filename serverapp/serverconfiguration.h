#pragma once

#include "options/optionset.h"
#include "options/optionvalues.h"

#include <QStringList>

// The program's options: every part's table, read from the command line and from the
// configuration file that --config names, the command line winning option by option. Both
// sources are kept, so that a reload reads the file again under the command line given at start.
class ServerConfiguration
{
public:
    ServerConfiguration();

    // The options a configuration file may hold: every part's but the entry's own.
    const OptionSet &fileOptions() const { return m_fileOptions; }
    // Every option of the command line, in the order --help lists them.
    const OptionSet &allOptions() const { return m_allOptions; }

    // Reads the command line (--help and --version print and exit here), then the file. False,
    // with the exit status and one line: 1 for the command line, 2 for the file.
    bool read(const QStringList &arguments, int *status, QString *error);
    const OptionValues &values() const { return m_values; }
    QString configPath() const { return m_configPath; }

    // The file read again and resolved under the command line given at start. False, with
    // "FILE:LINE: what is wrong", for a file with any error.
    bool reread(OptionValues *values, QString *error) const;

    // The file the package ships: every option commented out at its default.
    QByteArray fileTemplate() const;
    // --help's text above the options.
    static QString description();

private:
    OptionSet m_fileOptions;
    OptionSet m_allOptions;
    OptionValues m_commandLine;
    OptionValues m_values;
    QString m_configPath;
};
