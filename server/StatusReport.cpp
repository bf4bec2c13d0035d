#include "server/StatusReport.h"

#include "res/LogText.h"

#include <algorithm>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

// printf's decimal point is the C locale's whatever the user's locale is;
// cDecimal takes its place.
std::string Printed(const char* pszFormat, double dValue, char cDecimal = '.') {
    char szText[64];
    std::snprintf(szText, sizeof szText, pszFormat, dValue);
    std::string strText = szText;
    std::replace(strText.begin(), strText.end(), '.', cDecimal);
    return strText;
}

// The length of the UTF-8 character at nAt (1 to 4) and its code point;
// 0 when the bytes there are not one (overlong forms and surrogates
// included).
size_t Utf8Char(const std::string& strText, size_t nAt, uint32_t& rCode) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(strText[i]); };
    const unsigned char uchLead = byte(nAt);
    if (uchLead < 0x80) {
        rCode = uchLead;
        return 1;
    }
    const size_t nLength = uchLead >= 0xF0 ? 4 : uchLead >= 0xE0 ? 3 : uchLead >= 0xC0 ? 2 : 0;
    if (nLength == 0 || nAt + nLength > strText.size() || uchLead > 0xF4)
        return 0;
    uint32_t nCode = uchLead & (0x7F >> nLength);
    for (size_t i = 1; i < nLength; ++i) {
        if ((byte(nAt + i) & 0xC0) != 0x80)
            return 0;
        nCode = (nCode << 6) | (byte(nAt + i) & 0x3F);
    }
    static const uint32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (nCode < kSmallest[nLength] || nCode > 0x10FFFF || (nCode >= 0xD800 && nCode <= 0xDFFF))
        return 0;
    rCode = nCode;
    return nLength;
}

bool IsControl(uint32_t nCode) {
    return nCode < 0x20 || (nCode >= 0x7F && nCode <= 0x9F);
}

// What a terminal must not be given raw: controls, and the characters that
// break or reorder a line.
bool SteersTerminal(uint32_t nCode) {
    return IsControl(nCode) || IsLayoutControl(nCode);
}

constexpr const char* kReplacement = "\xEF\xBF\xBD"; // U+FFFD

// JSON's string form: quotes, backslashes and control characters escaped,
// bytes that are not UTF-8 replaced by U+FFFD, so that any name makes
// valid JSON.
std::string JsonString(const std::string& strText) {
    std::string strOut = "\"";
    for (size_t i = 0; i < strText.size();) {
        uint32_t nCode = 0;
        const size_t nLength = Utf8Char(strText, i, nCode);
        if (nLength == 0) {
            strOut += kReplacement;
            ++i;
            continue;
        }
        if (nCode == '"' || nCode == '\\') {
            strOut += '\\';
            strOut += static_cast<char>(nCode);
        } else if (IsControl(nCode)) {
            char szEscape[8];
            std::snprintf(szEscape, sizeof szEscape, "\\u%04x", static_cast<unsigned>(nCode));
            strOut += szEscape;
        } else {
            strOut.append(strText, i, nLength);
        }
        i += nLength;
    }
    return strOut + "\"";
}

// Characters, not bytes: the table's columns line up with accented names.
size_t Width(const std::string& strText) {
    return static_cast<size_t>(std::count_if(strText.begin(), strText.end(), [](char ch) {
        return (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
    }));
}

std::string Padded(const std::string& strText, size_t nWidth) {
    const size_t nHave = Width(strText);
    return strText + std::string(nHave < nWidth ? nWidth - nHave : 0, ' ');
}

const char* KindName(SProgress::Kind kind) {
    switch (kind) {
    case SProgress::Kind::Download:
        return "download";
    case SProgress::Kind::Upload:
        return "upload";
    case SProgress::Kind::Listing:
        return "listing";
    }
    return "download";
}

// The table's cells of one session: its identity, then its columns. Names
// come from clients: never their escape sequences on the administrator's
// terminal.
std::vector<std::string> Cells(const SSessionStatus& status, Clock::time_point now) {
    std::vector<std::string> cells = {std::to_string(status.nId)};
    for (const SSessionColumnInfo& info : kSessionColumns)
        cells.push_back(TerminalText(CellText(status, info.column, now)));
    return cells;
}

// A session's field in the JSON.
std::string JsonValue(const SSessionStatus& status, SessionColumn column, Clock::time_point now) {
    switch (column) {
    case SessionColumn::User:
        return JsonString(status.strUser);
    case SessionColumn::Address:
        return JsonString(status.strAddress);
    case SessionColumn::Connected:
        return std::to_string(
            std::chrono::duration_cast<std::chrono::seconds>(now - status.connected).count());
    case SessionColumn::State:
        return JsonString(StateText(status));
    default:
        return "null";
    }
}

std::string TransferJson(const SProgress& progress) {
    return "{\"name\": " + JsonString(progress.strName) + ", \"kind\": \"" +
           KindName(progress.kind) +
           "\", \"connected\": " + (progress.bConnected ? "true" : "false") +
           ", \"bytes\": " + std::to_string(progress.nBytes) +
           ", \"total\": " + std::to_string(progress.nTotal) +
           ", \"rate\": " + Printed("%.0f", progress.bConnected ? progress.dRate : 0) +
           (progress.nLimit > 0 ? ", \"limit\": " + std::to_string(progress.nLimit) : "") + "}";
}

} // namespace

std::string TerminalText(const std::string& strText, bool bKeepLines) {
    std::string strOut;
    strOut.reserve(strText.size());
    for (size_t i = 0; i < strText.size();) {
        uint32_t nCode = 0;
        const size_t nLength = Utf8Char(strText, i, nCode);
        if (nLength == 0) {
            strOut += kReplacement;
            ++i;
        } else if (SteersTerminal(nCode) && !(bKeepLines && (nCode == '\n' || nCode == '\t'))) {
            // One \xNN for each byte of the character.
            for (size_t j = 0; j < nLength; ++j) {
                char szEscape[8];
                std::snprintf(szEscape, sizeof szEscape, "\\x%02x",
                              static_cast<unsigned char>(strText[i + j]));
                strOut += szEscape;
            }
            i += nLength;
        } else {
            strOut.append(strText, i, nLength);
            i += nLength;
        }
    }
    return strOut;
}

std::string DurationText(Clock::duration elapsed) {
    const long long nSeconds =
        std::max<long long>(0, std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
    char szText[48];
    if (nSeconds >= 3600)
        std::snprintf(szText, sizeof szText, "%lld h %02lld min", nSeconds / 3600,
                      nSeconds / 60 % 60);
    else if (nSeconds >= 60)
        std::snprintf(szText, sizeof szText, "%lld min %02lld s", nSeconds / 60, nSeconds % 60);
    else
        std::snprintf(szText, sizeof szText, "%lld s", nSeconds);
    return szText;
}

std::string BytesText(int64_t nBytes, char cDecimal) {
    const double dBytes = static_cast<double>(std::max<int64_t>(0, nBytes));
    if (dBytes < 1024)
        return std::to_string(std::max<int64_t>(0, nBytes)) + " B";
    if (dBytes < 1024.0 * 1024)
        return Printed("%.1f KB", dBytes / 1024, cDecimal);
    if (dBytes < 1024.0 * 1024 * 1024)
        return Printed("%.1f MB", dBytes / (1024.0 * 1024), cDecimal);
    return Printed("%.1f GB", dBytes / (1024.0 * 1024 * 1024), cDecimal);
}

std::string RateText(double dBytesPerSecond, char cDecimal) {
    const double dKb = std::max(0.0, dBytesPerSecond) / 1024;
    return dKb < 1024 ? Printed("%.0f KB/s", dKb) : Printed("%.1f MB/s", dKb / 1024, cDecimal);
}

std::string RateCellText(const SProgress& progress, char cDecimal) {
    std::string strText = RateText(progress.dRate, cDecimal);
    if (progress.nLimit > 0)
        strText += ", limitada a " + RateText(static_cast<double>(progress.nLimit), cDecimal);
    return strText;
}

std::string StateText(const SSessionStatus& status) {
    if (status.transfers.empty())
        return status.bStatRunning ? "STAT" : "inactivo";
    const SProgress& progress = status.transfers.front();
    if (!progress.bConnected)
        return "esperando conexi\xC3\xB3n: " + progress.strName;
    switch (progress.kind) {
    case SProgress::Kind::Download:
        return "\xE2\x86\x93 " + progress.strName;
    case SProgress::Kind::Upload:
        return "\xE2\x86\x91 " + progress.strName;
    case SProgress::Kind::Listing:
        return "listado " + progress.strName;
    }
    return "inactivo";
}

std::string ProgressText(const SProgress& progress, char cDecimal) {
    const int nPercent = Percent(progress);
    if (nPercent < 0)
        return BytesText(progress.nBytes, cDecimal);
    return std::to_string(nPercent) + " % (" + BytesText(progress.nBytes, cDecimal) + " de " +
           BytesText(progress.nTotal, cDecimal) + ")";
}

std::string CellText(const SSessionStatus& status, SessionColumn column, Clock::time_point now,
                     const SCellStyle& style) {
    const bool bMoving = !status.transfers.empty() && status.transfers.front().bConnected;
    switch (column) {
    case SessionColumn::User:
        return status.strUser.empty() ? style.pszNoUser : status.strUser;
    case SessionColumn::Address:
        return status.strAddress;
    case SessionColumn::Connected:
        return DurationText(now - status.connected);
    case SessionColumn::State:
        return StateText(status);
    case SessionColumn::Progress:
        return bMoving ? ProgressText(status.transfers.front(), style.cDecimal) : style.pszBlank;
    case SessionColumn::Rate:
        return bMoving ? RateCellText(status.transfers.front(), style.cDecimal) : style.pszBlank;
    }
    return style.pszBlank;
}

std::string WhoTable(const std::vector<SSessionStatus>& sessions, Clock::time_point now) {
    std::vector<std::vector<std::string>> rows = {{"ID"}};
    for (const SSessionColumnInfo& info : kSessionColumns)
        rows.front().push_back(info.pszHeading);
    for (const SSessionStatus& status : sessions)
        rows.push_back(Cells(status, now));
    std::vector<size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], Width(row[i]));
    std::string strText;
    strText.reserve(rows.size() * 96);
    for (const auto& row : rows) {
        std::string strLine;
        for (size_t i = 0; i < row.size(); ++i)
            strLine += i + 1 < row.size() ? Padded(row[i], widths[i] + 2) : row[i];
        strText += strLine + "\n";
    }
    const SStatusTotals totals = Totals(sessions);
    strText += "Total: conexiones " + std::to_string(totals.nConnections) + ", transferencias " +
               std::to_string(totals.nTransfers) + ", bajada " + RateText(totals.dDown) +
               ", subida " + RateText(totals.dUp) + "\n";
    return strText;
}

std::string WhoJson(const std::vector<SSessionStatus>& sessions, Clock::time_point now) {
    std::string strText = "{\"sessions\": [";
    for (size_t i = 0; i < sessions.size(); ++i) {
        const SSessionStatus& status = sessions[i];
        strText += i ? ", " : "";
        strText += "{\"id\": " + std::to_string(status.nId);
        for (const SSessionColumnInfo& info : kSessionColumns)
            if (info.pszJsonKey)
                strText += std::string(", \"") + info.pszJsonKey +
                           "\": " + JsonValue(status, info.column, now);
        strText += ", \"transfers\": [";
        for (size_t j = 0; j < status.transfers.size(); ++j)
            strText += (j ? ", " : "") + TransferJson(status.transfers[j]);
        strText += "]}";
    }
    return strText + "], \"connections\": " + std::to_string(sessions.size()) + "}\n";
}

std::string MetricsText(const SServerCounters& counters,
                        const std::vector<SSessionStatus>& sessions, size_t nBanned) {
    std::string strText;
    auto metric = [&](const char* pszName, const char* pszType, const char* pszHelp) {
        strText += std::string("# HELP ") + pszName + " " + pszHelp + "\n# TYPE " + pszName + " " +
                   pszType + "\n";
    };
    auto value = [&](const std::string& strSeries, uint64_t nValue) {
        strText += strSeries + " " + std::to_string(nValue) + "\n";
    };
    uint64_t nRunning = 0;
    uint64_t nSentNow = 0;
    uint64_t nReceivedNow = 0;
    for (const SSessionStatus& status : sessions)
        for (const SProgress& progress : status.transfers) {
            ++nRunning;
            const uint64_t nBytes = static_cast<uint64_t>(std::max<int64_t>(0, progress.nBytes));
            (progress.kind == SProgress::Kind::Upload ? nReceivedNow : nSentNow) += nBytes;
        }
    metric("skerrow_connections_total", "counter", "Connections admitted.");
    value("skerrow_connections_total", counters.nConnections);
    metric("skerrow_logins_total", "counter", "Logins, by result.");
    value("skerrow_logins_total{result=\"succeeded\"}", counters.nLoginsSucceeded);
    value("skerrow_logins_total{result=\"failed\"}", counters.nLoginsFailed);
    metric("skerrow_bans_total", "counter", "Addresses banned for failed logins.");
    value("skerrow_bans_total", counters.nBans);
    metric("skerrow_transfers_total", "counter", "Transfers ended, by kind and result.");
    const SProgress::Kind kinds[] = {SProgress::Kind::Download, SProgress::Kind::Upload,
                                     SProgress::Kind::Listing};
    for (int k = 0; k < 3; ++k)
        for (int r = 0; r < 2; ++r)
            value(std::string("skerrow_transfers_total{kind=\"") + KindName(kinds[k]) +
                      "\",result=\"" + (r == 0 ? "complete" : "failed") + "\"}",
                  counters.nTransfers[k][r]);
    metric("skerrow_sent_bytes_total", "counter", "Bytes sent over data connections.");
    value("skerrow_sent_bytes_total", counters.nBytesSent + nSentNow);
    metric("skerrow_received_bytes_total", "counter", "Bytes received over data connections.");
    value("skerrow_received_bytes_total", counters.nBytesReceived + nReceivedNow);
    metric("skerrow_connections_open", "gauge", "Connections now.");
    value("skerrow_connections_open", sessions.size());
    metric("skerrow_transfers_running", "gauge", "Transfers running now.");
    value("skerrow_transfers_running", nRunning);
    metric("skerrow_banned_addresses", "gauge", "Addresses banned now.");
    value("skerrow_banned_addresses", nBanned);
    return strText;
}
