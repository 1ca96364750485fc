#include "connection/protocol.h"
#include "model/canvasformat.h"
#include "server/picturefile.h"
#include "server/picturerenderer.h"
#include "tests/support/serverclient.h"
#include "tests/support/serverprocess.h"
#include "tests/support/testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using TestSupport::readFile;
using TestSupport::writeFile;

namespace {

QStringList pictureArguments(const QString &path)
{
    return {QStringLiteral("--picture"), path};
}

} // namespace

class tst_ServerPersistence : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void editsSurviveRestart_data();
    void editsSurviveRestart();
    void savesAreCoalesced();
    void killDuringHeavyEditingLeavesLoadableFile();
    void foreignFileIsRefusedAndLeftAlone_data();
    void foreignFileIsRefusedAndLeftAlone();
    void exportsPngWithoutDisplay();
    void unusablePathIsRefusedAtStart_data();
    void unusablePathIsRefusedAtStart();
    void failedSaveKeepsWhatIsOnDisk_data();
    void failedSaveKeepsWhatIsOnDisk();

private:
    QTemporaryDir m_dir;
};

void tst_ServerPersistence::editsSurviveRestart_data()
{
    QTest::addColumn<bool>("interrupt");
    QTest::newRow("SIGTERM") << false;
    QTest::newRow("SIGINT") << true;
}

void tst_ServerPersistence::editsSurviveRestart()
{
    QFETCH(bool, interrupt);
    const QString path = m_dir.filePath(QStringLiteral("restart-%1.cvp").arg(interrupt));

    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start(pictureArguments(path) + QStringList{"--format", "2"}), server.failure());
    {
        ServerClient client;
        QVERIFY(client.connectTo(server.port()));
        client.send(Protocol::encodeCommand(Protocol::SetCellCommand, 21, 22, 7));
        client.send(Protocol::encodeCommand(Protocol::SetColorsCommand, 3, 4, 0));
        const quint8 row[22] = {1, 2, 3, 4, 5, 6, 7, 0, 255};
        client.send(Protocol::encodeRowData(0, 22, row));
        QVERIFY(client.fetchPicture());
    }
    // Usually stopped within the second that saving waits, so that the stop writes the file; on
    // a slow machine the timed save may have come first. Either way the edits are on disk.
    QCOMPARE(interrupt ? server.interrupt() : server.terminate(), 0);
    QVERIFY(QFileInfo::exists(path));

    // The file's own format wins over --format.
    QVERIFY2(server.start(pictureArguments(path) + QStringList{"--format", "0"}), server.failure());
    ServerClient client;
    QVERIFY(client.connectTo(server.port()));
    const auto picture = client.fetchPicture();
    QVERIFY(picture);
    QCOMPARE(picture->formatNumber(), quint8(2));
    QCOMPARE(picture->cell(21, 22), quint8(7));
    QCOMPARE(picture->border(), quint8(3));
    QCOMPARE(picture->background(), quint8(4));
    QCOMPARE(picture->cells().left(22), QByteArray::fromHex("0102030405060700ff").append(13, 0));
    QCOMPARE(picture->cell(0, 1), quint8(EmptyCell));
    QCOMPARE(server.terminate(), 0);
}

void tst_ServerPersistence::savesAreCoalesced()
{
    const QString path = m_dir.filePath(QStringLiteral("coalesced.cvp"));
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QVERIFY2(server.start(pictureArguments(path) + QStringList{"--verbose"}), server.failure());
    ServerClient client;
    QVERIFY(client.connectTo(server.port()));

    // A steady stream of edits until the file has been written twice: saving is not put off
    // for as long as the stream lasts, and it happens far less often than once per edit.
    int edits = 0;
    int saves = 0;
    QVERIFY(QTest::qWaitFor(
        [&] {
            client.send(Protocol::encodeCommand(Protocol::SetCellCommand, quint8(edits % 40),
                                                quint8(edits / 40 % 25), quint8(edits % 16)));
            ++edits;
            saves = server.countLogLines("saved ");
            return saves >= 2;
        },
        20000));
    QVERIFY(client.fetchPicture());
    QVERIFY2(edits >= 10 * saves,
             qPrintable(QStringLiteral("%1 saves for %2 edits").arg(saves).arg(edits)));

    // And it ends up on disk without any stop.
    PictureFile file(path);
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            Picture loaded;
            const int last = edits - 1;
            return file.load(&loaded) == PictureFile::Loaded &&
                   loaded.cell(last % 40, last / 40 % 25) == quint8(last % 16);
        }(),
        10000);
}

void tst_ServerPersistence::killDuringHeavyEditingLeavesLoadableFile()
{
    const QString path = m_dir.filePath(QStringLiteral("killed.cvp"));
    QRandomGenerator random(7);
    for (int round = 0; round < 3; ++round) {
        ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
        QVERIFY2(server.start(pictureArguments(path) + QStringList{"--verbose"}), server.failure());
        ServerClient client;
        QVERIFY(client.connectTo(server.port()));

        // Rows in bursts until the server has saved once, then a number of bursts more that
        // differs from round to round, so that the kill lands at a different moment each time.
        const int burstsAfterSave = int(random.bounded(100));
        int bursts = -1;
        quint8 row[40];
        QVERIFY(QTest::qWaitFor(
            [&] {
                for (int k = 0; k < 20; ++k) {
                    for (quint8 &cell : row)
                        cell = quint8(random.bounded(16));
                    client.send(Protocol::encodeRowData(quint8(random.bounded(25)), 40, row));
                }
                // Read the log every time, so that the server never waits for its pipe.
                if (server.countLogLines("saved ") > 0 || bursts >= 0)
                    ++bursts;
                return bursts >= burstsAfterSave;
            },
            30000));
        server.kill();

        Picture loaded;
        PictureFile file(path);
        QCOMPARE(file.load(&loaded), PictureFile::Loaded);
        QCOMPARE(loaded.formatNumber(), quint8(3));
        QVERIFY(loaded.cells() != QByteArray(1000, char(EmptyCell)));
    }
}

void tst_ServerPersistence::foreignFileIsRefusedAndLeftAlone_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("reason");

    Picture picture(3);
    picture.setCell(1, 1, 1);
    QByteArray future = PictureFile::encode(picture);
    future[8] = 9;

    QTest::newRow("png") << QByteArray::fromHex("89504e470d0a1a0a0000000d4948445200000001")
                         << QByteArray("not a Celvane picture file");
    QTest::newRow("text") << QByteArray("Dear diary,\n")
                          << QByteArray("not a Celvane picture file");
    QTest::newRow("empty") << QByteArray() << QByteArray("not a Celvane picture file");
    QTest::newRow("newer version") << future << QByteArray("version 9");
    QTest::newRow("truncated") << PictureFile::encode(picture).left(500) << QByteArray("damaged");
}

void tst_ServerPersistence::foreignFileIsRefusedAndLeftAlone()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, reason);

    const QString path = m_dir.filePath(QStringLiteral("foreign-%1").arg(QTest::currentDataTag()));
    QVERIFY(writeFile(path, bytes));
    const QDateTime modified = QFileInfo(path).lastModified();

    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    const int status =
        server.runToExit({"--listen", "127.0.0.1", "--port", "0", "--picture", path});
    QCOMPARE(status, 2);
    const QByteArray error = server.standardError();
    QVERIFY2(error.contains(path.toUtf8()) && error.contains(reason) && error.contains("refusing"),
             error.constData());
    QVERIFY(!server.process().readAllStandardOutput().contains("listening"));
    QCOMPARE(readFile(path), bytes);
    QCOMPARE(QFileInfo(path).lastModified(), modified);

    // Nor does exporting touch it.
    QCOMPARE(server.runToExit({"--picture", path, "--export-png", path + ".png"}), 2);
    QCOMPARE(readFile(path), bytes);
    QVERIFY(!QFileInfo::exists(path + ".png"));
}

void tst_ServerPersistence::exportsPngWithoutDisplay()
{
    Picture picture(2);
    picture.setFrameColors(2, 6);
    for (int x = 0; x < 22; ++x)
        picture.setCell(x, 11, quint8(x % 8));
    const QString path = m_dir.filePath(QStringLiteral("export.cvp"));
    PictureFile file(path);
    QVERIFY(file.save(picture));

    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        environment.remove(QString::fromLatin1(name));
    server.process().setProcessEnvironment(environment);

    const QString png = m_dir.filePath(QStringLiteral("export.png"));
    QCOMPARE(server.runToExit({"--picture", path, "--export-png", png}), 0);
    const QImage image(png);
    QCOMPARE(image.size(), PictureRenderer::DefaultSize);
    QCOMPARE(image.convertToFormat(QImage::Format_RGB32),
             PictureRenderer::render(picture).convertToFormat(QImage::Format_RGB32));
    QCOMPARE(image.pixelColor(1, 1), picture.format().palette.at(2));
    // Exporting leaves the picture file as it was.
    QCOMPARE(readFile(path), PictureFile::encode(picture));

    const QString sized = m_dir.filePath(QStringLiteral("sized.png"));
    QCOMPARE(server.runToExit({"--demo", "--export-png", sized, "--export-size", "200x100"}), 0);
    QCOMPARE(QImage(sized).size(), QSize(200, 100));
    QCOMPARE(server.runToExit({"--export-png", sized, "--export-size", "200"}), 1);
}

void tst_ServerPersistence::unusablePathIsRefusedAtStart_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("reason");
    QTest::newRow("FIFO") << "fifo" << QByteArray("not a regular file");
    QTest::newRow("folder") << "folder" << QByteArray("not a regular file");
    QTest::newRow("device") << "device" << QByteArray("not a regular file");
    QTest::newRow("missing folder") << "missing" << QByteArray("cannot create files in its folder");
    QTest::newRow("existing picture in a folder without room")
        << "locked folder" << QByteArray("cannot create files in its folder");
    QTest::newRow("held by another server") << "held" << QByteArray("in use by another server");
}

void tst_ServerPersistence::unusablePathIsRefusedAtStart()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, reason);

    // A folder others can enter, for the unprivileged user the server runs as below.
    QTemporaryDir dir;
    QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                  QFile::ExeOwner | QFile::ReadOther |
                                                  QFile::ExeOther));
    QString path = dir.filePath(QStringLiteral("picture.cvp"));
    ServerProcess holder(QStringLiteral(CELVANE_SERVER_PATH));
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    if (kind == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (kind == QLatin1String("folder")) {
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("picture.cvp")));
    } else if (kind == QLatin1String("device")) {
        path = QStringLiteral("/dev/null");
    } else if (kind == QLatin1String("missing")) {
        path = dir.filePath(QStringLiteral("no-such-folder/picture.cvp"));
    } else if (kind == QLatin1String("held")) {
        QVERIFY2(holder.start(pictureArguments(path)), holder.failure());
        reason += " (pid " + QByteArray::number(holder.process().processId());
    } else {
        QVERIFY(writeFile(path, PictureFile::encode(Picture(2))));
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadOther));
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner |
                                                      QFile::ReadOther | QFile::ExeOther));
        // Permissions do not stop root: the server gives its rights up first.
        server.process().setChildProcessModifier([] {
            if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
                ::_exit(99);
        });
    }
    QCOMPARE(server.runToExit({"--port", "0", "--picture", path}), 2);
    const QByteArray error = server.standardError();
    QVERIFY2(error.contains(path.toUtf8()) && error.contains(reason), error);
    QCOMPARE(error.count('\n'), 1);
    QVERIFY(!server.process().readAllStandardOutput().contains("listening"));
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (holder.isRunning()) {
        // The lock goes with the server that held it.
        QCOMPARE(holder.terminate(), 0);
        QVERIFY2(server.start(pictureArguments(path)), server.failure());
        QCOMPARE(server.terminate(), 0);
    }
}

void tst_ServerPersistence::failedSaveKeepsWhatIsOnDisk_data()
{
    QTest::addColumn<bool>("fullDisk");
    QTest::addColumn<QByteArray>("logged");
    QTest::newRow("full disk") << true << QByteArray("previous picture is kept");
    QTest::newRow("link swapped in after the start")
        << false << QByteArray("no longer a regular file");
}

void tst_ServerPersistence::failedSaveKeepsWhatIsOnDisk()
{
    QFETCH(bool, fullDisk);
    QFETCH(QByteArray, logged);

    const QString name = QStringLiteral("failed-%1.cvp").arg(fullDisk);
    const QString path = m_dir.filePath(name);
    Picture old(3);
    old.setCell(1, 1, 1);
    QVERIFY(writeFile(path, PictureFile::encode(old)));
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    if (fullDisk) {
        // Files may not grow past 600 bytes, so every save of the 1014-byte picture fails
        // halfway, as on a full disk.
        server.process().setChildProcessModifier([] {
            const rlimit small{600, 600};
            ::setrlimit(RLIMIT_FSIZE, &small);
            ::signal(SIGXFSZ, SIG_IGN);
        });
    }
    // The picture file alone, as without a journal; the journal's own failures are tested with it.
    QVERIFY2(server.start(pictureArguments(path) + QStringList{"--no-history"}), server.failure());
    // What a save would overwrite: the picture itself, or the file a link put in its place
    // points to.
    QByteArray kept = PictureFile::encode(old);
    QStringList files{name};
    if (!fullDisk) {
        kept = "precious\n";
        files.append(name + ".victim");
        QVERIFY(writeFile(m_dir.filePath(files.last()), kept));
        QVERIFY(QFile::remove(path));
        QVERIFY(QFile::link(m_dir.filePath(files.last()), path));
    }

    ServerClient client;
    QVERIFY(client.connectTo(server.port()));
    client.send(Protocol::encodeCommand(Protocol::SetCellCommand, 2, 2, 2));
    QVERIFY(client.fetchPicture());
    QTRY_COMPARE_WITH_TIMEOUT(server.countLogLines(logged), 1, 10000);
    QCOMPARE(readFile(path), kept);
    QCOMPARE(server.terminate(), 2);
    QCOMPARE(server.countLogLines("could not be saved"), 1);
    QCOMPARE(readFile(path), kept);
    QCOMPARE(QDir(m_dir.path()).entryList({name + "*"}, QDir::Files | QDir::Hidden), files);
    Picture loaded;
    QVERIFY(!fullDisk || (PictureFile(path).load(&loaded) == PictureFile::Loaded && loaded == old));
}

QTEST_GUILESS_MAIN(tst_ServerPersistence)
#include "tst_serverpersistence.moc"
