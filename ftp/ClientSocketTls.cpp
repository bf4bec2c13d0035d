// Explicit TLS on the control connection and its data connections (the
// extended mode, RFC 4217): the policy of the TlsMode setting as the session
// took it with its protocol, the control connection's handshake, and replies
// that wait for TLS to take them. Its commands are CTlsCommands.
#include "ftp/ClientSocket.h"

#include "ftp/FtpTables.h"
#include "ftp/SessionHost.h"
#include "res/Strings.h"

bool CClientSocket::TlsOffered() const {
    return m_pProtocol->TlsPolicy() != TlsMode::Off && m_rHost.TlsContext() != nullptr;
}

bool CClientSocket::BeginControlTls(const CTlsContext& context) {
    // The reply goes in clear, before TLS begins: a client that has left
    // replies unread cannot begin it cleanly.
    if (UnsentOutput() > 0 || !StartTls(context))
        return false;
    m_tlsTimer.Start(CDataTimers::HandshakeTimeoutMs(), [this] {
        if (IsTlsHandshaking())
            m_rHost.RemoveClient(*this);
    });
    return true;
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
