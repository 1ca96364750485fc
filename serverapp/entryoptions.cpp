#include "serverapp/entryoptions.h"

#include "options/optionparsers.h"
#include "server/picturerenderer.h"

#include <QSize>

namespace {

// WIDTHxHEIGHT, each 1 to 8192, as a QSize.
std::optional<QVariant> parseSize(const QString &text, QString *problem)
{
    const QStringList parts = text.split(QLatin1Char('x'));
    bool okWidth = false;
    bool okHeight = false;
    const int width = parts.size() == 2 ? parts.at(0).toInt(&okWidth) : 0;
    const int height = parts.size() == 2 ? parts.at(1).toInt(&okHeight) : 0;
    if (!okWidth || !okHeight || width < 1 || height < 1 || width > 8192 || height > 8192) {
        *problem = QStringLiteral("needs WIDTHxHEIGHT, each 1 to 8192");
        return std::nullopt;
    }
    return QVariant(QSize(width, height));
}

} // namespace

OptionTable entryOptionTable()
{
    using namespace OptionParsers;
    const QSize size = PictureRenderer::DefaultSize;
    return {
        {QStringLiteral("config"), QStringLiteral("FILE"), QString(),
         QStringLiteral("Read options from FILE, one NAME = VALUE a line; the command line wins "
                        "over it. SIGHUP and \"celvane-server reload\" read it again."),
         Option::NeedsRestart, false, text()},
        {QStringLiteral("export-png"), QStringLiteral("FILE"), QString(),
         QStringLiteral("Write the picture as the client shows it to a PNG file and exit, "
                        "without listening."),
         Option::NeedsRestart, false, text()},
        {QStringLiteral("export-size"), QStringLiteral("WxH"),
         QStringLiteral("%1x%2").arg(size.width()).arg(size.height()),
         QStringLiteral("Size of the exported image, WIDTHxHEIGHT (%1x%2, the client's canvas "
                        "in a new window).")
             .arg(size.width())
             .arg(size.height()),
         Option::NeedsRestart, false, parseSize},
        {QStringLiteral("at"), QStringLiteral("TIME"), QString(),
         QStringLiteral(
             "With --export-png: the picture as it stood at TIME, from the journal or Redis: "
             "2026-12-07T14:05 (local time, or with Z or an offset), 14:05 (today), "
             "or 90s, 10m, 2h, 3d ago."),
         Option::NeedsRestart, false, text()},
    };
}
