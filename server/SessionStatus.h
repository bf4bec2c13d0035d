// What the server is doing, as every view shows it: the window's table,
// `skerrow --who` in text and its JSON. The host fills a snapshot of its
// sessions (SSessionStatus) when asked; a view that shows speeds keeps a
// CTransferRates and passes each snapshot it takes through it. The columns,
// the share done and the speed are defined here once for every view.
// Plain data: nothing of the engine's classes is needed to read it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// How far a transfer has come.
struct SProgress {
    std::string strName;
    enum class Kind { Download, Upload, Listing } kind = Kind::Download;
    int64_t nBytes = 0;  // moved so far
    int64_t nTotal = -1; // bytes to move, -1 when not known
    bool bConnected = false;
    std::chrono::steady_clock::time_point started; // when bytes began to move
    // Bytes a second over the last two seconds, as a CTransferRates saw
    // them; 0 until one has.
    double dRate = 0;
    // Bytes a second a speed limit holds it to; 0: none.
    int64_t nLimit = 0;
};

// One session's row.
struct SSessionStatus {
    uint64_t nId = 0;
    std::string strUser; // empty before login
    std::string strAddress;
    std::chrono::steady_clock::time_point connected;
    bool bStatRunning = false;
    std::vector<SProgress> transfers; // those not finished
};

// The server's counters since it began, kept by the host.
struct SServerCounters {
    uint64_t nConnections = 0; // connections admitted
    uint64_t nLoginsSucceeded = 0;
    uint64_t nLoginsFailed = 0;
    uint64_t nBans = 0;
    // Transfers ended, by kind (download, upload, listing) and result
    // (complete, failed).
    uint64_t nTransfers[3][2] = {};
    // Bytes of transfers that have ended.
    uint64_t nBytesSent = 0;
    uint64_t nBytesReceived = 0;
};

// The columns of a session's row, in the order every view shows them.
enum class SessionColumn { User, Address, Connected, State, Progress, Rate };
struct SSessionColumnInfo {
    SessionColumn column;
    const char* pszHeading;
    // The session's field in the JSON; null for a transfer's figures, which
    // each transfer carries.
    const char* pszJsonKey;
};
inline constexpr SSessionColumnInfo kSessionColumns[] = {
    {SessionColumn::User, "Usuario", "user"},
    {SessionColumn::Address, "Direcci\xC3\xB3n", "address"},
    {SessionColumn::Connected, "Conectado", "connected_seconds"},
    {SessionColumn::State, "Estado", "state"},
    {SessionColumn::Progress, "Progreso", nullptr},
    {SessionColumn::Rate, "Velocidad", nullptr},
};
inline constexpr int kSessionColumnCount =
    static_cast<int>(sizeof kSessionColumns / sizeof kSessionColumns[0]);

// The share of a transfer done, 0 to 100 (rounded down: 100 only when all
// of it has moved); -1 when its size is not known.
int Percent(const SProgress& progress);

// The counts and the total speeds of a snapshot: the transfers whose
// connection is open and the sum of their speeds by direction (a listing
// counts as a download).
struct SStatusTotals {
    size_t nConnections = 0;
    size_t nTransfers = 0;
    double dDown = 0;
    double dUp = 0;
};
SStatusTotals Totals(const std::vector<SSessionStatus>& sessions);

// The speed of each transfer over the last two seconds, from the snapshots
// a view takes: each snapshot adds a sample of every moving transfer, and a
// transfer's speed is the bytes since the newest sample at least two
// seconds old (its start while there is none) over the time since.
class CTransferRates {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kWindow = std::chrono::seconds(2);

    // Samples the snapshot taken at now and fills the speed of each of its
    // transfers; sessions and transfers no longer in it are forgotten.
    void Sample(std::vector<SSessionStatus>& rSessions, Clock::time_point now);

    // A transfer's (time, bytes) samples, oldest first.
    using Samples = std::deque<std::pair<Clock::time_point, int64_t>>;
    // The speed from the samples, the last of them taken at now; drops the
    // samples the window no longer needs.
    static double RecentRate(Samples& rSamples, Clock::time_point now);

private:
    struct STrack {
        Clock::time_point started;
        Samples samples;
    };
    // Each session's moving transfers, known by when they began.
    std::unordered_map<uint64_t, std::vector<STrack>> m_tracks;
};
