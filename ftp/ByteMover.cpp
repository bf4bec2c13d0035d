#include "ftp/ByteMover.h"

#include "net/SocketDispatcher.h"

#include <cerrno>
#include <new>

bool CByteMover::CTurn::Over(size_t nMoved) {
    m_nMoved += nMoved;
    if (m_nMoved < m_nNextLook)
        return false;
    m_nNextLook = m_nMoved + kEventBudget;
    if (m_nMoved >= kBurstLimit)
        return true;
    CSocketDispatcher* pDispatcher = CSocketDispatcher::Current();
    return !pDispatcher || pDispatcher->OthersWaiting(&m_rSocket);
}

bool CByteMover::AllocateBuffer(SResult& rResult) {
    if (!m_pBuffer)
        m_pBuffer.reset(new (std::nothrow) char[kBlockSize]);
    if (!m_pBuffer)
        rResult.Fail(ENOMEM);
    return m_pBuffer != nullptr;
}
