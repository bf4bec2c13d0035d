// The server's password hashing, off the event loop: at most kMaxHashing
// hashes made or checked at once (each takes 64 MiB), at most kMaxWaiting
// more waiting their turn. A result comes back to the loop through a post:
// a check to its session (CSessionCompletion), a new hash to whoever asked
// (the options sheet, through its dispatcher's post queue). The worker
// threads see only copies of the hash and the password.
#pragma once

#include "net/WorkerPool.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

class CClientSocket;
class CPostQueue;
class CSessionCompletion;

class CPasswordChecks {
public:
    static constexpr size_t kMaxHashing = 2;
    static constexpr size_t kMaxWaiting = 64;

    CPasswordChecks();
    using Result = CWorkerPool::Result;

    // Checks the password against the stored hash (an unknown name's
    // password against CPasswordHash::DummyHash, bKnown false: it never
    // matches). done runs on the loop's thread with the session, if it
    // still exists. Refused: done never runs, and strWhy says why when no
    // thread could start.
    Result Check(const std::string& strHash, const std::string& strPassword, bool bKnown,
                 const CSessionCompletion& completion,
                 std::function<void(CClientSocket&, bool bMatch)> done, std::string* pWhy);
    // Hashes a new password; done runs on the loop of pLoop with the hash
    // (empty when it could not be made).
    Result Hash(const std::string& strPassword, std::shared_ptr<CPostQueue> pLoop,
                std::function<void(const std::string& strHash)> done, std::string* pWhy);
    // At exit: the work waiting is dropped, the hashes running end, the
    // threads are joined.
    void Stop() { m_pool.Stop(); }

private:
    CWorkerPool m_pool;
};
