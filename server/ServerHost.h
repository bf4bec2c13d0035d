// The running server: the control-port listener, every live session (in
// order of arrival, each with a stable identity), the configuration, and
// the log with its level filter. It reports what happens to a CHostViews.
// Pieces of its own: the TLS certificate (CTlsCertificate), the implicit
// FTPS port (CImplicitTlsListener), who is let in
// (CAdmission: the Allow and Deny lists and the connection limits), and
// the clock that ends the bans (CBanClock) of its failed-login guard.
//
// Ownership: the host owns its listener, its sessions and those pieces. A
// session that ends inside its own event handler is taken off the registry
// at once and released after that event (the dispatcher's deferred
// release).
#pragma once

#include "config/ServerSettings.h"
#include "ftp/PasswordChecks.h"
#include "ftp/SessionHost.h"
#include "server/Admission.h"
#include "server/BanClock.h"
#include "server/HostViews.h"
#include "server/ImplicitTlsListener.h"
#include "server/LoginGuard.h"
#include "server/SessionStatus.h"
#include "server/TlsCertificate.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CClientSocket;
class CListeningSocket;
class CSessionFinder;
class CTlsContext;

class CServerHost : private CSessionHost {
public:
    using SessionId = CHostViews::SessionId;

    explicit CServerHost(CHostViews& rViews);
    ~CServerHost();
    CServerHost(const CServerHost&) = delete;
    CServerHost& operator=(const CServerHost&) = delete;

    int StartServer();
    int StopServer();
    // What new settings do to a server that is not running.
    enum class WhenStopped { StaysStopped, Starts };
    // Takes new settings and puts them in force, for the options sheet's
    // Apply and OK and for a reload of the settings file: users and folders
    // reach each session at its next command; a changed port restarts a
    // running server (one that is not running starts when whenStopped says
    // so, else keeps them for its next start); the other changes follow
    // while it runs (the access lists, the balancers, the listener's mode).
    // strNotice, when given, is logged once the settings are stored, before
    // the server follows them.
    void TakeSettings(CServerSettings settings, WhenStopped whenStopped = WhenStopped::StaysStopped,
                      const std::string& strNotice = std::string());
    // Admits the connection waiting at the control port (bImplicitTls: at
    // the implicit FTPS port).
    int AcceptClient(bool bImplicitTls = false);
    void Log(const std::string& strText, int nLevel) override;
    void Log(const SLogRecord& record) override;
    // Ends the session of that identity (the disconnect command); an
    // identity no longer registered is ignored (false).
    bool RemoveSession(SessionId nId);
    // Work done on another thread for that session comes back through this:
    // run on the loop's thread with the session, or dropped when it has
    // ended (or this host has gone) meanwhile.
    CSessionCompletion CompletionFor(SessionId nId) override;
    // Password hashes are made and checked here, off the event loop.
    CPasswordChecks& PasswordChecks() override { return m_passwordChecks; }

    // The certificate TLS uses (where Skerrow's own lives, its fingerprint).
    CTlsCertificate& Certificate() { return m_certificate; }
    // The certificate TLS uses now: made or loaded on first need (and again
    // after its settings change), its fingerprint logged; null when TLS is
    // off or the certificate cannot be used (the reason is logged once).
    std::shared_ptr<const CTlsContext> TlsContext() override { return m_certificate.Context(); }
    std::shared_ptr<const CProxyPolicy> ProxyPolicy() const override { return m_pProxyPolicy; }
    void ProxyRefused(const CAddress& balancer, ProxyRefusal why) override;

    // What every session is doing now, in the order they came.
    std::vector<SSessionStatus> SessionStatuses() const;
    // The counters of the metrics since the program began.
    const SServerCounters& Counters() const { return m_counters; }

    // The addresses banned now (an IPv6 one by its /64), soonest to end first.
    std::vector<CLoginGuard::SBan> Bans() const;
    // Lifts the ban of an address as Bans lists it; false when none.
    bool Unban(const std::string& strKey);

    const CServerSettings& Settings() const override { return m_settings; }
    bool IsRunning() const { return m_bRunning; }
    const CListeningSocket* Listener() const { return m_pListener.get(); }
    const std::string& LogText() const { return m_strLog; }
    size_t SessionCount() const { return m_sessions.size(); }
    CClientSocket& Session(size_t nIndex) const { return *m_sessions[nIndex]; }

    // Longest log before a cut, and what a cut keeps.
    static constexpr size_t kLogLimit = 32767;
    static constexpr size_t kLogKeep = 16383;

private:
    // The settings have changed while the server runs: the listener
    // follows a change of mode (IPv6 with the extended mode).
    void SettingsChanged();
    // The sessions' reports.
    void AddClient(CClientSocket& rClient, const std::string& strLabel) override;
    void RelabelClient(CClientSocket& rClient, const std::string& strLabel) override;
    void RemoveClient(CClientSocket& rClient) override;
    bool LoginFailed(CClientSocket& rClient, const std::string& strUser) override;
    bool RefusesLogin(CClientSocket& rClient, const std::string& strUser) override;
    void LoginSucceeded(CClientSocket& rClient) override;
    void TransferEnded(const CDataSocket::SProgress& progress, bool bComplete) override;
    // The policy of the PROXY protocol as the settings say, which the
    // control listener's gate follows; false (logged) when ProxyFrom cannot
    // be read.
    bool ReadProxyPolicy();
    // Gives a new control listener its gate, which follows the policy in
    // force.
    void GateListener();
    // A start that cannot go on: nothing listens, the failure is logged.
    int FailStart();
    // The control listener for the mode in force; false when the port
    // cannot be listened on.
    bool OpenListener();

    CHostViews& m_rViews;
    CServerSettings m_settings;
    std::unique_ptr<CListeningSocket> m_pListener;
    std::vector<std::unique_ptr<CClientSocket>> m_sessions;
    SessionId m_nNextId = 1;
    bool m_bRunning = false;
    SServerCounters m_counters;
    // The listener was opened for the extended mode, and listens on IPv6.
    bool m_bWantsV6 = false;
    bool m_bListeningV6 = false;
    std::shared_ptr<const CProxyPolicy> m_pProxyPolicy;
    std::string m_strLog;
    CTlsCertificate m_certificate;
    // The second control listener, whose connections begin with TLS.
    CImplicitTlsListener m_implicit;
    CAdmission m_admission;
    // Failed logins and bans by address, kept while the program runs.
    CLoginGuard m_logins;
    CBanClock m_banClock;
    // The sessions as completions look them up: they hold it weakly, so
    // that one arriving after the host has gone finds nobody.
    std::shared_ptr<CSessionFinder> m_pFinder;
    // Declared last, so it goes first: its threads are joined before
    // anything else of the host ends.
    CPasswordChecks m_passwordChecks;
};

// Keeps the last nKeep bytes of a UTF-8 text, moved forward to a character start.
std::string TailOnCharBoundary(const std::string& strText, size_t nKeep);
