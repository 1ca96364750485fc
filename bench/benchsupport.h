#pragma once

#include "model/canvasformat.h"

#include <QByteArray>
#include <QSize>

#include <benchmark/benchmark.h>

class QWidget;

// Helpers shared by the client's benchmarks.
namespace BenchSupport {

// The two widget sizes the paint figures are taken at: the main window's own, and a full screen.
constexpr QSize SmallSize(CELVANE_WINDOW_WIDTH, CELVANE_WINDOW_HEIGHT);
constexpr QSize LargeSize(1920, 1080);

// rows x columns cells of a format, every one coloured, neighbours in a row and in a column
// differing: the picture that costs a direct painter the most. shift 1 gives the inverse.
QByteArray alternatingCells(const CanvasFormat &format, int shift = 0);

// Shows a top-level widget at a size and waits until it can paint. On failure the benchmark is
// marked as failed and false comes back.
bool showAtSize(QWidget &widget, const QSize &size, benchmark::State &state);

// "473x400", as benchmark names carry sizes.
std::string sizeName(const QSize &size);

} // namespace BenchSupport
