#include "ftp/PassiveSocket.h"

#include <cerrno>
#include <cstdio>

namespace {

// The ports the system hands out itself (its ephemeral range).
void SystemPortRange(unsigned& rMin, unsigned& rMax) {
    static unsigned s_nMin = 0;
    static unsigned s_nMax = 0;
    if (s_nMin == 0) {
        s_nMin = 32768;
        s_nMax = 60999;
        if (FILE* pFile = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
            unsigned nMin = 0;
            unsigned nMax = 0;
            if (std::fscanf(pFile, "%u %u", &nMin, &nMax) == 2 && nMin >= 1024 && nMin <= nMax &&
                nMax <= 65535) {
                s_nMin = nMin;
                s_nMax = nMax;
            }
            std::fclose(pFile);
        }
    }
    rMin = s_nMin;
    rMax = s_nMax;
}

} // namespace

bool CPassiveSocket::Open() {
    return Open(0, 0, CAddress::FromV4(0, 0));
}

bool CPassiveSocket::Open(unsigned nMin, unsigned nMax, const CAddress& local) {
    CAddress address = local;
    // Without a range of its own a listener takes the system's, searched
    // here rather than by the system: the system's own search (port 0)
    // slows down as the ports of finished data connections wait out their
    // TIME_WAIT, by a hundredfold after some thousands of small transfers,
    // while a port named outright is taken at once, past such remains.
    if (nMin == 0 && nMax == 0)
        SystemPortRange(nMin, nMax);
    if (nMin == 0 || nMax < nMin || nMax > 65535) {
        address.SetPort(0);
        if (!Create(address) || Listen(5, false) != 0)
            return false;
        CAddress bound;
        GetSockName(bound);
        m_nPort = bound.Port();
        return true;
    }
    // Successive listeners start where the previous search ended, so that
    // the ports of a busy range are taken in turn rather than all tried
    // from the bottom each time.
    static unsigned s_nNext = 0;
    const unsigned nCount = nMax - nMin + 1;
    for (unsigned i = 0; i < nCount; ++i) {
        unsigned nPort = nMin + (s_nNext + i) % nCount;
        address.SetPort(nPort);
        if (Create(address) && Listen(5, false) == 0) {
            s_nNext = (s_nNext + i + 1) % nCount;
            m_nPort = nPort;
            return true;
        }
        Close();
        // Only a port in use sends the search on; anything else (no
        // descriptor left) fails the same for every port.
        if (LastError() != EADDRINUSE)
            return false;
    }
    return false;
}

void CPassiveSocket::Attach(CTarget& rTarget) {
    m_pData = &rTarget;
    // The listener reports nothing until asked: a client that connected
    // before its transfer command is taken now; otherwise the accept finds
    // nothing and arms the listener for the connection to come.
    OnAccept(0);
}

void CPassiveSocket::OnAccept(int /*nErrorCode*/) {
    // The connection waits in the backlog until a transfer command
    // attaches its data connection (or until the connection it holds has
    // been checked and turned away).
    if (!m_pData)
        return;
    CAsyncSocket& rData = m_pData->AcceptTarget();
    CAddress peer;
    if (!Accept(rData, &peer)) {
        // Nothing was waiting: the client may still connect.
        if (WouldBlock())
            return;
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
    if (!peer.SameHost(m_allowedPeer)) {
        rData.Close();
        return;
    }
    // The target decides whether the listener has served: it closes it
    // before the transfer starts (one connection per listener), or attaches
    // again when the connection turned out not to be its client's.
    CTarget* pTarget = m_pData;
    m_pData = nullptr;
    pTarget->OnAccepted();
}
