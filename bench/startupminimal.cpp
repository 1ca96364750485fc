// The least a Qt widgets program does to show a window, at the client window's size.

#include "bench/startupprobe.h"

#include <QApplication>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QWidget window;
    window.resize(CELVANE_WINDOW_WIDTH, CELVANE_WINDOW_HEIGHT);
    StartupProbe probe(&window);
    window.show();
    return application.exec();
}
