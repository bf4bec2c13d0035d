#include "ftp/RateLimiter.h"

#include <algorithm>
#include <map>
#include <utility>

void CRateLimiter::Apply(const CLimitSettings& limits) {
    m_limits = limits;
    Rebalance();
}

void CRateLimiter::Join(CFlow& rFlow) {
    m_flows.push_back(&rFlow);
    // With no limit at all nobody's rate changes: nothing to count.
    if (m_bLimiting || AnyLimit())
        Rebalance();
}

void CRateLimiter::Leave(CFlow& rFlow) {
    auto it = std::find(m_flows.begin(), m_flows.end(), &rFlow);
    if (it == m_flows.end())
        return;
    *it = m_flows.back();
    m_flows.pop_back();
    if (m_bLimiting)
        Rebalance();
}

bool CRateLimiter::AnyLimit() const {
    return m_limits.m_nDownload > 0 || m_limits.m_nUpload > 0 || !m_limits.m_users.empty();
}

int64_t CRateLimiter::FairRate(int nServerKiB, int nAll, int nUserKiB, int nOfUser) {
    int64_t nRate = 0;
    if (nServerKiB > 0)
        nRate = int64_t{nServerKiB} * 1024 / std::max(nAll, 1);
    if (nUserKiB > 0) {
        const int64_t nOwn = int64_t{nUserKiB} * 1024 / std::max(nOfUser, 1);
        nRate = nRate == 0 ? nOwn : std::min(nRate, nOwn);
    }
    // A share never rounds down to no limit.
    return (nServerKiB > 0 || nUserKiB > 0) ? std::max<int64_t>(nRate, 1) : 0;
}

void CRateLimiter::Rebalance() {
    // Transfers by direction (0 download, 1 upload), and by user and direction.
    int nAll[2] = {0, 0};
    std::map<std::pair<std::string, bool>, int> ofUser;
    for (const CFlow* pFlow : m_flows) {
        ++nAll[pFlow->IsUpload()];
        ++ofUser[{pFlow->User(), pFlow->IsUpload()}];
    }
    m_bLimiting = false;
    for (CFlow* pFlow : m_flows) {
        const bool bUp = pFlow->IsUpload();
        const CLimitSettings::SPair own = m_limits.ForUser(pFlow->User());
        const int64_t nRate =
            FairRate(bUp ? m_limits.m_nUpload : m_limits.m_nDownload, nAll[bUp],
                     bUp ? own.nUpload : own.nDownload, ofUser[{pFlow->User(), bUp}]);
        m_bLimiting = m_bLimiting || nRate > 0;
        pFlow->SetRate(nRate);
    }
}
