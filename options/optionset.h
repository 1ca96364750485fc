#pragma once

#include "options/option.h"
#include "options/optionvalues.h"

#include <QByteArray>
#include <QString>

class QCommandLineParser;

// The options of a program, gathered from the tables its parts declare. It reads them from the
// command line and from a configuration file of "NAME = VALUE" lines, and resolves the two:
// the command line wins, option by option, and defaults fill in the rest.
class OptionSet
{
public:
    void add(const OptionTable &table);
    const std::vector<Option> &options() const { return m_options; }
    const Option *find(const QString &name) const;

    // Declares every option to the parser, for reading and for --help.
    void addTo(QCommandLineParser *parser) const;
    // The options the parser has seen. False, with *error such as "--port needs a number from 0
    // to 65535", for a value its option refuses.
    bool read(const QCommandLineParser &parser, OptionValues *values, QString *error) const;

    // A configuration file: "NAME = VALUE" lines, NAME a long option's name; a repeatable option
    // on several lines, a flag as "NAME = yes" (or no); "#" comments and blank lines. False, with
    // *error "FILE:LINE: what is wrong", for an unknown name, a bad value, a single option given
    // twice or a line that is none of these; "FILE: ..." for a file that cannot be read.
    bool readFile(const QString &path, OptionValues *values, QString *error) const;
    bool readText(const QByteArray &text, const QString &fileName, OptionValues *values,
                  QString *error) const;

    // The values in force: each option from the command line if given there, else from the
    // file, else its default.
    OptionValues resolve(const OptionValues &file, const OptionValues &commandLine) const;

    // A configuration file with every option commented out at its default, each after its help.
    QByteArray fileTemplate(const QString &heading) const;

private:
    std::vector<Option> m_options;
};
