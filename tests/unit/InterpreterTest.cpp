#include "config/ServerSettings.h"
#include "ftp/ClientSocket.h"
#include "ftp/CommandTable.h"
#include "ftp/CommandTables.h"
#include "ftp/FtpTables.h"
#include "ftp/Protocol.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

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

namespace {
int CodeOf(const std::string& strWord) {
    const CCommandRow* pRow = FindCommand(ClassicCommands(), strWord);
    return pRow ? pRow->nCode : CMD_UNKNOWN;
}
} // namespace

TEST(CommandTable, PrefixMatchingInTableOrder) {
    EXPECT_EQ(CodeOf("mkdir"), CMD_MKD);
    EXPECT_EQ(CodeOf("rmdir"), CMD_RMD);
    EXPECT_EQ(CodeOf("retrieve"), CMD_RETR);
    EXPECT_EQ(CodeOf("delete"), CMD_DELE);
    EXPECT_EQ(CodeOf("xpwd"), CMD_PWD);
    EXPECT_EQ(CodeOf("pwd"), CMD_PWD);
    EXPECT_EQ(CodeOf("name"), CMD_NAME);
    EXPECT_EQ(CodeOf("names"), CMD_NAME);
    EXPECT_EQ(CodeOf("cwdpub"), CMD_CWD);
    EXPECT_EQ(CodeOf("epsv"), CMD_UNKNOWN);
    EXPECT_EQ(CodeOf("pas"), CMD_UNKNOWN);
    EXPECT_EQ(CodeOf(""), CMD_UNKNOWN);
    EXPECT_EQ(CodeOf("xmkd"), CMD_UNKNOWN);
}

TEST(CommandTable, TheClassicTableHasItsTwentyThreeWords) {
    struct SExpected {
        const char* pszWord;
        int nCode;
        ParameterRule parameter;
        AccessClass access;
    };
    using P = ParameterRule;
    using A = AccessClass;
    const SExpected expected[] = {
        {"user", 0, P::Optional, A::None},    {"pass", 1, P::Optional, A::None},
        {"port", 2, P::Optional, A::None},    {"quit", 3, P::Optional, A::None},
        {"type", 4, P::Required, A::None},    {"mode", 5, P::Required, A::None},
        {"stru", 6, P::Required, A::None},    {"retr", 7, P::Required, A::Download},
        {"stor", 8, P::Required, A::Upload},  {"noop", 9, P::Optional, A::None},
        {"pwd", 10, P::Optional, A::None},    {"xpwd", 10, P::Optional, A::None},
        {"cwd", 11, P::Required, A::None},    {"cdup", 12, P::Optional, A::None},
        {"list", 13, P::Optional, A::None},   {"nlst", 14, P::Optional, A::None},
        {"dele", 15, P::Required, A::Upload}, {"mkd", 16, P::Required, A::Upload},
        {"rmd", 17, P::Required, A::Upload},  {"syst", 18, P::Optional, A::None},
        {"pasv", 19, P::Optional, A::None},   {"rest", 20, P::Required, A::None},
        {"name", 21, P::Optional, A::None},
    };
    auto rows = ClassicCommands();
    ASSERT_EQ(rows.size(), std::size(expected));
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_STREQ(rows[i].pszWord, expected[i].pszWord) << i;
        EXPECT_EQ(rows[i].nCode, expected[i].nCode) << i;
        EXPECT_EQ(rows[i].parameter, expected[i].parameter) << i;
        EXPECT_EQ(rows[i].access, expected[i].access) << i;
        EXPECT_NE(rows[i].pHandler, nullptr) << i;
        // Only the login commands and QUIT run before login.
        int nCode = rows[i].nCode;
        EXPECT_EQ(rows[i].bBeforeLogin, nCode == CMD_USER || nCode == CMD_PASS || nCode == CMD_QUIT)
            << i;
        // Every word reaches its own row (none is hidden by an earlier prefix).
        EXPECT_EQ(FindCommand(rows, rows[i].pszWord), &rows[i]) << i;
    }
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

TEST(CommandTable, ExtendedRowsAreWholeAndReachTheirOwnRows) {
    auto rows = ExtendedCommands();
    for (const CCommandRow& row : rows) {
        EXPECT_NE(row.pHandler, nullptr) << row.pszWord;
        EXPECT_EQ(FindCommand(rows, row.pszWord), &row) << row.pszWord;
        // None of them is reached through the classic table.
        if (row.nCode >= CMD_FEAT) {
            EXPECT_EQ(FindCommand(ClassicCommands(), row.pszWord), nullptr) << row.pszWord;
        }
    }
    // Every word the extended mode answers, through its protocol.
    const CProtocol& extended = CProtocol::Extended();
    // Renames change both ends: they need the upload permission.
    EXPECT_EQ(extended.FindCommand("rnfr")->access, AccessClass::Upload);
    EXPECT_EQ(extended.FindCommand("rnto")->access, AccessClass::Upload);
    // What changes a file needs the upload permission, what reads a file's
    // content the download permission; what only looks needs none.
    for (const char* pszWord : {"appe", "stor", "mfmt", "site", "mkd", "xrmd"})
        EXPECT_EQ(extended.FindCommand(pszWord)->access, AccessClass::Upload) << pszWord;
    for (const char* pszWord : {"size", "mdtm", "mlsd", "mlst", "stat", "list", "nlst", "epsv",
                                "eprt", "abor", "help", "allo"})
        EXPECT_EQ(extended.FindCommand(pszWord)->access, AccessClass::None) << pszWord;
    // Only what a client may ask before logging in runs before it: the
    // features, the help, and the security exchange that protects the login.
    for (const CCommandRow& row : rows)
        EXPECT_EQ(row.bBeforeLogin, row.nCode == CMD_FEAT || row.nCode == CMD_OPTS ||
                                        row.nCode == CMD_HELP || row.nCode == CMD_AUTH ||
                                        row.nCode == CMD_PBSZ || row.nCode == CMD_PROT ||
                                        row.nCode == CMD_CCC)
            << row.pszWord;
    EXPECT_EQ(FindCommand(rows, "xmkd")->nCode, CMD_MKD);
    // The extended replies end in CR LF; FEAT is one multi-line reply.
    for (int i = 0; i < XREPLY_COUNT; ++i) {
        std::string strReply = ExtendedReplyText(i);
        EXPECT_EQ(strReply.substr(strReply.size() - 2), "\r\n") << i;
    }
    std::string strFeat = extended.FeatureReply(false);
    EXPECT_EQ(strFeat.rfind("211-", 0), 0u);
    EXPECT_NE(strFeat.find("\r\n211 End\r\n"), std::string::npos);
}

TEST(CommandTable, NoExtendedWordHidesAClassicOne) {
    // A classic word reached through the extended mode's table is the same
    // command (answered with a behaviour of the extended mode's own), never
    // another one.
    const CProtocol& extended = CProtocol::Extended();
    for (const CCommandRow& row : ClassicCommands()) {
        const CCommandRow* pReached = extended.FindCommand(row.pszWord);
        ASSERT_NE(pReached, nullptr) << row.pszWord;
        EXPECT_EQ(pReached->nCode, row.nCode) << row.pszWord;
        EXPECT_EQ(pReached->access, row.access) << row.pszWord;
        EXPECT_EQ(pReached->parameter, row.parameter) << row.pszWord;
        EXPECT_EQ(pReached->bMovesData, row.bMovesData) << row.pszWord;
    }
    // The classic protocol reaches nothing of the extended table.
    for (const CCommandRow& row : ExtendedCommands()) {
        if (row.nCode >= CMD_FEAT) {
            EXPECT_EQ(CProtocol::Classic().FindCommand(row.pszWord), nullptr) << row.pszWord;
        }
    }
}

TEST(CommandTable, WhatMovesFileDataSaysSo) {
    // The commands whose replies go over a data connection, and only they.
    const std::set<int> dataCommands = {CMD_RETR, CMD_STOR, CMD_APPE, CMD_LIST, CMD_NLST, CMD_MLSD};
    for (auto rows : {ClassicCommands(), ExtendedCommands()})
        for (const CCommandRow& row : rows)
            EXPECT_EQ(row.bMovesData, dataCommands.count(row.nCode) == 1) << row.pszWord;
}

TEST(Protocol, ChosenFromTheSettingsAndReadingLinesItsOwnWay) {
    CServerSettings settings;
    EXPECT_FALSE(CProtocol::For(settings).IsExtended());
    settings.m_extended.m_bEnabled = true;
    EXPECT_TRUE(CProtocol::For(settings).IsExtended());

    // Classic: the first line of a read runs and the rest is dropped.
    const std::string strInput = "NOOP\r\nPWD\r\nSYS";
    size_t nPos = 0;
    SReceivedLine line;
    ASSERT_TRUE(CProtocol::Classic().NextLine(strInput, nPos, 0, line));
    EXPECT_EQ(line.strLine, "NOOP");
    EXPECT_EQ(line.strRaw, strInput);
    EXPECT_FALSE(CProtocol::Classic().NextLine(strInput, nPos, 0, line));
    EXPECT_EQ(nPos, strInput.size());

    // Extended: every complete line, in order; the rest waits.
    nPos = 0;
    std::vector<std::string> lines;
    while (CProtocol::Extended().NextLine(strInput, nPos, 0, line))
        lines.push_back(line.strLine);
    EXPECT_EQ(lines, (std::vector<std::string>{"NOOP", "PWD"}));
    EXPECT_EQ(strInput.substr(nPos), "SYS");
    // Telnet commands before ABOR are no part of the word; a zero byte ends
    // the line.
    std::string strAbort = "\xff\xf4\xff\xf2"
                           "ABOR\r\nNO";
    strAbort += '\0';
    strAbort += "OP\n";
    nPos = 0;
    ASSERT_TRUE(CProtocol::Extended().NextLine(strAbort, nPos, 0, line));
    EXPECT_EQ(line.strLine, "ABOR");
    ASSERT_TRUE(CProtocol::Extended().NextLine(strAbort, nPos, 0, line));
    EXPECT_EQ(line.strLine, "NO");

    // A password reaches the log only in the classic mode's own way.
    EXPECT_EQ(CProtocol::Extended().LoggedLine("PASS secret\r\n"), "PASS ****\r\n");
    EXPECT_EQ(CProtocol::Classic().LoggedLine("PASS secret\r\n"), "PASS secret\r\n");
    // Where the modes answer differently.
    EXPECT_EQ(CProtocol::Classic().Text(Say::CwdBadPath), nullptr);
    EXPECT_STREQ(CProtocol::Extended().Text(Say::CwdBadPath),
                 ExtendedReplyText(XREPLY_CANT_CHANGE_DIR));
    EXPECT_STREQ(CProtocol::Classic().Text(Say::System), ReplyText(REPLY_SYSTEM));
    EXPECT_FALSE(CProtocol::Classic().IdleTimesOut());
    EXPECT_TRUE(CProtocol::Extended().NetworkText());
}
