#include "net/PassiveSocket.h"

#include "ftp/ClientSocket.h"
#include "net/DataSocket.h"

#include <arpa/inet.h>

CPassiveSocket::~CPassiveSocket() {
    if (m_pData && m_pData->m_pListener == this)
        m_pData->m_pListener = nullptr;
}

void CPassiveSocket::OnAccept(int /*nErrorCode*/) {
    if (!m_pData) {
        // The connection waits in the backlog until a transfer command
        // attaches its data connection and calls again.
        m_bAcceptSeen = true;
        return;
    }
    CDataSocket* pData = m_pData;
    sockaddr_in peer{};
    if (!Accept(*pData, &peer)) {
        int nError = GetLastError();
        if (nError == WSAEWOULDBLOCK) {
            // Nothing was waiting after all: the client may still connect.
            m_bAcceptSeen = false;
            return;
        }
        if (IsDescriptorShortage(nError)) {
            // The connection waits in the backlog; the socket layer asks
            // again when a descriptor frees (the data connection's own
            // time-out bounds the wait).
            return;
        }
        // The connection was lost before it could be taken: end the
        // transfer with its failure reply rather than leave the client
        // waiting. The data connection takes this listener with it.
        pData->Abort();
        return;
    }
    // Only the client of the control connection may take its passive port;
    // anyone else is turned away and the listener goes on waiting. The
    // address comes from the accept itself, so a connection that was reset
    // meanwhile is still recognised.
    char szPeer[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &peer.sin_addr, szPeer, sizeof szPeer);
    if (pData->m_pOwner->m_strPeerAddr != szPeer) {
        pData->Close();
        return;
    }
    // One connection per listener: close it before the transfer starts, so
    // a further connection to the port is refused.
    pData->m_pListener = nullptr;
    m_pData = nullptr;
    delete this;
    pData->OnConnect(0);
}

void CPassiveSocket::OnClose(int /*nErrorCode*/) {
    delete this;
}
