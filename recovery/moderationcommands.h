#pragma once

#include <QString>
#include <QStringList>

// The subcommands of celvane-server that set and lift bans and locks on a picture: ban, unban,
// bans, lock, unlock and locks. RecoveryCommands hands them over; each parses its own options and
// says what it takes with --help.
//
// Like revert and restore they go through a running server's control socket when a server holds
// the picture file (so that a ban closes its windows at once), change the journal under the
// picture's lock when none does, and write Redis, whose every server applies them within a
// second, for --redis. Every failure is one line on standard error and exit status 1, with
// nothing changed.
class ModerationCommands
{
public:
    static bool isCommand(const QString &argument);
    static int run(const QStringList &arguments);
    static QString summary();
};
