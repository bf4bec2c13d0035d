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
        if (!IsTlsHandshaking())
            return;
        // On the implicit FTPS port a client that waits in clear text for
        // a greeting is told of in the log.
        if (m_state.IsImplicitTls())
            Log(LogEvent::Disconnect,
                FormatString(LoadString(IDS_IMPLICIT_TLS_NOT_TLS), m_strPeerAddr.c_str()), 0);
        m_rHost.RemoveClient(*this);
    });
    return true;
}

void CClientSocket::OnTlsHandshake(int nErrorCode) {
    m_tlsTimer.Stop();
    if (nErrorCode != 0) {
        // Not TLS, or a version refused: the connection is of no more use.
        const int nText =
            m_state.IsImplicitTls() ? IDS_IMPLICIT_TLS_NOT_TLS : IDS_CONNECTION_CLOSED;
        Log(LogEvent::Disconnect, FormatString(LoadString(nText), m_strPeerAddr.c_str()), 0);
        m_rHost.RemoveClient(*this);
        return;
    }
    // On the implicit FTPS port this is the connection's one handshake
    // (AUTH cannot begin another): the client is greeted now.
    if (m_state.IsImplicitTls()) {
        OnConnect(0);
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
