#include "server/SessionStatus.h"

#include <algorithm>

int Percent(const SProgress& progress) {
    if (progress.nTotal <= 0)
        return -1;
    const int64_t nBytes = std::max<int64_t>(0, progress.nBytes);
    return static_cast<int>(std::min<int64_t>(100, nBytes * 100 / progress.nTotal));
}

SStatusTotals Totals(const std::vector<SSessionStatus>& sessions) {
    SStatusTotals totals;
    totals.nConnections = sessions.size();
    for (const SSessionStatus& status : sessions)
        for (const SProgress& progress : status.transfers) {
            if (!progress.bConnected)
                continue;
            ++totals.nTransfers;
            (progress.kind == SProgress::Kind::Upload ? totals.dUp : totals.dDown) +=
                progress.dRate;
        }
    return totals;
}

double CTransferRates::RecentRate(Samples& rSamples, Clock::time_point now) {
    // The newest sample at least the window old stays first.
    while (rSamples.size() > 2 && now - rSamples[1].first >= kWindow)
        rSamples.pop_front();
    if (rSamples.size() < 2)
        return 0;
    const auto& oldest = rSamples.front();
    const double dSeconds = std::chrono::duration<double>(now - oldest.first).count();
    // Too short a time says nothing of the speed.
    if (dSeconds <= 0.05)
        return 0;
    return static_cast<double>(rSamples.back().second - oldest.second) / dSeconds;
}

void CTransferRates::Sample(std::vector<SSessionStatus>& rSessions, Clock::time_point now) {
    std::unordered_map<uint64_t, std::vector<STrack>> kept;
    for (SSessionStatus& status : rSessions) {
        auto known = m_tracks.find(status.nId);
        for (SProgress& progress : status.transfers) {
            progress.dRate = 0;
            if (!progress.bConnected)
                continue;
            STrack track;
            bool bKnown = false;
            if (known != m_tracks.end())
                for (STrack& rOld : known->second)
                    if (rOld.started == progress.started && !rOld.samples.empty()) {
                        track = std::move(rOld);
                        rOld.samples.clear();
                        bKnown = true;
                        break;
                    }
            // A transfer seen for the first time counts from its start.
            if (!bKnown) {
                track.started = progress.started;
                track.samples.emplace_back(progress.started, 0);
            }
            track.samples.emplace_back(now, progress.nBytes);
            progress.dRate = RecentRate(track.samples, now);
            kept[status.nId].push_back(std::move(track));
        }
    }
    m_tracks = std::move(kept);
}
