#include "app/ServerApp.h"

#include "app/HeadlessFrontEnd.h"
#include "net/SocketDispatcher.h"
#include "ui/DispatcherNotifier.h"
#include "ui/ServerDlg.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QTranslator>

#include <cstdio>
#include <cstdlib>

bool CServerApp::HasDisplay() {
    for (const char* pszName : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* pszValue = getenv(pszName);
        if (pszValue && *pszValue)
            return true;
    }
    return false;
}

void CServerApp::ConfigureApplication(QTranslator& rTranslator) {
    QApplication::setApplicationName(QStringLiteral("skerrow"));
    QApplication::setApplicationDisplayName(QStringLiteral("Skerrow"));
    QApplication::setDesktopFileName(QStringLiteral("skerrow"));
    // Hidden into the notification area the window is not visible, and the
    // program must go on: it ends only when the window closes.
    QApplication::setQuitOnLastWindowClosed(false);
    // The standard buttons speak Spanish, as the rest of the program does.
    if (rTranslator.load(QStringLiteral("qtbase_es"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&rTranslator);
}

int CServerApp::InitInstance(int argc, char** argv) {
    if (!HasDisplay()) {
        fprintf(
            stderr,
            "skerrow: no hay pantalla donde abrir la ventana (DISPLAY no est\xC3\xA1 definido).\n"
            "Para servir sin ventana: skerrow --headless\n");
        return 2;
    }
    RaiseOpenFileLimit();
    IgnoreFileSignals();

    QApplication app(argc, argv);
    QTranslator translator;
    ConfigureApplication(translator);

    CSocketDispatcher dispatcher;
    if (!dispatcher.IsValid()) {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("skerrow"),
                        QStringLiteral("Fallo en sockets de inicializaci\u00f3n de Windows."),
                        QMessageBox::Ok);
        box.exec();
        return 1;
    }
    CDispatcherNotifier notifier(dispatcher);

    auto pDialog = std::make_unique<CServerDlg>();
    QObject::connect(pDialog.get(), &QDialog::finished, &app, &QApplication::quit,
                     Qt::QueuedConnection);
    pDialog->show();
    app.exec();
    pDialog.reset();
    return 0;
}
