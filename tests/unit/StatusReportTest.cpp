// What the administrator's views show of names that clients choose: the
// JSON of --who stays valid JSON and its table never carries a client's
// control bytes to a terminal, whatever bytes the names hold.
#include "server/StatusReport.h"

#include <gtest/gtest.h>

namespace {

SSessionStatus Session(const std::string& strUser, const std::string& strFile) {
    SSessionStatus status;
    status.nId = 7;
    status.strUser = strUser;
    status.strAddress = "192.0.2.7";
    status.connected = std::chrono::steady_clock::now();
    SProgress progress;
    progress.strName = strFile;
    progress.bConnected = true;
    progress.started = status.connected;
    status.transfers.push_back(progress);
    return status;
}

// True when strText holds a byte below 0x20 other than the line break, or
// DEL.
bool HasControlByte(const std::string& strText) {
    for (char ch : strText)
        if ((static_cast<unsigned char>(ch) < 0x20 && ch != '\n') || ch == '\x7f')
            return true;
    return false;
}

} // namespace

TEST(TerminalText, ControlsAreShownAndBrokenUtf8Replaced) {
    EXPECT_EQ(TerminalText("a\x1b[2Jb"), "a\\x1b[2Jb");
    EXPECT_EQ(TerminalText("tab\there\n"), "tab\\x09here\\x0a");
    EXPECT_EQ(TerminalText("tab\there\n", true), "tab\there\n");
    // C1 controls (a CSI as UTF-8) and DEL, byte by byte.
    EXPECT_EQ(TerminalText("x\xC2\x9By\x7F"), "x\\xc2\\x9by\\x7f");
    // Not UTF-8: a lone continuation byte, a cut sequence, an overlong
    // form, a surrogate, a code point past U+10FFFF.
    EXPECT_EQ(TerminalText("\x80"), "\xEF\xBF\xBD");
    EXPECT_EQ(TerminalText("a\xE2\x86"), "a\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(TerminalText("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(TerminalText("\xED\xA0\x80").substr(0, 3), "\xEF\xBF\xBD");
    EXPECT_EQ(TerminalText("\xF4\x90\x80\x80").substr(0, 3), "\xEF\xBF\xBD");
    // A name that reverses the rest of the row, or breaks it in two.
    EXPECT_EQ(TerminalText("a\xE2\x80\xAE"
                           "exe.txt"),
              "a\\xe2\\x80\\xae"
              "exe.txt");
    EXPECT_EQ(TerminalText("a\xE2\x80\xA8"
                           "b"),
              "a\\xe2\\x80\\xa8b");
    // Text that is fine stays as it is.
    const std::string strFine = "Jos\xC3\xA9 \xE2\x86\x93 /pub/\xF0\x9F\x98\x80.iso";
    EXPECT_EQ(TerminalText(strFine), strFine);
}

TEST(WhoReport, JsonHoldsAnyNameAsValidJson) {
    const auto now = std::chrono::steady_clock::now();
    const std::string strJson =
        WhoJson({Session("ana\xFF\x1b", "/a\"b\\c\x01\xC3(\xC2\x85.txt")}, now);
    EXPECT_NE(strJson.find("\"user\": \"ana\xEF\xBF\xBD\\u001b\""), std::string::npos) << strJson;
    EXPECT_NE(strJson.find("\"name\": \"/a\\\"b\\\\c\\u0001\xEF\xBF\xBD(\\u0085.txt\""),
              std::string::npos)
        << strJson;
    EXPECT_FALSE(HasControlByte(strJson.substr(0, strJson.size() - 1)));
    // Fine names are left as they are.
    const std::string strPlain = WhoJson({Session("Jos\xC3\xA9", "/pub/a.iso")}, now);
    EXPECT_NE(strPlain.find("\"user\": \"Jos\xC3\xA9\""), std::string::npos);
    EXPECT_NE(strPlain.find("\"name\": \"/pub/a.iso\""), std::string::npos);
}

TEST(WhoReport, TableCarriesNoControlBytes) {
    const auto now = std::chrono::steady_clock::now();
    const std::string strTable = WhoTable({Session("\x1b]0;owned\x07", "/x\x1b[2J\xFF.txt")}, now);
    EXPECT_FALSE(HasControlByte(strTable)) << strTable;
    EXPECT_NE(strTable.find("\\x1b]0;owned\\x07"), std::string::npos) << strTable;
    EXPECT_NE(strTable.find("/x\\x1b[2J\xEF\xBF\xBD.txt"), std::string::npos) << strTable;
}

TEST(WhoReport, ALimitedTransferShowsItsLimitAndAnUnlimitedOneNothingMore) {
    const auto now = std::chrono::steady_clock::now();
    SSessionStatus limited = Session("ana", "/a.iso");
    limited.transfers.front().dRate = 450 * 1024;
    limited.transfers.front().nLimit = 500 * 1024;
    EXPECT_EQ(CellText(limited, SessionColumn::Rate, now), "450 KB/s, limitada a 500 KB/s");
    limited.transfers.front().nLimit = 2 * 1024 * 1024;
    EXPECT_EQ(CellText(limited, SessionColumn::Rate, now, {','}), "450 KB/s, limitada a 2,0 MB/s");
    EXPECT_NE(WhoJson({limited}, now).find("\"limit\": 2097152}"), std::string::npos);
    // Without a limit the cell and the JSON are as they always were.
    SSessionStatus free = Session("bob", "/b.iso");
    free.transfers.front().dRate = 450 * 1024;
    EXPECT_EQ(CellText(free, SessionColumn::Rate, now), "450 KB/s");
    EXPECT_EQ(WhoJson({free}, now).find("limit"), std::string::npos);
}

// The share done, as the window's bar and every view's text show it.
TEST(SessionStatus, PercentIsRoundedDownAndUnknownWithoutASize) {
    SProgress progress;
    progress.nTotal = 1000;
    progress.nBytes = 999;
    EXPECT_EQ(Percent(progress), 99); // 100 only when all of it has moved
    EXPECT_EQ(ProgressText(progress), "99 % (999 B de 1000 B)");
    progress.nBytes = 1000;
    EXPECT_EQ(Percent(progress), 100);
    progress.nBytes = 1500; // a file grown while it is sent
    EXPECT_EQ(Percent(progress), 100);
    progress.nBytes = 0;
    EXPECT_EQ(Percent(progress), 0);
    // An upload, or a text download: bytes alone.
    progress.nTotal = -1;
    progress.nBytes = 2048;
    EXPECT_EQ(Percent(progress), -1);
    EXPECT_EQ(ProgressText(progress, ','), "2,0 KB");
    // Past 20 GiB the product of bytes and 100 still fits.
    progress.nTotal = int64_t{40} << 30;
    progress.nBytes = int64_t{30} << 30;
    EXPECT_EQ(Percent(progress), 75);
}

namespace {

using Clock = std::chrono::steady_clock;

SSessionStatus Moving(uint64_t nId, Clock::time_point started, int64_t nBytes,
                      SProgress::Kind kind = SProgress::Kind::Download) {
    SSessionStatus status;
    status.nId = nId;
    status.connected = started;
    SProgress progress;
    progress.kind = kind;
    progress.bConnected = true;
    progress.started = started;
    progress.nBytes = nBytes;
    status.transfers.push_back(progress);
    return status;
}

double Sampled(CTransferRates& rRates, SSessionStatus status, Clock::time_point now) {
    std::vector<SSessionStatus> sessions = {status};
    rRates.Sample(sessions, now);
    return sessions[0].transfers[0].dRate;
}

} // namespace

// The speed is that of the last two seconds of the snapshots taken, not the
// average since the start.
TEST(SessionStatus, RateIsThatOfTheLastTwoSeconds) {
    const Clock::time_point start = Clock::now();
    const auto at = [&](int nMs) { return start + std::chrono::milliseconds(nMs); };
    CTransferRates rates;
    // Looked at once: the speed since the start.
    EXPECT_DOUBLE_EQ(Sampled(rates, Moving(1, start, 4000000), at(4000)), 1000000.0);
    // 1 MB a second for four seconds, then 3 MB a second: after two seconds
    // of the new pace, the speed shows it alone.
    CTransferRates paced;
    for (int nSecond = 0; nSecond <= 4; ++nSecond)
        Sampled(paced, Moving(1, start, nSecond * 1000000), at(nSecond * 1000));
    Sampled(paced, Moving(1, start, 7000000), at(5000));
    EXPECT_DOUBLE_EQ(Sampled(paced, Moving(1, start, 10000000), at(6000)), 3000000.0);
    // Samples twice a second: the window reaches back to the newest sample
    // at least two seconds old.
    CTransferRates halves;
    for (int nHalf = 0; nHalf <= 12; ++nHalf)
        Sampled(halves, Moving(1, start, nHalf < 8 ? 0 : (nHalf - 7) * 500000), at(nHalf * 500));
    EXPECT_DOUBLE_EQ(Sampled(halves, Moving(1, start, 3000000), at(6500)), 1000000.0);
    // Too short a time says nothing yet.
    CTransferRates fresh;
    EXPECT_EQ(Sampled(fresh, Moving(1, start, 1000), at(10)), 0.0);
}

TEST(SessionStatus, RatesFollowEachTransferAndForgetTheGone) {
    const Clock::time_point start = Clock::now();
    const auto at = [&](int nMs) { return start + std::chrono::milliseconds(nMs); };
    CTransferRates rates;
    Sampled(rates, Moving(1, start, 0), at(0));
    Sampled(rates, Moving(1, start, 5000000), at(1000));
    // A new transfer of the same session (a later start) counts from its
    // own start, not from the bytes of the one before.
    EXPECT_DOUBLE_EQ(Sampled(rates, Moving(1, at(1500), 1000000), at(2500)), 1000000.0);
    // A transfer not connected yet has no speed, and leaves none behind.
    SSessionStatus waiting = Moving(1, at(1500), 0);
    waiting.transfers[0].bConnected = false;
    EXPECT_EQ(Sampled(rates, waiting, at(3000)), 0.0);
    // Two sessions in one snapshot, and the totals by direction.
    std::vector<SSessionStatus> sessions = {Moving(2, at(3000), 2000000),
                                            Moving(3, at(3000), 500000, SProgress::Kind::Upload)};
    rates.Sample(sessions, at(4000));
    const SStatusTotals totals = Totals(sessions);
    EXPECT_EQ(totals.nConnections, 2u);
    EXPECT_EQ(totals.nTransfers, 2u);
    EXPECT_DOUBLE_EQ(totals.dDown, 2000000.0);
    EXPECT_DOUBLE_EQ(totals.dUp, 500000.0);
    // Session 1 was not in the last snapshot: its transfer starts over.
    EXPECT_DOUBLE_EQ(Sampled(rates, Moving(1, at(1500), 4000000), at(5500)), 1000000.0);
}
