// Starting the real server in a test on a port the system has just chosen.
#pragma once

#include "net/ListeningSocket.h"
#include "server/HostViews.h"
#include "server/ServerHost.h"
#include "tests/FreePort.h"
#include "tests/SettingsEdit.h"

// Starts the host on a free port (another process may take it before the
// server does: then it tries again) and returns that port, 0 when it could
// not start.
inline unsigned StartOnFreePort(CServerHost& rHost) {
    for (int nTry = 0; nTry < 5 && !rHost.IsRunning(); ++nTry) {
        EditSettings(rHost)->m_nPort = FreePort();
        rHost.StartServer();
    }
    if (!rHost.IsRunning())
        return 0;
    CAddress address;
    rHost.Listener()->GetSockName(address);
    return address.Port();
}

// Views that take every report and show nothing.
class CQuietViews : public CHostViews {
public:
    void OnLogAppended(const std::string&) override {}
    void OnLogCut(const std::string&) override {}
    void OnSessionAdmitted(SessionId, const std::string&) override {}
    void OnSessionRelabelled(SessionId, const std::string&) override {}
    void OnSessionRemoved(SessionId) override {}
    void OnRunningChanged(bool) override {}
    void OnBansChanged() override {}
};
