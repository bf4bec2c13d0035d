#include "ftp/TokenBucket.h"

#include <algorithm>
#include <cmath>

void CTokenBucket::SetRate(int64_t nRate, Clock::time_point now) {
    if (m_nRate > 0)
        Refill(now);
    else
        m_dTokens = 0;
    const bool bFirst = m_nRate <= 0;
    m_nRate = nRate;
    m_last = now;
    if (bFirst)
        m_dTokens = static_cast<double>(Turn());
    m_dTokens = std::min(m_dTokens, static_cast<double>(Cap()));
}

int64_t CTokenBucket::Turn() const {
    return std::max(kMinTurn, m_nRate * kTurnMs / 1000);
}

int64_t CTokenBucket::Cap() const {
    return std::max(2 * Turn(), m_nRate * kCapMs / 1000);
}

void CTokenBucket::Refill(Clock::time_point now) {
    if (now <= m_last)
        return;
    const double dSeconds = std::chrono::duration<double>(now - m_last).count();
    m_last = now;
    m_dTokens =
        std::min(m_dTokens + dSeconds * static_cast<double>(m_nRate), static_cast<double>(Cap()));
}

int64_t CTokenBucket::Available(Clock::time_point now) {
    Refill(now);
    return m_dTokens <= 0 ? 0 : static_cast<int64_t>(m_dTokens);
}

int CTokenBucket::WaitMs(Clock::time_point now) {
    Refill(now);
    const double dMissing = static_cast<double>(Turn()) - m_dTokens;
    if (dMissing <= 0 || m_nRate <= 0)
        return 1;
    const double dMs = std::ceil(dMissing * 1000.0 / static_cast<double>(m_nRate));
    return static_cast<int>(std::clamp(dMs, 1.0, 60000.0));
}
