#include "ui/HelpWindow.h"

#include "res/Icons.h"
#include "res/Templates.h"

#include <QUrl>

CHelpWindow::CHelpWindow() {
    setWindowTitle(QStringLiteral("Ayuda de Skerrow"));
    setWindowIcon(LoadIconResource(IDR_MAINFRAME));
    setAccessibleName(QStringLiteral("Ayuda de Skerrow"));
    setOpenExternalLinks(true);
    resize(640, 560);
}

void CHelpWindow::ShowSection(const QString& strSection) {
    QUrl url(QStringLiteral("qrc:/help/skerrow.html"));
    if (!strSection.isEmpty())
        url.setFragment(strSection);
    setSource(url);
    if (!strSection.isEmpty())
        scrollToAnchor(strSection);
    show();
    raise();
    activateWindow();
}
