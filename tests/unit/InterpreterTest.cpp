#include "ftp/FtpTables.h"

#include <gtest/gtest.h>

#include <string>

namespace {
std::pair<std::string, std::string> Split(const std::string& strLine) {
    std::string strWord, strParameter;
    SplitCommandLine(strLine, strWord, strParameter);
    return {strWord, strParameter};
}
} // namespace

TEST(CommandLine, WordIsTheLeadingRunOfLettersLowerCased) {
    EXPECT_EQ(Split("PORT1,2,3,4,5,6"),
              std::make_pair(std::string("port"), std::string("1,2,3,4,5,6")));
    EXPECT_EQ(Split("CWDpub"), std::make_pair(std::string("cwdpub"), std::string("")));
    EXPECT_EQ(Split("Mkdir   x y"), std::make_pair(std::string("mkdir"), std::string("x y")));
    EXPECT_EQ(Split("123"), std::make_pair(std::string(""), std::string("123")));
    EXPECT_EQ(Split("USER Bob"), std::make_pair(std::string("user"), std::string("Bob")));
    EXPECT_EQ(Split("retr\tFile.TXT"),
              std::make_pair(std::string("retr"), std::string("File.TXT")));
}

TEST(CommandLine, TrimRemovesSurroundingWhiteSpaceOnly) {
    EXPECT_EQ(Trim("  noop \t"), "noop");
    EXPECT_EQ(Trim(" a b "), "a b");
    EXPECT_EQ(Trim("   "), "");
}

TEST(CommandTable, PrefixMatchingInTableOrder) {
    EXPECT_EQ(LookUpCommand("mkdir"), CMD_MKD);
    EXPECT_EQ(LookUpCommand("rmdir"), CMD_RMD);
    EXPECT_EQ(LookUpCommand("retrieve"), CMD_RETR);
    EXPECT_EQ(LookUpCommand("delete"), CMD_DELE);
    EXPECT_EQ(LookUpCommand("xpwd"), CMD_PWD);
    EXPECT_EQ(LookUpCommand("pwd"), CMD_PWD);
    EXPECT_EQ(LookUpCommand("name"), CMD_NAME);
    EXPECT_EQ(LookUpCommand("names"), CMD_NAME);
    EXPECT_EQ(LookUpCommand("cwdpub"), CMD_CWD);
    EXPECT_EQ(LookUpCommand("epsv"), CMD_UNKNOWN);
    EXPECT_EQ(LookUpCommand("pas"), CMD_UNKNOWN);
    EXPECT_EQ(LookUpCommand(""), CMD_UNKNOWN);
    EXPECT_EQ(LookUpCommand("xmkd"), CMD_UNKNOWN);
}

TEST(ReplyTable, ThirtyFiveRepliesEachEndingInCrLf) {
    for (int i = 0; i < REPLY_COUNT; ++i) {
        std::string strReply = ReplyText(i);
        ASSERT_GE(strReply.size(), 6u) << i;
        EXPECT_EQ(strReply.substr(strReply.size() - 2), "\r\n") << i;
    }
    EXPECT_STREQ(ReplyText(REPLY_UNKNOWN_COMMAND), "500 Unknown command \"%s\"\r\n");
    EXPECT_STREQ(ReplyText(REPLY_DATA_RESET), "425 Data connection reset\r\n");
    EXPECT_STREQ(ReplyText(REPLY_OPENING_DATA), "150 Opening data connection for %s \"%s\"\r\n");
    EXPECT_STREQ(ReplyText(REPLY_COUNT), "");
    EXPECT_STREQ(kVersion, "0.7");
}
