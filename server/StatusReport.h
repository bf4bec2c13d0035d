// What the server is doing, as its views show it: the sessions' table (the
// window's, and `skerrow --who` in text or JSON) and the counters of the
// metrics (Prometheus text format). Pure functions of a snapshot: they hold
// no state and do no input or output.
#pragma once

#include "ftp/ClientSocket.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

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

using SSessionStatus = CClientSocket::SStatus;
using SProgress = CDataSocket::SProgress;

// Text as a terminal may show it whatever its bytes: those that are not
// UTF-8 become U+FFFD, control characters (C0, DEL, C1) become "\xNN" for
// each of their bytes; bKeepLines keeps line breaks and tabs.
std::string TerminalText(const std::string& strText, bool bKeepLines = false);
// "1 h 02 min", "3 min 05 s", "12 s".
std::string DurationText(std::chrono::steady_clock::duration elapsed);
// "512 B", "1.5 KB", "3.2 MB", "1.1 GB" (powers of 1024). cDecimal is the
// decimal mark: the point for the terminal and JSON, the comma for the
// window's Spanish ("1,5 KB").
std::string BytesText(int64_t nBytes, char cDecimal = '.');
// "850 KB/s", "12.4 MB/s".
std::string RateText(double dBytesPerSecond, char cDecimal = '.');
// Estado: "inactivo", "STAT", or the transfer: "↓ /pub/a.iso" (download),
// "↑ /in/b.zip" (upload), "listado /pub", "esperando conexión: /pub/a.iso".
std::string StateText(const SSessionStatus& status);
// Progreso: "35 % (1.4 GB de 4.0 GB)" when the size is known, else the bytes.
std::string ProgressText(const SProgress& progress, char cDecimal = '.');
// The average rate of a transfer since its bytes began to move.
double AverageRate(const SProgress& progress, std::chrono::steady_clock::time_point now);

// The sessions' table in aligned text, one line per connection and a total
// line.
std::string WhoTable(const std::vector<SSessionStatus>& sessions,
                     std::chrono::steady_clock::time_point now);
// The same as JSON: {"sessions": [...], "connections": n, ...}.
std::string WhoJson(const std::vector<SSessionStatus>& sessions,
                    std::chrono::steady_clock::time_point now);
// The counters and the gauges in the Prometheus text format, with # HELP
// and # TYPE lines.
std::string MetricsText(const SServerCounters& counters,
                        const std::vector<SSessionStatus>& sessions, size_t nBanned);
