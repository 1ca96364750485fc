#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// Runs the real celvane-server program for a test: on 127.0.0.1, on a port the system picks,
// found by reading the one line the server prints when it is ready.
//
//     ServerProcess server(CELVANE_SERVER_PATH);
//     QVERIFY2(server.start({"--format", "2"}), server.failure());
//     client.connectTo(server.port());
class ServerProcess
{
public:
    explicit ServerProcess(const QString &program);
    ~ServerProcess();

    // Starts the server with --listen 127.0.0.1 --port 0 and the extra arguments, and waits up
    // to five seconds for it to say where it listens.
    bool start(const QStringList &arguments = {});
    // Runs the server with exactly these arguments to its end (for options that make it exit at
    // once, or a refused start); returns its exit code, or -1 if it did not end in five seconds.
    int runToExit(const QStringList &arguments);

    // Hands the server listening sockets the way a service manager's socket activation does: as
    // descriptors 3, 4, ... with LISTEN_FDS counting them and LISTEN_PID the server's own pid, or
    // another pid when forThisProcess is false. The descriptors stay the caller's (open across
    // exec, each above the last of 3, 4, ... it is copied to); the server gets copies. Applies to
    // every later start() and runToExit().
    void handOver(const QList<int> &descriptors, bool forThisProcess = true);

    quint16 port() const { return m_port; }
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    // Why start() failed, for QVERIFY2.
    const char *failure() const { return m_failure.constData(); }

    // Sends SIGTERM (or SIGINT) and waits for the exit; returns the exit code, or -1 for a crash
    // or no exit within five seconds.
    int terminate();
    int interrupt();
    // SIGKILL: no chance to save anything.
    void kill();

    // Everything the server has written to standard error so far.
    QByteArray standardError();
    // How many of the server's log lines so far contain text.
    int countLogLines(const QByteArray &text);

    QProcess &process() { return m_process; }

private:
    int signalAndWait(int signalNumber);
    // Starts the server with these arguments, through the socket-handing wrapper if there is one.
    void launch(const QStringList &arguments);

    QString m_program;
    QProcess m_process;
    QByteArray m_stderr;
    QByteArray m_failure;
    quint16 m_port = 0;
    QString m_handOverScript;
};
