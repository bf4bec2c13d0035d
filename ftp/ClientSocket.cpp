#include "ftp/ClientSocket.h"

#include "ftp/FtpTables.h"
#include "ftp/Listing.h"
#include "ftp/PassiveSocket.h"
#include "ftp/SessionHost.h"
#include "ftp/TransferArguments.h"
#include "ftp/VirtualPath.h"
#include "net/SocketDispatcher.h"
#include "res/Strings.h"

#include <algorithm>
#include <new>
#include <unistd.h>

// The classic 23 words in their fixed order: the order decides which row
// a word reaches by the prefix rule.
const CCommandRow CClientSocket::kClassicCommands[] = {
    {"user", CMD_USER, ParameterRule::Optional, true, AccessClass::None, &CClientSocket::DoUser},
    {"pass", CMD_PASS, ParameterRule::Optional, true, AccessClass::None, &CClientSocket::DoPass},
    {"port", CMD_PORT, ParameterRule::Optional, false, AccessClass::None, &CClientSocket::DoPort},
    {"quit", CMD_QUIT, ParameterRule::Optional, true, AccessClass::None, &CClientSocket::DoQuit},
    {"type", CMD_TYPE, ParameterRule::Required, false, AccessClass::None, &CClientSocket::DoType},
    {"mode", CMD_MODE, ParameterRule::Required, false, AccessClass::None, &CClientSocket::DoMode},
    {"stru", CMD_STRU, ParameterRule::Required, false, AccessClass::None, &CClientSocket::DoStru},
    {"retr", CMD_RETR, ParameterRule::Required, false, AccessClass::Download,
     &CClientSocket::DoRetr},
    {"stor", CMD_STOR, ParameterRule::Required, false, AccessClass::Upload, &CClientSocket::DoStor},
    {"noop", CMD_NOOP, ParameterRule::Optional, false, AccessClass::None, &CClientSocket::DoNoop},
    {"pwd", CMD_PWD, ParameterRule::Optional, false, AccessClass::None, &CClientSocket::DoPwd},
    {"xpwd", CMD_PWD, ParameterRule::Optional, false, AccessClass::None, &CClientSocket::DoPwd},
    {"cwd", CMD_CWD, ParameterRule::Required, false, AccessClass::None, &CClientSocket::DoCwd},
    {"cdup", CMD_CDUP, ParameterRule::Optional, false, AccessClass::None, &CClientSocket::DoCdup},
    {"list", CMD_LIST, ParameterRule::Optional, false, AccessClass::None, &CClientSocket::DoList},
    {"nlst", CMD_NLST, ParameterRule::Optional, false, AccessClass::None, &CClientSocket::DoList},
    {"dele", CMD_DELE, ParameterRule::Required, false, AccessClass::Upload, &CClientSocket::DoDele},
    {"mkd", CMD_MKD, ParameterRule::Required, false, AccessClass::Upload, &CClientSocket::DoMkdRmd},
    {"rmd", CMD_RMD, ParameterRule::Required, false, AccessClass::Upload, &CClientSocket::DoMkdRmd},
    {"syst", CMD_SYST, ParameterRule::Optional, false, AccessClass::None, &CClientSocket::DoSyst},
    {"pasv", CMD_PASV, ParameterRule::Optional, false, AccessClass::None, &CClientSocket::DoPasv},
    {"rest", CMD_REST, ParameterRule::Required, false, AccessClass::None, &CClientSocket::DoRest},
    // A word with a code but no command: answered as unknown.
    {"name", CMD_NAME, ParameterRule::Optional, false, AccessClass::None,
     &CClientSocket::DoUnknown},
};

std::span<const CCommandRow> CClientSocket::ClassicCommands() {
    return kClassicCommands;
}

CClientSocket::CClientSocket(CSessionHost& rHost, uint64_t nId) : m_rHost(rHost), m_nId(nId) {}

CClientSocket::~CClientSocket() {
    AbandonDataConnections();
}

void CClientSocket::Log(const std::string& strText, int nLevel) const {
    m_rHost.Log(strText, nLevel);
}

const CServerSettings& CClientSocket::Settings() const {
    return m_rHost.Settings();
}

void CClientSocket::SendReply(const char* pszText) {
    SendReply(std::string(pszText));
}

void CClientSocket::SendReply(const std::string& strText) {
    Log(strText, 2);
    // Every reply is sent whole and in order, however long the client takes
    // to read: what the socket cannot take at once waits for its room.
    m_strOutput += strText;
    FlushOutput();
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
    if (IsExtended() && !m_strInput.empty()) {
        RunReceivedLines(0);
        if (Handle() < 0 || InputHeld())
            return;
    }
    OnReceive(0);
}

void CClientSocket::SendFormatted(int nReply, const std::string& strArgument) {
    SendReply(FormatString(ReplyText(nReply), strArgument.c_str()));
}

void CClientSocket::OnConnect(int /*nErrorCode*/) {
    // Each reply is one whole line sent at once: a reply that follows an
    // unacknowledged one (226 after 150) must not wait for the client's
    // delayed acknowledgement.
    SetNoDelay();
    SendReply(FormatString(ReplyText(REPLY_GREETING), LocalHostName().c_str(), kVersion,
                           TimeText().c_str()));
    m_strInput.clear();
    GetPeerName(m_peer);
    m_strPeerAddr = m_peer.ToString();
    Log(FormatString(LoadString(IDS_CONNECTED), m_strPeerAddr.c_str()), 0);
    m_rHost.AddClient(*this, LoadString(IDS_USER_CONNECTING));
    if (IsExtended())
        RestartIdleTimer();
}

void CClientSocket::ClearInput() {
    m_strInput.clear();
    // A long line does not keep its memory once it is gone.
    if (m_strInput.capacity() > kKeptInputCapacity)
        std::string().swap(m_strInput);
}

void CClientSocket::EndLoginDelay() {
    m_bLoginDelayed = false;
    SendReply(ReplyText(REPLY_PERMISSION_DENIED));
    ResumeInput();
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
    if (IsExtended()) {
        RunReceivedLines(nSearched);
        return;
    }
    Log(m_strInput, 2);
    std::string strLine = m_strInput.substr(0, nEnd);
    // A command line ends at its first zero byte.
    size_t nZero = strLine.find('\0');
    if (nZero != std::string::npos)
        strLine.resize(nZero);
    strLine = Trim(strLine);
    // Deliberately, whatever followed the first line end in this buffer is
    // dropped: classic clients wait for each reply before the next
    // command (the extended mode runs every line).
    ClearInput();
    if (!strLine.empty())
        ProcessCommand(strLine);
}

void CClientSocket::OnClose(int /*nErrorCode*/) {
    Log(FormatString(LoadString(IDS_CONNECTION_CLOSED), m_strPeerAddr.c_str()), 0);
    m_pPassive.reset();
    // The host ends this session and releases it after this event: nothing
    // of it may be used afterwards.
    m_rHost.RemoveClient(*this);
}

void CClientSocket::ProcessCommand(const std::string& strLine) {
    // A transfer may end (and ask for its release) while its command runs.
    CDeferredReleaseScope scope;
    std::string strParameter;
    SplitCommandLine(strLine, m_strWord, strParameter);
    const CCommandRow* pRow = nullptr;
    if (IsExtended()) {
        RestartIdleTimer();
        pRow = FindCommand(ExtendedCommands(), m_strWord);
        // The security exchange exists only while TLS can be offered;
        // otherwise its words are answered as unknown, before login too.
        if (pRow && IsSecurityExchange(pRow->nCode) && !m_rHost.TlsContext())
            pRow = &kSecurityExchangeOff;
        // A pending rename lasts only until the next command.
        if (!pRow || (pRow->nCode != CMD_RNTO && pRow->nCode != CMD_RNFR))
            m_strRenameFrom.clear();
    } else {
        m_idleTimer.Stop();
    }
    if (!pRow)
        pRow = FindCommand(ClassicCommands(), m_strWord);

    // The extended mode's TLS policy comes first.
    if (pRow && IsExtended()) {
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

bool CClientSocket::MayAccess(const CCommandRow& rRow, const std::string& strPath) const {
    return CheckAccess(Settings(), m_strUser, rRow.access, strPath);
}

bool CClientSocket::CheckLogin(const std::string& strUser, const std::string& strPassword,
                               std::string& rCwd) const {
    CUserRecord record = FindUser(Settings().m_users, strUser);
    if (record.m_strName.empty() || record.m_strName != strUser)
        return false;
    if (!record.m_strPassword.empty() && record.m_strPassword != strPassword)
        return false;
    rCwd = "/";
    return true;
}

void CClientSocket::DoUser(const CCommandRow&, const std::string& strParameter) {
    m_strUser = strParameter;
    m_bLoggedIn = false;
    SendReply(ReplyText(REPLY_ENTER_PASS));
}

void CClientSocket::DoPass(const CCommandRow&, const std::string& strParameter) {
    if (m_strUser.empty()) {
        SendReply(ReplyText(REPLY_USER_FIRST));
        return;
    }
    if (!CheckLogin(m_strUser, strParameter, m_strCwd)) {
        // Unknown names and wrong passwords alike: counted at once, and
        // answered a second later, so that guessing is slow; the
        // connection reads nothing more meanwhile.
        if (!m_rHost.LoginFailed(*this, m_strUser))
            return;
        m_bLoginDelayed = true;
        m_loginTimer.Start(kLoginDelayMs, [this] { EndLoginDelay(); });
        return;
    }
    m_rHost.LoginSucceeded(*this);
    SendReply(ReplyText(REPLY_LOGGED_IN));
    m_bLoggedIn = true;
    m_rHost.RelabelClient(*this, m_strUser + " (" + m_strPeerAddr + ")");
    Log(FormatString(LoadString(IDS_USER_LOGGED_IN), m_strUser.c_str(), m_strCwd.c_str()), 0);
}

void CClientSocket::DoQuit(const CCommandRow&, const std::string&) {
    SendReply(ReplyText(REPLY_GOODBYE));
    // The connection stays until the client closes its side; the sending
    // side ends once every reply is out.
    if (m_strOutput.empty())
        ShutDown(1);
    else
        m_bShutDownWhenSent = true;
}

void CClientSocket::DoPort(const CCommandRow&, const std::string& strParameter) {
    CAddress address;
    m_dataAddr = CAddress();
    if (ParsePortArgument(strParameter, address) != 0) {
        SendReply(ReplyText(REPLY_BAD_PORT));
        return;
    }
    if (!MayConnectTo(address)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    m_dataAddr = address;
    SendReply(ReplyText(REPLY_PORT_OK));
}

bool CClientSocket::MayConnectTo(const CAddress& address) const {
    // Data connections go only to the client itself, and never to a
    // privileged port: no bouncing to third parties.
    return address.SameHost(m_peer) && address.Port() >= 1024;
}

void CClientSocket::DoPasv(const CCommandRow&, const std::string&) {
    m_pPassive.reset(new (std::nothrow) CPassiveSocket(m_peer));
    // A listener that cannot listen would never report a connection: it goes.
    if (!m_pPassive || !m_pPassive->Open()) {
        m_pPassive.reset();
        SendReply(ReplyText(REPLY_PASSIVE_FAILED));
        return;
    }
    CAddress local;
    GetSockName(local);
    SendPassiveReply(local.V4());
}

void CClientSocket::SendPassiveReply(uint32_t nAddress) {
    unsigned nPort = m_pPassive->Port();
    SendReply(FormatString(ReplyText(REPLY_PASSIVE), static_cast<int>((nAddress >> 24) & 255),
                           static_cast<int>((nAddress >> 16) & 255),
                           static_cast<int>((nAddress >> 8) & 255),
                           static_cast<int>(nAddress & 255), static_cast<int>(nPort >> 8),
                           static_cast<int>(nPort & 255)));
}

void CClientSocket::DoType(const CCommandRow&, const std::string& strParameter) {
    int nType = m_nType;
    std::string strShown;
    int nReply = ParseTypeArgument(strParameter, nType, strShown);
    if (nReply == REPLY_TYPE_OK)
        m_nType = nType;
    if (nReply == REPLY_BYTESIZE)
        SendReply(ReplyText(nReply));
    else
        SendFormatted(nReply, strShown);
}

void CClientSocket::DoMode(const CCommandRow&, const std::string& strParameter) {
    bool bStream = strParameter[0] == 'S' || strParameter[0] == 's';
    SendReply(ReplyText(bStream ? REPLY_OK : REPLY_UNSUPPORTED));
}

void CClientSocket::DoStru(const CCommandRow&, const std::string& strParameter) {
    bool bFile = strParameter[0] == 'F' || strParameter[0] == 'f';
    SendReply(ReplyText(bFile ? REPLY_OK : REPLY_UNSUPPORTED));
}

void CClientSocket::DoNoop(const CCommandRow&, const std::string&) {
    SendReply(ReplyText(REPLY_OK));
}

void CClientSocket::DoSyst(const CCommandRow&, const std::string&) {
    SendFormatted(REPLY_SYSTEM, kVersion);
}

void CClientSocket::DoUnknown(const CCommandRow&, const std::string&) {
    SendFormatted(REPLY_UNKNOWN_COMMAND, m_strWord);
}

void CClientSocket::DoRest(const CCommandRow&, const std::string& strParameter) {
    m_nRestart = ParseRestartArgument(strParameter);
    // The offset is shown in full, whatever its size.
    std::string strReply = ReplyText(REPLY_RESTARTING);
    strReply.replace(strReply.find("%d"), 2, std::to_string(m_nRestart));
    SendReply(strReply);
}

std::string CClientSocket::ResolveFilePath(const std::string& strParameter) const {
    std::string strPath = m_strCwd;
    ResolvePath(strPath, strParameter);
    if (strPath.size() > 1)
        strPath.pop_back();
    return strPath;
}

void CClientSocket::DoRetr(const CCommandRow& rRow, const std::string& strParameter) {
    std::string strPath = ResolveFilePath(strParameter);
    if (!MayAccess(rRow, strPath)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    CLocalPath local = MapToLocalPath(Settings().m_folderMap, strPath);
    if (local.IsEmpty() || !local.Exists()) {
        SendFormatted(REPLY_CANT_READ, strParameter);
        return;
    }
    SendReply(FormatString(ReplyText(REPLY_OPENING_DATA), m_strWord.c_str(), strPath.c_str()));
    StartSend(local, false);
}

void CClientSocket::DoStor(const CCommandRow& rRow, const std::string& strParameter) {
    ReceiveUpload(rRow, strParameter, false);
}

void CClientSocket::ReceiveUpload(const CCommandRow& rRow, const std::string& strParameter,
                                  bool bAppend) {
    std::string strPath = ResolveFilePath(strParameter);
    if (!MayAccess(rRow, strPath)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    CLocalPath local = MapToLocalPath(Settings().m_folderMap, strPath);
    if (local.IsEmpty()) {
        SendFormatted(REPLY_CANT_CREATE, strParameter);
        return;
    }
    SendReply(FormatString(ReplyText(REPLY_OPENING_DATA), m_strWord.c_str(), strPath.c_str()));
    StartReceive(local, bAppend);
}

void CClientSocket::DoPwd(const CCommandRow&, const std::string&) {
    SendFormatted(REPLY_CURRENT_DIR, m_strCwd);
}

void CClientSocket::DoCwd(const CCommandRow& rRow, const std::string& strParameter) {
    std::string strPath = m_strCwd;
    if (!ResolvePath(strPath, strParameter))
        return;
    if (!MayAccess(rRow, strPath)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    if (ChangeDirectory(Settings().m_folderMap, m_strCwd, strPath))
        SendFormatted(REPLY_CURRENT_DIR, m_strCwd);
    else
        SendFormatted(REPLY_CANT_CHANGE_DIR, strParameter);
}

void CClientSocket::DoCdup(const CCommandRow& rRow, const std::string&) {
    DoCwd(rRow, "..");
}

void CClientSocket::DoList(const CCommandRow& rRow, const std::string& strParameter) {
    std::string strPath = m_strCwd;
    if (!strParameter.empty())
        ResolvePath(strPath, strParameter);
    if (!MayAccess(rRow, strPath)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    SendListing(CListingBuilder::Start(Settings().m_folderMap, strPath, rRow.nCode),
                REPLY_CANT_CHANGE_DIR, false, std::string());
}

void CClientSocket::SendListing(std::unique_ptr<CListingBuilder> pListing, int nFailReply,
                                bool bExtendedReply, const std::string& strListedPath) {
    // A listing that is not complete after its first slice goes on being
    // written while its data connection is made.
    const bool bComplete = pListing && pListing->WriteSlice();
    if (!pListing || (bComplete && !pListing->IsOk())) {
        if (bExtendedReply)
            SendExtended(nFailReply);
        else
            SendFormatted(nFailReply, std::string());
        return;
    }
    const std::string strName = pListing->FileName();
    if (bComplete)
        pListing.reset();
    // The classic reply names the listing's own file; the extended one the
    // virtual path listed, never a local one.
    SendReply(FormatString(ReplyText(REPLY_OPENING_DATA), m_strWord.c_str(),
                           bExtendedReply ? strListedPath.c_str() : strName.c_str()));
    StartSend(CLocalPath::Unconfined(strName), true, std::move(pListing));
}

void CClientSocket::DoDele(const CCommandRow& rRow, const std::string& strParameter) {
    std::string strPath = ResolveFilePath(strParameter);
    if (!MayAccess(rRow, strPath)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    CLocalPath local = MapToLocalPath(Settings().m_folderMap, strPath);
    int nError = 0;
    if (local.IsEmpty() || !local.Delete(nError)) {
        SendReply(ReplyText(REPLY_DELETE_FAILED));
        return;
    }
    SendReply(ReplyText(REPLY_FILE_DELETED));
    Log(FormatString(LoadString(IDS_FILE_DELETED), local.Full().c_str()), 0);
}

void CClientSocket::DoMkdRmd(const CCommandRow& rRow, const std::string& strParameter) {
    ChangeFolder(rRow, strParameter, false);
}

void CClientSocket::ChangeFolder(const CCommandRow& rRow, const std::string& strParameter,
                                 bool bRfcReplies) {
    std::string strPath = m_strCwd;
    ResolvePath(strPath, strParameter);
    if (!MayAccess(rRow, strPath)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    CLocalPath local = MapToLocalPath(Settings().m_folderMap, strPath);
    bool bMake = rRow.nCode == CMD_MKD;
    int nError = 0;
    bool bDone =
        !local.IsEmpty() && (bMake ? local.MakeFolder(nError) : local.RemoveFolder(nError));
    if (!bDone) {
        SendReply(ReplyText(bMake ? REPLY_MKD_FAILED : REPLY_RMD_FAILED));
        return;
    }
    if (!bRfcReplies)
        SendReply(ReplyText(bMake ? REPLY_MKD_OK : REPLY_RMD_OK));
    else if (bMake)
        // The new folder's virtual path, without the final "/" of a folder.
        SendExtended(XREPLY_MKD_OK,
                     strPath.size() > 1 ? strPath.substr(0, strPath.size() - 1) : strPath);
    else
        SendExtended(XREPLY_RMD_OK);
    Log(FormatString(LoadString(bMake ? IDS_FOLDER_CREATED : IDS_FOLDER_REMOVED),
                     local.Full().c_str()),
        0);
}

int CClientSocket::StartSend(const CLocalPath& path, bool bDeleteAfter,
                             std::unique_ptr<CListingBuilder> pListing) {
    Log(FormatString(LoadString(IDS_SENDING), path.Full().c_str()), 0);
    CDataSocket::STransfer transfer = NewTransfer(path, true);
    transfer.bDeleteAfter = bDeleteAfter;
    transfer.pListing = std::move(pListing);
    return StartData(std::move(transfer));
}

int CClientSocket::StartReceive(const CLocalPath& path, bool bAppend) {
    Log(FormatString(LoadString(IDS_RECEIVING), path.Full().c_str()), 0);
    CDataSocket::STransfer transfer = NewTransfer(path, false);
    transfer.bAppend = bAppend;
    return StartData(std::move(transfer));
}

CDataSocket::STransfer CClientSocket::NewTransfer(const CLocalPath& path, bool bSending) {
    CDataSocket::STransfer transfer;
    transfer.file = path;
    transfer.bSending = bSending;
    transfer.nType = m_nType;
    transfer.nRestart = m_nRestart;
    transfer.bNetworkText = IsExtended();
    ProtectTransfer(transfer);
    return transfer;
}

size_t CClientSocket::RunningDataConnections() const {
    return static_cast<size_t>(
        std::count_if(m_dataSockets.begin(), m_dataSockets.end(),
                      [](const std::unique_ptr<CDataSocket>& p) { return !p->IsFinished(); }));
}

int CClientSocket::StartData(CDataSocket::STransfer transfer) {
    // The transfer that takes the offset uses it up.
    m_nRestart = 0;
    const std::string strListing = transfer.bDeleteAfter ? transfer.file.Full() : std::string();
    // A client gets a bounded number of transfers at once; one more is
    // refused as a data connection that cannot be started.
    std::unique_ptr<CDataSocket> pData(RunningDataConnections() < kMaxDataConnections
                                           ? new (std::nothrow)
                                                 CDataSocket(*this, std::move(transfer))
                                           : nullptr);
    bool bStarted = false;
    if (pData) {
        CDataSocket& rData = *pData;
        // Listed before it starts: the start may already end it.
        m_dataSockets.push_back(std::move(pData));
        if (m_pPassive) {
            rData.StartPassive(std::move(m_pPassive));
            return 0;
        }
        bStarted = rData.StartActive(m_dataAddr);
        if (!bStarted)
            m_dataSockets.pop_back();
    }
    if (bStarted)
        return 0;
    // A refused transfer holds nothing: its listing, and the passive
    // listener it would have used, go with the refusal.
    if (!strListing.empty())
        ::unlink(strListing.c_str());
    m_pPassive.reset();
    SendReply(ReplyText(REPLY_DATA_RESET));
    return -1;
}

void CClientSocket::OnTransferFinished(CDataSocket& rData, bool bComplete) {
    // A transfer ended for moving nothing is, in the extended mode, aborted
    // in RFC 959's words.
    if (!bComplete && rData.IsStalled() && IsExtended()) {
        SendExtended(XREPLY_TRANSFER_ABORTED);
        return;
    }
    // No connection that resumed this session's TLS session came: refused
    // in RFC 4217's words.
    if (!bComplete && rData.IsSessionRefused()) {
        SendExtended(XREPLY_TLS_RESUME_REQUIRED);
        return;
    }
    SendReply(ReplyText(bComplete ? REPLY_TRANSFER_COMPLETE : REPLY_DATA_RESET));
}

void CClientSocket::OnDataConnectionRefused(CDataSocket& /*rData*/) {
    Log(FormatString(LoadString(IDS_TLS_DATA_REFUSED), m_strPeerAddr.c_str()), 0);
}

void CClientSocket::OnDataSocketEnded(CDataSocket& rData) {
    auto it = std::find_if(m_dataSockets.begin(), m_dataSockets.end(),
                           [&rData](const auto& p) { return p.get() == &rData; });
    if (it == m_dataSockets.end())
        return;
    std::unique_ptr<CDataSocket> pEnded = std::move(*it);
    m_dataSockets.erase(it);
    if (CSocketDispatcher* pDispatcher = CSocketDispatcher::Current())
        pDispatcher->ReleaseLater(std::move(pEnded));
}

void CClientSocket::AbandonDataConnections() {
    EndStat();
    std::vector<std::unique_ptr<CDataSocket>> dataSockets;
    dataSockets.swap(m_dataSockets);
    CSocketDispatcher* pDispatcher = CSocketDispatcher::Current();
    for (std::unique_ptr<CDataSocket>& pData : dataSockets) {
        pData->ShutDown(1);
        pData->Close();
        pData->Abandon();
        // One of them may be inside its own handler (its end removed this
        // session): released after the current event.
        if (pDispatcher)
            pDispatcher->ReleaseLater(std::move(pData));
    }
    m_pPassive.reset();
}
