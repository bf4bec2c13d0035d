// The way back to a session for work done on another thread (a slow check,
// a hash). It is made on the loop's thread for one session and handed to the
// thread that does the work; that thread completes it with what is left to
// do on the loop. That runs on the loop's thread with the session, found
// again by its identity; when the session has ended meanwhile, or its host
// or the loop has gone, the completion is dropped without running and
// without a trace.
//
// It holds neither the session nor the host: only the loop's post queue,
// a weak reference to the host's lookup, and the identity. Copies may be
// completed from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

class CClientSocket;
class CPostQueue;
class CSessionFinder;

class CSessionCompletion {
public:
    // A completion that reaches nobody: every Complete is refused.
    CSessionCompletion() = default;
    CSessionCompletion(std::shared_ptr<CPostQueue> pLoop, std::weak_ptr<CSessionFinder> pSessions,
                       uint64_t nSessionId);

    uint64_t SessionId() const { return m_nSessionId; }

    // Any thread. Hands the work to the loop, which runs it with the session
    // if that still exists. False when the loop has gone: the work is
    // dropped at once. Completions from one thread run in the order made.
    bool Complete(std::function<void(CClientSocket&)> work) const;

private:
    std::shared_ptr<CPostQueue> m_pLoop;
    std::weak_ptr<CSessionFinder> m_pSessions;
    uint64_t m_nSessionId = 0;
};
