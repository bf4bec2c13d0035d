#include "config/SettingsStore.h"

#include <QSettings>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace fs = std::filesystem;

class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_file = fs::path(getenv("XDG_CONFIG_HOME")) / "Orvane" / "skerrow.conf";
        fs::remove(m_file);
        fs::remove_all(fs::path(getenv("HOME")) / "Public");
    }
    void TearDown() override { fs::remove(m_file); }

    void WriteFile(const std::string& strText) {
        fs::create_directories(m_file.parent_path());
        std::ofstream(m_file) << strText;
    }
    QVariant Stored(const char* pszKey) {
        QSettings file(QString::fromStdString(m_file.string()), QSettings::IniFormat);
        return file.value(pszKey);
    }

    fs::path m_file;
};

TEST_F(SettingsStoreTest, FirstStartLoadsDefaultsAndExitStoresThem) {
    CServerSettings settings;
    CSettingsStore::Load(settings);
    EXPECT_EQ(settings.m_nPort, 21);
    EXPECT_EQ(settings.m_nTimeout, 100);
    EXPECT_EQ(settings.m_nLogLevel, 1);
    EXPECT_EQ(settings.m_nHide, 0);
    ASSERT_EQ(settings.m_users.size(), 1u);
    EXPECT_EQ(settings.m_users[0].Text(), "anonymous,,0,1");
    std::string strPublic = (fs::path(getenv("HOME")) / "Public").string();
    ASSERT_EQ(settings.m_folderMap.size(), 1u);
    EXPECT_EQ(settings.m_folderMap[0].Text(), "/=" + strPublic + "/,1,1");
    // The published default folder is made when missing.
    EXPECT_TRUE(fs::is_directory(strPublic));

    CSettingsStore::Save(settings);
    ASSERT_TRUE(fs::exists(m_file));
    struct stat info {};
    ASSERT_EQ(stat(m_file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(Stored("Config/Port").toInt(), 21);
    EXPECT_EQ(Stored("Config/Timeout").toInt(), 100);
    EXPECT_EQ(Stored("Config/LogLevel").toInt(), 1);
    EXPECT_EQ(Stored("Config/Hide").toInt(), 0);
    EXPECT_EQ(Stored("Users/UserCount").toInt(), 1);
    EXPECT_EQ(Stored("Users/User0").toString(), "anonymous,,0,1");
    EXPECT_EQ(Stored("Mapping/MapCount").toInt(), 1);
}

TEST_F(SettingsStoreTest, ShrunkListsLeaveOldValuesUnread) {
    CServerSettings settings;
    CSettingsStore::Load(settings);
    settings.m_users = ParseUserList({"a,1,1,1", "b,2,1,1", "c,3,1,1"});
    settings.m_nPort = 2121;
    CSettingsStore::Save(settings);
    settings.m_users = ParseUserList({"z,9,0,0"});
    CSettingsStore::Save(settings);
    EXPECT_EQ(Stored("Users/UserCount").toInt(), 1);
    EXPECT_EQ(Stored("Users/User0").toString(), "z,9,0,0");
    EXPECT_EQ(Stored("Users/User1").toString(), "b,2,1,1");
    EXPECT_EQ(Stored("Users/User2").toString(), "c,3,1,1");
    CServerSettings loaded;
    CSettingsStore::Load(loaded);
    EXPECT_EQ(RecordTexts(loaded.m_users), std::vector<std::string>{"z,9,0,0"});
    EXPECT_EQ(loaded.m_nPort, 2121);
}

TEST_F(SettingsStoreTest, MissingIndexedValuesBecomeEmptyStrings) {
    WriteFile("[Users]\nUserCount=2\nUser0=\"ann,pw,1,1\"\n"
              "[Mapping]\nMapCount=1\nMap0=\"/=/srv/,0,1\"\n");
    CServerSettings settings;
    CSettingsStore::Load(settings);
    EXPECT_EQ(RecordTexts(settings.m_users), (std::vector<std::string>{"ann,pw,1,1", ""}));
    EXPECT_EQ(RecordTexts(settings.m_folderMap), std::vector<std::string>{"/=/srv/,0,1"});
}

TEST_F(SettingsStoreTest, NegativeCountsLoadEmptyListsWithoutDefaults) {
    WriteFile("[Users]\nUserCount=-1\n[Mapping]\nMapCount=-3\n");
    CServerSettings settings;
    CSettingsStore::Load(settings);
    EXPECT_TRUE(settings.m_users.empty());
    EXPECT_TRUE(settings.m_folderMap.empty());
}

TEST_F(SettingsStoreTest, AnEmptyUserListComesBackAsTheDefaultAccount) {
    CServerSettings settings;
    CSettingsStore::Load(settings);
    settings.m_users.clear();
    CSettingsStore::Save(settings);
    EXPECT_EQ(Stored("Users/UserCount").toInt(), 0);
    CServerSettings loaded;
    CSettingsStore::Load(loaded);
    EXPECT_EQ(RecordTexts(loaded.m_users), std::vector<std::string>{"anonymous,,0,1"});
}

TEST_F(SettingsStoreTest, HandEditedAndDamagedValues) {
    WriteFile("[Config]\nPort=abc\nTimeout=\nLogLevel=2\n"
              "[Users]\nUserCount=2\nUser0=bob,pw,1,0\nUser1=\n"
              "[Mapping]\nMapCount=1\nMap0=/=/srv/files/,1,1\n");
    CServerSettings settings;
    CSettingsStore::Load(settings);
    EXPECT_EQ(settings.m_nPort, 21);
    EXPECT_EQ(settings.m_nTimeout, 100);
    EXPECT_EQ(settings.m_nLogLevel, 2);
    // Unquoted texts with commas read back as written.
    EXPECT_EQ(RecordTexts(settings.m_users), (std::vector<std::string>{"bob,pw,1,0", ""}));
    EXPECT_EQ(RecordTexts(settings.m_folderMap), std::vector<std::string>{"/=/srv/files/,1,1"});

    WriteFile("\x01\x02 garbage [[[ \n=\n");
    CServerSettings garbage;
    CSettingsStore::Load(garbage);
    EXPECT_EQ(garbage.m_nPort, 21);
    EXPECT_EQ(garbage.m_users.size(), 1u);
}

TEST_F(SettingsStoreTest, TheExtendedGroupIsOffByDefaultAndRoundTrips) {
    // A file of the classic groups only: the extended mode is off.
    WriteFile("[Config]\nPort=2121\n[Users]\nUserCount=1\nUser0=\"a,,1,1\"\n"
              "[Mapping]\nMapCount=1\nMap0=\"/=/srv/,1,1\"\n");
    CServerSettings settings;
    std::vector<std::string> defaulted;
    CSettingsStore::Load(settings, &defaulted);
    EXPECT_TRUE(defaulted.empty());
    EXPECT_FALSE(settings.m_extended.m_bEnabled);
    EXPECT_EQ(settings.m_extended.m_nTlsSessionReuse, 1);
    EXPECT_EQ(settings.m_extended.m_nMaxPerAddress, 0);
    EXPECT_EQ(settings.m_extended.m_nMaxConnections, 0);
    EXPECT_FALSE(settings.m_extended.m_bProxyProtocol);
    EXPECT_EQ(settings.m_extended.m_strProxyFrom, "127.0.0.1");

    settings.m_extended.m_bEnabled = true;
    settings.m_extended.m_nPassivePortMin = 50000;
    settings.m_extended.m_nPassivePortMax = 50100;
    settings.m_extended.m_strPassiveAddress = "203.0.113.7";
    settings.m_extended.m_nTlsMode = 2;
    settings.m_extended.m_strTlsCertificate = "/etc/ssl/a.pem";
    settings.m_extended.m_strTlsKey = "/etc/ssl/a.key";
    settings.m_extended.m_nTlsSessionReuse = 0;
    settings.m_extended.m_nMaxPerAddress = 8;
    settings.m_extended.m_nMaxConnections = 500;
    settings.m_extended.m_bProxyProtocol = true;
    settings.m_extended.m_strProxyFrom = "10.0.0.2, 10.0.0.3";
    CSettingsStore::Save(settings);
    EXPECT_EQ(Stored("Extended/Enabled").toInt(), 1);
    EXPECT_EQ(Stored("Config/Port").toInt(), 2121);

    CServerSettings loaded;
    CSettingsStore::Load(loaded);
    const CExtendedSettings& r = loaded.m_extended;
    EXPECT_TRUE(r.m_bEnabled);
    EXPECT_EQ(r.m_nPassivePortMin, 50000);
    EXPECT_EQ(r.m_nPassivePortMax, 50100);
    EXPECT_EQ(r.m_strPassiveAddress, "203.0.113.7");
    EXPECT_EQ(r.m_nTlsMode, 2);
    EXPECT_EQ(r.m_strTlsCertificate, "/etc/ssl/a.pem");
    EXPECT_EQ(r.m_strTlsKey, "/etc/ssl/a.key");
    EXPECT_EQ(r.m_nTlsSessionReuse, 0);
    EXPECT_EQ(r.m_nMaxPerAddress, 8);
    EXPECT_EQ(r.m_nMaxConnections, 500);
    EXPECT_EQ(Stored("Extended/MaxConnections").toInt(), 500);
    EXPECT_TRUE(r.m_bProxyProtocol);
    // A list with commas comes back whole, written by Skerrow or by hand.
    EXPECT_EQ(r.m_strProxyFrom, "10.0.0.2, 10.0.0.3");
}

TEST_F(SettingsStoreTest, TheImplicitTlsPortRoundTripsAndOnlyATcpPortIsTaken) {
    CServerSettings settings;
    CSettingsStore::Load(settings);
    EXPECT_EQ(settings.m_extended.m_nImplicitTlsPort, 0);
    settings.m_extended.m_nImplicitTlsPort = 990;
    CSettingsStore::Save(settings);
    EXPECT_EQ(Stored("Extended/ImplicitTlsPort").toInt(), 990);
    CServerSettings loaded;
    CSettingsStore::Load(loaded);
    EXPECT_EQ(loaded.m_extended.m_nImplicitTlsPort, 990);
    // Out of range or not a number: no port, and the key is named once.
    for (const char* pszValue : {"65536", "-990", "990x", ""}) {
        WriteFile(std::string("[Extended]\nEnabled=1\nImplicitTlsPort=") + pszValue + "\n");
        CServerSettings bad;
        std::vector<std::string> defaulted;
        CSettingsStore::Load(bad, &defaulted);
        EXPECT_EQ(bad.m_extended.m_nImplicitTlsPort, 0) << pszValue;
        EXPECT_EQ(defaulted, std::vector<std::string>{"ImplicitTlsPort"}) << pszValue;
    }
    WriteFile("[Extended]\nEnabled=1\nImplicitTlsPort=65535\n");
    CServerSettings highest;
    CSettingsStore::Load(highest);
    EXPECT_EQ(highest.m_extended.m_nImplicitTlsPort, 65535);
}

TEST_F(SettingsStoreTest, TheLoginsGroupRoundTripsAndBadValuesAreNamed) {
    CServerSettings settings;
    std::vector<std::string> defaulted;
    CSettingsStore::Load(settings, &defaulted);
    EXPECT_TRUE(defaulted.empty());
    EXPECT_EQ(settings.m_logins.m_nBanAfter, 10);
    EXPECT_EQ(settings.m_logins.m_nBanMinutes, 15);
    EXPECT_EQ(settings.m_logins.m_strAllow, "");
    EXPECT_EQ(settings.m_logins.m_strDeny, "");
    settings.m_logins.m_nBanAfter = 0;
    settings.m_logins.m_nBanMinutes = 10000;
    settings.m_logins.m_strAllow = "192.0.2.0/24, 2001:db8::/32";
    settings.m_logins.m_strDeny = "192.0.2.7";
    CSettingsStore::Save(settings);
    EXPECT_EQ(Stored("Logins/Deny").toString(), QStringLiteral("192.0.2.7"));
    EXPECT_EQ(Stored("Logins/BanAfter").toInt(), 0);
    EXPECT_EQ(Stored("Logins/BanMinutes").toInt(), 10000);
    // The test-only ban time is never written.
    EXPECT_FALSE(Stored("Logins/TestBanSeconds").isValid());
    CServerSettings loaded;
    CSettingsStore::Load(loaded);
    EXPECT_EQ(loaded.m_logins.m_nBanAfter, 0);
    EXPECT_EQ(loaded.m_logins.m_nBanMinutes, 10000);
    EXPECT_EQ(loaded.m_logins.m_strAllow, "192.0.2.0/24, 2001:db8::/32");
    EXPECT_EQ(loaded.m_logins.m_strDeny, "192.0.2.7");
    // Written by hand without quotes, a list with commas comes back whole.
    WriteFile("[Logins]\nAllow=10.0.0.0/8,::1\n");
    CServerSettings hand;
    CSettingsStore::Load(hand);
    EXPECT_EQ(hand.m_logins.m_strAllow, "10.0.0.0/8,::1");

    // Not a number, negative, above 10,000: the default, and the name.
    for (const char* pszBad : {"many", "-1", "10001", "99999999999"}) {
        WriteFile(std::string("[Logins]\nBanAfter=") + pszBad + "\nBanMinutes=5\n");
        CServerSettings damaged;
        defaulted.clear();
        CSettingsStore::Load(damaged, &defaulted);
        EXPECT_EQ(damaged.m_logins.m_nBanAfter, 10) << pszBad;
        EXPECT_EQ(damaged.m_logins.m_nBanMinutes, 5) << pszBad;
        EXPECT_EQ(defaulted, std::vector<std::string>{"BanAfter"}) << pszBad;
    }
}

TEST_F(SettingsStoreTest, MakeUserFoldersRoundTripsAndABadValueIsNamed) {
    CServerSettings settings;
    CSettingsStore::Load(settings);
    EXPECT_FALSE(settings.m_extended.m_bMakeUserFolders);
    settings.m_extended.m_bMakeUserFolders = true;
    CSettingsStore::Save(settings);
    EXPECT_EQ(Stored("Extended/MakeUserFolders").toInt(), 1);
    CServerSettings loaded;
    CSettingsStore::Load(loaded);
    EXPECT_TRUE(loaded.m_extended.m_bMakeUserFolders);
    // Only 0 and 1: anything else is the default, and named.
    for (const char* pszBad : {"yes", "2", "-1"}) {
        WriteFile(std::string("[Extended]\nMakeUserFolders=") + pszBad + "\n");
        CServerSettings damaged;
        std::vector<std::string> defaulted;
        CSettingsStore::Load(damaged, &defaulted);
        EXPECT_FALSE(damaged.m_extended.m_bMakeUserFolders) << pszBad;
        EXPECT_EQ(defaulted, std::vector<std::string>{"MakeUserFolders"}) << pszBad;
    }
}

TEST_F(SettingsStoreTest, TheLimitsGroupRoundTripsAndBadRatesAreNamedAndUnlimited) {
    CServerSettings settings;
    std::vector<std::string> defaulted;
    CSettingsStore::Load(settings, &defaulted);
    EXPECT_TRUE(defaulted.empty());
    EXPECT_EQ(settings.m_limits.m_nDownload, 0);
    EXPECT_EQ(settings.m_limits.m_nUpload, 0);
    EXPECT_TRUE(settings.m_limits.m_users.empty());

    settings.m_limits.m_nDownload = 2048;
    settings.m_limits.m_nUpload = CLimitSettings::kMaxRate;
    settings.m_limits.SetUser("ana", {500, 0});
    settings.m_limits.SetUser("ana maria", {1, 2});
    CSettingsStore::Save(settings);
    EXPECT_EQ(Stored("Limits/Download").toInt(), 2048);
    EXPECT_EQ(Stored("Limits/User.ana").toString(), "500,0");
    CServerSettings reread;
    CSettingsStore::Load(reread, &defaulted);
    EXPECT_TRUE(defaulted.empty());
    EXPECT_EQ(reread.m_limits.m_nDownload, 2048);
    EXPECT_EQ(reread.m_limits.m_nUpload, CLimitSettings::kMaxRate);
    EXPECT_EQ(reread.m_limits.m_users, settings.m_limits.m_users);
    // A user whose limits go back to none leaves the file.
    reread.m_limits.SetUser("ana", {0, 0});
    CSettingsStore::Save(reread);
    EXPECT_FALSE(Stored("Limits/User.ana").isValid());

    // Hand-written: unquoted pairs read too; not numbers, negative or above
    // the highest rate are no limit, each named once.
    WriteFile("[Limits]\nDownload=fast\nUpload=10000001\nUser.ana=300,200\n"
              "User.bob=-5,7\nUser.eva=12\nUser.luis=1,2,3\n");
    CServerSettings damaged;
    defaulted.clear();
    CSettingsStore::Load(damaged, &defaulted);
    EXPECT_EQ(damaged.m_limits.m_nDownload, 0);
    EXPECT_EQ(damaged.m_limits.m_nUpload, 0);
    EXPECT_EQ(damaged.m_limits.ForUser("ana"), (CLimitSettings::SPair{300, 200}));
    EXPECT_EQ(damaged.m_limits.ForUser("bob"), (CLimitSettings::SPair{0, 7}));
    EXPECT_EQ(damaged.m_limits.ForUser("eva"), (CLimitSettings::SPair{12, 0}));
    std::sort(defaulted.begin(), defaulted.end());
    EXPECT_EQ(defaulted, (std::vector<std::string>{"Download", "Upload", "User.bob", "User.eva",
                                                   "User.luis"}));
}
