// A minimal widgets program that shows one line of text, at the client window's size: what
// any window with a menu or a label pays on top of an empty one (the font database, a font's
// glyphs). Not a goal, a yardstick for explaining the client's figure.

#include "bench/startupprobe.h"

#include <QApplication>
#include <QLabel>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QLabel window(QStringLiteral("Disconnected"));
    window.resize(CELVANE_WINDOW_WIDTH, CELVANE_WINDOW_HEIGHT);
    StartupProbe probe(&window);
    window.show();
    return application.exec();
}
