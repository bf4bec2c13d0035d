#include "net/PassiveSocket.h"

#include "ftp/ClientSocket.h"
#include "net/DataSocket.h"

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
    if (!Accept(*pData)) {
        int nError = GetLastError();
        if (nError == WSAEWOULDBLOCK || nError == ECONNABORTED) {
            // The waiting connection went away before it was taken: the
            // client may still connect.
            m_bAcceptSeen = false;
            return;
        }
        // The connection cannot be taken (out of handles): end the
        // transfer with its failure reply rather than leave the client
        // waiting, and let this listener go.
        pData->m_pListener = nullptr;
        m_pData = nullptr;
        delete this;
        pData->m_nError = 1;
        pData->FinishTransfer();
        return;
    }
    // Only the client of the control connection may take its passive port;
    // anyone else is turned away and the listener goes on waiting.
    std::string strPeer;
    unsigned nPort = 0;
    if (!pData->GetPeerName(strPeer, nPort) || strPeer != pData->m_pOwner->m_strPeerAddr) {
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

void CPassiveSocket::OnClose(int /*nErrorCode*/) { delete this; }
