// The server's speed limits, shared by every data connection (the host
// owns the one object; each running transfer holds a CTransferPace that
// has joined it). A transfer is held to the lowest limit that applies to
// it: its user's own limit for its direction, shared evenly among that
// user's transfers in that direction, and the server's, shared evenly
// among all transfers in that direction. Whenever the limits, or the
// transfers running, change, every transfer is given its new rate.
#pragma once

#include "config/LimitSettings.h"

#include <cstdint>
#include <string>
#include <vector>

class CTransferPace;

class CRateLimiter {
public:
    CRateLimiter() = default;
    CRateLimiter(const CRateLimiter&) = delete;
    CRateLimiter& operator=(const CRateLimiter&) = delete;

    // The limits from now on; running transfers follow at once.
    void Apply(const CLimitSettings& limits);
    const CLimitSettings& Limits() const { return m_limits; }
    // A transfer begins or ends moving bytes.
    void Join(CTransferPace& rPace);
    void Leave(CTransferPace& rPace);

    // Bytes a second one transfer may move when nServerKiB and nUserKiB
    // (KiB a second, 0: none) are shared by nAll and nOfUser transfers
    // (itself among them); 0 when neither limits it.
    static int64_t FairRate(int nServerKiB, int nAll, int nUserKiB, int nOfUser);

private:
    // Every running transfer's rate, from the limits and the counts.
    void Rebalance();
    bool AnyLimit() const;

    CLimitSettings m_limits;
    std::vector<CTransferPace*> m_paces;
    // Some transfer may hold a rate that is not 0.
    bool m_bLimiting = false;
};
