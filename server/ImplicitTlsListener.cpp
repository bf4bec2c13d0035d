#include "server/ImplicitTlsListener.h"

#include "config/ServerSettings.h"
#include "net/Address.h"
#include "net/ListeningSocket.h"
#include "res/Strings.h"
#include "server/TlsCertificate.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <sys/socket.h>

CImplicitTlsListener::CImplicitTlsListener(std::function<void()> onConnectionWaiting,
                                           CTlsCertificate& rCertificate, LogFn log)
    : m_onConnectionWaiting(std::move(onConnectionWaiting)), m_rCertificate(rCertificate),
      m_log(std::move(log)) {}

CImplicitTlsListener::~CImplicitTlsListener() = default;

int CImplicitTlsListener::PortInForce(const CServerSettings& settings) {
    return settings.m_extended.m_bEnabled ? settings.m_extended.m_nImplicitTlsPort : 0;
}

bool CImplicitTlsListener::Open(const CServerSettings& settings) {
    Close();
    const int nPort = PortInForce(settings);
    if (nPort == 0) {
        // Asked for without the extended mode: said to be off.
        if (settings.m_extended.m_nImplicitTlsPort != 0)
            m_log({FormatString(LoadString(IDS_IMPLICIT_TLS_NEEDS_EXTENDED),
                                settings.m_extended.m_nImplicitTlsPort),
                   0});
        return true;
    }
    // One port cannot begin with TLS and in clear text at once.
    if (nPort == settings.m_nPort) {
        m_log({FormatString(LoadString(IDS_IMPLICIT_TLS_SAME_PORT), nPort, settings.m_nPort), 0});
        return false;
    }
    // Every connection here needs the certificate: one that cannot be used
    // (the reason is logged where it is loaded) stops the start.
    if (!m_rCertificate.Context())
        return false;
    if (const int nError = Listen(static_cast<unsigned>(nPort)); nError != 0) {
        m_log({FormatString(LoadString(IDS_IMPLICIT_TLS_PORT_FAILED), nPort, std::strerror(nError)),
               0});
        return false;
    }
    m_nPort = nPort;
    return true;
}

int CImplicitTlsListener::Listen(unsigned nPort) {
    // As the control port in the extended mode: one dual-stack socket where
    // the system has IPv6, IPv4 only where it has not.
    if (IsIpv6TurnedOn()) {
        CAddress any;
        CAddress::Parse("::", nPort, any);
        m_pSocket.reset(new (std::nothrow) CListeningSocket(m_onConnectionWaiting));
        if (m_pSocket && m_pSocket->Create(any) && m_pSocket->Listen(SOMAXCONN) != -1)
            return 0;
        const int nError = m_pSocket ? m_pSocket->LastError() : ENOMEM;
        m_pSocket.reset();
        if (nError == EADDRINUSE || nError == EACCES)
            return nError;
    }
    m_pSocket.reset(new (std::nothrow) CListeningSocket(m_onConnectionWaiting));
    if (m_pSocket && m_pSocket->Create(nPort) && m_pSocket->Listen(SOMAXCONN) != -1)
        return 0;
    const int nError = m_pSocket ? m_pSocket->LastError() : ENOMEM;
    m_pSocket.reset();
    return nError;
}

void CImplicitTlsListener::Close() {
    m_pSocket.reset();
    m_nPort = 0;
}

void CImplicitTlsListener::LogListening() const {
    if (m_pSocket)
        m_log({FormatString(LoadString(IDS_IMPLICIT_TLS_LISTENING), m_nPort), 0});
}
