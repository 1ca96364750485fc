#pragma once

#include <QString>
#include <QVariant>

#include <functional>
#include <optional>
#include <vector>

// One setting of the server, declared once, beside the code it configures. The same entry drives
// the command line, the configuration file, --help, the manual page's list and what a reload may
// change, so a name, a default or a help text is never written twice.
struct Option
{
    // Whether a reload may change the setting while the server runs, or only a restart.
    enum Change { NeedsRestart, Live };

    // Reads a value given as text. On failure returns nothing and sets *problem to what was
    // wrong, worded to follow the option's name: "needs a number from 0 to 65535".
    using Parser = std::function<std::optional<QVariant>(const QString &text, QString *problem)>;

    QString name;        // the long name, without its dashes
    QString argument;    // the value's name in the help ("N", "FILE"); empty for a flag
    QString defaultText; // the default as given in text, parsed like any value; empty: none
    QString help;
    Change change = NeedsRestart;
    bool repeatable = false;
    Parser parse; // null for a flag, whose value is true when set

    bool isFlag() const { return argument.isEmpty(); }
};

// The options of one part of the program, in the order --help lists them.
using OptionTable = std::vector<Option>;
