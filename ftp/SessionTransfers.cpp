#include "ftp/SessionTransfers.h"

#include "ftp/PassiveSocket.h"
#include "net/SocketDispatcher.h"

#include <algorithm>
#include <new>

CSessionTransfers::CSessionTransfers(CDataSocket::COwner& rOwner) : m_rOwner(rOwner) {}

CSessionTransfers::~CSessionTransfers() = default;

void CSessionTransfers::SetPassive(std::unique_ptr<CPassiveSocket> pPassive) {
    m_pPassive = std::move(pPassive);
}

bool CSessionTransfers::Start(CDataSocket::STransfer transfer) {
    // A client gets a bounded number of transfers at once; one more is
    // refused as a data connection that cannot be started.
    std::unique_ptr<CDataSocket> pData(Running() < kMaxDataConnections
                                           ? new (std::nothrow)
                                                 CDataSocket(m_rOwner, std::move(transfer))
                                           : nullptr);
    if (!pData)
        return false;
    CDataSocket& rData = *pData;
    // Listed before it starts: the start may already end it.
    m_dataSockets.push_back(std::move(pData));
    if (m_pPassive) {
        rData.StartPassive(std::move(m_pPassive));
        return true;
    }
    if (rData.StartActive(m_dataAddr))
        return true;
    m_dataSockets.pop_back();
    return false;
}

size_t CSessionTransfers::Running() const {
    return static_cast<size_t>(
        std::count_if(m_dataSockets.begin(), m_dataSockets.end(),
                      [](const std::unique_ptr<CDataSocket>& p) { return !p->IsFinished(); }));
}

bool CSessionTransfers::AnyOpen() const {
    return std::any_of(m_dataSockets.begin(), m_dataSockets.end(),
                       [](const auto& p) { return !p->PeerHasClosed(); });
}

std::vector<CDataSocket::SProgress> CSessionTransfers::Progress() const {
    std::vector<CDataSocket::SProgress> transfers;
    for (const std::unique_ptr<CDataSocket>& pData : m_dataSockets)
        if (!pData->IsFinished())
            transfers.push_back(pData->Progress());
    return transfers;
}

void CSessionTransfers::ReportHeld() {
    // A report the client does not read may end the session, and with it
    // the list: it is looked at again after each report.
    for (size_t k = 0; k < m_dataSockets.size(); ++k)
        if (m_dataSockets[k]->HasHeldReport())
            m_dataSockets[k]->ReportHeld();
}

void CSessionTransfers::Release(CDataSocket& rData) {
    auto it = std::find_if(m_dataSockets.begin(), m_dataSockets.end(),
                           [&rData](const auto& p) { return p.get() == &rData; });
    if (it == m_dataSockets.end())
        return;
    std::unique_ptr<CDataSocket> pEnded = std::move(*it);
    m_dataSockets.erase(it);
    ReleaseAfterEvent(std::move(pEnded));
}

void CSessionTransfers::Abandon() {
    std::vector<std::unique_ptr<CDataSocket>> dataSockets;
    dataSockets.swap(m_dataSockets);
    for (std::unique_ptr<CDataSocket>& pData : dataSockets) {
        pData->ShutDown(1);
        pData->Close();
        pData->Abandon();
        // One of them may be inside its own handler (its end removed the
        // session): released after the current event.
        ReleaseAfterEvent(std::move(pData));
    }
    m_pPassive.reset();
}
