// What the server is doing, as its views show it: the sessions' table (the
// window's, and `skerrow --who` in text or JSON) and the counters of the
// metrics (Prometheus text format). Pure functions of a snapshot: they hold
// no state and do no input or output.
#pragma once

#include "server/SessionStatus.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

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
// Velocidad: the speed, and the rate a speed limit holds the transfer to
// ("850 KB/s, limitada a 1.0 MB/s").
std::string RateCellText(const SProgress& progress, char cDecimal = '.');
// Estado: "inactivo", "STAT", or the transfer: "↓ /pub/a.iso" (download),
// "↑ /in/b.zip" (upload), "listado /pub", "esperando conexión: /pub/a.iso".
std::string StateText(const SSessionStatus& status);
// Progreso: "35 % (1.4 GB de 4.0 GB)" when the size is known, else the bytes.
std::string ProgressText(const SProgress& progress, char cDecimal = '.');

// How a view writes a row's cells: its decimal mark, and what it shows for a
// session not logged in yet and for a figure it does not have (no transfer
// moving).
struct SCellStyle {
    char cDecimal = '.';
    const char* pszNoUser = "-";
    const char* pszBlank = "-";
};
// The text of one cell of a session's row, as the view of that style shows
// it; the speed is that of the first transfer as the snapshot holds it.
std::string CellText(const SSessionStatus& status, SessionColumn column,
                     std::chrono::steady_clock::time_point now, const SCellStyle& style = {});

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
