#include "config/ServerSettings.h"

#include <gtest/gtest.h>

TEST(UserRecord, ParsesAllFourFields) {
    CUserRecord record;
    ParseUserRecord("bob,secret,1,0", record);
    EXPECT_EQ(record.m_strName, "bob");
    EXPECT_EQ(record.m_strPassword, "secret");
    EXPECT_TRUE(record.m_bUpload);
    EXPECT_FALSE(record.m_bDownload);

    CUserRecord anonymous;
    ParseUserRecord("anonymous,,0,1", anonymous);
    EXPECT_EQ(anonymous.m_strName, "anonymous");
    EXPECT_EQ(anonymous.m_strPassword, "");
    EXPECT_FALSE(anonymous.m_bUpload);
    EXPECT_TRUE(anonymous.m_bDownload);
}

TEST(UserRecord, OnlyFirstCharacterOfAPermissionCounts) {
    CUserRecord record;
    ParseUserRecord("bob,pw,1x,1yz,extra", record);
    EXPECT_TRUE(record.m_bUpload);
    EXPECT_TRUE(record.m_bDownload);
    CUserRecord refused;
    ParseUserRecord("bob,pw,,y1", refused);
    EXPECT_FALSE(refused.m_bUpload);
    EXPECT_FALSE(refused.m_bDownload);
}

TEST(UserRecord, FieldsThePartialParseDoesNotReachKeepTheirValues) {
    CUserRecord record;
    ParseUserRecord("bob,pw,1", record); // only two commas
    EXPECT_EQ(record.m_strName, "bob");
    EXPECT_EQ(record.m_strPassword, "pw");
    EXPECT_FALSE(record.m_bUpload);
    EXPECT_FALSE(record.m_bDownload);

    CUserRecord previous{"old", "oldpw", true, true};
    ParseUserRecord("new,newpw", previous); // one comma: only the name
    EXPECT_EQ(previous.m_strName, "new");
    EXPECT_EQ(previous.m_strPassword, "oldpw");
    EXPECT_TRUE(previous.m_bUpload);

    CUserRecord empty;
    ParseUserRecord("", empty);
    EXPECT_EQ(empty.m_strName, "");
}

TEST(FolderRecord, ParsesAndKeepsASecondEqualsInTheRealPath) {
    CFolderRecord record;
    ParseFolderRecord("/pub=/srv/a=b/,0,1", record);
    EXPECT_EQ(record.m_strVirtualPath, "/pub");
    EXPECT_EQ(record.m_strRealPath, "/srv/a=b/");
    EXPECT_FALSE(record.m_bUpload);
    EXPECT_TRUE(record.m_bDownload);

    CFolderRecord noComma;
    ParseFolderRecord("/x=/srv/x/", noComma);
    EXPECT_EQ(noComma.m_strVirtualPath, "/x");
    EXPECT_EQ(noComma.m_strRealPath, "");
    EXPECT_FALSE(noComma.m_bUpload);
    EXPECT_FALSE(noComma.m_bDownload);
}

TEST(Records, ComposeIsTheInverseOfParseForPlainTexts) {
    EXPECT_EQ(ComposeUserRecord("ann", "pw", true, false), "ann,pw,1,0");
    EXPECT_EQ(ComposeFolderRecord("/pub", "/srv/pub/", false, true), "/pub=/srv/pub/,0,1");
    CUserRecord record;
    ParseUserRecord(ComposeUserRecord("ann", "", false, true), record);
    EXPECT_EQ(record.m_strName, "ann");
    EXPECT_TRUE(record.m_bDownload);
    // No escaping: a comma in the name reads back differently.
    CUserRecord odd;
    ParseUserRecord(ComposeUserRecord("a,b", "pw", true, true), odd);
    EXPECT_EQ(odd.m_strName, "a");
}

TEST(FindUser, LastMatchWinsAndNamesAreCaseSensitive) {
    std::vector<std::string> users = {"ann,first,0,0", "Ann,other,1,1", "ann,second,1,0", "",
                                      "nocomma"};
    CUserRecord record = FindUser(users, "ann");
    EXPECT_EQ(record.m_strPassword, "second");
    EXPECT_TRUE(record.m_bUpload);
    EXPECT_EQ(FindUser(users, "Ann").m_strPassword, "other");
    EXPECT_EQ(FindUser(users, "ANN").m_strName, "");
    EXPECT_EQ(FindUser(users, "nocomma").m_strName, "");
    EXPECT_EQ(FindUser(users, "").m_strName, "");
    EXPECT_EQ(FindUser(users, "an").m_strName, "");
}
