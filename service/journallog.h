#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The program's log lines, written to standard error. When standard error is the journal, each
// line starts with its syslog priority in the sd-daemon form "<N>", so that the journal files
// warnings as warnings and errors as errors; anywhere else the lines stay plain. The journal is
// recognised the way sd-daemon documents: systemd sets JOURNAL_STREAM to the device and inode of
// the stream it connected, which is then compared with what standard error is now (a redirection
// in between makes them differ).
class JournalLog
{
public:
    // Installs the message handler for the whole program, before anything logs. Whether standard
    // error is the journal is decided here, once.
    static void install();

    // Whether standard error is the stream JOURNAL_STREAM names.
    static bool stderrIsJournal();
    // The syslog priority of a Qt message type (debug 7, info 6, warning 4, critical 3, fatal 2).
    static int priority(QtMsgType type);
    // The bytes written for one formatted message: one line per line of text, each with the
    // priority in front when prefixed is set, and a final newline.
    static QByteArray format(QtMsgType type, const QString &text, bool prefixed);
};
