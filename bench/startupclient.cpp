// The client's main() as it is, with the probe that ends it once the window is on screen.

#include "app/celvane.h"
#include "bench/startupprobe.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    Celvane window;
    StartupProbe probe(&window);
    window.show();
    return application.exec();
}
