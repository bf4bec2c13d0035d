// The data connections of one session: where the next one goes (the
// address PORT or EPRT named, or the passive listener PASV or EPSV opened)
// and those started and not yet released. The session stays their owner
// of record (COwner): their reports go to it, and it hands each one that
// has ended back here to be released after the current event.
#pragma once

#include "ftp/DataSocket.h"
#include "net/Address.h"

#include <cstddef>
#include <memory>
#include <vector>

class CPassiveSocket;

class CSessionTransfers {
public:
    explicit CSessionTransfers(CDataSocket::COwner& rOwner);
    ~CSessionTransfers();
    CSessionTransfers(const CSessionTransfers&) = delete;
    CSessionTransfers& operator=(const CSessionTransfers&) = delete;

    // Transfers a client may have running at once.
    static constexpr size_t kMaxDataConnections = 4;

    // Where an active connection goes (none: not named, or refused).
    void SetActiveAddress(const CAddress& address) { m_dataAddr = address; }
    // The passive listener the next transfer takes (null: none).
    void SetPassive(std::unique_ptr<CPassiveSocket> pPassive);
    CPassiveSocket* Passive() const { return m_pPassive.get(); }
    // The address the client reached the server at, once asked for (the
    // passive replies name it; the listeners open on it).
    const CAddress& Local() const { return m_local; }
    void SetLocal(const CAddress& local) { m_local = local; }

    // Starts a transfer on the passive listener, else to the active
    // address; false when it cannot start (the running ones are at the
    // bound, no memory, no connection). A passive listener is kept then.
    bool Start(CDataSocket::STransfer transfer);
    // Data connections whose transfer has not finished, and all of them.
    size_t Running() const;
    size_t Count() const { return m_dataSockets.size(); }
    // Some connection has not been closed by its client yet.
    bool AnyOpen() const;
    // The progress of the transfers not finished.
    std::vector<CDataSocket::SProgress> Progress() const;
    // Downloads whose bytes are all out but whose client has not closed
    // the connection yet report their end now.
    void ReportHeld();
    // A connection that has ended goes, after the current event.
    void Release(CDataSocket& rData);
    // Ends every connection quietly (no reply) and closes the passive
    // listener.
    void Abandon();

private:
    CDataSocket::COwner& m_rOwner;
    CAddress m_dataAddr;
    CAddress m_local;
    std::unique_ptr<CPassiveSocket> m_pPassive;
    std::vector<std::unique_ptr<CDataSocket>> m_dataSockets;
};
