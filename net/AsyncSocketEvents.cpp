// How a socket turns the readiness the dispatcher reports into its events
// (accept, connect, receive, send, urgent data, close, and the end of a TLS
// handshake). TLS stays inside the socket: a handshake under way takes every
// readiness, a read that waits for room or a write that waits for bytes is
// finished, and bytes TLS has already decrypted are delivered without a new
// readiness. After each handler the dispatcher is asked whether the socket
// still exists: a handler may delete it.
#include "net/AsyncSocket.h"

#include "net/SocketDispatcher.h"

#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

bool CAsyncSocket::StillConnected(const CSocketDispatcher& rDispatcher, const CAsyncSocket* pSocket,
                                  int hSocket, uint32_t nSerial) {
    // Only compared, never followed (not even for a member call), until it
    // is known to be alive.
    return rDispatcher.Lookup(hSocket, nSerial) == pSocket && pSocket->m_state == State::Connected;
}

void CAsyncSocket::Deliver(uint32_t nEvents, CSocketDispatcher& rDispatcher) {
    switch (m_state) {
    case State::Listening:
        if ((nEvents & (EPOLLIN | EPOLLERR | EPOLLHUP)) && m_bAcceptArmed) {
            m_bAcceptArmed = false;
            OnAccept(0);
        }
        break;
    case State::Connecting:
        DeliverConnectOutcome(nEvents, rDispatcher);
        break;
    case State::Connected:
        DeliverToConnected(nEvents, rDispatcher);
        break;
    default:
        break;
    }
}

void CAsyncSocket::DeliverConnectOutcome(uint32_t nEvents, CSocketDispatcher& rDispatcher) {
    const CAsyncSocket* pSelf = this;
    const int hSocket = m_hSocket;
    const uint32_t nSerial = m_nSerial;
    int nError = 0;
    socklen_t nLen = sizeof nError;
    ::getsockopt(hSocket, SOL_SOCKET, SO_ERROR, &nError, &nLen);
    if (nError == 0 && (nEvents & (EPOLLERR | EPOLLHUP)))
        nError = ECONNREFUSED;
    if (nError != 0) {
        m_state = State::Finished;
        OnConnect(nError);
        return;
    }
    m_state = State::Connected;
    m_bReadArmed = true;
    m_bOobArmed = true;
    m_bWriteWanted = false;
    OnConnect(0);
    // One OnSend once the connection is established (after the handshake,
    // for a connection that has begun one).
    if (!StillConnected(rDispatcher, pSelf, hSocket, nSerial))
        return;
    if (IsTlsHandshaking())
        m_bWriteWanted = true;
    else
        OnSend(0);
}

bool CAsyncSocket::Fire(Handler handler, CSocketDispatcher& rDispatcher) {
    const CAsyncSocket* pSelf = this;
    const int hSocket = m_hSocket;
    const uint32_t nSerial = m_nSerial;
    (this->*handler)(0);
    return StillConnected(rDispatcher, pSelf, hSocket, nSerial);
}

void CAsyncSocket::DeliverToConnected(uint32_t nEvents, CSocketDispatcher& rDispatcher) {
    if (m_pSsl && !DeliverTlsWaits(nEvents, rDispatcher))
        return;
    if ((nEvents & EPOLLOUT) && m_bWriteWanted) {
        m_bWriteWanted = false;
        if (!Fire(&CAsyncSocket::OnSend, rDispatcher))
            return;
    }
    if ((nEvents & EPOLLPRI) && m_bOobArmed) {
        m_bOobArmed = false;
        if (!Fire(&CAsyncSocket::OnOutOfBandData, rDispatcher))
            return;
    }
    // Held input waits, unless the connection has failed outright: then
    // what is left of it is not read, and the close is told at once.
    if (m_bInputHeld) {
        if (!(nEvents & (EPOLLHUP | EPOLLERR)))
            return;
        m_bReadArmed = false;
    }
    if (nEvents & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
        DeliverPeerClosed(nEvents, rDispatcher);
    } else if ((nEvents & EPOLLIN) && m_bReadArmed) {
        m_bReadArmed = false;
        if (Fire(&CAsyncSocket::OnReceive, rDispatcher))
            NoteBufferedInput(rDispatcher);
    }
}

bool CAsyncSocket::DeliverTlsWaits(uint32_t nEvents, CSocketDispatcher& rDispatcher) {
    if (m_bTlsHandshaking) {
        // Every readiness moves the handshake on; nothing else is delivered
        // until it has ended.
        const CAsyncSocket* pSelf = this;
        const int hSocket = m_hSocket;
        const uint32_t nSerial = m_nSerial;
        ContinueTlsHandshake();
        if (StillConnected(rDispatcher, pSelf, hSocket, nSerial))
            NoteBufferedInput(rDispatcher);
        return false;
    }
    // A read that waited for room, a write that waited for bytes.
    if ((nEvents & EPOLLOUT) && m_bReceiveWantsWrite) {
        m_bReceiveWantsWrite = false;
        if (!Fire(&CAsyncSocket::OnReceive, rDispatcher))
            return false;
    }
    if ((nEvents & EPOLLIN) && m_bSendWantsRead) {
        m_bSendWantsRead = false;
        if (!Fire(&CAsyncSocket::OnSend, rDispatcher))
            return false;
    }
    return true;
}

void CAsyncSocket::DeliverPeerClosed(uint32_t nEvents, CSocketDispatcher& rDispatcher) {
    // The peer has closed or reset: bytes still waiting are read first,
    // then OnClose comes once.
    int nWaiting = 0;
    if (m_bReadArmed && !(nEvents & EPOLLERR))
        ::ioctl(m_hSocket, FIONREAD, &nWaiting);
    if (nWaiting > 0 || (m_bReadArmed && HasBufferedInput())) {
        const uint64_t nTakenBefore = m_nBytesTaken;
        m_bReadArmed = false;
        if (!Fire(&CAsyncSocket::OnReceive, rDispatcher))
            return;
        // Nothing more will come: a receive that took nothing of what is
        // left (a TLS record that can never be completed) is not offered
        // the same bytes again; the connection ends now. A handler that
        // did not receive at all holds its input and is asked again.
        int nLeft = 0;
        ::ioctl(m_hSocket, FIONREAD, &nLeft);
        if (!m_bReadArmed || m_nBytesTaken != nTakenBefore || nLeft < nWaiting) {
            NoteBufferedInput(rDispatcher);
            return;
        }
    }
    // A pending error always comes with EPOLLERR: a plain close has none.
    int nError = 0;
    socklen_t nLen = sizeof nError;
    if (nEvents & EPOLLERR)
        ::getsockopt(m_hSocket, SOL_SOCKET, SO_ERROR, &nError, &nLen);
    m_state = State::Finished;
    OnClose(nError);
}

void CAsyncSocket::NoteBufferedInput(CSocketDispatcher& rDispatcher) {
    // Bytes the socket holds itself bring no readiness: the dispatcher
    // delivers them before it waits again.
    if (m_bReadArmed && !m_bInputHeld && HasBufferedInput())
        rDispatcher.NoteBufferedInput(this);
}

void CAsyncSocket::DeliverBufferedInput(CSocketDispatcher& rDispatcher) {
    // A listener: a connection its filter held is ready (one report each).
    if (m_state == State::Listening) {
        if (HasHeldReady())
            OnAccept(0);
        return;
    }
    if (m_state != State::Connected || !m_bReadArmed || m_bInputHeld || !HasBufferedInput())
        return;
    m_bReadArmed = false;
    if (Fire(&CAsyncSocket::OnReceive, rDispatcher))
        NoteBufferedInput(rDispatcher);
}

void CAsyncSocket::ResumeAccepting() {
    if (m_state == State::Listening)
        m_bAcceptArmed = true;
}
