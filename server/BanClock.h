// Ends the bans of a CLoginGuard when their time comes: it waits for the
// soonest, logs each ban that ends, tells the views, and waits for the next.
#pragma once

#include "ftp/LogRecord.h"
#include "net/Timer.h"

#include <functional>

class CHostViews;
class CLoginGuard;

class CBanClock {
public:
    using LogFn = std::function<void(const SLogRecord&)>;

    CBanClock(CLoginGuard& rLogins, CHostViews& rViews, LogFn log);

    // Logs the bans whose time has come and waits for the next.
    void Expire();
    // Waits for the soonest ban to end (none: waits for nothing); called
    // whenever the bans have changed.
    void Arm();

private:
    CLoginGuard& m_rLogins;
    CHostViews& m_rViews;
    LogFn m_log;
    CTimer m_timer;
};
