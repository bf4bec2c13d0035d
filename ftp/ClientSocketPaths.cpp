// The commands that name a path, and the one step that resolves it, checks
// the user's and the folder's flags and maps it to its local path.
#include "ftp/ClientSocket.h"

#include "ftp/FtpTables.h"
#include "ftp/TransferArguments.h"
#include "ftp/VirtualPath.h"
#include "res/LogText.h"
#include "res/Strings.h"

#include <ctime>

bool CClientSocket::ResolveTarget(const CCommandRow& rRow, const std::string& strParameter,
                                  PathForm form, STarget& rTarget, const SRefusal& refusal) {
    rTarget.strPath = m_state.Folder();
    rTarget.bResolved = ResolvePath(rTarget.strPath, strParameter);
    if (!rTarget.bResolved && refusal.bMustResolve) {
        if (!refusal.strUnresolved.empty())
            SendReply(refusal.strUnresolved);
        return false;
    }
    if (form == PathForm::File && rTarget.strPath.size() > 1)
        rTarget.strPath.pop_back();
    if (!Admit(rRow, rTarget.strPath, refusal.strDenied))
        return false;
    rTarget.local = MapToLocalPath(Settings().m_folderMap, rTarget.strPath);
    return true;
}

bool CClientSocket::ResolveTarget(const CCommandRow& rRow, const std::string& strParameter,
                                  PathForm form, STarget& rTarget) {
    return ResolveTarget(rRow, strParameter, form, rTarget, SRefusal());
}

bool CClientSocket::Admit(const CCommandRow& rRow, const std::string& strPath,
                          const std::string& strDenied) {
    if (MayAccess(rRow, strPath))
        return true;
    SendReply(strDenied.empty() ? std::string(ReplyText(REPLY_PERMISSION_DENIED)) : strDenied);
    return false;
}

bool CClientSocket::MayAccess(const CCommandRow& rRow, const std::string& strPath) const {
    return CheckAccess(Settings(), m_state.User(), rRow.access, strPath);
}

void CClientSocket::DoPwd(const CCommandRow&, const std::string&) {
    SendFormatted(REPLY_CURRENT_DIR, m_state.Folder());
}

void CClientSocket::DoCwd(const CCommandRow& rRow, const std::string& strParameter) {
    SRefusal refusal;
    refusal.bMustResolve = true;
    refusal.strUnresolved = SayText(Say::CwdBadPath, strParameter);
    refusal.strDenied = SayText(Say::CwdDenied, strParameter);
    STarget target;
    if (!ResolveTarget(rRow, strParameter, PathForm::Folder, target, refusal))
        return;
    std::string strFolder = m_state.Folder();
    if (!ChangeDirectory(Settings().m_folderMap, strFolder, target.strPath)) {
        SayReply(Say::CwdFailed, strParameter);
        return;
    }
    m_state.SetFolder(strFolder);
    SayReply(Say::CwdDone, strFolder);
}

void CClientSocket::DoCdup(const CCommandRow& rRow, const std::string&) {
    DoCwd(rRow, "..");
}

void CClientSocket::DoDele(const CCommandRow& rRow, const std::string& strParameter) {
    STarget target;
    if (!ResolveTarget(rRow, strParameter, PathForm::File, target))
        return;
    int nError = 0;
    if (target.local.IsEmpty() || !target.local.Delete(nError)) {
        SendReply(ReplyText(REPLY_DELETE_FAILED));
        return;
    }
    SendReply(ReplyText(REPLY_FILE_DELETED));
    Log(LogEvent::File,
        FormatString(LoadString(IDS_FILE_DELETED), LogSafe(target.local.Full()).c_str()), 0);
}

void CClientSocket::DoMkdRmd(const CCommandRow& rRow, const std::string& strParameter) {
    STarget target;
    if (!ResolveTarget(rRow, strParameter, PathForm::Folder, target))
        return;
    const bool bMake = rRow.nCode == CMD_MKD;
    int nError = 0;
    const bool bDone = !target.local.IsEmpty() && (bMake ? target.local.MakeFolder(nError)
                                                         : target.local.RemoveFolder(nError));
    if (!bDone) {
        SendReply(ReplyText(bMake ? REPLY_MKD_FAILED : REPLY_RMD_FAILED));
        return;
    }
    // The new folder's virtual path, without the final "/" of a folder.
    const std::string& strPath = target.strPath;
    SayReply(bMake ? Say::MkdDone : Say::RmdDone,
             strPath.size() > 1 ? strPath.substr(0, strPath.size() - 1) : strPath);
    Log(LogEvent::File,
        FormatString(LoadString(bMake ? IDS_FOLDER_CREATED : IDS_FOLDER_REMOVED),
                     LogSafe(target.local.Full()).c_str()),
        0);
}

void CClientSocket::DoRnfr(const CCommandRow& rRow, const std::string& strParameter) {
    m_state.ForgetRename();
    STarget target;
    if (!ResolveTarget(rRow, strParameter, PathForm::File, target))
        return;
    // A published folder itself (no path below its local folder) cannot move.
    if (IsPublishedFolderItself(Settings().m_folderMap, target.local) || !target.local.Exists()) {
        SendExtended(XREPLY_NO_FILE);
        return;
    }
    m_state.SetRenameFrom(target.strPath);
    SendExtended(XREPLY_READY_FOR_RNTO);
}

void CClientSocket::DoRnto(const CCommandRow& rRow, const std::string& strParameter) {
    const std::string strFrom = m_state.TakeRenameFrom();
    if (strFrom.empty()) {
        SendExtended(XREPLY_RNFR_FIRST);
        return;
    }
    // A rename changes both ends: each needs the upload permission.
    STarget to;
    if (!Admit(rRow, strFrom) || !ResolveTarget(rRow, strParameter, PathForm::File, to))
        return;
    CLocalPath from = MapToLocalPath(Settings().m_folderMap, strFrom);
    int nError = 0;
    if (IsPublishedFolderItself(Settings().m_folderMap, from) ||
        IsPublishedFolderItself(Settings().m_folderMap, to.local) ||
        !from.RenameTo(to.local, nError)) {
        SendExtended(XREPLY_RENAME_FAILED);
        return;
    }
    SendExtended(XREPLY_RENAMED);
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
    STarget target;
    if (!ResolveTarget(rRow, Trim(strRest.substr(nBlank)), PathForm::File, target))
        return;
    const CLocalPath& local = target.local;
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
    STarget target;
    if (!ResolveTarget(rRow, strName, PathForm::File, target))
        return;
    const CLocalPath& local = target.local;
    int nError = 0;
    if (IsPublishedFolderItself(Settings().m_folderMap, local) ||
        !local.SetModified(when, nError)) {
        SendExtended(XREPLY_NO_FILE);
        return;
    }
    SendExtended(XREPLY_MODIFIED, strParameter.substr(0, 14) + "; " + strName);
}
