#include "ftp/IdleTimeout.h"

#include "ftp/SessionHost.h"

#include <algorithm>

CIdleTimeout::CIdleTimeout(CSessionHost& rHost, std::function<bool()> busy,
                           std::function<void()> expired)
    : m_rHost(rHost), m_busy(std::move(busy)), m_expired(std::move(expired)) {}

void CIdleTimeout::Restart() {
    m_lastCommand = std::chrono::steady_clock::now();
    if (!m_timer.IsActive())
        Arm(m_rHost.Settings().m_nTimeout * 1000LL);
}

void CIdleTimeout::Arm(long long nDelayMs) {
    const int nSeconds = m_rHost.Settings().m_nTimeout;
    // No time-out, or one beyond what a timer holds: idle sessions stay.
    if (nSeconds <= 0 || nSeconds > 24 * 24 * 3600) {
        m_timer.Stop();
        return;
    }
    m_timer.Start(static_cast<int>(std::max(nDelayMs, 1LL)), [this] { OnTimer(); });
}

void CIdleTimeout::OnTimer() {
    const long long nTimeoutMs = m_rHost.Settings().m_nTimeout * 1000LL;
    const long long nIdleMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - m_lastCommand)
                                  .count();
    // A command came meanwhile: wait for the rest of the time-out after it.
    if (nIdleMs < nTimeoutMs) {
        Arm(nTimeoutMs - nIdleMs);
        return;
    }
    if (m_busy()) {
        Arm(nTimeoutMs);
        return;
    }
    // The owner may end (and release) itself here: nothing of this is used
    // after.
    m_expired();
}
