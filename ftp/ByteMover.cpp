#include "ftp/ByteMover.h"

#include "net/SocketDispatcher.h"

#include <cerrno>
#include <new>

bool CByteMover::CTurn::Over(size_t nMoved) {
    m_nMoved += nMoved;
    if (Spent())
        return true;
    if (m_nMoved < m_nNextLook)
        return false;
    m_nNextLook = m_nMoved + kEventBudget;
    if (m_nMoved >= kBurstLimit)
        return true;
    CSocketDispatcher* pDispatcher = CSocketDispatcher::Current();
    return !pDispatcher || pDispatcher->OthersWaiting(&m_rSocket);
}

size_t CByteMover::CTurn::Room(size_t nWanted) const {
    if (m_nAllowance < 0)
        return nWanted;
    const size_t nLeft = Spent() ? 0 : static_cast<size_t>(m_nAllowance) - m_nMoved;
    return nWanted < nLeft ? nWanted : nLeft;
}

bool CByteMover::AllocateBuffer(SResult& rResult) {
    if (!m_pBuffer)
        m_pBuffer.reset(new (std::nothrow) char[kBlockSize]);
    if (!m_pBuffer)
        rResult.Fail(ENOMEM);
    return m_pBuffer != nullptr;
}
