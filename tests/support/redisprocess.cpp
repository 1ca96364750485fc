#include "tests/support/redisprocess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>

#include <csignal>

namespace {

const QString ServerPath = QStringLiteral("/usr/bin/redis-server");
const QString ClientPath = QStringLiteral("/usr/bin/redis-cli");
const QString SentinelPath = QStringLiteral("/usr/bin/redis-sentinel");
constexpr int WaitMs = 10000;

} // namespace

bool RedisProcess::isInstalled()
{
    return QFileInfo(ServerPath).isExecutable() && QFileInfo(ClientPath).isExecutable();
}

const char *RedisProcess::missingMessage()
{
    return "needs redis-server and redis-cli in /usr/bin (Debian package redis-server)";
}

RedisProcess::RedisProcess()
{
    m_process.setProgram(ServerPath);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

RedisProcess::~RedisProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(WaitMs);
    }
}

QString RedisProcess::address() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_port);
}

bool RedisProcess::isSentinelInstalled()
{
    return isInstalled() && QFileInfo(SentinelPath).isExecutable();
}

bool RedisProcess::choosePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0)) {
        m_failure = "no free port on 127.0.0.1";
        return false;
    }
    m_port = probe.serverPort();
    return true;
}

bool RedisProcess::start(const QStringList &arguments)
{
    if (!choosePort())
        return false;
    m_arguments = arguments;
    return launch();
}

bool RedisProcess::startSentinel(const QByteArray &masterName, quint16 primaryPort, int quorum)
{
    if (!choosePort())
        return false;
    // Sentinel rewrites its file as it learns, so it is one of its own.
    QFile config(m_folder.filePath(QStringLiteral("sentinel.conf")));
    if (!config.open(QIODevice::WriteOnly) ||
        config.write("sentinel monitor " + masterName + " 127.0.0.1 " +
                     QByteArray::number(primaryPort) + ' ' + QByteArray::number(quorum) +
                     "\nsentinel down-after-milliseconds " + masterName +
                     " 1000\nsentinel failover-timeout " + masterName + " 3000\n") < 0) {
        m_failure = "cannot write sentinel.conf";
        return false;
    }
    config.close();
    m_process.setProgram(SentinelPath);
    m_arguments.clear();
    m_readyText = "+monitor master";
    return launch();
}

bool RedisProcess::restart()
{
    return launch();
}

bool RedisProcess::launch()
{
    m_failure.clear();
    const QStringList where{QStringLiteral("--port"), QString::number(m_port),
                            QStringLiteral("--bind"), QStringLiteral("127.0.0.1"),
                            QStringLiteral("--dir"),  m_folder.path()};
    if (m_process.program() == SentinelPath)
        m_process.setArguments(QStringList{m_folder.filePath(QStringLiteral("sentinel.conf"))} +
                               where);
    else
        m_process.setArguments(where + QStringList{QStringLiteral("--save"), QString()} +
                               m_arguments);
    m_process.start(QIODevice::ReadOnly);
    if (!m_process.waitForStarted(WaitMs)) {
        m_failure = "redis-server did not start: " + m_process.errorString().toUtf8();
        return false;
    }
    // It says so once its data (an append-only file too) is loaded; PING confirms the port.
    QByteArray output;
    const QDeadlineTimer deadline(WaitMs);
    while (!output.contains(m_readyText)) {
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning) {
            m_failure = "redis-server did not get ready; it wrote: " + output;
            return false;
        }
        m_process.waitForReadyRead(50);
        output += m_process.readAll();
    }
    if (cli({QStringLiteral("PING")}) != "PONG") {
        m_failure = "redis-server does not answer PING on its port";
        return false;
    }
    return true;
}

bool RedisProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return true;
    ::kill(pid_t(m_process.processId()), SIGTERM);
    return m_process.waitForFinished(WaitMs);
}

void RedisProcess::pause()
{
    ::kill(pid_t(m_process.processId()), SIGSTOP);
}

void RedisProcess::resume()
{
    ::kill(pid_t(m_process.processId()), SIGCONT);
}

void RedisProcess::kill()
{
    ::kill(pid_t(m_process.processId()), SIGKILL);
    m_process.waitForFinished(WaitMs);
}

QByteArray RedisProcess::cli(const QStringList &arguments)
{
    QProcess client;
    client.start(ClientPath, QStringList{QStringLiteral("-h"), QStringLiteral("127.0.0.1"),
                                         QStringLiteral("-p"), QString::number(m_port)} +
                                 arguments);
    if (!client.waitForFinished(WaitMs))
        client.kill();
    return client.readAllStandardOutput().trimmed();
}
