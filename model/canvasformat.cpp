#include "model/canvasformat.h"

#include <cstdlib>

namespace {

// Everything but the grid, which canvasGrids holds under the same number.
struct FormatEntry
{
    float cellAspect;
    bool hasFrameColors;
    bool rowGap;
    std::initializer_list<const char *> palette;
};

const FormatEntry formatEntries[] = {
    {0.74f, false, true, {"#000000", "#00ff00"}},
    {0.37f, false, true, {"#000000", "#00ff00"}},
    {1.6f,
     true,
     false,
     {"#000000", "#ffffff", "#941701", "#52c6d4", "#901ccc", "#51be08", "#311ad5", "#c4d71c"}},
    {0.74f,
     true,
     false,
     {"#000000", "#ffffff", "#894036", "#7abfc7", "#8a46ae", "#68a941", "#3e31a2", "#d0dc71",
      "#905f25", "#5c4700", "#bb776d", "#555555", "#808080", "#acea88", "#7c70da", "#ababab"}},
};

static_assert(std::size(formatEntries) == std::size(canvasGrids));

QList<CanvasFormat *> *formatTable = nullptr;

void destroyFormatTable()
{
    while (!formatTable->isEmpty())
        delete formatTable->takeFirst();
    delete formatTable;
    formatTable = nullptr;
}

QList<CanvasFormat *> *buildFormatTable()
{
    auto *table = new QList<CanvasFormat *>;
    try {
        for (int number = 0; number < CanvasFormatCount; ++number) {
            const FormatEntry &entry = formatEntries[number];
            auto *format = new CanvasFormat;
            table->append(format);
            format->rows = canvasGrids[number].rows;
            format->columns = canvasGrids[number].columns;
            format->cellAspect = entry.cellAspect;
            format->hasFrameColors = entry.hasFrameColors;
            format->rowGap = entry.rowGap;
            for (const char *name : entry.palette)
                format->palette.append(QColor(QLatin1String(name)));
        }
    } catch (...) {
        // Out of memory: leave the table unbuilt so that the next call tries again.
        qDeleteAll(*table);
        delete table;
        throw;
    }
    return table;
}

} // namespace

const QList<CanvasFormat *> &canvasFormats()
{
    if (!formatTable) {
        formatTable = buildFormatTable();
        std::atexit(destroyFormatTable);
    }
    return *formatTable;
}

const CanvasFormat *canvasFormat(uint8 number)
{
    const QList<CanvasFormat *> &table = canvasFormats();
    return number < table.size() ? table.at(number) : nullptr;
}

int canvasFormatNumber(const CanvasFormat *format)
{
    return format ? int(canvasFormats().indexOf(const_cast<CanvasFormat *>(format))) : -1;
}
