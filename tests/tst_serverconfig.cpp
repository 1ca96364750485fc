// The server's options as one table: the command line and the configuration file give the same
// values, every error in a file stops the start with its line, and a reload (SIGHUP or the
// reload command) changes the running server without closing anyone it still allows. Also the
// manual page and the shipped file against the tables.
#include "connection/protocol.h"
#include "model/canvasformat.h"
#include "options/optionset.h"
#include "serverapp/liveoptions.h"
#include "serverapp/serverconfiguration.h"
#include "tests/support/serverclient.h"
#include "tests/support/serverprocess.h"

#include <QCommandLineParser>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include <memory>
#include <sys/stat.h>

namespace {

QByteArray setCell(quint8 x, quint8 y, quint8 value)
{
    return Protocol::encodeCommand(Protocol::SetCellCommand, x, y, value);
}

// A value each option takes, by the name of its argument; its default when none is listed here.
// An option with neither fails sameValueBothWays, so that every option is covered.
QString sampleFor(const Option &option)
{
    static const QHash<QString, QString> samples = {
        {"N", "7"},
        {"SECONDS", "3"},
        {"DAYS", "3"},
        {"SIZE", "3M"},
        {"0..3", "2"},
        {"ADDRESS", "127.0.0.2"},
        {"ADDRESS[/PREFIX]", "127.0.0.0/8"},
        {"FILE", "/var/lib/celvane/picture.cvp"},
        {"HOST:PORT", "127.0.0.1:6379"},
        {"HOST:PORT[,HOST:PORT...]", "127.0.0.1:26379,127.0.0.1:26380"},
        {"NAME", "pictures"},
        {"ORIGIN", "http://127.0.0.1:8080"},
        {"[ADDRESS:]PORT", "127.0.0.1:8080"},
    };
    return samples.value(option.argument, option.defaultText);
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The arguments of a roff request, each quoted one whole, joined as the alternating-font
// requests (.BI, .BR) print them: with nothing between.
QString roffTag(const QString &line)
{
    QString text = line.section(QLatin1Char(' '), 1);
    text.remove(QRegularExpression(QStringLiteral(R"(\\f[RBIP])")));
    text.replace(QStringLiteral("\\-"), QStringLiteral("-"));
    QString joined;
    bool quoted = false;
    for (const QChar c : text) {
        if (c == QLatin1Char('"'))
            quoted = !quoted;
        else if (quoted || c != QLatin1Char(' '))
            joined += c;
    }
    return joined;
}

} // namespace

class tst_ServerConfig : public QObject
{
    Q_OBJECT

private slots:
    void sameValueBothWays_data();
    void sameValueBothWays();
    void commandLineWins();
    void everyLiveOptionIsApplied();
    void fileErrors_data();
    void fileErrors();
    void sameServerBothWays_data();
    void sameServerBothWays();
    void reload_data();
    void reload();
    void brokenFileChangesNothing();
    void reloadNeedsARunningServer();
    void webKeysAreReadAgainOnEveryReload();
    void manualListsTheOptions();
    void shippedFileMatchesTheTemplate();

private:
    // Runs "celvane-server reload FILE" to its end; its exit code, its output in *output.
    static int runReload(const QStringList &arguments, QByteArray *output);
};

void tst_ServerConfig::sameValueBothWays_data()
{
    QTest::addColumn<QString>("name");
    const ServerConfiguration configuration;
    for (const Option &option : configuration.fileOptions().options())
        QTest::newRow(qPrintable(option.name)) << option.name;
}

void tst_ServerConfig::sameValueBothWays()
{
    QFETCH(QString, name);
    const ServerConfiguration configuration;
    const OptionSet &options = configuration.allOptions();
    const Option *option = options.find(name);
    QVERIFY(option);
    const QString value = sampleFor(*option);
    QVERIFY2(option->isFlag() || !value.isEmpty(), "no sample value for this option's argument");

    QCommandLineParser parser;
    options.addTo(&parser);
    QStringList arguments{QStringLiteral("celvane-server"), QStringLiteral("--") + name};
    if (!option->isFlag())
        arguments << value;
    QVERIFY(parser.parse(arguments));
    OptionValues commandLine;
    OptionValues file;
    QString error;
    QVERIFY2(options.read(parser, &commandLine, &error), qPrintable(error));
    const QString line =
        name + QStringLiteral(" = ") + (option->isFlag() ? QStringLiteral("yes") : value);
    QVERIFY2(configuration.fileOptions().readText(line.toUtf8(), QStringLiteral("test.conf"), &file,
                                                  &error),
             qPrintable(error));

    const OptionValues fromCommandLine = options.resolve(OptionValues(), commandLine);
    const OptionValues fromFile = options.resolve(file, OptionValues());
    QVERIFY(fromCommandLine.isSet(name));
    QVERIFY(fromFile.isSet(name));
    QCOMPARE(fromFile.entry(name)->origin, QStringLiteral("test.conf:1"));
    for (const Option &each : options.options())
        QVERIFY2(fromCommandLine.sameAs(fromFile, each.name), qPrintable(each.name));
}

void tst_ServerConfig::commandLineWins()
{
    const ServerConfiguration configuration;
    const OptionSet &options = configuration.allOptions();
    OptionValues file;
    QString error;
    QVERIFY2(configuration.fileOptions().readText(
                 "port = 4000\nallow = 127.0.0.2\nallow = 127.0.0.3\nmax-per-address = 2\n",
                 QStringLiteral("f"), &file, &error),
             qPrintable(error));
    QCommandLineParser parser;
    options.addTo(&parser);
    QVERIFY(parser.parse({"celvane-server", "--port", "5000", "--allow", "127.0.0.4"}));
    OptionValues commandLine;
    QVERIFY(options.read(parser, &commandLine, &error));
    const OptionValues resolved = options.resolve(file, commandLine);
    QCOMPARE(resolved.value("port").toInt(), 5000);
    // A repeatable option is taken whole from one place, not merged.
    QCOMPARE(resolved.values("allow").size(), 1);
    QCOMPARE(resolved.text("allow"), QStringLiteral("127.0.0.4"));
    QCOMPARE(resolved.value("max-per-address").toInt(), 2);
    QCOMPARE(resolved.entry("max-per-address")->origin, QStringLiteral("f:4"));
    QCOMPARE(resolved.value("hello-timeout").toInt(), 5000);
    QVERIFY(!resolved.isSet("hello-timeout"));
}

void tst_ServerConfig::everyLiveOptionIsApplied()
{
    const ServerConfiguration configuration;
    for (const Option &option : configuration.fileOptions().options())
        QVERIFY2(LiveOptions::handles(option.name) == (option.change == Option::Live),
                 qPrintable(option.name));
}

void tst_ServerConfig::fileErrors_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("line"); // 0: the file as a whole
    QTest::addColumn<QString>("problem");
    QTest::newRow("unknown name") << QByteArray("port = 0\nbogus = 1\n") << 2
                                  << QStringLiteral("unknown option \"bogus\"");
    QTest::newRow("bad value") << QByteArray("# a comment\n\nport = 70000\n") << 3
                               << QStringLiteral("port needs a number from 0 to 65535");
    QTest::newRow("given twice") << QByteArray("max-per-address = 2\r\nmax-per-address = 3\r\n")
                                 << 2
                                 << QStringLiteral("max-per-address is given twice (first on "
                                                   "line 1)");
    QTest::newRow("not NAME = VALUE")
        << QByteArray("listen 127.0.0.1") << 1 << QStringLiteral("expected NAME = VALUE");
    QTest::newRow("flag neither yes nor no")
        << QByteArray("read-only = maybe\n") << 1
        << QStringLiteral("read-only needs yes or no, not \"maybe\"");
    QTest::newRow("an option of the command line alone")
        << QByteArray("config = other.conf\n") << 1 << QStringLiteral("unknown option \"config\"");
    QTest::newRow("unreadable") << QByteArray() << 0 << QStringLiteral("cannot be read");
}

void tst_ServerConfig::fileErrors()
{
    QFETCH(QByteArray, text);
    QFETCH(int, line);
    QFETCH(QString, problem);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("celvane-server.conf"));
    if (!text.isEmpty())
        QVERIFY(writeFile(path, text));
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QCOMPARE(server.runToExit({"--listen", "127.0.0.1", "--port", "0", "--config", path}), 2);
    const QString where =
        line > 0 ? QStringLiteral("%1:%2: ").arg(path).arg(line) : QStringLiteral("%1: ").arg(path);
    const QByteArray expected = "celvane-server: " + (where + problem).toUtf8();
    QVERIFY2(server.standardError().contains(expected), server.standardError().constData());
    QVERIFY(server.process().readAllStandardOutput().isEmpty());
}

void tst_ServerConfig::sameServerBothWays_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("secondFrom");
    QTest::addColumn<bool>("secondClientServed");
    QTest::addColumn<bool>("editsApplied");
    QTest::newRow("defaults") << QStringList() << QByteArray("# nothing\n")
                              << QStringLiteral("127.0.0.2") << true << true;
    QTest::newRow("max-per-address")
        << QStringList{"--max-per-address", "1"} << QByteArray("max-per-address = 1\n")
        << QStringLiteral("127.0.0.2") << false << true;
    QTest::newRow("read-only") << QStringList{"--read-only"} << QByteArray("read-only = yes\n")
                               << QStringLiteral("127.0.0.3") << true << false;
    QTest::newRow("allow elsewhere")
        << QStringList{"--allow", "192.0.2.0/24", "--allow", "127.0.0.2"}
        << QByteArray("allow = 192.0.2.0/24\nallow = 127.0.0.2\n") << QStringLiteral("127.0.0.3")
        << false << true;
}

void tst_ServerConfig::sameServerBothWays()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, file);
    QFETCH(QString, secondFrom);
    QFETCH(bool, secondClientServed);
    QFETCH(bool, editsApplied);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("celvane-server.conf"));
    QVERIFY(writeFile(path, file));
    for (const QStringList &given : {arguments, QStringList{"--config", path}}) {
        ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
        QVERIFY2(server.start(given), server.failure());
        ServerClient first;
        QVERIFY(first.connectTo(server.port(), QHostAddress(QStringLiteral("127.0.0.2"))));
        first.send(setCell(5, 5, 5));
        const std::optional<Picture> picture = first.fetchPicture();
        QVERIFY2(picture, qPrintable(given.join(' ')));
        QCOMPARE(picture->cell(5, 5), editsApplied ? quint8(5) : quint8(EmptyCell));
        ServerClient second;
        QVERIFY(second.connectTo(server.port(), QHostAddress(secondFrom)));
        // One turned away is closed at once, so its close, not a wait for nothing, tells.
        if (secondClientServed)
            QVERIFY(second.fetchPicture());
        else
            QVERIFY(second.waitForDisconnected());
    }
}

int tst_ServerConfig::runReload(const QStringList &arguments, QByteArray *output)
{
    QProcess command;
    command.start(QStringLiteral(CELVANE_SERVER_PATH), QStringList{"reload"} + arguments);
    if (!command.waitForFinished(10000))
        return -1;
    *output = command.readAllStandardOutput() + command.readAllStandardError();
    return command.exitCode();
}

void tst_ServerConfig::reload_data()
{
    QTest::addColumn<bool>("bySignal");
    QTest::newRow("SIGHUP") << true;
    QTest::newRow("reload command") << false;
}

void tst_ServerConfig::reload()
{
    QFETCH(bool, bySignal);
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("celvane-server.conf"));
    const QString picture = dir.filePath(QStringLiteral("picture.cvp"));
    QVERIFY(writeFile(config, "allow = 127.0.0.2\nallow = 127.0.0.3\nallow = 127.0.0.4\n"
                              "port = 1\n"));
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start({"--config", config, "--picture", picture, "--no-history"}),
             server.failure());
    std::vector<std::unique_ptr<ServerClient>> clients;
    for (const char *address : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
        clients.push_back(std::make_unique<ServerClient>());
        QVERIFY(clients.back()->connectTo(server.port(), QHostAddress(QLatin1String(address))));
        QVERIFY(clients.back()->fetchPicture());
    }
    ServerClient &first = *clients.at(0);
    ServerClient &second = *clients.at(1);
    ServerClient &removed = *clients.at(2);

    auto reloadNow = [&](const QByteArray &text) {
        const int before = server.countLogLines("reload: read ");
        QVERIFY(writeFile(config, text));
        if (bySignal) {
            QCOMPARE(::kill(pid_t(server.process().processId()), SIGHUP), 0);
        } else {
            QByteArray output;
            QCOMPARE(runReload({picture}, &output), 0);
            QVERIFY2(output.startsWith("read " + config.toUtf8() + " again: "), output);
        }
        QTRY_COMPARE(server.countLogLines("reload: read "), before + 1);
    };
    // The port on the command line wins over the file's, before and after: not named.
    reloadNow("allow = 127.0.0.2\nallow = 127.0.0.3\nport = 2\nformat = 1\n");
    QVERIFY(removed.waitForDisconnected());
    QVERIFY(first.isConnected());
    QVERIFY(second.isConnected());
    QCOMPARE(server.countLogLines("reload: allow is now 127.0.0.2, 127.0.0.3 (was 127.0.0.2, "
                                  "127.0.0.3, 127.0.0.4)"),
             1);
    QCOMPARE(server.countLogLines("reload: format changed but need a restart; left as they are"),
             1);

    // Both windows left see every edit, each byte as sent.
    const QList<QByteArray> edits{setCell(1, 1, 3), setCell(2, 2, 4)};
    first.send(edits.at(0));
    second.send(edits.at(1));
    for (ServerClient *client : {&first, &second}) {
        std::optional<QList<QByteArray>> relays = client->waitForRelays(2);
        QVERIFY(relays);
        std::sort(relays->begin(), relays->end());
        QList<QByteArray> expected = edits;
        std::sort(expected.begin(), expected.end());
        QCOMPARE(*relays, expected);
    }
    ServerClient again;
    QVERIFY(again.connectTo(server.port(), QHostAddress(QStringLiteral("127.0.0.4"))));
    QVERIFY(again.waitForDisconnected());

    // A limit takes effect on the next message of a connection already open.
    reloadNow("allow = 127.0.0.2\nallow = 127.0.0.3\nread-only = yes\nformat = 1\n");
    first.send(setCell(3, 3, 5));
    const std::optional<Picture> after = first.fetchPicture();
    QVERIFY(after);
    QCOMPARE(after->cell(3, 3), quint8(EmptyCell));
    QCOMPARE(after->cell(1, 1), quint8(3));
    QCOMPARE(server.countLogLines("reload: read-only is now yes (was no)"), 1);
    QVERIFY(second.isConnected());
}

void tst_ServerConfig::brokenFileChangesNothing()
{
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("celvane-server.conf"));
    const QString picture = dir.filePath(QStringLiteral("picture.cvp"));
    QVERIFY(writeFile(config, "allow = 127.0.0.2\nallow = 127.0.0.3\n"));
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start({"--config", config, "--picture", picture, "--no-history"}),
             server.failure());
    ServerClient kept;
    QVERIFY(kept.connectTo(server.port(), QHostAddress(QStringLiteral("127.0.0.3"))));
    QVERIFY(kept.fetchPicture());

    // The first line alone would close the client; the second is wrong, so nothing changes.
    QVERIFY(writeFile(config, "allow = 127.0.0.2\nmax-per-address = many\n"));
    QByteArray output;
    QCOMPARE(runReload({picture}, &output), 1);
    const QByteArray problem = config.toUtf8() + ":2: max-per-address needs a number of at least 1";
    QVERIFY2(output.contains("the server refused: nothing changed: " + problem), output);
    QTRY_COMPARE(server.countLogLines("reload refused: nothing changed: " + problem), 1);
    QVERIFY(kept.isConnected());
    kept.send(setCell(7, 7, 2));
    const std::optional<Picture> picture2 = kept.fetchPicture();
    QVERIFY(picture2);
    QCOMPARE(picture2->cell(7, 7), quint8(2));
    ServerClient newcomer;
    QVERIFY(newcomer.connectTo(server.port(), QHostAddress(QStringLiteral("127.0.0.3"))));
    QVERIFY(newcomer.fetchPicture());
}

void tst_ServerConfig::webKeysAreReadAgainOnEveryReload()
{
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("celvane-server.conf"));
    const QString keys = dir.filePath(QStringLiteral("keys"));
    const QByteArray keysPath = keys.toUtf8();
    const auto setMode = [&](mode_t mode) {
        return ::chmod(keysPath.constData(), mode) == 0;
    };
    QVERIFY(writeFile(keys, "alice alice-key-0123456789\nbob bob-key-9876543210ab moderator\n"));
    QVERIFY(writeFile(config, "http = 127.0.0.1:0\nweb-keys = " + keysPath + "\n"));

    // Others may read it: refused at start, saying which file and why.
    QVERIFY(setMode(0644));
    ServerProcess refused(QStringLiteral(CELVANE_SERVER_PATH));
    QCOMPARE(refused.runToExit({"--config", config, "--port", "0"}), 2);
    QVERIFY2(refused.standardError().contains("--web-keys: " + keysPath +
                                              " may be read or written by others (mode 644)"),
             refused.standardError().constData());

    QVERIFY(setMode(0600));
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start({"--config", config}), server.failure());
    QCOMPARE(server.countLogLines("--web-keys: 2 editors from " + keysPath), 1);
    const auto reload = [&] {
        const int before = server.countLogLines("reload: read ");
        QCOMPARE(::kill(pid_t(server.process().processId()), SIGHUP), 0);
        QTRY_COMPARE(server.countLogLines("reload: read "), before + 1);
    };
    // The configuration is as it was, the keys file is not: read again all the same.
    QVERIFY(writeFile(keys, "alice alice-key-0123456789\n"));
    reload();
    QTRY_COMPARE(server.countLogLines("--web-keys: 1 editors from " + keysPath), 1);
    // A file others may read now leaves the keys in use, with one line.
    QVERIFY(writeFile(keys, "alice alice-key-0123456789\nbob bob-key-9876543210ab\n"));
    QVERIFY(setMode(0640));
    reload();
    QTRY_COMPARE(server.countLogLines("may be read or written by others (mode 640): it holds keys; "
                                      "chmod 600 it; keeping the 1 keys in use"),
                 1);
    QVERIFY(server.isRunning());
}

void tst_ServerConfig::reloadNeedsARunningServer()
{
    QTemporaryDir dir;
    const QString picture = dir.filePath(QStringLiteral("picture.cvp"));
    QByteArray output;
    QCOMPARE(runReload({picture}, &output), 1);
    QVERIFY2(output.contains("no server is running on " + picture.toUtf8()), output);
    // A server on Redis has no control socket: the command says what to do instead, and never
    // dials Redis.
    QCOMPARE(runReload({"--redis", "127.0.0.1:1"}, &output), 1);
    QVERIFY2(output.contains("send SIGHUP to each server on the key (systemctl reload"), output);
}

void tst_ServerConfig::manualListsTheOptions()
{
    const QString manual =
        QString::fromUtf8(readFile(QStringLiteral(CELVANE_SOURCE_DIR "/server/celvane-server.1")));
    const qsizetype start = manual.indexOf(QStringLiteral("\n.SH OPTIONS\n"));
    const qsizetype end = manual.indexOf(QStringLiteral("\n.SH "), start + 1);
    QVERIFY(start >= 0 && end > start);
    // Each option is a .TP paragraph: its tag on the line after .TP, then its text.
    QMap<QString, QString> tags;
    QMap<QString, QString> texts;
    const QStringList paragraphs =
        manual.mid(start, end - start).split(QStringLiteral("\n.TP\n")).mid(1);
    for (const QString &paragraph : paragraphs) {
        const QString tag = roffTag(paragraph.section(QLatin1Char('\n'), 0, 0));
        if (!tag.startsWith(QStringLiteral("--")))
            continue; // -h, --help and -v, --version
        const QString name = tag.mid(2).section(QLatin1Char(' '), 0, 0);
        tags.insert(name, tag);
        texts.insert(name, paragraph.section(QLatin1Char('\n'), 1));
    }
    tags.remove(QStringLiteral("help-all"));
    QStringList declared;
    const ServerConfiguration configuration;
    for (const Option &option : configuration.allOptions().options()) {
        declared.append(option.name);
        const QString expected =
            QStringLiteral("--") + option.name +
            (option.isFlag() ? QString() : QStringLiteral(" ") + option.argument);
        QCOMPARE(tags.value(option.name), expected);
        QVERIFY2(texts.value(option.name).contains(QStringLiteral("(reloaded)")) ==
                     (option.change == Option::Live),
                 qPrintable(option.name));
    }
    declared.sort();
    QCOMPARE(tags.keys(), declared);
}

void tst_ServerConfig::shippedFileMatchesTheTemplate()
{
    const QByteArray expected = ServerConfiguration().fileTemplate();
    const QByteArray shipped =
        readFile(QStringLiteral(CELVANE_SOURCE_DIR "/data/celvane-server.conf"));
    if (shipped != expected) {
        // The file as it should be, to copy over the shipped one.
        const QString fresh = QDir::current().filePath(QStringLiteral("celvane-server.conf"));
        writeFile(fresh, expected);
        QFAIL(qPrintable(QStringLiteral("data/celvane-server.conf differs from the option tables; "
                                        "the file they give is %1")
                             .arg(fresh)));
    }
}

QTEST_GUILESS_MAIN(tst_ServerConfig)
#include "tst_serverconfig.moc"
