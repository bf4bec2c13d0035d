// The windowed front end: plain "skerrow".
#include "app/ServerApp.h"

int RunWindow(int argc, char** argv) {
    CServerApp app;
    return app.InitInstance(argc, argv);
}
