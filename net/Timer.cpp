#include "net/Timer.h"

#include "net/SocketDispatcher.h"

bool CTimer::Start(int nDelayMs, std::function<void()> callback) {
    Stop();
    CSocketDispatcher* pDispatcher = CSocketDispatcher::Current();
    if (!pDispatcher)
        return false;
    m_nId = pDispatcher->SetTimer(nDelayMs, [this, callback = std::move(callback)] {
        // Idle before the callback runs: it may restart this timer or
        // delete its owner.
        m_nId = 0;
        callback();
    });
    return true;
}

void CTimer::Stop() {
    if (m_nId == 0)
        return;
    if (CSocketDispatcher* pDispatcher = CSocketDispatcher::Current())
        pDispatcher->KillTimer(m_nId);
    m_nId = 0;
}
