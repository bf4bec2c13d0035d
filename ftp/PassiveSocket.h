// The passive-mode listener made by PASV: a listening socket on a port the
// system chooses, at which the client opens the data connection of its next
// transfer. The client may connect before or after the transfer command;
// both orders work. One listener serves one connection, and only the
// control connection's own client may take it. A connection it handed over
// detaches its target; the target closes the listener once the connection
// is known to be its client's, or attaches again to wait for the next one.
//
// Ownership: the control connection owns it until a transfer command hands
// it to its data connection, which then owns it until it has served.
#pragma once

#include "net/AsyncSocket.h"

class CPassiveSocket : public CAsyncSocket {
public:
    // What the listener hands its one connection to (the data connection).
    class CTarget {
    public:
        // The socket to accept the connection into.
        virtual CAsyncSocket& AcceptTarget() = 0;
        // A connection has been accepted; the target is detached until it
        // attaches again.
        virtual void OnAccepted() = 0;
        // The waiting connection was lost before it could be taken.
        virtual void OnAcceptLost() = 0;

    protected:
        ~CTarget() = default;
    };

    // allowedPeer: the control connection's peer (its port plays no part).
    explicit CPassiveSocket(const CAddress& allowedPeer) : m_allowedPeer(allowedPeer) {}

    // Listens on a free port of the system's own range, on every IPv4
    // address; false when it cannot.
    bool Open();
    // Listens on local (its port aside) on a free port from nMin to nMax
    // (0 and 0: the system's own range); false when every port of the
    // range is taken.
    bool Open(unsigned nMin, unsigned nMax, const CAddress& local);
    unsigned Port() const { return m_nPort; }
    // Attaches the transfer's data connection; a connection already
    // waiting is accepted at once (the target may be attached again after
    // it turned a connection away). Until then the listener reports
    // nothing: a client that connects before its command does not wake
    // the loop twice.
    void Attach(CTarget& rTarget);

    void OnAccept(int nErrorCode) override;

private:
    CTarget* m_pData = nullptr;
    unsigned m_nPort = 0;
    CAddress m_allowedPeer;
};
