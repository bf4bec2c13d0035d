#include "ftp/PassiveSocket.h"

#include <arpa/inet.h>

bool CPassiveSocket::Open() {
    return Create(0) && Listen(5) == 0;
}

unsigned CPassiveSocket::Port() const {
    sockaddr_in address{};
    GetSockName(address);
    return ntohs(address.sin_port);
}

void CPassiveSocket::Attach(CTarget& rTarget) {
    m_pData = &rTarget;
    if (m_bAcceptSeen)
        OnAccept(0);
}

void CPassiveSocket::OnAccept(int /*nErrorCode*/) {
    if (!m_pData) {
        // The connection waits in the backlog until a transfer command
        // attaches its data connection.
        m_bAcceptSeen = true;
        return;
    }
    CAsyncSocket& rData = m_pData->AcceptTarget();
    sockaddr_in peer{};
    if (!Accept(rData, &peer)) {
        if (WouldBlock()) {
            // Nothing was waiting after all: the client may still connect.
            m_bAcceptSeen = false;
            return;
        }
        // Out of descriptors: the connection waits in the backlog and the
        // socket layer asks again when one frees (the data connection's own
        // time-out bounds the wait). Otherwise it was lost before it could
        // be taken: the transfer fails rather than leave the client waiting.
        if (!IsDescriptorShortage(LastError()))
            m_pData->OnAcceptLost();
        return;
    }
    // Only the client of the control connection may take its passive port;
    // anyone else is turned away and the listener goes on waiting. The
    // address comes from the accept itself, so a connection that was reset
    // meanwhile is still recognised.
    if (peer.sin_addr.s_addr != m_nAllowedPeer) {
        rData.Close();
        return;
    }
    // One connection per listener: closed before the transfer starts, so a
    // further connection to the port is refused.
    Close();
    m_pData->OnAccepted();
}
