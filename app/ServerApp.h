// The windowed program: the application object, the socket layer, the
// settings store, and the main window run until it closes.
#pragma once

class CServerApp {
public:
    // Runs the program with the window; returns the exit status.
    int InitInstance(int argc, char** argv);

    // Whether a window can be shown at all (a display, or a platform named
    // for Qt).
    static bool HasDisplay();
};
