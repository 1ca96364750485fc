#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Runs a real redis-server for a test: on 127.0.0.1, on a free port found by binding, with its
// files in a temporary folder of its own, stopped by its PID.
//
//     RedisProcess redis;
//     if (!RedisProcess::isInstalled())
//         QSKIP(RedisProcess::missingMessage());
//     QVERIFY2(redis.start(), redis.failure());
//     server.start({"--redis", redis.address()});
class RedisProcess
{
public:
    static bool isInstalled();
    static const char *missingMessage();

    RedisProcess();
    ~RedisProcess();

    // Starts it with --port P --bind 127.0.0.1 --dir FOLDER --save "" and the extra arguments,
    // and waits until it answers PING.
    bool start(const QStringList &arguments = {});
    // Starts a Sentinel (Debian's redis-sentinel) instead, watching the primary on 127.0.0.1 at
    // primaryPort under masterName, quick to act: down after a second of silence.
    bool startSentinel(const QByteArray &masterName, quint16 primaryPort, int quorum);
    static bool isSentinelInstalled();
    // Starts it again on the same port and folder, so that it reads its append-only file.
    bool restart();
    // SIGTERM, which has it write out what it holds; false if it did not end in time.
    bool stop();
    // SIGSTOP and SIGCONT: a Redis that holds its connections open and answers nothing.
    void pause();
    void resume();
    // SIGKILL: gone at once, with whatever it held.
    void kill();

    quint16 port() const { return m_port; }
    // HOST:PORT, as --redis takes it.
    QString address() const;
    QString folder() const { return m_folder.path(); }
    const char *failure() const { return m_failure.constData(); }

    // Runs one command through redis-cli and returns what it printed, trimmed.
    QByteArray cli(const QStringList &arguments);

private:
    bool launch();
    // Picks a free port on 127.0.0.1 for the next start.
    bool choosePort();

    QTemporaryDir m_folder;
    QProcess m_process;
    QStringList m_arguments;
    QByteArray m_readyText = QByteArrayLiteral("Ready to accept connections");
    quint16 m_port = 0;
    QByteArray m_failure;
};
