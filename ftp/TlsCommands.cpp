#include "ftp/TlsCommands.h"

#include "ftp/ClientSocket.h"
#include "ftp/FtpTables.h"
#include "ftp/SessionHost.h"
#include "ftp/SessionState.h"
#include "res/Strings.h"

#include <cctype>

CTlsCommands::CTlsCommands(const SCommandContext& context)
    : m_rSession(context.rSession), m_rState(context.rState), m_rHost(context.rHost) {}

void CTlsCommands::DoAuth(const CCommandRow&, const std::string& strParameter) {
    // A connection to the implicit FTPS port began with TLS.
    if (m_rState.IsImplicitTls()) {
        m_rSession.SendExtended(XREPLY_IMPLICIT_TLS);
        return;
    }
    if (m_rState.IsTlsRequested()) {
        m_rSession.SendExtended(XREPLY_ALREADY_PROTECTED);
        return;
    }
    std::string strMechanism = Trim(strParameter);
    for (char& ch : strMechanism)
        ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    if (strMechanism != "TLS" && strMechanism != "TLS-C" && strMechanism != "SSL") {
        m_rSession.SendExtended(XREPLY_AUTH_UNSUPPORTED);
        return;
    }
    // The command table lets AUTH run only while TLS can be offered.
    std::shared_ptr<const CTlsContext> pContext = m_rHost.TlsContext();
    m_rSession.SendExtended(XREPLY_AUTH_OK);
    if (!m_rSession.BeginControlTls(*pContext)) {
        m_rHost.RemoveClient(m_rSession);
        return;
    }
    m_rState.BeginTls();
}

void CTlsCommands::DoPbsz(const CCommandRow&, const std::string&) {
    if (!m_rState.IsTlsRequested()) {
        m_rSession.SendExtended(XREPLY_NEEDS_AUTH);
        return;
    }
    // Stream mode has no buffer: the size is 0 whatever was asked.
    m_rState.SetPbszGiven();
    m_rSession.SendExtended(XREPLY_PBSZ_OK);
}

void CTlsCommands::DoProt(const CCommandRow&, const std::string& strParameter) {
    if (!m_rState.IsTlsRequested()) {
        m_rSession.SendExtended(XREPLY_NEEDS_AUTH);
        return;
    }
    if (!m_rState.IsPbszGiven()) {
        m_rSession.SendExtended(XREPLY_NEEDS_PBSZ);
        return;
    }
    std::string strLevel = Trim(strParameter);
    for (char& ch : strLevel)
        ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    if (strLevel == "C" || strLevel == "P") {
        m_rState.SetProtectData(strLevel == "P");
        m_rSession.SendExtended(XREPLY_PROT_OK, m_rState.ProtectsData() ? "Private" : "Clear");
    } else if (strLevel == "S" || strLevel == "E") {
        m_rSession.SendExtended(XREPLY_PROT_UNSUPPORTED);
    } else {
        m_rSession.SendExtended(XREPLY_PROT_UNKNOWN);
    }
}

void CTlsCommands::DoCcc(const CCommandRow&, const std::string&) {
    m_rSession.SendExtended(XREPLY_CCC_REFUSED);
}
