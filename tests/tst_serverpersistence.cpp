#include "connection/protocol.h"
#include "model/canvasformat.h"
#include "server/picturefile.h"
#include "server/picturerenderer.h"
#include "tests/support/serverclient.h"
#include "tests/support/serverprocess.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

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
    void unwritablePathIsRefusedAtStart();

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
        const quint8 row[22] = {1, 2, 3, 4, 5, 6, 7, 0, 200};
        client.send(Protocol::encodeRowData(0, 22, row));
        QVERIFY(client.fetchPicture());
    }
    // Stopped well within the second that saving waits: only the stop can have saved it.
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
    QCOMPARE(picture->cells().left(22), QByteArray::fromHex("0102030405060700c8").append(13, 0));
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

    // A steady stream of edits for two and a half seconds: written about once a second, not once
    // per edit, and never put off for the whole stream.
    QElapsedTimer clock;
    clock.start();
    int edits = 0;
    while (clock.elapsed() < 2500) {
        client.send(Protocol::encodeCommand(Protocol::SetCellCommand, quint8(edits % 40),
                                            quint8(edits / 40 % 25), quint8(edits % 16)));
        ++edits;
        QTest::qWait(5);
    }
    QVERIFY(client.fetchPicture());
    const int saves = server.countLogLines("saved ");
    QVERIFY2(saves >= 1 && saves <= 4, QByteArray::number(saves));
    QVERIFY(edits > 100);

    // And it ends up on disk without any stop.
    PictureFile file(path);
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            Picture loaded;
            const int last = edits - 1;
            return file.load(&loaded) == PictureFile::Loaded &&
                   loaded.cell(last % 40, last / 40 % 25) == quint8(last % 16);
        }(),
        3000);
}

void tst_ServerPersistence::killDuringHeavyEditingLeavesLoadableFile()
{
    const QString path = m_dir.filePath(QStringLiteral("killed.cvp"));
    QRandomGenerator random(7);
    for (int round = 0; round < 3; ++round) {
        ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
        QVERIFY2(server.start(pictureArguments(path)), server.failure());
        ServerClient client;
        QVERIFY(client.connectTo(server.port()));

        // Rows as fast as the server takes them, across at least one save; killed at a moment
        // that differs from round to round.
        const int runMs = 1500 + int(random.bounded(600));
        QElapsedTimer clock;
        clock.start();
        quint8 row[40];
        while (clock.elapsed() < runMs) {
            for (quint8 &cell : row)
                cell = quint8(random.bounded(16));
            client.send(Protocol::encodeRowData(quint8(random.bounded(25)), 40, row));
            if (client.socket().bytesToWrite() > 0)
                QTest::qWait(1);
        }
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

void tst_ServerPersistence::unwritablePathIsRefusedAtStart()
{
    const QString path = m_dir.filePath(QStringLiteral("no-such-folder/picture.cvp"));
    ServerProcess server(QStringLiteral(CELVANE_SERVER_PATH));
    QCOMPARE(server.runToExit({"--port", "0", "--picture", path}), 2);
    QVERIFY(server.standardError().contains(path.toUtf8()));
    QVERIFY(!server.process().readAllStandardOutput().contains("listening"));
}

QTEST_GUILESS_MAIN(tst_ServerPersistence)
#include "tst_serverpersistence.moc"
