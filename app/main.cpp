#include "app/celvane.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    Celvane window;
    window.show();
    return application.exec();
}
