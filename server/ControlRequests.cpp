#include "server/ControlRequests.h"

#include "server/ServerHost.h"
#include "server/StatusReport.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

CControlRequests::CControlRequests(CServerHost& rHost, std::function<void()> reload)
    : m_rHost(rHost), m_reload(std::move(reload)) {
    SampleRates();
}

std::vector<SSessionStatus> CControlRequests::Sessions(std::chrono::steady_clock::time_point now) {
    std::vector<SSessionStatus> sessions = m_rHost.SessionStatuses();
    m_rates.Sample(sessions, now);
    return sessions;
}

void CControlRequests::SampleRates() {
    const std::vector<SSessionStatus> sessions = Sessions(std::chrono::steady_clock::now());
    const bool bMoving = std::any_of(sessions.begin(), sessions.end(),
                                     [](const SSessionStatus& s) { return !s.transfers.empty(); });
    m_sampler.Start(bMoving ? kSampleMs : kIdleSampleMs, [this] { SampleRates(); });
}

std::string CControlRequests::Kick(const std::string& strId) {
    char* pszEnd = nullptr;
    const unsigned long long nId = std::strtoull(strId.c_str(), &pszEnd, 10);
    const bool bNumber = !strId.empty() && *pszEnd == '\0';
    if (!bNumber || !m_rHost.RemoveSession(nId))
        return "ERR unknown session " + strId + "\n";
    return "OK\n";
}

std::string CControlRequests::Answer(const std::string& strRequest) {
    const size_t nBlank = strRequest.find(' ');
    const std::string strVerb = strRequest.substr(0, nBlank);
    const std::string strArgument =
        nBlank == std::string::npos ? std::string() : strRequest.substr(nBlank + 1);
    const auto now = std::chrono::steady_clock::now();
    if (strVerb == "who")
        return "OK\n" +
               (strArgument == "json" ? WhoJson(Sessions(now), now) : WhoTable(Sessions(now), now));
    if (strVerb == "metrics")
        return "OK\n" +
               MetricsText(m_rHost.Counters(), m_rHost.SessionStatuses(), m_rHost.Bans().size());
    if (strVerb == "reload") {
        m_reload();
        return "OK\n";
    }
    if (strVerb == "unban")
        return m_rHost.Unban(strArgument) ? "OK\n" : "ERR no ban for " + strArgument + "\n";
    if (strVerb == "kick")
        return Kick(strArgument);
    return "ERR unknown request\n";
}
