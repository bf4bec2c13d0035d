// The control line of a session and its replies: bytes in, lines out
// through the protocol, each line run through the command table; replies
// queued in order and sent as the client takes them; the idle rule.
#include "ftp/ClientSocket.h"

#include "ftp/FtpTables.h"
#include "ftp/SessionHost.h"
#include "net/ProxyHeader.h"
#include "net/SocketDispatcher.h"
#include "res/LogText.h"
#include "res/Strings.h"

#include <algorithm>
#include <new>

CClientSocket::CClientSocket(CSessionHost& rHost, uint64_t nId) : m_rHost(rHost), m_nId(nId) {}

CClientSocket::~CClientSocket() {
    AbandonDataConnections();
}

void CClientSocket::Log(const std::string& strText, int nLevel) const {
    m_rHost.Log(strText, nLevel);
}

void CClientSocket::Log(LogEvent event, const std::string& strText, int nLevel) const {
    m_rHost.Log({strText, nLevel, event, m_strPeerAddr,
                 m_bLoggedIn ? LogSafe(m_strUser) : std::string(), m_nId});
}

const CServerSettings& CClientSocket::Settings() const {
    return m_rHost.Settings();
}

void CClientSocket::SendReply(const char* pszText) {
    SendReply(std::string(pszText));
}

void CClientSocket::SendReply(const std::string& strText) {
    // A reply may repeat what the client sent (a word, a path); its own
    // line ends are the server's. Built only where level 2 shows it.
    if (Settings().m_nLogLevel >= 2)
        Log(LogEvent::Reply, LogSafeLines(strText), 2);
    // Every reply is sent whole and in order, however long the client takes
    // to read: what the socket cannot take at once waits for its room.
    m_strOutput += strText;
    FlushOutput();
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

void CClientSocket::FlushOutput() {
    while (!m_strOutput.empty() && Handle() >= 0 && !IsTlsHandshaking()) {
        int nSent = Send(m_strOutput.data(), static_cast<int>(m_strOutput.size()));
        if (nSent <= 0)
            break;
        m_strOutput.erase(0, static_cast<size_t>(nSent));
    }
    if (m_strOutput.empty()) {
        // A burst of replies does not keep its memory once it is out.
        if (m_strOutput.capacity() > kKeptInputCapacity)
            std::string().swap(m_strOutput);
        if (m_bShutDownWhenSent) {
            m_bShutDownWhenSent = false;
            ShutDown(1);
        }
        return;
    }
    // A client that reads nothing while its replies pile up is let go.
    if (m_strOutput.size() > kMaxOutput)
        m_rHost.RemoveClient(*this);
}

bool CClientSocket::InputHeld() const {
    return m_bLoginDelayed || m_pStatListing || m_strOutput.size() > kOutputBeforePause;
}

void CClientSocket::ResumeInput() {
    if (InputHeld() || Handle() < 0)
        return;
    m_bInputPaused = false;
    // The lines that arrived meanwhile (the extended mode keeps them),
    // then whatever waits in the socket.
    if (!m_strInput.empty()) {
        RunReceivedLines(0);
        if (Handle() < 0 || InputHeld())
            return;
    }
    OnReceive(0);
}

void CClientSocket::OnConnect(int /*nErrorCode*/) {
    // Each reply is one whole line sent at once: a reply that follows an
    // unacknowledged one (226 after 150) must not wait for the client's
    // delayed acknowledgement.
    SetNoDelay();
    // The client's address first: the greeting's log record names it.
    GetPeerName(m_peer);
    m_strPeerAddr = m_peer.ToString();
    SendReply(FormatString(ReplyText(REPLY_GREETING), LocalHostName().c_str(), kVersion,
                           TimeText().c_str()));
    m_strInput.clear();
    m_connected = std::chrono::steady_clock::now();
    Log(LogEvent::Connect, FormatString(LoadString(IDS_CONNECTED), m_strPeerAddr.c_str()), 0);
    m_rHost.AddClient(*this, LoadString(IDS_USER_CONNECTING));
    m_pProtocol = &CProtocol::For(Settings());
    if (m_pProtocol->IdleTimesOut())
        RestartIdleTimer();
}

void CClientSocket::ClearInput() {
    m_strInput.clear();
    // A long line does not keep its memory once it is gone.
    if (m_strInput.capacity() > kKeptInputCapacity)
        std::string().swap(m_strInput);
}

void CClientSocket::OnReceive(int /*nErrorCode*/) {
    // Bytes wait in the socket while a reply is held back or the client
    // is not reading its replies; reading nothing asks for no further event.
    if (InputHeld()) {
        m_bInputPaused = true;
        return;
    }
    char buffer[1024];
    int nRead = Receive(buffer, sizeof buffer);
    if (nRead < 0) {
        // A failed receive (a reset, a fatal TLS error whose bytes TLS will
        // never read) ends the connection as the client's close does:
        // otherwise the bytes left waiting would bring event after event.
        if (!WouldBlock()) {
            OnClose(LastError());
            return;
        }
        nRead = 0;
    }
    if (!m_bFirstBytesSeen && nRead > 0) {
        m_bFirstBytesSeen = true;
        if (RefusesStrayProxyHeader(buffer, static_cast<size_t>(nRead)))
            return;
    }
    const size_t nSearched = m_strInput.size();
    m_strInput.append(buffer, static_cast<size_t>(nRead));

    // The bytes kept from earlier receives hold no line end: only the new
    // ones are searched, so a long line costs linear time.
    size_t nEnd = m_strInput.find_first_of("\r\n", nSearched);
    if (m_bOverlong) {
        // The rest of a line that outgrew the bound goes too, up to and
        // with its end; no reply.
        ClearInput();
        if (nEnd != std::string::npos)
            m_bOverlong = false;
        return;
    }
    if (nEnd == std::string::npos) {
        // A line without end is not kept for ever.
        if (m_strInput.size() > kMaxInput) {
            ClearInput();
            m_bOverlong = true;
        }
        return;
    }
    RunReceivedLines(nSearched);
}

bool CClientSocket::RefusesStrayProxyHeader(const char* pData, size_t nSize) {
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

void CClientSocket::RunReceivedLines(size_t nSearched) {
    const bool bLogLines = Settings().m_nLogLevel >= 2;
    size_t nPos = 0;
    SReceivedLine line;
    while (m_pProtocol->NextLine(m_strInput, nPos, nSearched, line)) {
        // Lines are logged at level 2 only: below it, no work on each line.
        if (bLogLines) {
            // Whatever the client sent shows as text of one line, never
            // as a line of its own, a control sequence or raw bytes.
            const std::string strLogged = m_pProtocol->LoggedLine(line.strRaw);
            if (!strLogged.empty())
                Log(LogEvent::Command, LogSafeLine(strLogged), 2);
        }
        if (!line.strLine.empty())
            ProcessCommand(line.strLine);
        // The session may have been ended by what ran.
        if (Handle() < 0)
            return;
        // A failed login, or replies the client has not read, hold the rest
        // back until the reply is out or the backlog has drained.
        if (InputHeld()) {
            m_strInput.erase(0, nPos);
            m_bInputPaused = true;
            return;
        }
        // After AUTH TLS nothing more arrives in clear: whatever came with
        // it is not the client's (an injection) and is dropped.
        if (IsTlsHandshaking()) {
            ClearInput();
            return;
        }
    }
    // Bytes after the last line end wait for the rest of their line.
    m_strInput.erase(0, nPos);
    if (m_strInput.empty())
        ClearInput();
}

void CClientSocket::OnClose(int /*nErrorCode*/) {
    Log(LogEvent::Disconnect,
        FormatString(LoadString(IDS_CONNECTION_CLOSED), m_strPeerAddr.c_str()), 0);
    m_pPassive.reset();
    // The host ends this session and releases it after this event: nothing
    // of it may be used afterwards.
    m_rHost.RemoveClient(*this);
}

void CClientSocket::ProcessCommand(const std::string& strLine) {
    // A transfer may end (and ask for its release) while its command runs.
    CDeferredReleaseScope scope;
    // The client has moved on: a download's end it has not waited for is
    // said before this command's reply.
    ReportHeldTransfers();
    std::string strParameter;
    SplitCommandLine(strLine, m_strWord, strParameter);
    const CCommandRow* pRow = m_pProtocol->FindCommand(m_strWord);
    if (m_pProtocol->IdleTimesOut())
        RestartIdleTimer();
    else
        m_idleTimer.Stop();
    // A pending rename lasts only until the next command.
    if (!pRow || (pRow->nCode != CMD_RNTO && pRow->nCode != CMD_RNFR))
        m_strRenameFrom.clear();
    // The security exchange exists only while TLS is offered; otherwise
    // its words are answered as unknown, before login too.
    if (pRow && pRow->tls == TlsRole::Exchange && !TlsOffered()) {
        DoUnknown(*pRow, strParameter);
        return;
    }
    // The TLS policy comes first.
    if (pRow) {
        if (const char* pszRefusal = TlsRefusal(*pRow)) {
            SendReply(pszRefusal);
            return;
        }
    }
    // The login gate comes before every other test, unknown words included.
    if (!m_bLoggedIn && !(pRow && pRow->bBeforeLogin)) {
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
    (this->*pRow->pHandler)(*pRow, strParameter);
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

void CClientSocket::RestartIdleTimer() {
    // Each command only notes its time: the timer, once set, stays, and
    // when it runs out it looks at how long the session has really been
    // idle. A clock read per command instead of a new deadline.
    m_lastCommand = std::chrono::steady_clock::now();
    if (!m_idleTimer.IsActive())
        ArmIdleTimer(Settings().m_nTimeout * 1000LL);
}

void CClientSocket::ArmIdleTimer(long long nDelayMs) {
    const int nSeconds = Settings().m_nTimeout;
    // No time-out, or one beyond what a timer holds: idle sessions stay.
    if (nSeconds <= 0 || nSeconds > 24 * 24 * 3600) {
        m_idleTimer.Stop();
        return;
    }
    m_idleTimer.Start(static_cast<int>(std::max(nDelayMs, 1LL)), [this] { OnIdleTimeout(); });
}

void CClientSocket::OnIdleTimeout() {
    if (!m_pProtocol->IdleTimesOut())
        return;
    const long long nTimeoutMs = Settings().m_nTimeout * 1000LL;
    const long long nIdleMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - m_lastCommand)
                                  .count();
    // A command came meanwhile: wait for the rest of the time-out after it.
    if (nIdleMs < nTimeoutMs) {
        ArmIdleTimer(nTimeoutMs - nIdleMs);
        return;
    }
    // A session with a transfer running or waiting for its connection is
    // not idle (a transfer that moves nothing fails by itself); a passive
    // port or a finished data connection that the client keeps open is.
    if (RunningDataConnections() > 0) {
        ArmIdleTimer(nTimeoutMs);
        return;
    }
    ReportHeldTransfers();
    SendExtended(XREPLY_TIMEOUT);
    Log(LogEvent::Disconnect,
        FormatString(LoadString(IDS_CONNECTION_CLOSED), m_strPeerAddr.c_str()), 0);
    // The host ends the session after this event; nothing of it is used after.
    m_rHost.RemoveClient(*this);
}

void CClientSocket::DoNoop(const CCommandRow&, const std::string&) {
    SendReply(ReplyText(REPLY_OK));
}

void CClientSocket::DoUnknown(const CCommandRow&, const std::string&) {
    SendFormatted(REPLY_UNKNOWN_COMMAND, m_strWord);
}

CClientSocket::SStatus CClientSocket::Status() const {
    SStatus status;
    status.nId = m_nId;
    status.strUser = m_bLoggedIn ? m_strUser : std::string();
    status.strAddress = m_strPeerAddr;
    status.connected = m_connected;
    status.bStatRunning = m_pStatListing != nullptr;
    for (const std::unique_ptr<CDataSocket>& pData : m_dataSockets)
        if (!pData->IsFinished())
            status.transfers.push_back(pData->Progress());
    return status;
}
