// The commands that name a path and change what is there or where the
// session is: PWD, CWD, CDUP, DELE, MKD, RMD, RNFR, RNTO, SITE CHMOD, MFMT.
#include "ftp/PathCommands.h"

#include "ftp/ClientSocket.h"
#include "ftp/FtpTables.h"
#include "ftp/PathResolver.h"
#include "ftp/SessionState.h"
#include "ftp/TransferArguments.h"
#include "ftp/VirtualPath.h"
#include "res/LogText.h"
#include "res/Strings.h"

#include <ctime>

namespace {
using PathForm = CPathResolver::PathForm;
using SRefusal = CPathResolver::SRefusal;
using STarget = CPathResolver::STarget;
} // namespace

CPathCommands::CPathCommands(const SCommandContext& context)
    : m_rSession(context.rSession), m_rState(context.rState),
      m_resolver(context.rSession, context.rState) {}

void CPathCommands::DoPwd(const CCommandRow&, const std::string&) {
    m_rSession.SendFormatted(REPLY_CURRENT_DIR, m_rState.Folder());
}

void CPathCommands::DoCwd(const CCommandRow& rRow, const std::string& strParameter) {
    SRefusal refusal;
    refusal.bMustResolve = true;
    refusal.strUnresolved = m_rSession.SayText(Say::CwdBadPath, strParameter);
    refusal.strDenied = m_rSession.SayText(Say::CwdDenied, strParameter);
    STarget target;
    if (!m_resolver.Resolve(rRow, strParameter, PathForm::Folder, target, refusal))
        return;
    std::string strFolder = m_rState.Folder();
    if (!ChangeDirectory(CPathResolver::SessionMap(m_rSession, m_rState), strFolder,
                         target.strPath)) {
        m_rSession.SayReply(Say::CwdFailed, strParameter);
        return;
    }
    m_rState.SetFolder(strFolder);
    m_rSession.SayReply(Say::CwdDone, strFolder);
}

void CPathCommands::DoCdup(const CCommandRow& rRow, const std::string&) {
    DoCwd(rRow, "..");
}

void CPathCommands::DoDele(const CCommandRow& rRow, const std::string& strParameter) {
    STarget target;
    if (!m_resolver.Resolve(rRow, strParameter, PathForm::File, target))
        return;
    int nError = 0;
    if (target.local.IsEmpty() || !target.local.Delete(nError)) {
        m_rSession.SendReply(ReplyText(REPLY_DELETE_FAILED));
        return;
    }
    m_rSession.SendReply(ReplyText(REPLY_FILE_DELETED));
    m_rSession.Log(LogEvent::File,
                   FormatString(LoadString(IDS_FILE_DELETED), LogSafe(target.local.Full()).c_str()),
                   0);
}

void CPathCommands::DoMkdRmd(const CCommandRow& rRow, const std::string& strParameter) {
    STarget target;
    if (!m_resolver.Resolve(rRow, strParameter, PathForm::Folder, target))
        return;
    const bool bMake = rRow.nCode == CMD_MKD;
    int nError = 0;
    const bool bDone = !target.local.IsEmpty() && (bMake ? target.local.MakeFolder(nError)
                                                         : target.local.RemoveFolder(nError));
    if (!bDone) {
        m_rSession.SendReply(ReplyText(bMake ? REPLY_MKD_FAILED : REPLY_RMD_FAILED));
        return;
    }
    // The new folder's virtual path, without the final "/" of a folder.
    const std::string& strPath = target.strPath;
    m_rSession.SayReply(bMake ? Say::MkdDone : Say::RmdDone,
                        strPath.size() > 1 ? strPath.substr(0, strPath.size() - 1) : strPath);
    m_rSession.Log(LogEvent::File,
                   FormatString(LoadString(bMake ? IDS_FOLDER_CREATED : IDS_FOLDER_REMOVED),
                                LogSafe(target.local.Full()).c_str()),
                   0);
}

void CPathCommands::DoRnfr(const CCommandRow& rRow, const std::string& strParameter) {
    m_rState.ForgetRename();
    STarget target;
    if (!m_resolver.Resolve(rRow, strParameter, PathForm::File, target))
        return;
    // A published folder itself (no path below its local folder) cannot move.
    if (IsPublishedFolderItself(CPathResolver::SessionMap(m_rSession, m_rState), target.local) ||
        !target.local.Exists()) {
        m_rSession.SendExtended(XREPLY_NO_FILE);
        return;
    }
    m_rState.SetRenameFrom(target.strPath);
    m_rSession.SendExtended(XREPLY_READY_FOR_RNTO);
}

void CPathCommands::DoRnto(const CCommandRow& rRow, const std::string& strParameter) {
    const std::string strFrom = m_rState.TakeRenameFrom();
    if (strFrom.empty()) {
        m_rSession.SendExtended(XREPLY_RNFR_FIRST);
        return;
    }
    // A rename changes both ends: each needs the upload permission.
    STarget to;
    if (!m_resolver.Admit(rRow, strFrom) ||
        !m_resolver.Resolve(rRow, strParameter, PathForm::File, to))
        return;
    CLocalPath from = MapToLocalPath(CPathResolver::SessionMap(m_rSession, m_rState), strFrom);
    int nError = 0;
    if (IsPublishedFolderItself(CPathResolver::SessionMap(m_rSession, m_rState), from) ||
        IsPublishedFolderItself(CPathResolver::SessionMap(m_rSession, m_rState), to.local) ||
        !from.RenameTo(to.local, nError)) {
        m_rSession.SendExtended(XREPLY_RENAME_FAILED);
        return;
    }
    m_rSession.SendExtended(XREPLY_RENAMED);
}

void CPathCommands::DoSite(const CCommandRow& rRow, const std::string& strParameter) {
    std::string strCommand;
    std::string strRest;
    SplitCommandLine(strParameter, strCommand, strRest);
    if (strCommand == "help") {
        m_rSession.SendExtended(XREPLY_SITE_HELP);
        return;
    }
    if (strCommand != "chmod") {
        m_rSession.SendExtended(XREPLY_UNKNOWN_SITE);
        return;
    }
    size_t nBlank = strRest.find_first_of(" \t");
    unsigned nMode = 0;
    if (nBlank == std::string::npos || !ParseOctalMode(strRest.substr(0, nBlank), nMode)) {
        m_rSession.SendExtended(XREPLY_BAD_MODE);
        return;
    }
    STarget target;
    if (!m_resolver.Resolve(rRow, Trim(strRest.substr(nBlank)), PathForm::File, target))
        return;
    const CLocalPath& local = target.local;
    // A published folder itself is the administrator's, not the client's.
    if (!local.IsEmpty() &&
        IsPublishedFolderItself(CPathResolver::SessionMap(m_rSession, m_rState), local)) {
        m_rSession.SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    // Only the permission bits: set-user-id, set-group-id and sticky stay
    // out of a client's reach.
    int nError = 0;
    if (local.IsEmpty() || !local.SetMode(nMode & 0777, nError)) {
        m_rSession.SendExtended(XREPLY_NO_FILE);
        return;
    }
    m_rSession.SendExtended(XREPLY_CHMOD_OK);
}

void CPathCommands::DoMfmt(const CCommandRow& rRow, const std::string& strParameter) {
    size_t nBlank = strParameter.find_first_of(" \t");
    time_t when = 0;
    if (nBlank == std::string::npos || !ParseMachineTime(strParameter.substr(0, nBlank), when)) {
        m_rSession.SendExtended(XREPLY_BAD_TIME);
        return;
    }
    const std::string strName = Trim(strParameter.substr(nBlank));
    STarget target;
    if (!m_resolver.Resolve(rRow, strName, PathForm::File, target))
        return;
    const CLocalPath& local = target.local;
    int nError = 0;
    if (IsPublishedFolderItself(CPathResolver::SessionMap(m_rSession, m_rState), local) ||
        !local.SetModified(when, nError)) {
        m_rSession.SendExtended(XREPLY_NO_FILE);
        return;
    }
    m_rSession.SendExtended(XREPLY_MODIFIED, strParameter.substr(0, 14) + "; " + strName);
}
