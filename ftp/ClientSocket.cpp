// The control line of a session and its replies: bytes in, lines out
// through the protocol, each line run through the command table; replies
// queued in order and sent as the client takes them; the idle rule.
#include "ftp/ClientSocket.h"

#include "ftp/CommandContext.h"
#include "ftp/FtpTables.h"
#include "ftp/SessionHost.h"
#include "net/ProxyHeader.h"
#include "net/SocketDispatcher.h"
#include "res/LogText.h"
#include "res/Strings.h"

#include <algorithm>
#include <new>

// A command line ends at CR or LF (the protocol tells which pairs are one
// end).
CClientSocket::CClientSocket(CSessionHost& rHost, uint64_t nId, bool bImplicitTls)
    : CBufferedConnection("\r\n"), m_rHost(rHost), m_nId(nId),
      m_start(*this, *this, m_state, m_transfers, rHost), m_transfers(m_start),
      // A session with a transfer running or waiting for its connection is
      // not idle (a transfer that moves nothing fails by itself); a passive
      // port or a finished data connection that the client keeps open is.
      m_idle(
          rHost, [this] { return m_transfers.Running() > 0; }, [this] { OnIdle(); }) {
    if (bImplicitTls)
        m_state.BeginImplicitTls();
}

CClientSocket::~CClientSocket() {
    AbandonDataConnections();
}

void CClientSocket::Log(const std::string& strText, int nLevel) const {
    m_rHost.Log(strText, nLevel);
}

void CClientSocket::Log(LogEvent event, const std::string& strText, int nLevel) const {
    m_rHost.Log({strText, nLevel, event, m_strPeerAddr,
                 m_state.IsLoggedIn() ? LogSafe(m_state.User()) : std::string(), m_nId});
}

const CServerSettings& CClientSocket::Settings() const {
    return m_rHost.Settings();
}

void CClientSocket::SendReply(const std::string& strText) {
    // A reply may repeat what the client sent (a word, a path); its own
    // line ends are the server's. Built only where level 2 shows it.
    if (Settings().m_nLogLevel >= 2)
        Log(LogEvent::Reply, LogSafeLines(strText), 2);
    QueueOutput(strText);
}

void CClientSocket::SendFormatted(int nReply, const std::string& strArgument) {
    SendReply(FormatString(ReplyText(nReply), strArgument.c_str()));
}

void CClientSocket::SendExtended(int nReply, const std::string& strArgument) {
    SendReply(FormatString(ExtendedReplyText(nReply), strArgument.c_str()));
}

std::string CClientSocket::SayText(::Say say, const std::string& strArgument) const {
    const char* pszText = m_pProtocol->Text(say);
    return pszText ? FormatString(pszText, strArgument.c_str()) : std::string();
}

void CClientSocket::SayReply(::Say say, const std::string& strArgument) {
    const std::string strReply = SayText(say, strArgument);
    if (!strReply.empty())
        SendReply(strReply);
}

void CClientSocket::OnOutputOverflow() {
    m_rHost.RemoveClient(*this);
}

bool CClientSocket::HoldsInput() const {
    return m_bLoginChecking || m_bLoginDelayed || m_stat.IsRunning();
}

void CClientSocket::OnConnect(int /*nErrorCode*/) {
    // Each reply is one whole line sent at once: a reply that follows an
    // unacknowledged one (226 after 150) must not wait for the client's
    // delayed acknowledgement.
    SetNoDelay();
    // The client's address first: the greeting's log record names it.
    GetPeerName(m_peer);
    m_strPeerAddr = m_peer.ToString();
    m_connected = std::chrono::steady_clock::now();
    // On the implicit FTPS port the client speaks TLS first: the greeting
    // waits for the handshake, whose end comes back here.
    if (m_state.IsImplicitTls() && !IsTls()) {
        std::shared_ptr<const CTlsContext> pContext = m_rHost.TlsContext();
        if (!pContext || !BeginControlTls(*pContext)) {
            Log(LogEvent::Disconnect,
                FormatString(LoadString(IDS_CONNECTION_CLOSED), m_strPeerAddr.c_str()), 0);
            m_rHost.RemoveClient(*this);
        }
        return;
    }
    SendReply(FormatString(ReplyText(REPLY_GREETING), LocalHostName().c_str(), kVersion,
                           TimeText().c_str()));
    Log(LogEvent::Connect, FormatString(LoadString(IDS_CONNECTED), m_strPeerAddr.c_str()), 0);
    m_rHost.AddClient(*this, LoadString(IDS_USER_CONNECTING));
    TakeProtocol();
    if (m_pProtocol->IdleTimesOut())
        m_idle.Restart();
}

void CClientSocket::TakeProtocol() {
    m_pProtocol =
        m_state.IsImplicitTls() ? &CProtocol::ImplicitTls(Settings()) : &CProtocol::For(Settings());
}

bool CClientSocket::RefusesFirstBytes(const char* pData, size_t nSize) {
    if (CameThroughBalancer() || !m_rHost.ProxyPolicy())
        return false;
    // A whole header, or enough of one to tell it from a command.
    SProxyHeader header;
    const ProxyParse result = ParseProxyHeader(pData, nSize, header);
    if (result == ProxyParse::Invalid || (result == ProxyParse::NeedMore && nSize < 6))
        return false;
    Log(LogEvent::Refused, FormatString(LoadString(IDS_PROXY_UNLISTED), m_strPeerAddr.c_str()), 0);
    m_rHost.RemoveClient(*this);
    return true;
}

bool CClientSocket::RunNextLine(const std::string& rInput, size_t& rPos, size_t nSearched) {
    SReceivedLine line;
    if (!m_pProtocol->NextLine(rInput, rPos, nSearched, line))
        return false;
    // Lines are logged at level 2 only: below it, no work on each line.
    if (Settings().m_nLogLevel >= 2) {
        // Whatever the client sent shows as text of one line, never as a
        // line of its own, a control sequence or raw bytes.
        const std::string strLogged = m_pProtocol->LoggedLine(line.strRaw);
        if (!strLogged.empty())
            Log(LogEvent::Command, LogSafeLine(strLogged), 2);
    }
    if (!line.strLine.empty())
        ProcessCommand(line.strLine);
    return true;
}

void CClientSocket::OnClose(int /*nErrorCode*/) {
    Log(LogEvent::Disconnect,
        FormatString(LoadString(IDS_CONNECTION_CLOSED), m_strPeerAddr.c_str()), 0);
    m_transfers.SetPassive(nullptr);
    // The host ends this session and releases it after this event: nothing
    // of it may be used afterwards.
    m_rHost.RemoveClient(*this);
}

void CClientSocket::ProcessCommand(const std::string& strLine) {
    // A transfer may end (and ask for its release) while its command runs.
    CDeferredReleaseScope scope;
    // The client has moved on: a download's end it has not waited for is
    // said before this command's reply.
    m_transfers.ReportHeld();
    std::string strParameter;
    SplitCommandLine(strLine, m_strWord, strParameter);
    const CCommandRow* pRow = m_pProtocol->FindCommand(m_strWord);
    if (m_pProtocol->IdleTimesOut())
        m_idle.Restart();
    else
        m_idle.Stop();
    // A pending rename lasts only until the next command.
    if (!pRow || (pRow->nCode != CMD_RNTO && pRow->nCode != CMD_RNFR))
        m_state.ForgetRename();
    // The security exchange exists only while TLS is offered; otherwise
    // its words are answered as unknown, before login too.
    if (pRow && pRow->tls == TlsRole::Exchange && !TlsOffered()) {
        SendFormatted(REPLY_UNKNOWN_COMMAND, m_strWord);
        return;
    }
    // The TLS policy comes first.
    if (pRow) {
        if (const char* pszRefusal =
                m_pProtocol->TlsRefusal(*pRow, m_state.IsTlsRequested(), m_state.ProtectsData())) {
            SendReply(pszRefusal);
            return;
        }
    }
    // The login gate comes before every other test, unknown words included.
    if (!m_state.IsLoggedIn() && !(pRow && pRow->bBeforeLogin)) {
        SendReply(ReplyText(REPLY_LOG_IN_FIRST));
        return;
    }
    if (!pRow) {
        SendFormatted(REPLY_UNKNOWN_COMMAND, m_strWord);
        return;
    }
    if (pRow->parameter == ParameterRule::Required && strParameter.empty()) {
        SendFormatted(REPLY_BAD_PARAMETERS, m_strWord);
        return;
    }
    SCommandContext context{*this, m_state, m_transfers, m_start, m_rHost, m_strWord};
    pRow->pHandler(context, *pRow, strParameter);
}

void CClientSocket::OnOutOfBandData(int) {
    // The urgent byte is read and dropped; the ABOR line that comes with it
    // arrives in the ordinary stream. The classic mode leaves urgent data
    // unread.
    if (!m_pProtocol->IsExtended())
        return;
    char chUrgent = 0;
    Receive(&chUrgent, 1, MSG_OOB);
}

void CClientSocket::RefuseTooMany(bool bInAll) {
    SendExtended(bInAll ? XREPLY_TOO_MANY_IN_ALL : XREPLY_TOO_MANY);
}

void CClientSocket::OnIdle() {
    if (!m_pProtocol->IdleTimesOut())
        return;
    m_transfers.ReportHeld();
    SendExtended(XREPLY_TIMEOUT);
    Log(LogEvent::Disconnect,
        FormatString(LoadString(IDS_CONNECTION_CLOSED), m_strPeerAddr.c_str()), 0);
    // The host ends the session after this event; nothing of it is used after.
    m_rHost.RemoveClient(*this);
}

void CClientSocket::DelayFailedLoginReply(int nWaitedMs) {
    // Unknown names and wrong passwords alike: answered a second after the
    // PASS, so that guessing is slow; the connection reads nothing more
    // meanwhile.
    m_bLoginDelayed = true;
    m_loginTimer.Start(std::max(kLoginDelayMs - nWaitedMs, 0), [this] {
        // The failed login's reply, sent late; then the lines that waited.
        m_bLoginDelayed = false;
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        ResumeInput();
    });
}

void CClientSocket::EndLoginCheck(const std::function<bool(SCommandContext&)>& answer) {
    m_bLoginChecking = false;
    SCommandContext context{*this, m_state, m_transfers, m_start, m_rHost, m_strWord};
    if (answer(context))
        ResumeInput();
}

void CClientSocket::AbandonDataConnections() {
    m_statTimer.Stop();
    m_stat.End();
    m_transfers.Abandon();
}

CClientSocket::SStatus CClientSocket::Status() const {
    SStatus status;
    status.nId = m_nId;
    status.strUser = m_state.LoggedInUser();
    status.strAddress = m_strPeerAddr;
    status.connected = m_connected;
    status.bStatRunning = m_stat.IsRunning();
    status.transfers = m_transfers.Progress();
    return status;
}

void CClientSocket::BeginStatListing(std::unique_ptr<CListingBuilder> pListing, bool bComplete) {
    m_stat.Begin(std::move(pListing), bComplete);
    m_statTimer.Start(0, [this] { ContinueStat(); });
}

void CClientSocket::ContinueStat() {
    if (!m_stat.IsRunning())
        return;
    if (!m_stat.IsWritten()) {
        m_stat.WriteSlice();
        m_statTimer.Start(0, [this] { ContinueStat(); });
        return;
    }
    // Lines up to the pause size, then again once the client has read them.
    bool bEnd = false;
    const size_t nUnsent = UnsentOutput();
    const std::string strLines =
        m_stat.NextLines(nUnsent < kOutputBeforePause ? kOutputBeforePause - nUnsent : 0, bEnd);
    if (bEnd)
        m_statTimer.Stop();
    // Into the waiting replies as any reply goes.
    SendReply(strLines);
    if (Handle() < 0)
        return;
    if (bEnd)
        ResumeInput();
    else if (UnsentOutput() == 0)
        m_statTimer.Start(0, [this] { ContinueStat(); });
    // Otherwise the room the client makes (OnSend) brings the next lines.
}
