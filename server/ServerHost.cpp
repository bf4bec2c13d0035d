#include "server/ServerHost.h"

#include "config/PasswordHash.h"
#include "ftp/ClientSocket.h"
#include "ftp/FtpTables.h"
#include "ftp/Listing.h"
#include "ftp/SessionFinder.h"
#include "net/ListeningSocket.h"
#include "net/ProxyGate.h"
#include "net/SocketDispatcher.h"
#include "res/LogText.h"
#include "res/Strings.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <sys/socket.h>

namespace {

// Waiting connections the control port holds. A backlog of 5 makes the
// system drop the handshakes of clients that arrive together (hundreds at
// once under load), which then stall for seconds in retransmission; the
// system's own ceiling lets every one of them be admitted at once.
constexpr int kControlBacklog = SOMAXCONN;

// A transfer's progress as the views take it.
SProgress Progress(CDataSocket::SProgress transfer) {
    SProgress progress;
    progress.strName = std::move(transfer.strName);
    progress.kind = transfer.kind == CDataSocket::SProgress::Kind::Upload ? SProgress::Kind::Upload
                    : transfer.kind == CDataSocket::SProgress::Kind::Listing
                        ? SProgress::Kind::Listing
                        : SProgress::Kind::Download;
    progress.nBytes = transfer.nBytes;
    progress.nTotal = transfer.nTotal;
    progress.bConnected = transfer.bConnected;
    progress.started = transfer.started;
    progress.nLimit = transfer.nLimit;
    return progress;
}

// The host's sessions, looked up by identity for a completion.
class CSessionList final : public CSessionFinder {
public:
    explicit CSessionList(const std::vector<std::unique_ptr<CClientSocket>>& rSessions)
        : m_rSessions(rSessions) {}
    CClientSocket* FindSession(uint64_t nId) override {
        auto it = std::find_if(m_rSessions.begin(), m_rSessions.end(),
                               [nId](const auto& p) { return p->Id() == nId; });
        return it == m_rSessions.end() ? nullptr : it->get();
    }

private:
    const std::vector<std::unique_ptr<CClientSocket>>& m_rSessions;
};

} // namespace

std::string TailOnCharBoundary(const std::string& strText, size_t nKeep) {
    if (strText.size() <= nKeep)
        return strText;
    size_t nStart = strText.size() - nKeep;
    // Skip UTF-8 continuation bytes so that no character is cut in half.
    while (nStart < strText.size() && (static_cast<unsigned char>(strText[nStart]) & 0xC0) == 0x80)
        ++nStart;
    return strText.substr(nStart);
}

CServerHost::CServerHost(CHostViews& rViews)
    : m_rViews(rViews),
      m_certificate(m_settings.m_extended, [this](const SLogRecord& r) { Log(r); }),
      m_implicit([this] { AcceptClient(true); }, m_certificate,
                 [this](const SLogRecord& r) { Log(r); }),
      m_admission(m_settings, m_sessions, [this](const SLogRecord& r) { Log(r); }),
      m_banClock(m_logins, rViews, [this](const SLogRecord& r) { Log(r); }),
      m_pFinder(std::make_shared<CSessionList>(m_sessions)) {}

CServerHost::~CServerHost() {
    m_pFinder.reset();
    // Quietly release what is left; the owner normally stops the server first.
    m_pListener.reset();
    m_implicit.Close();
    m_sessions.clear();
    RemoveOwnListingFolder();
}

int CServerHost::StartServer() {
    // Listings left behind by a server that was killed go now.
    RemoveStaleListings();
    // Lists of who may connect that cannot be read would leave the server
    // open to those they were written to keep out: they stop the start.
    if (!m_admission.ReadAccessLists())
        return FailStart();
    // A stored port outside the TCP range fails like a port in use, rather
    // than listening on the port it would wrap around to.
    const bool bPortValid = m_settings.m_nPort >= 1 && m_settings.m_nPort <= 65535;
    if (!bPortValid || !OpenListener() || !m_implicit.Open(m_settings))
        return FailStart();
    GateListener();
    m_bRunning = true;
    // Balancers that cannot be told apart would let anyone name any
    // address: such a list stops the start.
    if (!ReadProxyPolicy())
        return FailStart();
    // TlsMode has three values; any other stops the start, as a port out of
    // range does, rather than leave what is in force to guesswork.
    const CExtendedSettings& extended = m_settings.m_extended;
    if (!extended.IsTlsModeValid()) {
        Log(FormatString(LoadString(IDS_TLS_MODE_INVALID), extended.m_nTlsMode), 0);
        return FailStart();
    }
    // TLS is part of the extended mode: asked for without it, it is said
    // to be off.
    if (!extended.m_bEnabled && extended.StoredTlsMode() != TlsMode::Off)
        Log(FormatString(LoadString(IDS_TLS_NEEDS_EXTENDED), extended.m_nTlsMode), 0);
    // In the extended mode with TLS the certificate is checked now: one
    // that cannot be used stops a start that requires TLS.
    if (extended.TlsPolicy() != TlsMode::Off) {
        const bool bUsable = TlsContext() != nullptr;
        if (!bUsable && extended.TlsPolicy() == TlsMode::Required)
            return FailStart();
    }
    std::string strHost = LocalHostName();
    const uint32_t nAddress = AddressToReport(strHost).V4();
    Log({FormatString(LoadString(IDS_SERVER_STARTED), strHost.c_str(), kVersion, TimeText().c_str(),
                      static_cast<int>(nAddress >> 24), static_cast<int>((nAddress >> 16) & 255),
                      static_cast<int>((nAddress >> 8) & 255), static_cast<int>(nAddress & 255),
                      m_settings.m_nPort),
         0, LogEvent::Server});
    if (m_bListeningV6)
        Log(FormatString(LoadString(IDS_LISTENING_IPV6), m_settings.m_nPort), 0);
    m_implicit.LogListening();
    for (const std::string& strName : CPasswordHash::UnreadableUsers(m_settings.m_users))
        Log(FormatString(LoadString(IDS_HASH_UNREADABLE), LogSafe(strName).c_str()), 0);
    // Where the listings go, when that is not the user's own folder.
    if (const std::string strNotice = TakeListingFolderNotice(); !strNotice.empty())
        Log(strNotice, 0);
    m_rViews.OnRunningChanged(true);
    return 0;
}

bool CServerHost::OpenListener() {
    const unsigned nPort = static_cast<unsigned>(m_settings.m_nPort);
    m_bWantsV6 = m_settings.m_extended.m_bEnabled;
    m_bListeningV6 = false;
    // The extended mode listens on IPv6 and IPv4 with one dual-stack socket;
    // the classic mode on IPv4 only, and so does a system without IPv6.
    if (m_bWantsV6) {
        std::string strWhy = "desactivado en el sistema";
        if (IsIpv6TurnedOn()) {
            CAddress any;
            CAddress::Parse("::", nPort, any);
            m_pListener.reset(new (std::nothrow) CListeningSocket([this] { AcceptClient(); }));
            if (m_pListener && m_pListener->Create(any) &&
                m_pListener->Listen(kControlBacklog) != -1) {
                m_bListeningV6 = true;
                return true;
            }
            const int nError = m_pListener ? m_pListener->LastError() : ENOMEM;
            m_pListener.reset();
            // A port in use is in use for IPv4 too.
            if (nError == EADDRINUSE || nError == EACCES)
                return false;
            strWhy = std::strerror(nError);
        }
        Log(FormatString(LoadString(IDS_IPV6_UNAVAILABLE), strWhy.c_str()), 0);
    }
    m_pListener.reset(new (std::nothrow) CListeningSocket([this] { AcceptClient(); }));
    if (m_pListener && m_pListener->Create(nPort) && m_pListener->Listen(kControlBacklog) != -1)
        return true;
    m_pListener.reset();
    return false;
}

void CServerHost::TakeSettings(CServerSettings settings, WhenStopped whenStopped,
                               const std::string& strNotice) {
    // The implicit FTPS port follows a change as the control port does.
    const bool bPortChanged =
        settings.m_nPort != m_settings.m_nPort || CImplicitTlsListener::PortInForce(settings) !=
                                                      CImplicitTlsListener::PortInForce(m_settings);
    const bool bRestart = m_bRunning ? bPortChanged : whenStopped == WhenStopped::Starts;
    m_settings = std::move(settings);
    RateLimiter().Apply(m_settings.m_limits);
    if (!strNotice.empty())
        Log(strNotice, 0);
    if (!bRestart) {
        SettingsChanged();
        return;
    }
    if (m_bRunning)
        StopServer();
    StartServer();
}

void CServerHost::SettingsChanged() {
    if (!m_bRunning)
        return;
    // A list that cannot be read keeps the policy (or the lists) in force.
    ReadProxyPolicy();
    m_admission.ReadAccessLists();
    // The listener follows the mode: switched in place, the sessions stay.
    if (m_settings.m_extended.m_bEnabled == m_bWantsV6)
        return;
    m_pListener.reset();
    m_implicit.Close();
    if (!OpenListener() || !m_implicit.Open(m_settings)) {
        StopServer();
        FailStart();
        return;
    }
    GateListener();
    if (m_bListeningV6)
        Log(FormatString(LoadString(IDS_LISTENING_IPV6), m_settings.m_nPort), 0);
    m_implicit.LogListening();
}

bool CServerHost::ReadProxyPolicy() {
    const CExtendedSettings& extended = m_settings.m_extended;
    std::shared_ptr<CProxyPolicy> pPolicy;
    if (extended.ProxyProtocolOn()) {
        pPolicy = std::make_shared<CProxyPolicy>();
        if (!CProxyPolicy::ParseList(extended.m_strProxyFrom, pPolicy->balancers)) {
            Log(FormatString(LoadString(IDS_PROXY_FROM_INVALID), extended.m_strProxyFrom.c_str()),
                0);
            return false;
        }
    }
    m_pProxyPolicy = pPolicy;
    return true;
}

void CServerHost::GateListener() {
    // The gate asks for the policy in force at each connection: a reload
    // reaches the connections that come afterwards, and those held keep
    // being read. The implicit FTPS port has one of its own: the header
    // comes before the handshake.
    for (CListeningSocket* pListener : {m_pListener.get(), m_implicit.Socket()})
        if (pListener)
            pListener->SetAcceptFilter(
                std::make_unique<CProxyGate>([this] { return m_pProxyPolicy; },
                                             [this](const CAddress& balancer, ProxyRefusal why) {
                                                 ProxyRefused(balancer, why);
                                             }));
}

void CServerHost::ProxyRefused(const CAddress& balancer, ProxyRefusal why) {
    const std::string strFrom = balancer.ToString();
    std::string strText;
    switch (why) {
    case ProxyRefusal::BadHeader:
        strText = FormatString(LoadString(IDS_PROXY_BAD_HEADER), strFrom.c_str());
        break;
    case ProxyRefusal::Late: {
        const int nSeconds = m_pProxyPolicy ? m_pProxyPolicy->nTimeoutMs / 1000 : 5;
        strText = FormatString(LoadString(IDS_PROXY_LATE), strFrom.c_str(), nSeconds);
        break;
    }
    case ProxyRefusal::Closed:
        strText = FormatString(LoadString(IDS_PROXY_CLOSED), strFrom.c_str());
        break;
    }
    Log({strText, 0, LogEvent::Refused, strFrom});
}

int CServerHost::FailStart() {
    m_pListener.reset();
    m_implicit.Close();
    m_bRunning = false;
    Log({LoadString(IDS_SERVER_START_FAILED), 0, LogEvent::Server});
    m_rViews.OnRunningChanged(false);
    return -1;
}

int CServerHost::StopServer() {
    m_pListener.reset();
    m_implicit.Close();
    while (!m_sessions.empty())
        RemoveClient(*m_sessions.front());
    m_bRunning = false;
    Log({FormatString(LoadString(IDS_SERVER_STOPPED), LocalHostName().c_str(), kVersion,
                      TimeText().c_str()),
         0, LogEvent::Server});
    m_rViews.OnRunningChanged(false);
    return 0;
}

int CServerHost::AcceptClient(bool bImplicitTls) {
    CListeningSocket* pListener = bImplicitTls ? m_implicit.Socket() : m_pListener.get();
    if (!pListener)
        return -1;
    std::unique_ptr<CClientSocket> pSession(new (std::nothrow)
                                                CClientSocket(*this, m_nNextId, bImplicitTls));
    if (!pSession) {
        // Take the waiting connection and close it, so that it is not
        // reported again and again.
        CAsyncSocket scratch;
        pListener->Accept(scratch);
        return -1;
    }
    if (!pListener->Accept(*pSession))
        return -1;
    ++m_nNextId;
    if (!m_admission.IsAdmitted(*pSession)) {
        // Not greeted: closed as it comes.
        ReleaseAfterEvent(std::move(pSession));
        return -1;
    }
    CAddress peer;
    if (pSession->GetPeerName(peer) &&
        m_logins.IsBanned(peer.ToString(), CLoginGuard::Clock::now())) {
        // A banned address is not even greeted.
        ReleaseAfterEvent(std::move(pSession));
        return -1;
    }
    const bool bInAll = m_admission.IsOverConnectionLimit();
    if (bInAll || m_admission.IsOverAddressLimit(*pSession)) {
        // Told why, then closed: the system delivers the reply after the
        // close. A client of the implicit FTPS port reads no clear text:
        // it is only closed.
        if (!bImplicitTls)
            pSession->RefuseTooMany(bInAll);
        pSession->ShutDown(1);
        ReleaseAfterEvent(std::move(pSession));
        return -1;
    }
    // The stored time-out is handed to each session, which keeps it unused.
    pSession->SetTimeout(m_settings.m_nTimeout);
    CClientSocket& rSession = *pSession;
    m_sessions.push_back(std::move(pSession));
    ++m_counters.nConnections;
    // Greets the client and reports back through AddClient (on the
    // implicit FTPS port, once its handshake has ended).
    rSession.OnConnect(0);
    return 0;
}

void CServerHost::Log(const std::string& strText, int nLevel) {
    Log(SLogRecord{strText, nLevel});
}

void CServerHost::Log(const SLogRecord& record) {
    if (record.nLevel > m_settings.m_nLogLevel)
        return;
    m_strLog += record.strText;
    // Every text reaches the views, the one that makes the log cut itself
    // too (standard output shows it; the window then replaces its text).
    m_rViews.OnLogRecord(record);
    if (m_strLog.size() > kLogLimit) {
        m_strLog = TailOnCharBoundary(m_strLog, kLogKeep);
        m_rViews.OnLogCut(m_strLog);
    }
}

void CServerHost::AddClient(CClientSocket& rClient, const std::string& strLabel) {
    m_rViews.OnSessionAdmitted(rClient.Id(), strLabel);
}

void CServerHost::RelabelClient(CClientSocket& rClient, const std::string& strLabel) {
    m_rViews.OnSessionRelabelled(rClient.Id(), strLabel);
}

void CServerHost::RemoveClient(CClientSocket& rClient) {
    RemoveSession(rClient.Id());
}

CSessionCompletion CServerHost::CompletionFor(SessionId nId) {
    CSocketDispatcher* pDispatcher = CSocketDispatcher::Current();
    return CSessionCompletion(pDispatcher ? pDispatcher->Posts() : nullptr, m_pFinder, nId);
}

bool CServerHost::RemoveSession(SessionId nId) {
    auto it = std::find_if(m_sessions.begin(), m_sessions.end(),
                           [nId](const auto& p) { return p->Id() == nId; });
    if (it == m_sessions.end())
        return false;
    std::unique_ptr<CClientSocket> pEnded = std::move(*it);
    m_sessions.erase(it);
    m_rViews.OnSessionRemoved(nId);
    // Data connections end quietly: files closed, temporary listings
    // deleted, no reply.
    pEnded->AbandonDataConnections();
    pEnded->ShutDown(1);
    // It may be inside its own handler: released after the current event.
    ReleaseAfterEvent(std::move(pEnded));
    return true;
}

bool CServerHost::LoginFailed(CClientSocket& rClient, const std::string& strUser) {
    // A ban whose time has just come is lifted (and logged) before the
    // failure counts.
    m_banClock.Expire();
    const std::string strAddress = rClient.PeerAddress();
    // The name is the client's: shown, never obeyed.
    const std::string strShownUser = LogSafe(strUser);
    Log({FormatString(LoadString(IDS_LOGIN_FAILED), strAddress.c_str(), strShownUser.c_str()), 1,
         LogEvent::LoginFailed, strAddress, strShownUser, rClient.Id()});
    ++m_counters.nLoginsFailed;
    const CLoginSettings& logins = m_settings.m_logins;
    const CLoginGuard::Clock::duration banTime =
        logins.m_nTestBanSeconds > 0
            ? CLoginGuard::Clock::duration(std::chrono::seconds(logins.m_nTestBanSeconds))
            : CLoginGuard::Clock::duration(std::chrono::minutes(logins.m_nBanMinutes));
    // A ban of no time bans nothing.
    const int nBanAfter =
        logins.m_nBanMinutes > 0 || logins.m_nTestBanSeconds > 0 ? logins.m_nBanAfter : 0;
    const bool bBanned = m_logins.Failed(strAddress, CLoginGuard::Clock::now(), nBanAfter, banTime);
    if (m_logins.TakeFullNotice())
        Log(LoadString(IDS_LOGIN_TABLE_FULL), 0);
    if (!bBanned)
        return true;
    const std::string strKey = CLoginGuard::KeyOf(strAddress);
    Log({FormatString(LoadString(IDS_ADDRESS_BANNED), strKey.c_str(), logins.m_nBanMinutes), 0,
         LogEvent::Ban, strKey});
    ++m_counters.nBans;
    // Its sessions that have not logged in go, this one too; logged-in
    // ones stay (a USER or PASS of theirs is refused while the ban lasts).
    const bool bThisStays = rClient.IsLoggedIn();
    std::vector<SessionId> ended;
    for (const auto& pSession : m_sessions)
        if (!pSession->IsLoggedIn() && CLoginGuard::KeyOf(pSession->PeerAddress()) == strKey)
            ended.push_back(pSession->Id());
    for (SessionId nId : ended)
        RemoveSession(nId);
    m_banClock.Arm();
    m_rViews.OnBansChanged();
    return bThisStays;
}

bool CServerHost::RefusesLogin(CClientSocket& rClient, const std::string& strUser) {
    const std::string strAddress = rClient.PeerAddress();
    if (!m_logins.IsBanned(strAddress, CLoginGuard::Clock::now()))
        return false;
    // The same line as a failed login, for the administrator and for a
    // watcher of the log; the ban in force is neither counted nor extended.
    const std::string strShownUser = LogSafe(strUser);
    Log({FormatString(LoadString(IDS_LOGIN_FAILED), strAddress.c_str(), strShownUser.c_str()), 1,
         LogEvent::LoginFailed, strAddress, strShownUser, rClient.Id()});
    ++m_counters.nLoginsFailed;
    return true;
}

void CServerHost::LoginSucceeded(CClientSocket&) {
    ++m_counters.nLoginsSucceeded;
}

void CServerHost::TransferEnded(const CDataSocket::SProgress& progress, bool bComplete) {
    const int nKind = progress.kind == CDataSocket::SProgress::Kind::Download ? 0
                      : progress.kind == CDataSocket::SProgress::Kind::Upload ? 1
                                                                              : 2;
    ++m_counters.nTransfers[nKind][bComplete ? 0 : 1];
    const uint64_t nBytes = static_cast<uint64_t>(std::max<int64_t>(0, progress.nBytes));
    (nKind == 1 ? m_counters.nBytesReceived : m_counters.nBytesSent) += nBytes;
}

std::vector<SSessionStatus> CServerHost::SessionStatuses() const {
    std::vector<SSessionStatus> statuses;
    statuses.reserve(m_sessions.size());
    for (const auto& pSession : m_sessions) {
        CClientSocket::SStatus session = pSession->Status();
        SSessionStatus& rStatus = statuses.emplace_back();
        rStatus.nId = session.nId;
        rStatus.strUser = std::move(session.strUser);
        rStatus.strAddress = std::move(session.strAddress);
        rStatus.connected = session.connected;
        rStatus.bStatRunning = session.bStatRunning;
        for (CDataSocket::SProgress& rTransfer : session.transfers)
            rStatus.transfers.push_back(Progress(std::move(rTransfer)));
    }
    return statuses;
}

std::vector<CLoginGuard::SBan> CServerHost::Bans() const {
    return m_logins.Bans(CLoginGuard::Clock::now());
}

bool CServerHost::Unban(const std::string& strKey) {
    if (!m_logins.Unban(strKey))
        return false;
    Log({FormatString(LoadString(IDS_ADDRESS_UNBANNED), strKey.c_str()), 0, LogEvent::Unban,
         strKey});
    m_banClock.Arm();
    m_rViews.OnBansChanged();
    return true;
}
