// A session's idle time-out. Each command only notes its time: the timer,
// once set, stays, and when it runs out it looks at how long the session
// has really been idle (a clock read per command instead of a new
// deadline). The time-out is the settings' value in force when it is
// looked at.
#pragma once

#include "net/Timer.h"

#include <chrono>
#include <functional>

class CSessionHost;

class CIdleTimeout {
public:
    // busy: the session is not idle, whatever the time (a transfer runs);
    // expired: it has been idle for the whole time-out.
    CIdleTimeout(CSessionHost& rHost, std::function<bool()> busy, std::function<void()> expired);

    // A command came.
    void Restart();
    void Stop() { m_timer.Stop(); }

private:
    void Arm(long long nDelayMs);
    void OnTimer();

    CSessionHost& m_rHost;
    std::function<bool()> m_busy;
    std::function<void()> m_expired;
    CTimer m_timer;
    std::chrono::steady_clock::time_point m_lastCommand;
};
