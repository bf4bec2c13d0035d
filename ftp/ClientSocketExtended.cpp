// The extended mode of the control connection: every complete line runs, the
// RFC 959 codes of the directory commands, and the commands today's clients
// expect. Each command is one row of the extended table, consulted before
// the classic table only while the mode is on.
#include "ftp/ClientSocket.h"

#include "ftp/FtpTables.h"
#include "ftp/SessionHost.h"
#include "ftp/VirtualPath.h"
#include "res/Strings.h"

#include "ftp/Listing.h"
#include "ftp/PassiveSocket.h"
#include "ftp/TransferArguments.h"
#include "net/SocketDispatcher.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <new>
#include <sstream>
#include <unistd.h>

// The extended rows, consulted before the classic table. A word reaches
// the first row whose word is a prefix of it, as in the classic table.
const CCommandRow CClientSocket::kExtendedCommands[] = {
    {"feat", CMD_FEAT, ParameterRule::Optional, true, AccessClass::None, &CClientSocket::DoFeat},
    {"opts", CMD_OPTS, ParameterRule::Required, true, AccessClass::None, &CClientSocket::DoOpts},
    {"size", CMD_SIZE, ParameterRule::Required, false, AccessClass::None, &CClientSocket::DoSize},
    {"mdtm", CMD_MDTM, ParameterRule::Required, false, AccessClass::None, &CClientSocket::DoMdtm},
    {"mfmt", CMD_MFMT, ParameterRule::Required, false, AccessClass::Upload, &CClientSocket::DoMfmt},
    {"rnfr", CMD_RNFR, ParameterRule::Required, false, AccessClass::Upload, &CClientSocket::DoRnfr},
    {"rnto", CMD_RNTO, ParameterRule::Required, false, AccessClass::Upload, &CClientSocket::DoRnto},
    {"cwd", CMD_CWD, ParameterRule::Required, false, AccessClass::None,
     &CClientSocket::DoExtendedCwd},
    {"xcwd", CMD_CWD, ParameterRule::Required, false, AccessClass::None,
     &CClientSocket::DoExtendedCwd},
    {"cdup", CMD_CDUP, ParameterRule::Optional, false, AccessClass::None,
     &CClientSocket::DoExtendedCdup},
    {"xcup", CMD_CDUP, ParameterRule::Optional, false, AccessClass::None,
     &CClientSocket::DoExtendedCdup},
    {"mkd", CMD_MKD, ParameterRule::Required, false, AccessClass::Upload,
     &CClientSocket::DoExtendedMkdRmd},
    {"xmkd", CMD_MKD, ParameterRule::Required, false, AccessClass::Upload,
     &CClientSocket::DoExtendedMkdRmd},
    {"rmd", CMD_RMD, ParameterRule::Required, false, AccessClass::Upload,
     &CClientSocket::DoExtendedMkdRmd},
    {"xrmd", CMD_RMD, ParameterRule::Required, false, AccessClass::Upload,
     &CClientSocket::DoExtendedMkdRmd},
    {"syst", CMD_SYST, ParameterRule::Optional, false, AccessClass::None,
     &CClientSocket::DoExtendedSyst},
    {"list", CMD_LIST, ParameterRule::Optional, false, AccessClass::None,
     &CClientSocket::DoExtendedList},
    {"nlst", CMD_NLST, ParameterRule::Optional, false, AccessClass::None,
     &CClientSocket::DoExtendedList},
    {"mlsd", CMD_MLSD, ParameterRule::Optional, false, AccessClass::None, &CClientSocket::DoMlsd},
    {"mlst", CMD_MLST, ParameterRule::Optional, false, AccessClass::None, &CClientSocket::DoMlst},
    {"stor", CMD_STOR, ParameterRule::Required, false, AccessClass::Upload,
     &CClientSocket::DoExtendedStor},
    {"appe", CMD_APPE, ParameterRule::Required, false, AccessClass::Upload, &CClientSocket::DoAppe},
    {"pasv", CMD_PASV, ParameterRule::Optional, false, AccessClass::None,
     &CClientSocket::DoExtendedPasv},
    {"port", CMD_PORT, ParameterRule::Optional, false, AccessClass::None,
     &CClientSocket::DoExtendedPort},
    {"epsv", CMD_EPSV, ParameterRule::Optional, false, AccessClass::None, &CClientSocket::DoEpsv},
    {"eprt", CMD_EPRT, ParameterRule::Required, false, AccessClass::None, &CClientSocket::DoEprt},
    {"abor", CMD_ABOR, ParameterRule::Optional, false, AccessClass::None, &CClientSocket::DoAbor},
    {"stat", CMD_STAT, ParameterRule::Optional, false, AccessClass::None, &CClientSocket::DoStat},
    {"help", CMD_HELP, ParameterRule::Optional, true, AccessClass::None, &CClientSocket::DoHelp},
    {"allo", CMD_ALLO, ParameterRule::Optional, false, AccessClass::None, &CClientSocket::DoAllo},
    {"site", CMD_SITE, ParameterRule::Required, false, AccessClass::Upload, &CClientSocket::DoSite},
    {"auth", CMD_AUTH, ParameterRule::Required, true, AccessClass::None, &CClientSocket::DoAuth},
    {"pbsz", CMD_PBSZ, ParameterRule::Required, true, AccessClass::None, &CClientSocket::DoPbsz},
    {"prot", CMD_PROT, ParameterRule::Required, true, AccessClass::None, &CClientSocket::DoProt},
    {"ccc", CMD_CCC, ParameterRule::Optional, true, AccessClass::None, &CClientSocket::DoCcc},
};

std::span<const CCommandRow> CClientSocket::ExtendedCommands() {
    return kExtendedCommands;
}

bool CClientSocket::IsExtended() const {
    return Settings().m_extended.m_bEnabled;
}

void CClientSocket::SendExtended(int nReply, const std::string& strArgument) {
    SendReply(FormatString(ExtendedReplyText(nReply), strArgument.c_str()));
}

void CClientSocket::RunReceivedLines(size_t nSearched) {
    size_t nStart = 0;
    size_t nEnd = m_strInput.find_first_of("\r\n", nSearched);
    while (nEnd != std::string::npos) {
        // A CR LF pair ends one line.
        const size_t nLineEnd = nEnd;
        if (m_strInput[nEnd] == '\r' && nEnd + 1 < m_strInput.size() &&
            m_strInput[nEnd + 1] == '\n')
            ++nEnd;
        const std::string strRaw = m_strInput.substr(nStart, nEnd + 1 - nStart);
        std::string strLine = m_strInput.substr(nStart, nLineEnd - nStart);
        nStart = nEnd + 1;
        LogReceivedLine(strRaw);
        size_t nZero = strLine.find('\0');
        if (nZero != std::string::npos)
            strLine.resize(nZero);
        // Telnet commands before the word (the "interrupt process" and
        // "data mark" that clients send with ABOR) are no part of it.
        size_t nWord = 0;
        while (nWord < strLine.size() && static_cast<unsigned char>(strLine[nWord]) >= 0xF0)
            ++nWord;
        strLine = Trim(strLine.substr(nWord));
        if (!strLine.empty())
            ProcessCommand(strLine);
        // The session may have been ended by what ran.
        if (Handle() < 0)
            return;
        // A failed login, or replies the client has not read, hold the rest
        // back until the reply is out or the backlog has drained.
        if (InputHeld()) {
            m_strInput.erase(0, nStart);
            m_bInputPaused = true;
            return;
        }
        // After AUTH TLS nothing more arrives in clear: whatever came with
        // it is not the client's (an injection) and is dropped.
        if (IsTlsHandshaking()) {
            ClearInput();
            return;
        }
        nEnd = m_strInput.find_first_of("\r\n", nStart);
    }
    // Bytes after the last line end wait for the rest of their line.
    m_strInput.erase(0, nStart);
    if (m_strInput.empty())
        ClearInput();
}

void CClientSocket::LogReceivedLine(const std::string& strRaw) const {
    // Lines are logged at level 2 only: below it, no work on each line.
    if (Settings().m_nLogLevel < 2 || strRaw == "\n" || strRaw == "\r")
        return;
    std::string strWord;
    std::string strParameter;
    SplitCommandLine(Trim(strRaw), strWord, strParameter);
    // A password never reaches the log.
    if (strWord == "pass")
        Log("PASS ****" + strRaw.substr(strRaw.find_first_of("\r\n")), 2);
    else
        Log(strRaw, 2);
}

void CClientSocket::DoExtendedCwd(const CCommandRow& rRow, const std::string& strParameter) {
    std::string strPath = m_strCwd;
    if (!ResolvePath(strPath, strParameter) || !MayAccess(rRow, strPath)) {
        SendExtended(XREPLY_CANT_CHANGE_DIR, strParameter);
        return;
    }
    if (ChangeDirectory(Settings().m_folderMap, m_strCwd, strPath))
        SendExtended(XREPLY_CURRENT_DIR, m_strCwd);
    else
        SendExtended(XREPLY_CANT_CHANGE_DIR, strParameter);
}

void CClientSocket::DoExtendedCdup(const CCommandRow& rRow, const std::string&) {
    DoExtendedCwd(rRow, "..");
}

void CClientSocket::DoExtendedMkdRmd(const CCommandRow& rRow, const std::string& strParameter) {
    ChangeFolder(rRow, strParameter, true);
}

void CClientSocket::DoExtendedSyst(const CCommandRow&, const std::string&) {
    SendExtended(XREPLY_SYSTEM);
}

void CClientSocket::DoFeat(const CCommandRow&, const std::string&) {
    // The MLST line marks the facts in force (OPTS MLST chooses them).
    SendExtended(m_rHost.TlsContext() ? XREPLY_FEATURES_TLS : XREPLY_FEATURES,
                 FeatureFacts(m_nMlstFacts));
}

void CClientSocket::DoOpts(const CCommandRow&, const std::string& strParameter) {
    std::string strOption = Trim(strParameter);
    std::string strWord;
    std::string strValue;
    SplitCommandLine(strOption, strWord, strValue);
    if (strWord == "mlst") {
        // The facts MLSD and MLST show from now on; the names not known are
        // left out, and the reply names the ones in force.
        m_nMlstFacts = ParseFacts(Trim(strValue));
        const std::string strNames = FactNames(m_nMlstFacts);
        SendReply(strNames.empty()
                      ? std::string("200 MLST OPTS\r\n")
                      : FormatString(ExtendedReplyText(XREPLY_MLST_OPTS), strNames.c_str()));
        return;
    }
    for (char& ch : strOption)
        ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    SendExtended(strOption == "UTF8 ON" || strOption == "UTF8" ? XREPLY_UTF8_ON
                                                               : XREPLY_BAD_OPTION);
}

bool CClientSocket::StatFile(const std::string& strParameter, struct stat& rInfo) const {
    CLocalPath local = MapToLocalPath(Settings().m_folderMap, ResolveFilePath(strParameter));
    return !local.IsEmpty() && local.Stat(rInfo) && S_ISREG(rInfo.st_mode);
}

void CClientSocket::DoSize(const CCommandRow&, const std::string& strParameter) {
    // The size of a converted file is not known without reading it.
    if (m_nType == 0) {
        SendExtended(XREPLY_SIZE_IN_ASCII);
        return;
    }
    struct stat info {};
    if (!StatFile(strParameter, info)) {
        SendExtended(XREPLY_NO_FILE);
        return;
    }
    SendExtended(XREPLY_STATUS_213, std::to_string(static_cast<long long>(info.st_size)));
}

void CClientSocket::DoMdtm(const CCommandRow&, const std::string& strParameter) {
    struct stat info {};
    tm when{};
    char szTime[32] = "";
    if (!StatFile(strParameter, info) || !::gmtime_r(&info.st_mtime, &when) ||
        strftime(szTime, sizeof szTime, "%Y%m%d%H%M%S", &when) == 0) {
        SendExtended(XREPLY_NO_FILE);
        return;
    }
    SendExtended(XREPLY_STATUS_213, szTime);
}

void CClientSocket::DoRnfr(const CCommandRow& rRow, const std::string& strParameter) {
    m_strRenameFrom.clear();
    std::string strPath = ResolveFilePath(strParameter);
    if (!MayAccess(rRow, strPath)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    CLocalPath local = MapToLocalPath(Settings().m_folderMap, strPath);
    // A published folder itself (no path below its local folder) cannot move.
    if (IsPublishedFolderItself(Settings().m_folderMap, local) || !local.Exists()) {
        SendExtended(XREPLY_NO_FILE);
        return;
    }
    m_strRenameFrom = strPath;
    SendExtended(XREPLY_READY_FOR_RNTO);
}

void CClientSocket::DoRnto(const CCommandRow& rRow, const std::string& strParameter) {
    std::string strFrom;
    strFrom.swap(m_strRenameFrom);
    if (strFrom.empty()) {
        SendExtended(XREPLY_RNFR_FIRST);
        return;
    }
    std::string strTo = ResolveFilePath(strParameter);
    // A rename changes both ends: each needs the upload permission.
    if (!MayAccess(rRow, strFrom) || !MayAccess(rRow, strTo)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    CLocalPath from = MapToLocalPath(Settings().m_folderMap, strFrom);
    CLocalPath to = MapToLocalPath(Settings().m_folderMap, strTo);
    int nError = 0;
    if (IsPublishedFolderItself(Settings().m_folderMap, from) ||
        IsPublishedFolderItself(Settings().m_folderMap, to) || !from.RenameTo(to, nError)) {
        SendExtended(XREPLY_RENAME_FAILED);
        return;
    }
    SendExtended(XREPLY_RENAMED);
}

void CClientSocket::OnOutOfBandData(int) {
    // The urgent byte is read and dropped; the ABOR line that comes with it
    // arrives in the ordinary stream. The classic mode leaves urgent data
    // unread.
    if (!IsExtended())
        return;
    char chUrgent = 0;
    Receive(&chUrgent, 1, MSG_OOB);
}

void CClientSocket::RefuseTooMany() {
    SendExtended(XREPLY_TOO_MANY);
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
    if (!IsExtended())
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
    SendExtended(XREPLY_TIMEOUT);
    Log(FormatString(LoadString(IDS_CONNECTION_CLOSED), m_strPeerAddr.c_str()), 0);
    // The host ends the session after this event; nothing of it is used after.
    m_rHost.RemoveClient(*this);
}

namespace {

// The argument of LIST or NLST without the leading option words ("-a",
// "-la") that clients send as if to ls.
std::string WithoutOptions(const std::string& strParameter) {
    std::string strRest = Trim(strParameter);
    while (strRest.size() > 1 && strRest[0] == '-') {
        size_t nBlank = strRest.find_first_of(" \t");
        strRest = nBlank == std::string::npos ? std::string() : Trim(strRest.substr(nBlank));
    }
    return strRest;
}

// A folder path without its final "/" (the root stays "/").
std::string WithoutFinalSlash(const std::string& strPath) {
    return strPath.size() > 1 && strPath.back() == '/' ? strPath.substr(0, strPath.size() - 1)
                                                       : strPath;
}

SEntryInfo InfoOf(const struct stat& info) {
    SEntryInfo entry;
    entry.nMode = info.st_mode;
    entry.nLinks = static_cast<unsigned>(info.st_nlink);
    entry.nSize = static_cast<int64_t>(info.st_size);
    entry.modified = info.st_mtime;
    return entry;
}

// The attributes of a folder of the map that has no local folder.
SEntryInfo VirtualFolderInfo() {
    SEntryInfo entry;
    entry.nMode = S_IFDIR | 0755;
    entry.modified = ::time(nullptr);
    return entry;
}

} // namespace

bool CClientSocket::ResolveListingPath(const std::string& strParameter, std::string& rPath,
                                       bool& rFile) const {
    const std::vector<std::string>& folderMap = Settings().m_folderMap;
    rPath = m_strCwd;
    rFile = false;
    const std::string strArgument = WithoutOptions(strParameter);
    if (!strArgument.empty() && !ResolvePath(rPath, strArgument))
        return false;
    CLocalPath local = MapToLocalPath(folderMap, WithoutFinalSlash(rPath));
    struct stat info {};
    if (!local.IsEmpty() && !local.Relative().empty() && local.Stat(info) &&
        !S_ISDIR(info.st_mode)) {
        rPath = WithoutFinalSlash(rPath);
        rFile = true;
        return true;
    }
    local = MapToLocalPath(folderMap, rPath);
    return (!local.IsEmpty() && local.Exists()) || !FolderMapChildren(folderMap, rPath).empty();
}

bool CClientSocket::PrepareListing(const CCommandRow& rRow, const std::string& strParameter,
                                   std::string& rPath, bool& rFile, bool bFolderOnly) {
    if (!ResolveListingPath(strParameter, rPath, rFile)) {
        SendExtended(XREPLY_NOT_FOUND);
        return false;
    }
    if (bFolderOnly && rFile) {
        SendExtended(XREPLY_NOT_A_FOLDER);
        return false;
    }
    if (!MayAccess(rRow, rPath)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return false;
    }
    return true;
}

void CClientSocket::DoExtendedList(const CCommandRow& rRow, const std::string& strParameter) {
    SListingRequest request;
    std::string strPath;
    if (!PrepareListing(rRow, strParameter, strPath, request.bFile, false))
        return;
    request.style = rRow.nCode == CMD_NLST ? ListingStyle::UnixNlst : ListingStyle::UnixList;
    request.strShownName = WithoutOptions(strParameter);
    SendListing(CListingBuilder::Start(Settings().m_folderMap, strPath, std::move(request)),
                XREPLY_NOT_FOUND, true, WithoutFinalSlash(strPath));
}

void CClientSocket::DoMlsd(const CCommandRow& rRow, const std::string& strParameter) {
    SListingRequest request;
    std::string strPath;
    if (!PrepareListing(rRow, strParameter, strPath, request.bFile, true))
        return;
    request.style = ListingStyle::Machine;
    request.nFacts = m_nMlstFacts;
    request.bMayDownload = CheckAccess(Settings(), m_strUser, AccessClass::Download, strPath);
    request.bMayUpload = CheckAccess(Settings(), m_strUser, AccessClass::Upload, strPath);
    SendListing(CListingBuilder::Start(Settings().m_folderMap, strPath, std::move(request)),
                XREPLY_NOT_FOUND, true, WithoutFinalSlash(strPath));
}

void CClientSocket::DoMlst(const CCommandRow&, const std::string& strParameter) {
    std::string strPath;
    bool bFile = false;
    if (!ResolveListingPath(strParameter, strPath, bFile)) {
        SendExtended(XREPLY_NOT_FOUND);
        return;
    }
    const std::string strShown = WithoutFinalSlash(strPath);
    CLocalPath local = MapToLocalPath(Settings().m_folderMap, bFile ? strShown : strPath);
    struct stat info {};
    SEntryInfo entry = !local.IsEmpty() && local.Stat(info) ? InfoOf(info) : VirtualFolderInfo();
    const bool bDownload = CheckAccess(Settings(), m_strUser, AccessClass::Download, strPath);
    const bool bUpload = CheckAccess(Settings(), m_strUser, AccessClass::Upload, strPath);
    SendReply(FormatString(
        ExtendedReplyText(XREPLY_MLST), strShown.c_str(),
        (" " + FormatMachineEntry(entry, bDownload, bUpload, strShown, false, m_nMlstFacts))
            .c_str()));
}

void CClientSocket::DoExtendedStor(const CCommandRow& rRow, const std::string& strParameter) {
    // A restart beyond the end of the file would leave a hole of zeros.
    if (m_nRestart > 0) {
        CLocalPath local = MapToLocalPath(Settings().m_folderMap, ResolveFilePath(strParameter));
        struct stat info {};
        if (local.IsEmpty() || !local.Stat(info) || m_nRestart > info.st_size) {
            m_nRestart = 0;
            SendExtended(XREPLY_BAD_RESTART);
            return;
        }
    }
    DoStor(rRow, strParameter);
}

void CClientSocket::DoAppe(const CCommandRow& rRow, const std::string& strParameter) {
    // An append goes on from the end of the file: a restart offset has no part.
    m_nRestart = 0;
    ReceiveUpload(rRow, strParameter, true);
}

bool CClientSocket::OpenPassive() {
    const CExtendedSettings& extended = Settings().m_extended;
    m_pPassive.reset(new (std::nothrow) CPassiveSocket(m_peer));
    // A listener that cannot listen would never report a connection: it goes.
    if (!m_pPassive || !m_pPassive->Open(static_cast<unsigned>(extended.m_nPassivePortMin),
                                         static_cast<unsigned>(extended.m_nPassivePortMax))) {
        m_pPassive.reset();
        return false;
    }
    return true;
}

void CClientSocket::DoExtendedPasv(const CCommandRow&, const std::string&) {
    if (m_bEpsvAll) {
        SendExtended(XREPLY_ONLY_EPSV);
        return;
    }
    if (!OpenPassive()) {
        SendReply(ReplyText(REPLY_PASSIVE_FAILED));
        return;
    }
    // The configured address is only what the reply advertises (a server
    // behind NAT); without one, the control connection's own address.
    CAddress advertised;
    if (!CAddress::Parse(Settings().m_extended.m_strPassiveAddress, 0, advertised) ||
        !advertised.IsV4())
        GetSockName(advertised);
    SendPassiveReply(advertised.V4());
}

void CClientSocket::DoExtendedPort(const CCommandRow& rRow, const std::string& strParameter) {
    if (m_bEpsvAll) {
        SendExtended(XREPLY_ONLY_EPSV);
        return;
    }
    // The client has chosen an active connection: a passive port it opened
    // before is given back.
    m_pPassive.reset();
    DoPort(rRow, strParameter);
}

void CClientSocket::DoEpsv(const CCommandRow&, const std::string& strParameter) {
    std::string strArgument = Trim(strParameter);
    for (char& ch : strArgument)
        ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    if (strArgument == "ALL") {
        m_bEpsvAll = true;
        SendExtended(XREPLY_EPSV_ALL);
        return;
    }
    if (!strArgument.empty() && strArgument != "1") {
        SendExtended(XREPLY_BAD_PROTOCOL);
        return;
    }
    if (!OpenPassive()) {
        SendReply(ReplyText(REPLY_PASSIVE_FAILED));
        return;
    }
    SendExtended(XREPLY_EXTENDED_PASSIVE, std::to_string(m_pPassive->Port()));
}

void CClientSocket::DoEprt(const CCommandRow&, const std::string& strParameter) {
    if (m_bEpsvAll) {
        SendExtended(XREPLY_ONLY_EPSV);
        return;
    }
    CAddress address;
    m_dataAddr = CAddress();
    switch (ParseExtendedPortArgument(Trim(strParameter), address)) {
    case EprtResult::OtherFamily:
        SendExtended(XREPLY_BAD_PROTOCOL);
        return;
    case EprtResult::Malformed:
        SendExtended(XREPLY_BAD_EPRT);
        return;
    case EprtResult::Ok:
        break;
    }
    // As PORT: only to the client itself, never to a privileged port.
    if (!MayConnectTo(address)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    m_pPassive.reset();
    m_dataAddr = address;
    SendExtended(XREPLY_EPRT_OK);
}

void CClientSocket::DoAbor(const CCommandRow&, const std::string&) {
    const bool bRunning = RunningDataConnections() > 0;
    const bool bAny = bRunning || !m_dataSockets.empty() || m_pPassive;
    // The transfer ends at once, files closed, with no reply of its own.
    AbandonDataConnections();
    if (bRunning) {
        SendExtended(XREPLY_TRANSFER_ABORTED);
        SendExtended(XREPLY_ABORT_OK);
    } else {
        SendExtended(bAny ? XREPLY_ABORT_OK : XREPLY_NO_TRANSFER);
    }
}

void CClientSocket::DoStat(const CCommandRow&, const std::string& strParameter) {
    if (Trim(strParameter).empty()) {
        static const char* const kTypes[] = {"ASCII", "L 8", "IMAGE"};
        std::string strLines = " Connected from " + m_strPeerAddr + "\r\n";
        strLines += " Logged in as " + m_strUser + "\r\n";
        strLines += std::string(" TYPE: ") + kTypes[m_nType >= 0 && m_nType < 3 ? m_nType : 0] +
                    ", STRUcture: File, MODE: Stream\r\n";
        strLines += " Data connections: " + std::to_string(RunningDataConnections()) + "\r\n";
        SendReply(FormatString(ExtendedReplyText(XREPLY_STATUS), LocalHostName().c_str(),
                               strLines.c_str()));
        return;
    }
    std::string strPath;
    bool bFile = false;
    if (!ResolveListingPath(strParameter, strPath, bFile)) {
        SendExtended(XREPLY_NOT_FOUND);
        return;
    }
    // The listing goes over the control connection, each line indented. It
    // is written in slices and sent as the client reads it, like a LIST:
    // other clients are served meanwhile, and this one's next commands wait.
    SListingRequest request;
    request.style = ListingStyle::UnixList;
    request.bFile = bFile;
    request.strShownName = WithoutOptions(strParameter);
    auto pListing = CListingBuilder::Start(Settings().m_folderMap, strPath, std::move(request));
    const bool bComplete = pListing && pListing->WriteSlice();
    if (!pListing || (bComplete && !pListing->IsOk())) {
        SendExtended(XREPLY_NOT_FOUND);
        return;
    }
    SendReply("213-Status of \"" + WithoutFinalSlash(strPath) + "\"\r\n");
    m_pStatListing = std::move(pListing);
    m_bStatComplete = bComplete;
    m_statTimer.Start(0, [this] { ContinueStat(); });
}

void CClientSocket::ContinueStat() {
    if (!m_pStatListing)
        return;
    if (!m_bStatComplete) {
        m_bStatComplete = m_pStatListing->WriteSlice();
        m_statTimer.Start(0, [this] { ContinueStat(); });
        return;
    }
    if (!m_pStatFile)
        m_pStatFile = ::fopen(m_pStatListing->FileName().c_str(), "rbe");
    // Lines up to the pause size, then again once the client has read them.
    std::string strChunk;
    char szLine[4096];
    bool bEnd = !m_pStatFile;
    while (!bEnd && m_strOutput.size() + strChunk.size() < kOutputBeforePause) {
        if (!::fgets(szLine, sizeof szLine, m_pStatFile)) {
            bEnd = true;
            break;
        }
        // A line longer than the buffer comes in pieces; only its first
        // piece is indented.
        if (strChunk.empty() || strChunk.back() == '\n')
            strChunk += ' ';
        strChunk += szLine;
    }
    if (bEnd) {
        strChunk += "213 End of status\r\n";
        EndStat();
    }
    // Into the waiting replies as any reply goes.
    SendReply(strChunk);
    if (Handle() < 0)
        return;
    if (bEnd)
        ResumeInput();
    else if (m_strOutput.empty())
        m_statTimer.Start(0, [this] { ContinueStat(); });
    // Otherwise the room the client makes (OnSend) brings the next lines.
}

void CClientSocket::EndStat() {
    m_statTimer.Stop();
    // Nothing to end unless a STAT reply is in progress (the common case,
    // every session's end, touches nothing more).
    if (!m_pStatListing)
        return;
    if (m_pStatFile)
        ::fclose(m_pStatFile);
    m_pStatFile = nullptr;
    ::unlink(m_pStatListing->FileName().c_str());
    m_pStatListing.reset();
    m_bStatComplete = false;
}

void CClientSocket::DoHelp(const CCommandRow&, const std::string&) {
    // Every word either table answers, eight to a line.
    std::string strLines;
    int nOnLine = 0;
    auto add = [&](const CCommandRow& rRow) {
        if (rRow.nCode == CMD_NAME)
            return;
        std::string strWord = rRow.pszWord;
        for (char& ch : strWord)
            ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
        if (strLines.find(" " + strWord + " ") != std::string::npos ||
            strLines.find(" " + strWord + "\r") != std::string::npos)
            return;
        strLines += " " + strWord;
        if (++nOnLine == 8) {
            strLines += "\r\n";
            nOnLine = 0;
        }
    };
    for (const CCommandRow& rRow : ClassicCommands())
        add(rRow);
    for (const CCommandRow& rRow : ExtendedCommands())
        add(rRow);
    if (nOnLine != 0)
        strLines += "\r\n";
    SendReply(FormatString(ExtendedReplyText(XREPLY_HELP), strLines.c_str()));
}

void CClientSocket::DoAllo(const CCommandRow&, const std::string&) {
    SendExtended(XREPLY_ALLO);
}

void CClientSocket::DoSite(const CCommandRow& rRow, const std::string& strParameter) {
    std::string strCommand;
    std::string strRest;
    SplitCommandLine(strParameter, strCommand, strRest);
    if (strCommand == "help") {
        SendExtended(XREPLY_SITE_HELP);
        return;
    }
    if (strCommand != "chmod") {
        SendExtended(XREPLY_UNKNOWN_SITE);
        return;
    }
    size_t nBlank = strRest.find_first_of(" \t");
    unsigned nMode = 0;
    if (nBlank == std::string::npos || !ParseOctalMode(strRest.substr(0, nBlank), nMode)) {
        SendExtended(XREPLY_BAD_MODE);
        return;
    }
    std::string strPath = ResolveFilePath(Trim(strRest.substr(nBlank)));
    if (!MayAccess(rRow, strPath)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    CLocalPath local = MapToLocalPath(Settings().m_folderMap, strPath);
    // A published folder itself is the administrator's, not the client's.
    if (!local.IsEmpty() && IsPublishedFolderItself(Settings().m_folderMap, local)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    // Only the permission bits: set-user-id, set-group-id and sticky stay
    // out of a client's reach.
    int nError = 0;
    if (local.IsEmpty() || !local.SetMode(nMode & 0777, nError)) {
        SendExtended(XREPLY_NO_FILE);
        return;
    }
    SendExtended(XREPLY_CHMOD_OK);
}

void CClientSocket::DoMfmt(const CCommandRow& rRow, const std::string& strParameter) {
    size_t nBlank = strParameter.find_first_of(" \t");
    time_t when = 0;
    if (nBlank == std::string::npos || !ParseMachineTime(strParameter.substr(0, nBlank), when)) {
        SendExtended(XREPLY_BAD_TIME);
        return;
    }
    const std::string strName = Trim(strParameter.substr(nBlank));
    std::string strPath = ResolveFilePath(strName);
    if (!MayAccess(rRow, strPath)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    CLocalPath local = MapToLocalPath(Settings().m_folderMap, strPath);
    int nError = 0;
    if (IsPublishedFolderItself(Settings().m_folderMap, local) ||
        !local.SetModified(when, nError)) {
        SendExtended(XREPLY_NO_FILE);
        return;
    }
    SendExtended(XREPLY_MODIFIED, strParameter.substr(0, 14) + "; " + strName);
}
