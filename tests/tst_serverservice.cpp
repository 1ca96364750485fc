#include "service/journallog.h"
#include "service/servicenotifier.h"
#include "service/socketactivation.h"
#include "tests/support/serverclient.h"
#include "tests/support/serverprocess.h"

#include <QFile>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A socket for the server to inherit (not close-on-exec), closed with the test.
class Descriptor
{
public:
    explicit Descriptor(int descriptor)
        : m_descriptor(descriptor)
    {
    }
    ~Descriptor()
    {
        if (m_descriptor >= 0)
            ::close(m_descriptor);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_descriptor; }

private:
    int m_descriptor;
};

enum class SocketKind { Listening, BoundOnly, Datagram };

// A socket on 127.0.0.1, port chosen by the system, as a socket unit would hand it over.
int loopbackSocket(SocketKind kind, quint16 *port = nullptr)
{
    const int descriptor =
        ::socket(AF_INET, kind == SocketKind::Datagram ? SOCK_DGRAM : SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (descriptor < 0 || ::bind(descriptor, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        (kind == SocketKind::Listening && ::listen(descriptor, 16) != 0) ||
        ::getsockname(descriptor, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return -1;
    if (port)
        *port = ntohs(address.sin_port);
    return descriptor;
}

// The service manager's end of NOTIFY_SOCKET: a datagram socket bound in a folder of the test's.
class NotifySocket
{
public:
    explicit NotifySocket(const QString &path)
        : m_path(path)
        , m_socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0))
    {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        const QByteArray bytes = QFile::encodeName(path);
        if (m_socket.get() >= 0 && size_t(bytes.size()) < sizeof address.sun_path) {
            memcpy(address.sun_path, bytes.constData(), size_t(bytes.size()));
            m_bound =
                ::bind(m_socket.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        }
    }
    bool isBound() const { return m_bound; }
    const QString &path() const { return m_path; }
    // Takes every datagram that has arrived; true once one containing state has been taken.
    bool received(const QByteArray &state)
    {
        char buffer[4096];
        ssize_t size = 0;
        while ((size = ::recv(m_socket.get(), buffer, sizeof buffer, 0)) > 0)
            m_datagrams.append(QByteArray(buffer, int(size)));
        for (const QByteArray &datagram : std::as_const(m_datagrams)) {
            if (datagram.split('\n').contains(state))
                return true;
        }
        return false;
    }
    const QList<QByteArray> &datagrams() const { return m_datagrams; }

private:
    QString m_path;
    Descriptor m_socket;
    bool m_bound = false;
    QList<QByteArray> m_datagrams;
};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// JOURNAL_STREAM as systemd would set it for a stream on this file, or for another file.
QByteArray journalStreamOf(const QString &path)
{
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return QByteArray();
    return QByteArray::number(qulonglong(status.st_dev)) + ':' +
           QByteArray::number(qulonglong(status.st_ino));
}

} // namespace

class TestServerService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void handedSocket_data();
    void handedSocket();
    void refusedHandOver_data();
    void refusedHandOver();
    void logLines_data();
    void logLines();
    void logFormat_data();
    void logFormat();

private:
    std::unique_ptr<QTemporaryDir> m_folder;
};

// Readiness and socket activation need libsystemd; the log levels do not.
#define SKIP_WITHOUT_SYSTEMD()                                                                     \
    if (!SocketActivation::isSupported() || !ServiceNotifier::isSupported())                       \
    QSKIP("built without libsystemd: no readiness notification or socket activation")

void TestServerService::init()
{
    m_folder = std::make_unique<QTemporaryDir>();
    QVERIFY(m_folder->isValid());
}

void TestServerService::handedSocket_data()
{
    QTest::addColumn<bool>("forThisProcess");

    QTest::newRow("handed to the server") << true;
    // LISTEN_PID names another process: the socket is not the server's, which listens on its own.
    QTest::newRow("handed to another process") << false;
}

// Readiness and socket activation as systemd would drive them: the server serves from the socket
// handed to it, says READY=1 with where it serves once it does, and STOPPING=1 on SIGTERM before
// its last save.
void TestServerService::handedSocket()
{
    SKIP_WITHOUT_SYSTEMD();
    QFETCH(bool, forThisProcess);

    quint16 handedPort = 0;
    Descriptor listening(loopbackSocket(SocketKind::Listening, &handedPort));
    QVERIFY(listening.get() >= 0);
    NotifySocket notify(m_folder->filePath(QStringLiteral("notify")));
    QVERIFY(notify.isBound());

    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("NOTIFY_SOCKET"), notify.path());
    server.process().setProcessEnvironment(environment);
    server.handOver({listening.get()}, forThisProcess);
    const QString picturePath = m_folder->filePath(QStringLiteral("picture.cvp"));
    QVERIFY2(server.start({"--picture", picturePath}), server.failure());

    QCOMPARE(server.port() == handedPort, forThisProcess);
    QTRY_VERIFY(notify.received("READY=1"));
    QVERIFY2(notify.received("STATUS=Serving on 127.0.0.1:" + QByteArray::number(server.port())),
             notify.datagrams().join(" | ").constData());
    // --listen and --port, which ServerProcess always passes, give way to the handed socket.
    QCOMPARE(server.countLogLines("--listen and --port are ignored"), forThisProcess ? 1 : 0);

    ServerClient client;
    QVERIFY(client.connectTo(server.port()));
    QVERIFY(client.fetchPicture().has_value());
    QVERIFY(!notify.received("STOPPING=1"));

    QCOMPARE(server.terminate(), 0);
    QVERIFY(notify.received("STOPPING=1"));
    QVERIFY(QFile::exists(picturePath));
}

void TestServerService::refusedHandOver_data()
{
    QTest::addColumn<QList<SocketKind>>("sockets");
    QTest::addColumn<QByteArray>("reason");

    QTest::newRow("two sockets") << QList<SocketKind>{SocketKind::Listening, SocketKind::Listening}
                                 << QByteArray("handed over 2 sockets");
    QTest::newRow("bound, not listening")
        << QList<SocketKind>{SocketKind::BoundOnly} << QByteArray("not a listening TCP socket");
    QTest::newRow("datagram socket")
        << QList<SocketKind>{SocketKind::Datagram} << QByteArray("not a listening TCP socket");
}

// What the server cannot serve from is refused at start, as a bad option is: a unit that hands
// over the wrong thing fails to start instead of serving somewhere nobody expects.
void TestServerService::refusedHandOver()
{
    SKIP_WITHOUT_SYSTEMD();
    QFETCH(QList<SocketKind>, sockets);
    QFETCH(QByteArray, reason);

    std::vector<std::unique_ptr<Descriptor>> descriptors;
    QList<int> handed;
    for (SocketKind kind : sockets) {
        descriptors.push_back(std::make_unique<Descriptor>(loopbackSocket(kind)));
        QVERIFY(descriptors.back()->get() >= 0);
        handed.append(descriptors.back()->get());
    }
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    server.handOver(handed);
    QCOMPARE(server.runToExit({"--port", "0"}), 1);
    QVERIFY2(server.countLogLines(reason) == 1, server.standardError().constData());
    QVERIFY(!server.process().readAllStandardOutput().contains("listening"));
}

void TestServerService::logLines_data()
{
    QTest::addColumn<QString>("journalStream");
    QTest::addColumn<bool>("prefixed");

    QTest::newRow("standard error is the journal") << QStringLiteral("stderr") << true;
    // Standard error was redirected after systemd connected the journal: what it names is gone.
    QTest::newRow("journal stream of another file") << QStringLiteral("other") << false;
    QTest::newRow("no journal stream") << QString() << false;
    QTest::newRow("journal stream malformed") << QStringLiteral("malformed") << false;
}

// Every line the server logs, from the first option error to the last count at exit, carries its
// level when standard error is the journal, and none does anywhere else. A handed-over socket
// brings a warning too, where the build takes one.
void TestServerService::logLines()
{
    QFETCH(QString, journalStream);
    QFETCH(bool, prefixed);

    const QString errorPath = m_folder->filePath(QStringLiteral("stderr"));
    const QString otherPath = m_folder->filePath(QStringLiteral("other"));
    for (const QString &path : {errorPath, otherPath}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("JOURNAL_STREAM"));
    environment.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
    if (journalStream == QLatin1String("malformed"))
        environment.insert(QStringLiteral("JOURNAL_STREAM"), QStringLiteral("12:"));
    else if (!journalStream.isEmpty())
        environment.insert(QStringLiteral("JOURNAL_STREAM"),
                           QString::fromLatin1(journalStreamOf(
                               journalStream == QLatin1String("stderr") ? errorPath : otherPath)));

    Descriptor listening(loopbackSocket(SocketKind::Listening));
    QVERIFY(listening.get() >= 0);
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    server.process().setProcessEnvironment(environment);
    server.process().setStandardErrorFile(errorPath, QIODevice::Append);
    QCOMPARE(server.runToExit({"--port", "none"}), 1);

    const bool handOver = SocketActivation::isSupported();
    if (handOver)
        server.handOver({listening.get()});
    QVERIFY2(server.start({"--verbose"}), server.failure());
    ServerClient client;
    QVERIFY(client.connectTo(server.port()));
    QVERIFY(client.fetchPicture().has_value());
    client.disconnectNow();
    QTRY_VERIFY(readFile(errorPath).contains("gone after"));
    QCOMPARE(server.terminate(), 0);

    const QByteArray p4 = prefixed ? "<4>" : "";
    const QByteArray p6 = prefixed ? "<6>" : "";
    const QByteArray p7 = prefixed ? "<7>" : "";
    const QByteArray p3 = prefixed ? "<3>" : "";
    const QList<QByteArray> lines = readFile(errorPath).split('\n');
    QCOMPARE(lines.last(), QByteArray());
    const QByteArray log = '\n' + readFile(errorPath);
    QVERIFY2(log.contains('\n' + p3 + "celvane-server: --port needs a number"), log.constData());
    QVERIFY2(log.contains('\n' + p4 + "celvane-server: --listen and --port are ignored") ==
                 handOver,
             log.constData());
    QVERIFY2(log.contains('\n' + p6 + "celvane.server: client 127.0.0.1:"), log.constData());
    QVERIFY2(log.contains('\n' + p7 + "celvane.server: 127.0.0.1:"), log.constData());
    QVERIFY2(log.contains('\n' + p6 + "celvane.server: stopped after 1 messages"), log.constData());
    for (const QByteArray &line : lines.first(lines.size() - 1)) {
        const bool hasPrefix = line.size() > 3 && line.at(0) == '<' && line.at(2) == '>';
        QVERIFY2(hasPrefix == prefixed, line.constData());
    }
}

void TestServerService::logFormat_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("prefixed");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("debug") << int(QtDebugMsg) << QStringLiteral("a") << true
                           << QByteArray("<7>a\n");
    QTest::newRow("info") << int(QtInfoMsg) << QStringLiteral("a") << true << QByteArray("<6>a\n");
    QTest::newRow("warning") << int(QtWarningMsg) << QStringLiteral("a") << true
                             << QByteArray("<4>a\n");
    QTest::newRow("critical") << int(QtCriticalMsg) << QStringLiteral("a") << true
                              << QByteArray("<3>a\n");
    QTest::newRow("fatal") << int(QtFatalMsg) << QStringLiteral("a") << true
                           << QByteArray("<2>a\n");
    QTest::newRow("plain") << int(QtWarningMsg) << QStringLiteral("a b") << false
                           << QByteArray("a b\n");
    // The journal takes the level of each line on its own, so every line keeps it.
    QTest::newRow("several lines") << int(QtWarningMsg) << QStringLiteral("one\ntwo") << true
                                   << QByteArray("<4>one\n<4>two\n");
    QTest::newRow("several lines, plain")
        << int(QtInfoMsg) << QStringLiteral("one\ntwo") << false << QByteArray("one\ntwo\n");
    QTest::newRow("empty") << int(QtInfoMsg) << QString() << true << QByteArray("<6>\n");
    QTest::newRow("not Latin-1") << int(QtInfoMsg) << QStringLiteral("\u00e9\u4e2d") << true
                                 << QByteArray("<6>\xc3\xa9\xe4\xb8\xad\n");
}

void TestServerService::logFormat()
{
    QFETCH(int, type);
    QFETCH(QString, text);
    QFETCH(bool, prefixed);
    QFETCH(QByteArray, expected);

    QCOMPARE(JournalLog::format(QtMsgType(type), text, prefixed), expected);
}

QTEST_GUILESS_MAIN(TestServerService)
#include "tst_serverservice.moc"
