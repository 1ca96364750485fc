// One repaint of the canvas against one repaint of the same widget without a picture, which is
// the floor: filling the widget once and handing it to the window system.

#include "bench/benchsupport.h"
#include "bench/directpainting.h"
#include "canvas/canvas.h"

using namespace BenchSupport;

namespace {

void repaintWithoutPicture(benchmark::State &state, QSize size)
{
    Canvas canvas;
    if (!showAtSize(canvas, size, state))
        return;
    for (auto _ : state)
        canvas.repaint();
}

void repaintPicture(benchmark::State &state, int formatNumber, QSize size)
{
    const CanvasFormat &format = *canvasFormat(uint8(formatNumber));
    const QByteArray cells = alternatingCells(format);
    Canvas canvas;
    canvas.setFormat(&format, reinterpret_cast<const uint8 *>(cells.constData()));
    if (!showAtSize(canvas, size, state))
        return;
    for (auto _ : state)
        canvas.repaint();
}

void repaintDirectly(benchmark::State &state, int formatNumber, QSize size)
{
    const CanvasFormat &format = *canvasFormat(uint8(formatNumber));
    DirectPainting widget(format, alternatingCells(format));
    if (!showAtSize(widget, size, state))
        return;
    for (auto _ : state)
        widget.repaint();
}

const bool registered = [] {
    for (const QSize size : {SmallSize, LargeSize}) {
        const std::string suffix = "/" + sizeName(size);
        benchmark::RegisterBenchmark(("paint/empty" + suffix).c_str(), repaintWithoutPicture, size);
        for (int number = 0; number < 4; ++number) {
            const std::string format = "format" + std::to_string(number);
            benchmark::RegisterBenchmark(("paint/" + format + suffix).c_str(), repaintPicture,
                                         number, size);
            benchmark::RegisterBenchmark(("paint/direct-" + format + suffix).c_str(),
                                         repaintDirectly, number, size);
        }
    }
    return true;
}();

} // namespace
