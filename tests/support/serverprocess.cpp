#include "tests/support/serverprocess.h"

#include <QDeadlineTimer>
#include <QTest>

#include <csignal>

namespace {

constexpr int WaitMs = 5000;

} // namespace

ServerProcess::ServerProcess(const QString &program)
    : m_program(program)
{
    m_process.setProgram(program);
}

ServerProcess::~ServerProcess()
{
    if (isRunning())
        kill();
}

bool ServerProcess::start(const QStringList &arguments)
{
    m_port = 0;
    m_failure.clear();
    m_stderr.clear();
    launch(QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1"),
                       QStringLiteral("--port"), QStringLiteral("0")} +
           arguments);
    if (!m_process.waitForStarted(WaitMs)) {
        m_failure = "the server did not start: " + m_process.errorString().toUtf8();
        return false;
    }

    const QByteArray prefix("listening on 127.0.0.1:");
    QDeadlineTimer deadline(WaitMs);
    while (!m_process.canReadLine()) {
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning) {
            m_failure = "the server did not say where it listens; it wrote: " + standardError();
            return false;
        }
        m_process.waitForReadyRead(50);
    }
    const QByteArray line = m_process.readLine().trimmed();
    bool ok = false;
    if (line.startsWith(prefix))
        m_port = line.mid(prefix.size()).toUShort(&ok);
    if (!ok || m_port == 0) {
        m_failure = "unexpected first line: " + line;
        return false;
    }
    return true;
}

int ServerProcess::runToExit(const QStringList &arguments)
{
    m_stderr.clear();
    launch(arguments);
    if (!m_process.waitForFinished(WaitMs)) {
        kill();
        return -1;
    }
    standardError();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

void ServerProcess::handOver(const QList<int> &descriptors, bool forThisProcess)
{
    // A shell execs the server, so the server's pid is the shell's $$, known before the exec
    // as LISTEN_PID needs; the redirections place the copies at 3, 4, ... and close the
    // originals. bash, because dash redirects only descriptors 0 to 9.
    QString redirections;
    for (int i = 0; i < descriptors.size(); ++i)
        redirections += QStringLiteral(" %1<&%2 %2<&-").arg(3 + i).arg(descriptors.at(i));
    m_handOverScript = QStringLiteral("LISTEN_PID=%1 LISTEN_FDS=%2; export LISTEN_PID LISTEN_FDS; "
                                      "exec \"$0\" \"$@\"%3")
                           .arg(forThisProcess ? QStringLiteral("$$") : QStringLiteral("$(($$+1))"))
                           .arg(descriptors.size())
                           .arg(redirections);
}

void ServerProcess::launch(const QStringList &arguments)
{
    if (m_handOverScript.isEmpty()) {
        m_process.setProgram(m_program);
        m_process.setArguments(arguments);
    } else {
        m_process.setProgram(QStringLiteral("/bin/bash"));
        m_process.setArguments(QStringList{QStringLiteral("-c"), m_handOverScript, m_program} +
                               arguments);
    }
    m_process.start(QIODevice::ReadOnly);
}

int ServerProcess::terminate()
{
    return signalAndWait(SIGTERM);
}

int ServerProcess::interrupt()
{
    return signalAndWait(SIGINT);
}

int ServerProcess::signalAndWait(int signalNumber)
{
    if (!isRunning())
        return -1;
    ::kill(pid_t(m_process.processId()), signalNumber);
    if (!m_process.waitForFinished(WaitMs))
        return -1;
    standardError();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

void ServerProcess::kill()
{
    m_process.kill();
    m_process.waitForFinished(WaitMs);
}

QByteArray ServerProcess::standardError()
{
    m_stderr += m_process.readAllStandardError();
    return m_stderr;
}

int ServerProcess::countLogLines(const QByteArray &text)
{
    int count = 0;
    const QList<QByteArray> lines = standardError().split('\n');
    for (const QByteArray &line : lines)
        count += line.contains(text) ? 1 : 0;
    return count;
}
