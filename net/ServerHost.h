// The running server: the control-port listener, every live control
// connection (in order of arrival), the configuration, and the log with its
// level filter. Its state is shown through a CHostViews.
#pragma once

#include "config/ServerSettings.h"

#include <memory>
#include <string>
#include <vector>

class CClientSocket;
class CHostViews;
class CListeningSocket;

class CServerHost {
public:
    explicit CServerHost(CHostViews& rViews);
    ~CServerHost();
    CServerHost(const CServerHost&) = delete;
    CServerHost& operator=(const CServerHost&) = delete;

    int StartServer();
    int StopServer();
    int AcceptClient();
    void Log(const std::string& strText, int nLevel);
    void AddClient(CClientSocket* pClient, const std::string& strText);
    void RelabelClient(CClientSocket* pClient, const std::string& strText);
    void RemoveClient(CClientSocket* pClient);
    void UpdateStatus();
    // Disconnects the client of the selected row, if any.
    void DisconnectSelected();

    CServerSettings& Settings() { return m_settings; }
    const CServerSettings& Settings() const { return m_settings; }
    bool IsRunning() const { return m_bRunning; }
    const CListeningSocket* Listener() const { return m_pListener.get(); }
    const std::string& LogText() const { return m_strLog; }
    size_t ClientCount() const { return m_clients.size(); }
    CClientSocket* Client(size_t nIndex) const { return m_clients[nIndex].get(); }

    // Longest log before a cut, and what a cut keeps.
    static constexpr size_t kLogLimit = 32767;
    static constexpr size_t kLogKeep = 16383;

private:
    CHostViews& m_rViews;
    CServerSettings m_settings;
    std::unique_ptr<CListeningSocket> m_pListener;
    std::vector<std::unique_ptr<CClientSocket>> m_clients;
    // A connection being admitted, until its start step registers it.
    std::unique_ptr<CClientSocket> m_pPending;
    bool m_bRunning = false;
    std::string m_strLog;
};

// The local host name, empty when it cannot be obtained.
std::string LocalHostName();
// The current local time as ctime lays it out, without the line end.
std::string TimeText();
// Keeps the last nKeep bytes of a UTF-8 text, moved forward to a character start.
std::string TailOnCharBoundary(const std::string& strText, size_t nKeep);
