// What the control socket serves (see CControlServer): the requests of
// `skerrow --who` and its siblings, answered from the host. The speeds that
// `--who` shows are those of the window, the last two seconds: the host's
// sessions are sampled twice a second while a transfer moves (every two
// seconds otherwise, which a transfer's start sample makes up for).
//
// Requests, one line each: "who", "who json", "kick ID", "unban ADDRESS",
// "reload", "metrics". The answer is "OK\n" and its body, or "ERR <why>\n".
#pragma once

#include "net/Timer.h"
#include "server/SessionStatus.h"

#include <chrono>
#include <functional>
#include <string>

class CServerHost;

class CControlRequests {
public:
    // reload reads the settings again and applies them.
    CControlRequests(CServerHost& rHost, std::function<void()> reload);
    CControlRequests(const CControlRequests&) = delete;
    CControlRequests& operator=(const CControlRequests&) = delete;

    std::string Answer(const std::string& strRequest);

    static constexpr int kSampleMs = 500;
    static constexpr int kIdleSampleMs = 2000;

private:
    // The host's sessions at now, their speeds filled.
    std::vector<SSessionStatus> Sessions(std::chrono::steady_clock::time_point now);
    // Samples the transfers and waits for the next sample.
    void SampleRates();
    std::string Kick(const std::string& strId);

    CServerHost& m_rHost;
    std::function<void()> m_reload;
    CTransferRates m_rates;
    CTimer m_sampler;
};
