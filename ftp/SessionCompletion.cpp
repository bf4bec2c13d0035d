#include "ftp/SessionCompletion.h"

#include "ftp/SessionFinder.h"
#include "net/PostQueue.h"

#include <utility>

CSessionCompletion::CSessionCompletion(std::shared_ptr<CPostQueue> pLoop,
                                       std::weak_ptr<CSessionFinder> pSessions, uint64_t nSessionId)
    : m_pLoop(std::move(pLoop)), m_pSessions(std::move(pSessions)), m_nSessionId(nSessionId) {}

bool CSessionCompletion::Complete(std::function<void(CClientSocket&)> work) const {
    if (!m_pLoop)
        return false;
    return m_pLoop->Post([pSessions = m_pSessions, nId = m_nSessionId, work = std::move(work)] {
        // On the loop's thread: the lookup and the session are its own.
        std::shared_ptr<CSessionFinder> pFinder = pSessions.lock();
        if (!pFinder)
            return;
        if (CClientSocket* pSession = pFinder->FindSession(nId))
            work(*pSession);
    });
}
