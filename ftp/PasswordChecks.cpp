#include "ftp/PasswordChecks.h"

#include "config/PasswordHash.h"
#include "ftp/SessionCompletion.h"
#include "net/PostQueue.h"

#include <utility>

CPasswordChecks::CPasswordChecks() : m_pool(kMaxHashing, kMaxWaiting) {}

CPasswordChecks::Result CPasswordChecks::Check(const std::string& strHash,
                                               const std::string& strPassword, bool bKnown,
                                               const CSessionCompletion& completion,
                                               std::function<void(CClientSocket&, bool)> done,
                                               std::string* pWhy) {
    // The password is cut here, on the loop, before it is copied.
    std::string strCut = strPassword.substr(0, CPasswordHash::kMaxPasswordBytes);
    return m_pool.Submit(
        [strHash, strCut = std::move(strCut), bKnown, completion, done = std::move(done)] {
            const bool bMatch = CPasswordHash::Matches(strHash, strCut) && bKnown;
            completion.Complete(
                [done, bMatch](CClientSocket& rSession) { done(rSession, bMatch); });
        },
        pWhy);
}

CPasswordChecks::Result CPasswordChecks::Hash(const std::string& strPassword,
                                              std::shared_ptr<CPostQueue> pLoop,
                                              std::function<void(const std::string&)> done,
                                              std::string* pWhy) {
    return m_pool.Submit(
        [strPassword, pLoop = std::move(pLoop), done = std::move(done)] {
            std::string strHash = CPasswordHash::Hash(strPassword);
            if (pLoop)
                pLoop->Post([done, strHash = std::move(strHash)] { done(strHash); });
        },
        pWhy);
}
