// The server's speed limits, shared by every data connection (the host
// owns the one object; each running transfer holds a CTransferPace, a
// flow that has joined it). A transfer is held to the lowest limit that applies to
// it: its user's own limit for its direction, shared evenly among that
// user's transfers in that direction, and the server's, shared evenly
// among all transfers in that direction. Whenever the limits, or the
// transfers running, change, every transfer is given its new rate.
#pragma once

#include "config/LimitSettings.h"

#include <cstdint>
#include <string>
#include <vector>

class CRateLimiter {
public:
    // What the limiter knows of a running transfer (a CTransferPace).
    class CFlow {
    public:
        virtual const std::string& User() const = 0;
        virtual bool IsUpload() const = 0;
        // Bytes a second it is held to from now on; 0: no limit.
        virtual void SetRate(int64_t nRate) = 0;

    protected:
        ~CFlow() = default;
    };

    CRateLimiter() = default;
    CRateLimiter(const CRateLimiter&) = delete;
    CRateLimiter& operator=(const CRateLimiter&) = delete;

    // The limits from now on; running transfers follow at once.
    void Apply(const CLimitSettings& limits);
    const CLimitSettings& Limits() const { return m_limits; }
    // A transfer begins or ends moving bytes.
    void Join(CFlow& rFlow);
    void Leave(CFlow& rFlow);

    // Bytes a second one transfer may move when nServerKiB and nUserKiB
    // (KiB a second, 0: none) are shared by nAll and nOfUser transfers
    // (itself among them); 0 when neither limits it.
    static int64_t FairRate(int nServerKiB, int nAll, int nUserKiB, int nOfUser);

private:
    // Every running transfer's rate, from the limits and the counts.
    void Rebalance();
    bool AnyLimit() const;

    CLimitSettings m_limits;
    std::vector<CFlow*> m_flows;
    // Some transfer may hold a rate that is not 0.
    bool m_bLimiting = false;
};
