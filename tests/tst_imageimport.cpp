#include "app/celvane.h"
#include "canvas/canvas.h"
#include "connection/protocol.h"
#include "model/canvasformat.h"
#include "model/imagetocells.h"
#include "tests/support/fakepictureserver.h"
#include "tests/support/modalwatcher.h"
#include "tests/support/testsupport.h"

#include <QAction>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace TestSupport;

namespace {

const CanvasFormat &formatAt(int number)
{
    return *canvasFormats().at(number);
}

// An image of exactly columns x rows pixels, each in the palette colour of patternCells().
QImage patternImage(int formatNumber)
{
    const CanvasFormat &format = formatAt(formatNumber);
    const QByteArray cells = patternCells(formatNumber);
    QImage image(format.columns, format.rows, QImage::Format_RGB32);
    for (int y = 0; y < format.rows; ++y) {
        for (int x = 0; x < format.columns; ++x)
            image.setPixelColor(x, y, format.palette.at(quint8(cells.at(y * format.columns + x))));
    }
    return image;
}

QImage leftRedRightBlue(int width, int height, QImage::Format pixelFormat = QImage::Format_RGB32)
{
    QImage image(width, height, pixelFormat);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            image.setPixelColor(x, y, x < width / 2 ? QColor(Qt::red) : QColor(Qt::blue));
    }
    return image;
}

QByteArray cellsOf(const QImage &indexed)
{
    QByteArray cells;
    for (int y = 0; y < indexed.height(); ++y)
        cells.append(reinterpret_cast<const char *>(indexed.constScanLine(y)), indexed.width());
    return cells;
}

int largestCell(const QByteArray &cells)
{
    int largest = 0;
    for (char cell : cells)
        largest = qMax(largest, int(quint8(cell)));
    return largest;
}

// The palette entry that Qt's conversion picks for a pure colour. It measures nearness as the sum
// of the channel differences, so pure red goes to #5c4700 (234 away) rather than #894036 (236)
// in the sixteen colours, and to #941701 in the eight; pure blue goes to entry 6 in both. In two
// colours red and blue are nearer to black, white to green.
int nearestIndex(int formatNumber, Qt::GlobalColor colour)
{
    switch (colour) {
    case Qt::red:
        return formatNumber == 3 ? 9 : formatNumber == 2 ? 2 : 0;
    case Qt::blue:
        return formatNumber >= 2 ? 6 : 0;
    case Qt::white:
        return 1;
    default:
        return 0;
    }
}

} // namespace

class tst_ImageImport : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir files;
    std::unique_ptr<Celvane> window;
    std::unique_ptr<FakePictureServer> server;

    Canvas *canvas() const { return canvasOf(*window); }

    QString saveImage(const QImage &image, const QString &name)
    {
        const QString path = files.filePath(name);
        if (!image.save(path))
            qWarning("could not write %s", qPrintable(path));
        return path;
    }

    void connectWith(int formatNumber, const QByteArray &cells)
    {
        window->connectToServer(FakePictureServer::host(), server->port());
        QTRY_COMPARE(server->received(), Protocol::encodeHello());
        server->clearReceived();
        server->sendUpdate(quint8(formatNumber), 3, 4, cells);
        QTRY_COMPARE(canvas()->format(), &formatAt(formatNumber));
    }

    static ModalWatcher::Handler chooseFile(const QString &path)
    {
        return [path](QWidget *modal) {
            auto *dialog = qobject_cast<QFileDialog *>(modal);
            QVERIFY(dialog);
            QCOMPARE(dialog->windowTitle(), QStringLiteral("Choose Image"));
            QCOMPARE(dialog->nameFilters(),
                     QStringList({QStringLiteral("Image Files (*.png *.jpg *.gif *.bmp)")}));
            QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFile);
            if (path.isEmpty()) {
                dialog->reject();
                return;
            }
            dialog->selectFile(path);
            // selectFile() leaves the name field alone while it has the focus, as it has from
            // the second opening on; typing the whole path works either way.
            auto *nameField = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            QVERIFY(nameField);
            nameField->setText(path);
            QCOMPARE(dialog->selectedFiles(), QStringList({path}));
            // accept() is public on QDialog and runs the file dialog's own checks.
            static_cast<QDialog *>(dialog)->accept();
            QVERIFY(!dialog->isVisible());
        };
    }

    // Imports the file through the real menu action and file dialog.
    int importFile(const QString &path, QList<ModalWatcher::Handler> more = {})
    {
        ModalWatcher watcher(QList<ModalWatcher::Handler>{chooseFile(path)} + more +
                             QList<ModalWatcher::Handler>{ModalWatcher::unexpected()});
        window->form().actionLoadImage->trigger();
        return watcher.handledCount();
    }

    // Checks that the server received exactly one RowData per row, in order, with these cells.
    void checkRowsReceived(const QByteArray &cells, int rows, int columns)
    {
        QTRY_COMPARE(server->received().size(), rows * (8 + columns));
        const QList<FakePictureServer::Message> messages = server->receivedMessages();
        QCOMPARE(messages.size(), rows);
        for (int y = 0; y < rows; ++y) {
            QCOMPARE(int(messages.at(y).kind), int(Protocol::RowData));
            const auto row = Protocol::decodeRowData(messages.at(y).payload);
            QVERIFY(row);
            QCOMPARE(int(row->row), y);
            QCOMPARE(int(row->count), columns);
            QCOMPARE(row->cells.toByteArray(), cells.sliced(y * columns, columns));
        }
    }

    // Proves that nothing went out before: the next message the server sees is the Clear.
    void checkNothingSent()
    {
        window->form().actionClear->trigger();
        QTRY_COMPARE(server->received(), QByteArray::fromHex("0300040000000000"));
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(files.isValid()); }

    void init()
    {
        window = std::make_unique<Celvane>();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        server = std::make_unique<FakePictureServer>();
        QVERIFY(server->listen());
    }

    void cleanup()
    {
        window.reset();
        server.reset();
    }

    // --- The mapping on its own ---

    void mappingReproducesPaletteImage_data()
    {
        QTest::addColumn<int>("formatNumber");
        QTest::addColumn<int>("scale");
        for (int number = 0; number < 4; ++number) {
            QTest::addRow("format %d, grid size", number) << number << 1;
            QTest::addRow("format %d, three times larger", number) << number << 3;
        }
    }

    void mappingReproducesPaletteImage()
    {
        QFETCH(int, formatNumber);
        QFETCH(int, scale);
        const CanvasFormat &format = formatAt(formatNumber);
        const QImage source = patternImage(formatNumber)
                                  .scaled(format.columns * scale, format.rows * scale,
                                          Qt::IgnoreAspectRatio, Qt::FastTransformation);

        const QImage cells = imageToCells(source, format);
        QCOMPARE(cells.format(), QImage::Format_Indexed8);
        QCOMPARE(cells.size(), QSize(format.columns, format.rows));
        QCOMPARE(cellsOf(cells), patternCells(formatNumber));
    }

    void mappingStretchesWithoutKeepingShape()
    {
        // One pixel per quarter of the width, whatever the grid's shape.
        QImage source(4, 1, QImage::Format_RGB32);
        const QList<QColor> colours = {Qt::red, Qt::blue, Qt::white, Qt::black};
        for (int x = 0; x < 4; ++x)
            source.setPixelColor(x, 0, colours.at(x));
        const CanvasFormat &format = formatAt(3);
        const QByteArray cells = cellsOf(imageToCells(source, format));
        const int expected[] = {nearestIndex(3, Qt::red), nearestIndex(3, Qt::blue), 1, 0};
        for (int y = 0; y < format.rows; ++y) {
            for (int x = 0; x < format.columns; ++x)
                QCOMPARE(int(cells.at(y * format.columns + x)), expected[x / 10]);
        }
    }

    void mappingTwoColours_data()
    {
        QTest::addColumn<QColor>("pixel");
        QTest::addColumn<int>("expected");

        QTest::newRow("black") << QColor(0, 0, 0) << 0;
        QTest::newRow("green") << QColor(0, 255, 0) << 1;
        QTest::newRow("dark red") << QColor(200, 10, 10) << 0;
        QTest::newRow("light green") << QColor(10, 200, 10) << 1;
        QTest::newRow("greenish grey") << QColor(100, 160, 100) << 1;
        QTest::newRow("grey") << QColor(120, 120, 120) << 0;
        QTest::newRow("blue") << QColor(0, 0, 255) << 0;
        QTest::newRow("white") << QColor(255, 255, 255) << 1;
    }

    void mappingTwoColours()
    {
        QFETCH(QColor, pixel);
        QFETCH(int, expected);
        QImage source(7, 3, QImage::Format_RGB32);
        source.fill(pixel);
        for (int number : {0, 1}) {
            const QByteArray cells = cellsOf(imageToCells(source, formatAt(number)));
            QCOMPARE(cells, QByteArray(formatAt(number).cellCount(), char(expected)));
        }
    }

    void mappingOwnColourTables_data()
    {
        QTest::addColumn<QImage>("source");
        QTest::addColumn<Qt::GlobalColor>("left");
        QTest::addColumn<Qt::GlobalColor>("right");

        QImage indexed = leftRedRightBlue(50, 30).convertToFormat(QImage::Format_Indexed8);
        indexed.setColorTable({qRgb(255, 0, 0), qRgb(0, 0, 255), qRgb(1, 2, 3)});
        QVERIFY(indexed.colorCount() >= 2);
        QTest::newRow("8-bit indexed") << indexed << Qt::red << Qt::blue;

        QImage mono(40, 25, QImage::Format_Mono);
        mono.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
        for (int y = 0; y < 25; ++y) {
            for (int x = 0; x < 40; ++x)
                mono.setPixel(x, y, x < 20 ? 0 : 1);
        }
        QTest::newRow("one bit") << mono << Qt::white << Qt::black;

        QImage grey(40, 25, QImage::Format_Grayscale8);
        grey.fill(QColor(255, 255, 255));
        QTest::newRow("grey scale") << grey << Qt::white << Qt::white;
    }

    void mappingOwnColourTables()
    {
        QFETCH(QImage, source);
        QFETCH(Qt::GlobalColor, left);
        QFETCH(Qt::GlobalColor, right);
        for (int number = 0; number < 4; ++number) {
            const CanvasFormat &format = formatAt(number);
            const QByteArray cells = cellsOf(imageToCells(source, format));
            QVERIFY(largestCell(cells) < format.palette.size());
            QCOMPARE(int(cells.at(0)), nearestIndex(number, left));
            QCOMPARE(int(cells.at(format.columns - 1)), nearestIndex(number, right));
        }
    }

    void mappingTransparentPixels_data()
    {
        QTest::addColumn<QColor>("pixel");
        QTest::newRow("transparent black") << QColor(0, 0, 0, 0);
        QTest::newRow("transparent white") << QColor(255, 255, 255, 0);
        QTest::newRow("half transparent red") << QColor(255, 0, 0, 128);
    }

    void mappingTransparentPixels()
    {
        QFETCH(QColor, pixel);
        QImage source(10, 10, QImage::Format_ARGB32);
        source.fill(pixel);
        for (const CanvasFormat *format : canvasFormats())
            QVERIFY(largestCell(cellsOf(imageToCells(source, *format))) < format->palette.size());
    }

    // --- Through the window, the file dialog and the wire ---

    void cancelChangesNothing()
    {
        connectWith(3, patternCells(3));
        QCOMPARE(importFile(QString()), 1);
        QCOMPARE(cellsOf(canvas()), patternCells(3));
        checkNothingSent();
    }

    void unreadableFileWarns()
    {
        const QString path = files.filePath(QStringLiteral("notes.png"));
        QFile text(path);
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("this is not a picture\n");
        text.close();

        connectWith(2, patternCells(2));
        const int handled = importFile(
            path, {[this](QWidget *modal) {
                auto *box = qobject_cast<QMessageBox *>(modal);
                QVERIFY(box);
                QCOMPARE(box->parentWidget(), window.get());
                QCOMPARE(box->windowTitle(), QStringLiteral("Error"));
                QCOMPARE(box->text(), QStringLiteral("Unable to open image."));
                QCOMPARE(box->icon(), QMessageBox::Warning);
                QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
                box->button(QMessageBox::Ok)->click();
            }});
        QCOMPARE(handled, 2);
        QCOMPARE(canvas()->format(), &formatAt(2));
        QCOMPARE(cellsOf(canvas()), patternCells(2));
        QVERIFY(liveSocketOf(*window));
        checkNothingSent();
    }

    void exactImageReproducesItself_data()
    {
        QTest::addColumn<int>("formatNumber");
        for (int number = 0; number < 4; ++number)
            QTest::addRow("format %d", number) << number;
    }

    void exactImageReproducesItself()
    {
        QFETCH(int, formatNumber);
        const CanvasFormat &format = formatAt(formatNumber);
        const QString path = saveImage(patternImage(formatNumber),
                                       QStringLiteral("pattern%1.png").arg(formatNumber));

        connectWith(formatNumber, QByteArray(format.cellCount(), char(EmptyCell)));
        QCOMPARE(importFile(path), 1);

        QCOMPARE(cellsOf(canvas()), patternCells(formatNumber));
        checkRowsReceived(patternCells(formatNumber), format.rows, format.columns);
        // The frame and pen colours stay as they were.
        QCOMPARE(int(canvas()->borderColor()), 3);
        QCOMPARE(int(canvas()->backgroundColor()), 4);
        QCOMPARE(int(canvas()->penColor()), 1);
    }

    void leftRedRightBlueFile()
    {
        const QString path = saveImage(leftRedRightBlue(100, 60), QStringLiteral("halves.bmp"));
        connectWith(3, patternCells(3));
        QCOMPARE(importFile(path), 1);

        QByteArray expected;
        for (int y = 0; y < 25; ++y) {
            expected += QByteArray(20, char(nearestIndex(3, Qt::red)));
            expected += QByteArray(20, char(nearestIndex(3, Qt::blue)));
        }
        QCOMPARE(cellsOf(canvas()), expected);
        checkRowsReceived(expected, 25, 40);
    }

    void filesWithOwnColourTables_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QImage>("image");
        QTest::addColumn<QImage::Format>("readAs");

        QImage indexed = leftRedRightBlue(40, 25).convertToFormat(QImage::Format_Indexed8);
        QTest::newRow("8-bit PNG") << "indexed.png" << indexed << QImage::Format_Indexed8;
        QTest::newRow("8-bit BMP") << "indexed.bmp" << indexed << QImage::Format_Indexed8;

        QImage mono = leftRedRightBlue(40, 25).convertToFormat(QImage::Format_Mono);
        QTest::newRow("1-bit PNG") << "mono.png" << mono << QImage::Format_Mono;
        QTest::newRow("1-bit BMP") << "mono.bmp" << mono << QImage::Format_Mono;
    }

    void filesWithOwnColourTables()
    {
        QFETCH(QString, name);
        QFETCH(QImage, image);
        QFETCH(QImage::Format, readAs);

        const QString path = saveImage(image, name);
        // The file really is read with a colour table of its own.
        QCOMPARE(QImage(path).format(), readAs);

        connectWith(3, patternCells(3));
        QCOMPARE(importFile(path), 1);
        const QByteArray cells = cellsOf(canvas());
        QVERIFY(largestCell(cells) < 16);
        checkRowsReceived(cells, 25, 40);
        if (readAs == QImage::Format_Indexed8) {
            QCOMPARE(int(cells.at(0)), nearestIndex(3, Qt::red));
            QCOMPARE(int(cells.at(39)), nearestIndex(3, Qt::blue));
        }
    }

    void transparentFileNeverEmpty()
    {
        QImage image(40, 25, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        const QString path = saveImage(image, QStringLiteral("transparent.png"));
        QVERIFY(QImage(path).hasAlphaChannel());

        connectWith(0, QByteArray(1000, char(EmptyCell)));
        QCOMPARE(importFile(path), 1);
        QVERIFY(largestCell(cellsOf(canvas())) < 2);
        checkRowsReceived(cellsOf(canvas()), 25, 40);
    }

    void wideFormatSendsRowsOf80()
    {
        const QString path = saveImage(leftRedRightBlue(33, 7), QStringLiteral("small.png"));
        connectWith(1, patternCells(1));
        QCOMPARE(importFile(path), 1);

        QTRY_COMPARE(server->received().size(), 25 * 88);
        const QList<FakePictureServer::Message> messages = server->receivedMessages();
        QCOMPARE(messages.size(), 25);
        for (int y = 0; y < 25; ++y) {
            QCOMPARE(messages.at(y).payload.size(), 84);
            QCOMPARE(messages.at(y).payload.first(4),
                     QByteArray::fromHex("00500000").replace(0, 1, QByteArray(1, char(y))));
        }
        QCOMPARE(cellsOf(canvas()), QByteArray(2000, char(nearestIndex(1, Qt::red))));
    }

    void connectionLostWhileChoosing()
    {
        const QString path = saveImage(patternImage(3), QStringLiteral("lost.png"));
        connectWith(3, patternCells(3));
        ModalWatcher watcher({[&](QWidget *modal) {
                                  server->closeConnection();
                                  QTRY_COMPARE(statusText(*window), QStringLiteral("Disconnected"));
                                  chooseFile(path)(modal);
                              },
                              ModalWatcher::unexpected()});
        window->form().actionLoadImage->trigger();
        QCOMPARE(watcher.handledCount(), 1);

        QVERIFY(!canvas()->format());
        QTRY_VERIFY(window->findChildren<QTcpSocket *>().isEmpty());
        // No rows were kept back for the next connection either.
        connectWith(2, patternCells(2));
        checkNothingSent();
    }

    void formatChangedWhileChoosing()
    {
        const QString path = saveImage(leftRedRightBlue(40, 25), QStringLiteral("changed.png"));
        connectWith(3, patternCells(3));

        ModalWatcher watcher({[&](QWidget *modal) {
                                  server->sendUpdate(2, 0, 0, patternCells(2));
                                  QTRY_COMPARE(canvas()->format(), &formatAt(2));
                                  chooseFile(path)(modal);
                              },
                              ModalWatcher::unexpected()});
        window->form().actionLoadImage->trigger();
        QCOMPARE(watcher.handledCount(), 1);

        QByteArray expected;
        for (int y = 0; y < 23; ++y)
            expected += QByteArray(11, char(nearestIndex(2, Qt::red))) +
                        QByteArray(11, char(nearestIndex(2, Qt::blue)));
        QCOMPARE(cellsOf(canvas()), expected);
        checkRowsReceived(expected, 23, 22);
    }
};

CELVANE_TEST_MAIN(tst_ImageImport)
#include "tst_imageimport.moc"
