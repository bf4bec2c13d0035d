#include "app/HeadlessFrontEnd.h"

#include "app/HeadlessViews.h"
#include "app/OutputQueue.h"
#include "config/SettingsStore.h"
#include "net/SocketDispatcher.h"
#include "server/ServerHost.h"

#include <csignal>
#include <cstdio>
#include <sys/resource.h>

namespace {
volatile sig_atomic_t g_bStopRequested = 0;
void OnStopSignal(int) {
    g_bStopRequested = 1;
}
} // namespace

void RaiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void IgnoreFileSignals() {
    // Failures to write become error results, never the end of the process:
    // a closed peer (sends use MSG_NOSIGNAL too) or a file grown past the
    // size limit, which then fails its transfer with a reply.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

int RunHeadless() {
    RaiseOpenFileLimit();
    CSocketDispatcher dispatcher;
    if (!dispatcher.IsValid()) {
        fprintf(stderr, "skerrow: the socket layer cannot be started\n");
        return 1;
    }

    // The stop signals are taken only while the loop waits, so none is
    // lost between a check of the flag and the wait.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigset_t waitMask;
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    IgnoreFileSignals();

    COutputQueue output;
    CHeadlessViews views(&output);
    CServerHost host(views);
    CSettingsStore::Load(host.Settings());
    if (host.StartServer() != 0) {
        CSettingsStore::Save(host.Settings());
        return 1;
    }
    while (!g_bStopRequested)
        dispatcher.ProcessEvents(-1, &waitMask);
    host.StopServer();
    CSettingsStore::Save(host.Settings());
    return 0;
}
