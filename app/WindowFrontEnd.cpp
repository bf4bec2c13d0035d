// The windowed front end. Until the administration window exists the
// program serves headless.
#include "app/HeadlessFrontEnd.h"

#include <cstdio>

int RunWindow(int /*argc*/, char** /*argv*/) {
    fprintf(stderr, "skerrow: la ventana de administraci\xC3\xB3n todav\xC3\xAD"
                    "a no existe; se sirve sin ventana (--headless)\n");
    return RunHeadless();
}
