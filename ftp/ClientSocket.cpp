#include "ftp/ClientSocket.h"

#include "ftp/FtpTables.h"
#include "ftp/Listing.h"
#include "ftp/TransferArguments.h"
#include "ftp/VirtualPath.h"
#include "net/DataSocket.h"
#include "net/PassiveSocket.h"
#include "net/ServerHost.h"
#include "res/Strings.h"

#include <algorithm>
#include <arpa/inet.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

CClientSocket::CClientSocket(CServerHost* pOwner) : m_pOwner(pOwner) {}

CClientSocket::~CClientSocket() {
    AbandonDataConnections();
}

void CClientSocket::Log(const std::string& strText, int nLevel) const {
    m_pOwner->Log(strText, nLevel);
}

void CClientSocket::SendReply(const char* pszText) {
    std::string strText = pszText;
    SendReply(strText);
}

void CClientSocket::SendReply(const std::string& strText) {
    Log(strText, 2);
    // One send; a reply the socket does not take whole is not retried.
    Send(strText.data(), static_cast<int>(strText.size()));
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
    GetPeerName(m_strPeerAddr, m_nPeerPort);
    Log(FormatString(LoadString(IDS_CONNECTED), m_strPeerAddr.c_str()), 0);
    m_pOwner->AddClient(this, LoadString(IDS_USER_CONNECTING));
}

void CClientSocket::ClearInput() {
    m_strInput.clear();
    // A long line does not keep its memory once it is gone.
    if (m_strInput.capacity() > kKeptInputCapacity)
        std::string().swap(m_strInput);
}

void CClientSocket::OnReceive(int /*nErrorCode*/) {
    char buffer[1024];
    int nRead = Receive(buffer, sizeof buffer);
    if (nRead < 0)
        nRead = 0;
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
    Log(m_strInput, 2);
    std::string strLine = m_strInput.substr(0, nEnd);
    // A command line ends at its first zero byte.
    size_t nZero = strLine.find('\0');
    if (nZero != std::string::npos)
        strLine.resize(nZero);
    strLine = Trim(strLine);
    // Whatever followed the first line end in this buffer is dropped.
    ClearInput();
    if (!strLine.empty())
        ProcessCommand(strLine);
}

void CClientSocket::OnClose(int /*nErrorCode*/) {
    Log(FormatString(LoadString(IDS_CONNECTION_CLOSED), m_strPeerAddr.c_str()), 0);
    m_pPassive.reset();
    // The owner deletes this object: nothing of it may be used afterwards.
    m_pOwner->RemoveClient(this);
}

void CClientSocket::ProcessCommand(const std::string& strLine) {
    std::string strWord;
    std::string strParameter;
    SplitCommandLine(strLine, strWord, strParameter);
    int nCode = LookUpCommand(strWord);

    if (!m_bLoggedIn && nCode != CMD_USER && nCode != CMD_PASS && nCode != CMD_QUIT) {
        SendReply(ReplyText(REPLY_LOG_IN_FIRST));
        return;
    }
    if (nCode == CMD_UNKNOWN || nCode == CMD_NAME) {
        SendFormatted(REPLY_UNKNOWN_COMMAND, strWord);
        return;
    }
    switch (nCode) {
    case CMD_TYPE:
    case CMD_MODE:
    case CMD_STRU:
    case CMD_RETR:
    case CMD_STOR:
    case CMD_CWD:
    case CMD_DELE:
    case CMD_MKD:
    case CMD_RMD:
    case CMD_REST:
        if (strParameter.empty()) {
            SendFormatted(REPLY_BAD_PARAMETERS, strWord);
            return;
        }
        break;
    default:
        break;
    }

    switch (nCode) {
    case CMD_USER:
        DoUser(strParameter);
        break;
    case CMD_PASS:
        DoPass(strParameter);
        break;
    case CMD_PORT:
        DoPort(strParameter);
        break;
    case CMD_QUIT:
        DoQuit();
        break;
    case CMD_TYPE:
        DoType(strParameter);
        break;
    case CMD_MODE:
        SendReply(ReplyText(strParameter[0] == 'S' || strParameter[0] == 's' ? REPLY_OK
                                                                             : REPLY_UNSUPPORTED));
        break;
    case CMD_STRU:
        SendReply(ReplyText(strParameter[0] == 'F' || strParameter[0] == 'f' ? REPLY_OK
                                                                             : REPLY_UNSUPPORTED));
        break;
    case CMD_RETR:
        DoRetr(strWord, strParameter);
        break;
    case CMD_STOR:
        DoStor(strWord, strParameter);
        break;
    case CMD_NOOP:
        SendReply(ReplyText(REPLY_OK));
        break;
    case CMD_PWD:
        DoPwd();
        break;
    case CMD_CWD:
        DoCwd(strParameter);
        break;
    case CMD_CDUP:
        DoCwd("..");
        break;
    case CMD_LIST:
    case CMD_NLST:
        DoList(nCode, strWord, strParameter);
        break;
    case CMD_DELE:
        DoDele(strParameter);
        break;
    case CMD_MKD:
    case CMD_RMD:
        DoMkdRmd(nCode, strParameter);
        break;
    case CMD_SYST:
        SendFormatted(REPLY_SYSTEM, kVersion);
        break;
    case CMD_PASV:
        DoPasv();
        break;
    case CMD_REST:
        DoRest(strParameter);
        break;
    default:
        break;
    }
}

bool CClientSocket::CheckLogin(const std::string& strUser, const std::string& strPassword,
                               std::string& rCwd) const {
    CUserRecord record = FindUser(m_pOwner->Settings().m_users, strUser);
    if (record.m_strName.empty() || record.m_strName != strUser)
        return false;
    if (!record.m_strPassword.empty() && record.m_strPassword != strPassword)
        return false;
    rCwd = "/";
    return true;
}

void CClientSocket::DoUser(const std::string& strParameter) {
    m_strUser = strParameter;
    m_bLoggedIn = false;
    SendReply(ReplyText(REPLY_ENTER_PASS));
}

void CClientSocket::DoPass(const std::string& strParameter) {
    if (m_strUser.empty()) {
        SendReply(ReplyText(REPLY_USER_FIRST));
        return;
    }
    if (!CheckLogin(m_strUser, strParameter, m_strCwd)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    SendReply(ReplyText(REPLY_LOGGED_IN));
    m_bLoggedIn = true;
    m_pOwner->RelabelClient(this, m_strUser + " (" + m_strPeerAddr + ")");
    Log(FormatString(LoadString(IDS_USER_LOGGED_IN), m_strUser.c_str(), m_strCwd.c_str()), 0);
}

void CClientSocket::DoQuit() {
    SendReply(ReplyText(REPLY_GOODBYE));
    // The connection stays until the client closes its side.
    ShutDown(1);
}

void CClientSocket::DoPort(const std::string& strParameter) {
    sockaddr_in address{};
    if (ParsePortArgument(strParameter, address) != 0) {
        m_dataAddr = sockaddr_in{};
        SendReply(ReplyText(REPLY_BAD_PORT));
        return;
    }
    // Data connections go only to the client itself, and never to a
    // privileged port: no bouncing to third parties.
    char szAddress[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &address.sin_addr, szAddress, sizeof szAddress);
    if (m_strPeerAddr != szAddress || ntohs(address.sin_port) < 1024) {
        m_dataAddr = sockaddr_in{};
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    m_dataAddr = address;
    SendReply(ReplyText(REPLY_PORT_OK));
}

void CClientSocket::DoPasv() {
    m_pPassive.reset(new (std::nothrow) CPassiveSocket);
    if (!m_pPassive) {
        SendReply(ReplyText(REPLY_PASSIVE_FAILED));
        return;
    }
    if (!m_pPassive->Create(0) || m_pPassive->Listen(5) == -1) {
        // A listener that cannot listen would never report a connection.
        m_pPassive.reset();
        SendReply(ReplyText(REPLY_PASSIVE_FAILED));
        return;
    }
    sockaddr_in local{};
    sockaddr_in listener{};
    GetSockName(local);
    m_pPassive->GetSockName(listener);
    uint32_t nAddress = ntohl(local.sin_addr.s_addr);
    unsigned nPort = ntohs(listener.sin_port);
    SendReply(FormatString(ReplyText(REPLY_PASSIVE), static_cast<int>((nAddress >> 24) & 255),
                           static_cast<int>((nAddress >> 16) & 255),
                           static_cast<int>((nAddress >> 8) & 255),
                           static_cast<int>(nAddress & 255), static_cast<int>(nPort >> 8),
                           static_cast<int>(nPort & 255)));
}

void CClientSocket::DoType(const std::string& strParameter) {
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

void CClientSocket::DoRest(const std::string& strParameter) {
    m_nRestart = ParseRestartArgument(strParameter);
    // The offset is shown in full, whatever its size.
    std::string strReply = ReplyText(REPLY_RESTARTING);
    strReply.replace(strReply.find("%d"), 2, std::to_string(m_nRestart));
    SendReply(strReply);
}

bool CClientSocket::ResolveFilePath(const std::string& strParameter, std::string& rPath) const {
    rPath = m_strCwd;
    if (!ResolvePath(rPath, strParameter))
        return false;
    if (rPath.size() > 1)
        rPath.pop_back();
    return true;
}

void CClientSocket::DoRetr(const std::string& strWord, const std::string& strParameter) {
    std::string strPath;
    ResolveFilePath(strParameter, strPath);
    const CServerSettings& settings = m_pOwner->Settings();
    if (!CheckAccess(settings, m_strUser, CMD_RETR, strPath)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    CLocalPath local = MapToLocalPath(settings.m_folderMap, strPath);
    if (local.IsEmpty() || !local.Exists()) {
        SendFormatted(REPLY_CANT_READ, strParameter);
        return;
    }
    SendReply(FormatString(ReplyText(REPLY_OPENING_DATA), strWord.c_str(), strPath.c_str()));
    StartSend(local, false);
}

void CClientSocket::DoStor(const std::string& strWord, const std::string& strParameter) {
    std::string strPath;
    ResolveFilePath(strParameter, strPath);
    const CServerSettings& settings = m_pOwner->Settings();
    if (!CheckAccess(settings, m_strUser, CMD_STOR, strPath)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    CLocalPath local = MapToLocalPath(settings.m_folderMap, strPath);
    if (local.IsEmpty()) {
        SendFormatted(REPLY_CANT_CREATE, strParameter);
        return;
    }
    SendReply(FormatString(ReplyText(REPLY_OPENING_DATA), strWord.c_str(), strPath.c_str()));
    StartReceive(local);
}

void CClientSocket::DoPwd() {
    SendFormatted(REPLY_CURRENT_DIR, m_strCwd);
}

void CClientSocket::DoCwd(const std::string& strParameter) {
    std::string strPath = m_strCwd;
    if (!ResolvePath(strPath, strParameter))
        return;
    if (!CheckAccess(m_pOwner->Settings(), m_strUser, CMD_CWD, strPath)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    if (ChangeDirectory(m_pOwner->Settings().m_folderMap, m_strCwd, strPath))
        SendFormatted(REPLY_CURRENT_DIR, m_strCwd);
    else
        SendFormatted(REPLY_CANT_CHANGE_DIR, strParameter);
}

void CClientSocket::DoList(int nCode, const std::string& strWord, const std::string& strParameter) {
    std::string strPath = m_strCwd;
    if (!strParameter.empty())
        ResolvePath(strPath, strParameter);
    if (!CheckAccess(m_pOwner->Settings(), m_strUser, CMD_LIST, strPath)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    std::string strName = BuildListing(m_pOwner->Settings().m_folderMap, strPath, nCode);
    if (strName.empty()) {
        SendFormatted(REPLY_CANT_CHANGE_DIR, strName);
        return;
    }
    SendReply(FormatString(ReplyText(REPLY_OPENING_DATA), strWord.c_str(), strName.c_str()));
    StartSend(CLocalPath::Unconfined(strName), true);
}

void CClientSocket::DoDele(const std::string& strParameter) {
    std::string strPath;
    ResolveFilePath(strParameter, strPath);
    const CServerSettings& settings = m_pOwner->Settings();
    if (!CheckAccess(settings, m_strUser, CMD_DELE, strPath)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    CLocalPath local = MapToLocalPath(settings.m_folderMap, strPath);
    int nError = 0;
    if (local.IsEmpty() || !local.Delete(nError)) {
        SendReply(ReplyText(REPLY_DELETE_FAILED));
        return;
    }
    SendReply(ReplyText(REPLY_FILE_DELETED));
    Log(FormatString(LoadString(IDS_FILE_DELETED), local.Full().c_str()), 0);
}

void CClientSocket::DoMkdRmd(int nCode, const std::string& strParameter) {
    std::string strPath = m_strCwd;
    ResolvePath(strPath, strParameter);
    const CServerSettings& settings = m_pOwner->Settings();
    if (!CheckAccess(settings, m_strUser, nCode, strPath)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    CLocalPath local = MapToLocalPath(settings.m_folderMap, strPath);
    bool bMake = nCode == CMD_MKD;
    int nError = 0;
    bool bDone =
        !local.IsEmpty() && (bMake ? local.MakeFolder(nError) : local.RemoveFolder(nError));
    if (!bDone) {
        SendReply(ReplyText(bMake ? REPLY_MKD_FAILED : REPLY_RMD_FAILED));
        return;
    }
    SendReply(ReplyText(bMake ? REPLY_MKD_OK : REPLY_RMD_OK));
    Log(FormatString(LoadString(bMake ? IDS_FOLDER_CREATED : IDS_FOLDER_REMOVED),
                     local.Full().c_str()),
        0);
}

int CClientSocket::StartSend(const CLocalPath& path, bool bDeleteAfter) {
    Log(FormatString(LoadString(IDS_SENDING), path.Full().c_str()), 0);
    return StartData(path, true, bDeleteAfter);
}

int CClientSocket::StartReceive(const CLocalPath& path) {
    Log(FormatString(LoadString(IDS_RECEIVING), path.Full().c_str()), 0);
    return StartData(path, false, false);
}

size_t CClientSocket::RunningDataConnections() const {
    return static_cast<size_t>(
        std::count_if(m_dataSockets.begin(), m_dataSockets.end(),
                      [](const CDataSocket* p) { return !p->IsFinished(); }));
}

int CClientSocket::StartData(const CLocalPath& path, bool bSending, bool bDeleteAfter) {
    // A client gets a bounded number of transfers at once; one more is
    // refused as a data connection that cannot be started.
    std::unique_ptr<CDataSocket> pData(RunningDataConnections() < kMaxDataConnections
                                           ? new (std::nothrow) CDataSocket(this)
                                           : nullptr);
    if (!pData) {
        if (bDeleteAfter)
            ::unlink(path.Full().c_str());
        SendReply(ReplyText(REPLY_DATA_RESET));
        return -1;
    }
    pData->m_file = path;
    pData->m_bSending = bSending;
    pData->m_bDeleteAfter = bDeleteAfter;
    pData->m_nType = m_nType;
    pData->m_nRestart = m_nRestart;
    // The transfer that takes the offset uses it up.
    m_nRestart = 0;

    if (m_pPassive) {
        // From here the listener belongs to the data connection, which is
        // listed here until it ends. The accept may start (and even end)
        // the transfer at once, so nothing of it is touched afterwards.
        CPassiveSocket* pListener = m_pPassive.release();
        CDataSocket* pStarted = pData.release();
        pListener->m_pData = pStarted;
        pStarted->m_pListener = pListener;
        m_dataSockets.push_back(pStarted);
        pStarted->StartConnectTimer();
        if (pListener->m_bAcceptSeen)
            pListener->OnAccept(0);
        return 0;
    }
    pData->Create(0);
    pData->Connect(m_dataAddr);
    if (CAsyncSocket::GetLastError() == WSAEWOULDBLOCK) {
        pData->StartConnectTimer();
        m_dataSockets.push_back(pData.release());
        return 0;
    }
    if (bDeleteAfter)
        ::unlink(path.Full().c_str());
    SendReply(ReplyText(REPLY_DATA_RESET));
    return -1;
}

void CClientSocket::ForgetDataSocket(CDataSocket* pData) {
    auto it = std::find(m_dataSockets.begin(), m_dataSockets.end(), pData);
    if (it != m_dataSockets.end())
        m_dataSockets.erase(it);
}

void CClientSocket::AbandonDataConnections() {
    std::vector<CDataSocket*> dataSockets;
    dataSockets.swap(m_dataSockets);
    for (CDataSocket* pData : dataSockets) {
        pData->ShutDown(1);
        pData->Close();
        pData->Abandon();
        delete pData;
    }
    m_pPassive.reset();
}
