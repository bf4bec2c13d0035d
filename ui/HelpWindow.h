// Skerrow's own help, bundled with the program, in a window of its own.
#pragma once

#include <QTextBrowser>

class CHelpWindow : public QTextBrowser {
    Q_OBJECT

public:
    CHelpWindow();
    // Shows the window at a section of the help ("" for its start).
    void ShowSection(const QString& strSection);
};
