#include "ftp/SessionState.h"

#include "ftp/FtpTables.h"
#include "ftp/TransferArguments.h"

void CSessionState::NameUser(const std::string& strUser) {
    m_strUser = strUser;
    m_bLoggedIn = false;
}

int CSessionState::ApplyType(const std::string& strParameter, std::string& rShown) {
    int nType = m_nType;
    const int nReply = ParseTypeArgument(strParameter, nType, rShown);
    if (nReply == REPLY_TYPE_OK)
        m_nType = nType;
    return nReply;
}

int64_t CSessionState::ApplyRestart(const std::string& strParameter) {
    m_nRestart = ParseRestartArgument(strParameter);
    return m_nRestart;
}

std::string CSessionState::TakeRenameFrom() {
    std::string strFrom;
    strFrom.swap(m_strRenameFrom);
    return strFrom;
}

void CSessionState::ApplyFacts(const std::string& strList) {
    m_nFacts = ParseFacts(strList);
}

void CSessionState::BeginTls() {
    m_bTlsRequested = true;
    m_bPbsz = false;
    m_bProtectData = false;
}

void CSessionState::BeginImplicitTls() {
    m_bImplicitTls = true;
    m_bTlsRequested = true;
    m_bPbsz = true;
    m_bProtectData = true;
}
