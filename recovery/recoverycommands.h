#pragma once

#include <QString>
#include <QStringList>

// The subcommands of celvane-server that read a picture's kept history and repair the picture
// from it: history, revert, restore and timelapse. main() hands them the whole command line when
// its first argument names one; each parses its own options and says what it takes with --help.
//
// revert and restore carry the change out through a running server's control socket when a
// server holds the picture (so every window sees it at once), or on the files themselves, under
// the picture's lock, when none does. Every failure is one line on standard error and exit
// status 1, with nothing changed.
class RecoveryCommands
{
public:
    static bool isCommand(const QString &argument);
    // arguments as the program got them: its name, then the subcommand, then the subcommand's.
    static int run(const QStringList &arguments);
    // The lines --help of the server itself adds about the subcommands.
    static QString summary();
};
