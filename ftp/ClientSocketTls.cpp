// Explicit TLS on the control connection and its data connections (the
// extended mode, RFC 4217): AUTH TLS, PBSZ, PROT and CCC, the policy of the
// TlsMode setting as the session took it with its protocol, and replies
// that wait for TLS to take them.
#include "ftp/ClientSocket.h"

#include "ftp/FtpTables.h"
#include "ftp/SessionHost.h"
#include "res/Strings.h"

#include <cctype>

bool CClientSocket::TlsOffered() const {
    return m_pProtocol->TlsPolicy() != TlsMode::Off && m_rHost.TlsContext() != nullptr;
}

const char* CClientSocket::TlsRefusal(const CCommandRow& rRow) const {
    if (m_pProtocol->TlsPolicy() != TlsMode::Required)
        return nullptr;
    // TLS required: nothing of the password crosses in clear, ...
    if (rRow.tls == TlsRole::Login && !m_state.IsTlsRequested())
        return ExtendedReplyText(XREPLY_TLS_REQUIRED);
    // ... and nothing of the files.
    if (rRow.bMovesData && !m_state.ProtectsData())
        return ExtendedReplyText(XREPLY_PROT_P_REQUIRED);
    return nullptr;
}

void CClientSocket::ProtectTransfer(CDataSocket::STransfer& rTransfer) {
    if (!m_state.ProtectsData() || !IsTls())
        return;
    rTransfer.pTls = m_rHost.TlsContext();
    rTransfer.bRequireReuse = Settings().m_extended.m_nTlsSessionReuse != 0;
    rTransfer.strTlsSessionTag = TlsSessionTag();
}

void CClientSocket::DoAuth(const CCommandRow&, const std::string& strParameter) {
    if (m_state.IsTlsRequested()) {
        SendExtended(XREPLY_ALREADY_PROTECTED);
        return;
    }
    std::string strMechanism = Trim(strParameter);
    for (char& ch : strMechanism)
        ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    if (strMechanism != "TLS" && strMechanism != "TLS-C" && strMechanism != "SSL") {
        SendExtended(XREPLY_AUTH_UNSUPPORTED);
        return;
    }
    // The command table lets AUTH run only while TLS can be offered.
    std::shared_ptr<const CTlsContext> pContext = m_rHost.TlsContext();
    SendExtended(XREPLY_AUTH_OK);
    // The reply goes in clear, before TLS begins: a client that has left
    // replies unread cannot begin it cleanly.
    if (UnsentOutput() > 0 || !StartTls(*pContext)) {
        m_rHost.RemoveClient(*this);
        return;
    }
    m_state.BeginTls();
    m_tlsTimer.Start(CDataSocket::HandshakeTimeoutMs(), [this] {
        if (IsTlsHandshaking())
            m_rHost.RemoveClient(*this);
    });
}

void CClientSocket::OnTlsHandshake(int nErrorCode) {
    m_tlsTimer.Stop();
    if (nErrorCode != 0) {
        // Not TLS, or a version refused: the connection is of no more use.
        Log(LogEvent::Disconnect,
            FormatString(LoadString(IDS_CONNECTION_CLOSED), m_strPeerAddr.c_str()), 0);
        m_rHost.RemoveClient(*this);
        return;
    }
    FlushOutput();
}

void CClientSocket::OnSend(int) {
    FlushOutput();
    // A STAT reply goes on as the client reads it.
    if (m_stat.IsWritten() && UnsentOutput() < kOutputBeforePause) {
        ContinueStat();
        return;
    }
    // Input held back for a reply backlog goes on once it has drained.
    if (InputPaused())
        ResumeInput();
}

void CClientSocket::DoPbsz(const CCommandRow&, const std::string&) {
    if (!m_state.IsTlsRequested()) {
        SendExtended(XREPLY_NEEDS_AUTH);
        return;
    }
    // Stream mode has no buffer: the size is 0 whatever was asked.
    m_state.SetPbszGiven();
    SendExtended(XREPLY_PBSZ_OK);
}

void CClientSocket::DoProt(const CCommandRow&, const std::string& strParameter) {
    if (!m_state.IsTlsRequested()) {
        SendExtended(XREPLY_NEEDS_AUTH);
        return;
    }
    if (!m_state.IsPbszGiven()) {
        SendExtended(XREPLY_NEEDS_PBSZ);
        return;
    }
    std::string strLevel = Trim(strParameter);
    for (char& ch : strLevel)
        ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    if (strLevel == "C" || strLevel == "P") {
        m_state.SetProtectData(strLevel == "P");
        SendExtended(XREPLY_PROT_OK, m_state.ProtectsData() ? "Private" : "Clear");
    } else if (strLevel == "S" || strLevel == "E") {
        SendExtended(XREPLY_PROT_UNSUPPORTED);
    } else {
        SendExtended(XREPLY_PROT_UNKNOWN);
    }
}

void CClientSocket::DoCcc(const CCommandRow&, const std::string&) {
    SendExtended(XREPLY_CCC_REFUSED);
}
