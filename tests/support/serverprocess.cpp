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
    launch(arguments);
    return waitUntilListening();
}

void ServerProcess::launch(const QStringList &arguments)
{
    m_port = 0;
    m_failure.clear();
    m_stderr.clear();
    m_process.setArguments(QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1"),
                                       QStringLiteral("--port"), QStringLiteral("0")} +
                           arguments);
    m_process.start(QIODevice::ReadOnly);
}

bool ServerProcess::waitUntilListening()
{
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
    m_process.setArguments(arguments);
    m_process.start(QIODevice::ReadOnly);
    if (!m_process.waitForFinished(WaitMs)) {
        kill();
        return -1;
    }
    standardError();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
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
