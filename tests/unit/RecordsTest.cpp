#include "config/ServerSettings.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

TEST(UserRecord, ParsesAllFourFields) {
    const CUserRecord record = CUserRecord::Parse("bob,secret,1,0");
    EXPECT_EQ(record.Name(), "bob");
    EXPECT_EQ(record.Password(), "secret");
    EXPECT_TRUE(record.MayUpload());
    EXPECT_FALSE(record.MayDownload());

    const CUserRecord anonymous = CUserRecord::Parse("anonymous,,0,1");
    EXPECT_EQ(anonymous.Name(), "anonymous");
    EXPECT_EQ(anonymous.Password(), "");
    EXPECT_FALSE(anonymous.MayUpload());
    EXPECT_TRUE(anonymous.MayDownload());
}

TEST(UserRecord, OnlyFirstCharacterOfAPermissionCounts) {
    const CUserRecord record = CUserRecord::Parse("bob,pw,1x,1yz");
    EXPECT_TRUE(record.MayUpload());
    EXPECT_TRUE(record.MayDownload());
    // The flags are the last two fields: a fifth field is the download flag.
    const CUserRecord extra = CUserRecord::Parse("bob,pw,1x,1yz,extra");
    EXPECT_EQ(extra.Password(), "pw,1x");
    EXPECT_TRUE(extra.MayUpload());
    EXPECT_FALSE(extra.MayDownload());
    const CUserRecord refused = CUserRecord::Parse("bob,pw,,y1");
    EXPECT_FALSE(refused.MayUpload());
    EXPECT_FALSE(refused.MayDownload());
}

TEST(UserRecord, ShortRecordsReadFromTheLeftFullOnesFromBothEnds) {
    // Two commas: a name and a password, both permissions refused.
    const CUserRecord dave = CUserRecord::Parse("dave,pw,1");
    EXPECT_EQ(dave.Name(), "dave");
    EXPECT_EQ(dave.Password(), "pw");
    EXPECT_FALSE(dave.MayUpload());
    EXPECT_FALSE(dave.MayDownload());
    // One comma: only the name.
    const CUserRecord nameOnly = CUserRecord::Parse("new,newpw");
    EXPECT_TRUE(nameOnly.HasName());
    EXPECT_EQ(nameOnly.Name(), "new");
    EXPECT_EQ(nameOnly.Password(), "");
    // No comma, or nothing: no account at all.
    for (const char* pszText : {"", "nocomma"}) {
        const CUserRecord none = CUserRecord::Parse(pszText);
        EXPECT_FALSE(none.HasName()) << pszText;
        EXPECT_EQ(none.Name(), "") << pszText;
    }
    // A comma in the password is the password's: the flags are the last
    // two fields.
    const CUserRecord comma = CUserRecord::Parse("ann,p,w,1,0");
    EXPECT_EQ(comma.Name(), "ann");
    EXPECT_EQ(comma.Password(), "p,w");
    EXPECT_TRUE(comma.MayUpload());
    EXPECT_FALSE(comma.MayDownload());
    const CUserRecord hash =
        CUserRecord::Parse("ann,$argon2id$v=19$m=65536,t=2,p=1$c2FsdA$aGFzaA,0,1");
    EXPECT_EQ(hash.Password(), "$argon2id$v=19$m=65536,t=2,p=1$c2FsdA$aGFzaA");
    EXPECT_TRUE(hash.MayDownload());
    // Commas after the name, but only two: still the short reading.
    const CUserRecord empty = CUserRecord::Parse("ann,,");
    EXPECT_EQ(empty.Password(), "");
    EXPECT_FALSE(empty.MayDownload());
}

TEST(FolderRecord, ParsesAndKeepsASecondEqualsInTheRealPath) {
    const CFolderRecord record = CFolderRecord::Parse("/pub=/srv/a=b/,0,1");
    EXPECT_EQ(record.VirtualPath(), "/pub");
    EXPECT_EQ(record.RealPath(), "/srv/a=b/");
    EXPECT_FALSE(record.MayUpload());
    EXPECT_TRUE(record.MayDownload());

    const CFolderRecord noComma = CFolderRecord::Parse("/x=/srv/x/");
    EXPECT_TRUE(noComma.HasVirtualPath());
    EXPECT_EQ(noComma.VirtualPath(), "/x");
    EXPECT_EQ(noComma.RealPath(), "");
    EXPECT_FALSE(noComma.MayUpload());
    EXPECT_FALSE(noComma.MayDownload());

    EXPECT_FALSE(CFolderRecord::Parse("/x").HasVirtualPath());
    EXPECT_TRUE(CFolderRecord::Parse("=/srv/,1,1").HasVirtualPath());
}

TEST(Records, AStoredTextIsWrittenBackExactlyAsItWasRead) {
    const std::vector<std::string> users = {"anonymous,,0,1",      "dave,pw,1", "ann,p,w,1,1",
                                            "bob,pw,1x,1yz,extra", "",          "nocomma",
                                            " spaced , pw ,1,0"};
    EXPECT_EQ(RecordTexts(ParseUserList(users)), users);
    const std::vector<std::string> folders = {"/=/srv/,1,1", "/x=/srv/x/", "/a=/b=c/,1",
                                              "broken",      "",           "/e=,1,1"};
    EXPECT_EQ(RecordTexts(ParseFolderMap(folders)), folders);
}

TEST(Records, MadeRecordsAreReadAsTheirStoredTextWillBe) {
    EXPECT_EQ(CUserRecord::Make("ann", "pw", true, false).Text(), "ann,pw,1,0");
    EXPECT_EQ(CFolderRecord::Make("/pub", "/srv/pub/", false, true).Text(), "/pub=/srv/pub/,0,1");
    const CUserRecord record = CUserRecord::Make("ann", "", false, true);
    EXPECT_EQ(record.Name(), "ann");
    EXPECT_TRUE(record.MayDownload());
    // No escaping: a comma in the name reads back as it will from the file
    // (the dialog refuses such a name).
    const CUserRecord odd = CUserRecord::Make("a,b", "pw", true, true);
    EXPECT_EQ(odd.Text(), "a,b,pw,1,1");
    EXPECT_EQ(odd.Name(), "a");
    EXPECT_EQ(odd.Password(), "b,pw");
    EXPECT_TRUE(odd.MayUpload());
    EXPECT_TRUE(odd.MayDownload());
    EXPECT_EQ(CUserRecord::Parse(odd.Text()).Name(), odd.Name());
}

TEST(FindUser, LastMatchWinsAndNamesAreCaseSensitive) {
    const CUserList users = ParseUserList(
        {"ann,first,0,0", "Ann,other,1,1", "ann,second,1,0", "", "nocomma", "dave,pw,1"});
    const CUserRecord record = FindUser(users, "ann");
    EXPECT_EQ(record.Password(), "second");
    EXPECT_TRUE(record.MayUpload());
    EXPECT_EQ(FindUser(users, "Ann").Password(), "other");
    EXPECT_EQ(FindUser(users, "ANN").Name(), "");
    EXPECT_EQ(FindUser(users, "nocomma").Name(), "");
    EXPECT_EQ(FindUser(users, "").Name(), "");
    EXPECT_EQ(FindUser(users, "an").Name(), "");
    const CUserRecord dave = FindUser(users, "dave");
    EXPECT_EQ(dave.Password(), "pw");
    EXPECT_FALSE(dave.MayUpload());
    EXPECT_FALSE(dave.MayDownload());
}

TEST(FindUser, AShortLaterRecordChangesOnlyTheFieldsItHas) {
    // The password of the later record, the permissions of the earlier one.
    const CUserList users = ParseUserList({"ann,pw,1,1", "ann,pw2,x"});
    const CUserRecord ann = FindUser(users, "ann");
    EXPECT_EQ(ann.Password(), "pw2");
    EXPECT_TRUE(ann.MayUpload());
    EXPECT_TRUE(ann.MayDownload());
    // An empty password is a password; a name alone changes nothing.
    const CUserRecord bob = FindUser(ParseUserList({"bob,secret,0,1", "bob,,"}), "bob");
    EXPECT_EQ(bob.Password(), "");
    EXPECT_TRUE(bob.MayDownload());
    const CUserRecord carl = FindUser(ParseUserList({"carl,secret,0,1", "carl,other"}), "carl");
    EXPECT_EQ(carl.Password(), "secret");
}

namespace {

// A byte string of up to 40 bytes, drawn mostly from the bytes a record
// gives meaning to (commas, '=', quotes, spaces, '1', '0'), with any byte
// (non-UTF-8 ones too) among them.
std::string RandomBytes(std::mt19937& rRandom) {
    static const std::string kMeaningful = ",,,==\"' 10\\$\t";
    std::uniform_int_distribution<int> length(0, 40);
    std::uniform_int_distribution<int> kind(0, 2);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<size_t> pick(0, kMeaningful.size() - 1);
    std::string strBytes;
    for (int n = length(rRandom); n > 0; --n)
        strBytes +=
            kind(rRandom) == 0 ? static_cast<char>(byte(rRandom)) : kMeaningful[pick(rRandom)];
    return strBytes;
}

} // namespace

TEST(Records, EveryPasswordAndLocalFolderReadsBackAsWritten) {
    std::mt19937 random(20240601);
    for (int i = 0; i < 5000; ++i) {
        const std::string strBytes = RandomBytes(random);
        const bool bUpload = i % 2 == 0;
        const bool bDownload = i % 3 == 0;
        const CUserRecord user =
            CUserRecord::Parse(CUserRecord::Make("ana", strBytes, bUpload, bDownload).Text());
        ASSERT_EQ(user.Name(), "ana");
        ASSERT_EQ(user.Password(), strBytes);
        ASSERT_EQ(user.MayUpload(), bUpload);
        ASSERT_EQ(user.MayDownload(), bDownload);
        const CFolderRecord folder =
            CFolderRecord::Parse(CFolderRecord::Make("/v", strBytes, bUpload, bDownload).Text());
        ASSERT_EQ(folder.VirtualPath(), "/v");
        ASSERT_EQ(folder.RealPath(), strBytes);
        ASSERT_EQ(folder.MayUpload(), bUpload);
        ASSERT_EQ(folder.MayDownload(), bDownload);
    }
}
