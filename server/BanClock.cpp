#include "server/BanClock.h"

#include "res/Strings.h"
#include "server/HostViews.h"
#include "server/LoginGuard.h"

#include <algorithm>
#include <string>
#include <vector>

CBanClock::CBanClock(CLoginGuard& rLogins, CHostViews& rViews, LogFn log)
    : m_rLogins(rLogins), m_rViews(rViews), m_log(std::move(log)) {}

void CBanClock::Expire() {
    const std::vector<std::string> ended = m_rLogins.Expire(CLoginGuard::Clock::now());
    for (const std::string& strKey : ended)
        m_log({FormatString(LoadString(IDS_ADDRESS_UNBANNED), strKey.c_str()), 0, LogEvent::Unban,
               strKey});
    Arm();
    if (!ended.empty())
        m_rViews.OnBansChanged();
}

void CBanClock::Arm() {
    CLoginGuard::Clock::time_point next;
    if (!m_rLogins.NextExpiry(next)) {
        m_timer.Stop();
        return;
    }
    const auto delay =
        std::chrono::ceil<std::chrono::milliseconds>(next - CLoginGuard::Clock::now());
    m_timer.Start(static_cast<int>(std::max<int64_t>(delay.count(), 0)), [this] { Expire(); });
}
