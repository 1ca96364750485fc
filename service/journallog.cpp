#include "service/journallog.h"

#include <QStringList>

#include <cstdio>
#include <sys/stat.h>

namespace {

bool prefixLines = false;

void writeMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QByteArray bytes =
        JournalLog::format(type, qFormatLogMessage(type, context, message), prefixLines);
    // One write per message, so that a line is never split by the journal between two reads.
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

} // namespace

void JournalLog::install()
{
    prefixLines = stderrIsJournal();
    qInstallMessageHandler(writeMessage);
}

bool JournalLog::stderrIsJournal()
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    const int colon = stream.indexOf(':');
    if (colon <= 0)
        return false;
    bool okDevice = false;
    bool okInode = false;
    const qulonglong device = stream.left(colon).toULongLong(&okDevice);
    const qulonglong inode = stream.mid(colon + 1).toULongLong(&okInode);
    struct stat status = {};
    if (!okDevice || !okInode || ::fstat(fileno(stderr), &status) != 0)
        return false;
    return qulonglong(status.st_dev) == device && qulonglong(status.st_ino) == inode;
}

int JournalLog::priority(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return 7;
    case QtInfoMsg:
        return 6;
    case QtWarningMsg:
        return 4;
    case QtCriticalMsg:
        return 3;
    case QtFatalMsg:
        return 2;
    }
    return 6;
}

QByteArray JournalLog::format(QtMsgType type, const QString &text, bool prefixed)
{
    const QByteArray prefix =
        prefixed ? QByteArray("<") + QByteArray::number(priority(type)) + '>' : QByteArray();
    QByteArray bytes;
    // The journal reads the priority of every line on its own: a message of several lines keeps
    // its level on each.
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &line : lines)
        bytes += prefix + line.toUtf8() + '\n';
    return bytes;
}
