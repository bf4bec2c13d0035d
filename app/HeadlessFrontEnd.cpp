#include "app/HeadlessFrontEnd.h"

#include "app/HeadlessViews.h"
#include "app/JournalOutput.h"
#include "app/OutputQueue.h"
#include "config/PasswordHash.h"
#include "config/SettingsStore.h"
#include "net/SocketDispatcher.h"
#include "server/ControlRequests.h"
#include "server/ControlServer.h"
#include "server/ServerHost.h"

#include "res/Strings.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {
volatile sig_atomic_t g_bStopRequested = 0;
volatile sig_atomic_t g_bReloadRequested = 0;
void OnStopSignal(int) {
    g_bStopRequested = 1;
}
void OnReloadSignal(int) {
    g_bReloadRequested = 1;
}

std::string Join(const std::vector<std::string>& names) {
    std::string strJoined;
    for (const std::string& strName : names)
        strJoined += (strJoined.empty() ? "" : ", ") + strName;
    return strJoined;
}

// The settings as the server runs them, and the settings file they came from.
class CRunningSettings {
public:
    explicit CRunningSettings(CServerHost& rHost) : m_rHost(rHost) {}

    void Load() {
        CServerSettings settings;
        std::vector<std::string> defaulted;
        CSettingsStore::Load(settings, &defaulted);
        m_nStamp = CSettingsStore::FileStamp();
        m_rHost.TakeSettings(std::move(settings));
        // Values that could not be used are named once.
        if (!defaulted.empty())
            m_rHost.Log(FormatString(LoadString(IDS_SETTINGS_DEFAULTED),
                                     CSettingsStore::FileName().c_str(), Join(defaulted).c_str()),
                        0);
    }

    // Reads the file again and hands it to the server as the options
    // sheet's Apply does, but a server that is not running starts.
    void Reload() {
        CServerSettings fresh;
        std::vector<std::string> defaulted;
        CSettingsStore::Load(fresh, &defaulted);
        m_nStamp = CSettingsStore::FileStamp();
        const std::string strFile = CSettingsStore::FileName();
        m_rHost.TakeSettings(std::move(fresh), CServerHost::WhenStopped::Starts,
                             defaulted.empty()
                                 ? FormatString(LoadString(IDS_SETTINGS_RELOADED), strFile.c_str())
                                 : FormatString(LoadString(IDS_SETTINGS_RELOADED_DEFAULTS),
                                                strFile.c_str(), Join(defaulted).c_str()));
    }

    // Saves at exit; an edit made by hand since the file was last read or
    // written is read in first, so that it is not lost.
    void Save() {
        // Settings the program may only read (a system service's) are left
        // as they are, and the log says so.
        if (!CSettingsStore::IsWritable()) {
            m_rHost.Log(FormatString(LoadString(IDS_SETTINGS_READ_ONLY),
                                     CSettingsStore::FileName().c_str()),
                        0);
            return;
        }
        // A file deleted meanwhile holds nothing to keep: it is written anew.
        CServerSettings settings = m_rHost.Settings();
        const int64_t nStamp = CSettingsStore::FileStamp();
        if (nStamp != m_nStamp && nStamp != -1)
            CSettingsStore::Load(settings);
        // At exit the loop serves no one: the plain passwords are hashed
        // on this thread.
        if (settings.m_logins.m_bHashPasswords)
            CPasswordHash::HashPlainPasswords(settings.m_users);
        CSettingsStore::Save(settings);
        m_nStamp = CSettingsStore::FileStamp();
    }

private:
    CServerHost& m_rHost;
    int64_t m_nStamp = -1;
};

void WarnWhenRoot() {
    if (::geteuid() != 0)
        return;
    fprintf(stderr, "skerrow: se ejecuta como root. Para servir el puerto 21 sin root, use el "
                    "servicio: systemctl enable --now skerrow (unidad skerrow.service).\n");
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

namespace {

// Under systemd the log goes to the journal with its fields; null elsewhere,
// and when no thread can be had to send them (plain lines on standard output
// then, which the journal takes too).
std::unique_ptr<CJournalOutput> JournalOfStandardOutput() {
    if (!CJournalOutput::IsStandardOutput())
        return nullptr;
    auto pJournal = std::make_unique<CJournalOutput>();
    if (!pJournal->IsRunning())
        return nullptr;
    return pJournal;
}

} // namespace

int RunHeadless() {
    RaiseOpenFileLimit();
    CSocketDispatcher dispatcher;
    if (!dispatcher.IsValid()) {
        fprintf(stderr, "skerrow: the socket layer cannot be started\n");
        return 1;
    }

    // The stop and reload signals are taken only while the loop waits, so
    // none is lost between a check of its flag and the wait.
    sigset_t loopSignals;
    sigemptyset(&loopSignals);
    for (int nSignal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&loopSignals, nSignal);
    sigset_t waitMask;
    sigprocmask(SIG_BLOCK, &loopSignals, &waitMask);
    for (int nSignal : {SIGINT, SIGTERM, SIGHUP})
        sigdelset(&waitMask, nSignal);
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = OnStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = OnReloadSignal;
    sigaction(SIGHUP, &action, nullptr);
    IgnoreFileSignals();
    WarnWhenRoot();

    COutputQueue output;
    std::unique_ptr<CJournalOutput> pJournal = JournalOfStandardOutput();
    CHeadlessViews views(&output, pJournal.get());
    CServerHost host(views);
    host.Certificate().SetFolder(CSettingsStore::OwnFilesFolder());
    CRunningSettings settings(host);
    settings.Load();
    if (host.StartServer() != 0) {
        settings.Save();
        return 1;
    }
    // skerrow --who and its siblings reach the server here.
    CControlRequests requests(host, [&] { settings.Reload(); });
    CControlServer control(
        [&](const std::string& strRequest) { return requests.Answer(strRequest); });
    std::string strError;
    if (!control.Open(ControlSocketPath(), strError))
        host.Log(FormatString(LoadString(IDS_CONTROL_UNAVAILABLE), strError.c_str()), 0);
    while (!g_bStopRequested) {
        dispatcher.ProcessEvents(-1, &waitMask);
        if (g_bReloadRequested && !g_bStopRequested) {
            g_bReloadRequested = 0;
            settings.Reload();
        }
    }
    host.StopServer();
    settings.Save();
    return 0;
}
