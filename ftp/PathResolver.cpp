#include "ftp/PathResolver.h"

#include "ftp/ClientSocket.h"
#include "ftp/FtpTables.h"
#include "ftp/SessionState.h"
#include "ftp/VirtualPath.h"

CPathResolver::CPathResolver(CClientSocket& rSession, const CSessionState& state)
    : m_rSession(rSession), m_state(state) {}

bool CPathResolver::Resolve(const CCommandRow& rRow, const std::string& strParameter, PathForm form,
                            STarget& rTarget, const SRefusal& refusal) {
    rTarget.strPath = m_state.Folder();
    rTarget.bResolved = ResolvePath(rTarget.strPath, strParameter);
    if (!rTarget.bResolved && refusal.bMustResolve) {
        if (!refusal.strUnresolved.empty())
            m_rSession.SendReply(refusal.strUnresolved);
        return false;
    }
    if (form == PathForm::File && rTarget.strPath.size() > 1)
        rTarget.strPath.pop_back();
    if (!Admit(rRow, rTarget.strPath, refusal.strDenied))
        return false;
    rTarget.local = MapToLocalPath(SessionMap(m_rSession, m_state), rTarget.strPath);
    return true;
}

bool CPathResolver::Resolve(const CCommandRow& rRow, const std::string& strParameter, PathForm form,
                            STarget& rTarget) {
    return Resolve(rRow, strParameter, form, rTarget, SRefusal());
}

bool CPathResolver::Admit(const CCommandRow& rRow, const std::string& strPath,
                          const std::string& strDenied) {
    if (CheckAccess(m_rSession.Settings().m_users, SessionMap(m_rSession, m_state), m_state.User(),
                    rRow.access, strPath))
        return true;
    m_rSession.SendReply(strDenied.empty() ? std::string(ReplyText(REPLY_PERMISSION_DENIED))
                                           : strDenied);
    return false;
}

const CFolderMap& CPathResolver::SessionMap(const CClientSocket& session,
                                            const CSessionState& state) {
    static const std::string strNoOne;
    return state.UserFolders().Map(session.Settings(), session.Protocol().IsExtended(),
                                   state.IsLoggedIn() ? state.User() : strNoOne);
}
