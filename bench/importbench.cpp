// A whole import of an 80 x 25 image into the 80 x 25 format, the way the main window does it:
// read the file, map it to the palette, set every cell (each setCell repaints) and send one
// RowData per row to a loopback peer that receives them all. Judged against as many repaints of
// the widget without a picture as the import makes.

#include "bench/benchsupport.h"
#include "canvas/canvas.h"
#include "connection/protocol.h"
#include "model/imagetocells.h"

#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

using namespace BenchSupport;

namespace {

constexpr int ImportFormat = 1;

void importImage(benchmark::State &state)
{
    const CanvasFormat &format = *canvasFormat(ImportFormat);
    QTemporaryDir folder;
    const QString fileName = folder.filePath(QStringLiteral("import.png"));
    QImage picture(format.columns, format.rows, QImage::Format_RGB32);
    QRandomGenerator random(1);
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x)
            picture.setPixel(x, y, 0xff000000 | random.bounded(0x1000000));
    }
    if (!picture.save(fileName)) {
        state.SkipWithError("cannot write the image to import");
        return;
    }

    Canvas canvas;
    canvas.setFormat(&format);
    if (!showAtSize(canvas, SmallSize, state))
        return;

    QTcpServer server;
    QTcpSocket socket;
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        state.SkipWithError("cannot listen on the loopback interface");
        return;
    }
    socket.connectToHost(QHostAddress::LocalHost, server.serverPort());
    if (!socket.waitForConnected(5000) || !server.waitForNewConnection(5000)) {
        state.SkipWithError("cannot connect over the loopback interface");
        return;
    }
    QTcpSocket *peer = server.nextPendingConnection();
    const qint64 importBytes =
        qint64(format.rows) * (Protocol::HeaderSize + Protocol::RowDataPrefixSize + format.columns);

    for (auto _ : state) {
        const QImage source(fileName);
        const QImage cells = imageToCells(source, format);
        for (int y = 0; y < format.rows; ++y) {
            const uchar *line = cells.constScanLine(y);
            for (int x = 0; x < format.columns; ++x)
                canvas.setCell(uint8(x), uint8(y), line[x]);
            socket.write(Protocol::encodeRowData(uint8(y), uint8(format.columns), line));
        }
        socket.flush();
        qint64 received = 0;
        while (received < importBytes) {
            received += peer->readAll().size();
            if (received < importBytes && !peer->waitForReadyRead(5000)) {
                state.SkipWithError("the peer did not receive the rows");
                return;
            }
        }
    }
}

void repaintsWithoutPicture(benchmark::State &state)
{
    const int repaints = canvasFormat(ImportFormat)->cellCount();
    Canvas canvas;
    if (!showAtSize(canvas, SmallSize, state))
        return;
    for (auto _ : state) {
        for (int i = 0; i < repaints; ++i)
            canvas.repaint();
    }
}

const bool registered = [] {
    benchmark::RegisterBenchmark("import/80x25", importImage)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("import/empty-repaints", repaintsWithoutPicture)
        ->Unit(benchmark::kMillisecond);
    return true;
}();

} // namespace
