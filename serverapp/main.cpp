#include "serverapp/serverapp.h"

int main(int argc, char *argv[])
{
    return ServerApp::run(argc, argv);
}
