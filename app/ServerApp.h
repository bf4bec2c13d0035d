// The windowed program: the application object, the socket layer, the
// settings store, and the main window run until it closes.
#pragma once

class QTranslator;

class CServerApp {
public:
    // Runs the program with the window; returns the exit status.
    int InitInstance(int argc, char** argv);

    // Whether a window can be shown at all (a display, or a platform named
    // for Qt).
    static bool HasDisplay();
    // Names the application, keeps it running while its window is hidden,
    // and installs Qt's Spanish translation for the standard buttons
    // (rTranslator must outlive the application's use of it).
    static void ConfigureApplication(QTranslator& rTranslator);
};
