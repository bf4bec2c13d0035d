// The extended mode of the control connection: every complete line runs, the
// RFC 959 codes of the directory commands, and the commands today's clients
// expect. Each command is one row of the extended table, consulted before
// the design's table only while the mode is on.
#include "ftp/ClientSocket.h"

#include "ftp/FtpTables.h"
#include "ftp/SessionHost.h"
#include "ftp/VirtualPath.h"
#include "res/Strings.h"

#include <cctype>
#include <ctime>

const CCommandRow CClientSocket::kExtendedCommands[] = {
    {"feat", CMD_FEAT, ParameterRule::Optional, true, AccessClass::None, &CClientSocket::DoFeat},
    {"opts", CMD_OPTS, ParameterRule::Required, true, AccessClass::None, &CClientSocket::DoOpts},
    {"size", CMD_SIZE, ParameterRule::Required, false, AccessClass::None, &CClientSocket::DoSize},
    {"mdtm", CMD_MDTM, ParameterRule::Required, false, AccessClass::None, &CClientSocket::DoMdtm},
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
        strLine = Trim(strLine);
        if (!strLine.empty())
            ProcessCommand(strLine);
        // The session may have been ended by what ran.
        if (Handle() < 0)
            return;
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
    SendExtended(XREPLY_FEATURES);
}

void CClientSocket::DoOpts(const CCommandRow&, const std::string& strParameter) {
    std::string strOption = Trim(strParameter);
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
    if (local.IsEmpty() || local.Relative().empty() || !local.Exists()) {
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
    if (from.IsEmpty() || to.IsEmpty() || to.Relative().empty() || !from.RenameTo(to, nError)) {
        SendExtended(XREPLY_RENAME_FAILED);
        return;
    }
    SendExtended(XREPLY_RENAMED);
}
