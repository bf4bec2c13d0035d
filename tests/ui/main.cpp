// Window tests, in process on Qt's offscreen platform: a real host listening
// on loopback ports, real sockets as clients, and the settings store in a
// configuration folder of the test run's own.
#include "app/ServerApp.h"
#include "net/SocketDispatcher.h"
#include "ui/DispatcherNotifier.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTranslator>

#include <csignal>
#include <cstdlib>

int RunServerDlgTests(int argc, char** argv);
int RunOptionsTests(int argc, char** argv);

int main(int argc, char** argv) {
    QTemporaryDir root;
    if (!root.isValid())
        return 1;
    QDir(root.path()).mkpath(QStringLiteral("config"));
    QDir(root.path()).mkpath(QStringLiteral("home"));
    QDir(root.path()).mkpath(QStringLiteral("tmp"));
    setenv("XDG_CONFIG_HOME", qPrintable(root.path() + QStringLiteral("/config")), 1);
    setenv("HOME", qPrintable(root.path() + QStringLiteral("/home")), 1);
    setenv("TMPDIR", qPrintable(root.path() + QStringLiteral("/tmp")), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    signal(SIGPIPE, SIG_IGN);

    QApplication app(argc, argv);
    QTranslator translator;
    CServerApp::ConfigureApplication(translator);
    CSocketDispatcher dispatcher;
    CDispatcherNotifier notifier(dispatcher);

    int nFailed = RunServerDlgTests(argc, argv);
    nFailed += RunOptionsTests(argc, argv);
    return nFailed == 0 ? 0 : 1;
}
