#include "bench/benchsupport.h"

#include <QTest>
#include <QWidget>

namespace BenchSupport {

QByteArray alternatingCells(const CanvasFormat &format, int shift)
{
    QByteArray cells(format.cellCount(), Qt::Uninitialized);
    for (int y = 0; y < format.rows; ++y) {
        for (int x = 0; x < format.columns; ++x)
            cells[y * format.columns + x] = char((x + y + shift) % 2);
    }
    return cells;
}

bool showAtSize(QWidget &widget, const QSize &size, benchmark::State &state)
{
    widget.resize(size);
    widget.show();
    if (!QTest::qWaitForWindowExposed(&widget) || widget.size() != size) {
        state.SkipWithError("the widget was not shown at its size");
        return false;
    }
    return true;
}

std::string sizeName(const QSize &size)
{
    return std::to_string(size.width()) + "x" + std::to_string(size.height());
}

} // namespace BenchSupport
