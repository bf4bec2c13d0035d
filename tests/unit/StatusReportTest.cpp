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
    EXPECT_EQ(TerminalText("a\xE2\x80\xAE" "exe.txt"), "a\\xe2\\x80\\xae" "exe.txt");
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
