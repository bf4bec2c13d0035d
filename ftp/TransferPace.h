// One data connection's side of the speed limits: while its bytes move, it
// has joined the server's CRateLimiter, which gives it its rate; it keeps
// the token bucket of that rate, says before each turn how much the turn
// may move, and charges what moved. When the bucket is empty the transfer
// is held: it moves nothing until a timer of the loop says there is room
// again, and then calls the connection back. A transfer under no limit
// costs a comparison a turn: no clock, no timer.
#pragma once

#include "ftp/ByteMover.h"
#include "ftp/RateLimiter.h"
#include "ftp/TokenBucket.h"
#include "net/Timer.h"

#include <cstdint>
#include <functional>
#include <string>

class CTransferPace : private CRateLimiter::CFlow {
public:
    // pLimiter null: never limited (the classic mode, a listing).
    CTransferPace(CRateLimiter* pLimiter, std::string strUser, bool bUpload)
        : m_pLimiter(pLimiter), m_strUser(std::move(strUser)), m_bUpload(bUpload) {}
    ~CTransferPace() { End(); }
    CTransferPace(const CTransferPace&) = delete;
    CTransferPace& operator=(const CTransferPace&) = delete;

    // The transfer's bytes begin to move: it joins the limiter. resume
    // runs, from the loop, when a held transfer may go on.
    void Begin(std::function<void()> resume);
    // The transfer has ended: it leaves the limiter, and waits no more.
    void End();

    // Before a turn: the bytes it may move, -1 for no limit; 0 when the
    // transfer is held (resume follows).
    int64_t Allowance();
    // After a turn: what moved is charged; when the bucket is empty the
    // transfer is held, and a turn given up for others becomes a wait.
    CByteMover::SResult Charge(CByteMover::SResult result);
    bool IsHeld() const { return m_bHeld; }
    // Bytes a second it is held to now; 0 when no limit applies.
    int64_t Rate() const { return m_nRate; }

private:
    // The limiter's view.
    const std::string& User() const override { return m_strUser; }
    bool IsUpload() const override { return m_bUpload; }
    void SetRate(int64_t nRate) override;

    // Waits until the bucket holds a turn.
    void Hold(CTokenBucket::Clock::time_point now);
    void Resume();

    CRateLimiter* m_pLimiter;
    std::string m_strUser;
    bool m_bUpload;
    bool m_bJoined = false;
    bool m_bHeld = false;
    int64_t m_nRate = 0;
    CTokenBucket m_bucket;
    CTimer m_timer;
    std::function<void()> m_resume;
};
