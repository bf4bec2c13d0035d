#include "ftp/UserFolders.h"
#include "ftp/VirtualPath.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

TEST(UserFolders, OnlyNamesThatStayInTheirParentStandForTheUser) {
    for (const std::string& strName :
         {std::string("ana"), std::string("ana.gil"), std::string("ana gil"), std::string(".ana"),
          std::string("ana."), std::string("\xC3\xB1u"), std::string("%u"), std::string(255, 'a')})
        EXPECT_TRUE(CUserFolders::IsUsableName(strName)) << strName;
    for (const std::string& strName :
         {std::string(), std::string("."), std::string(".."), std::string("/"),
          std::string("ana/bea"), std::string("../ana"), std::string("ana/.."), std::string("a..b"),
          std::string("ana\0bea", 7), std::string(256, 'a')})
        EXPECT_FALSE(CUserFolders::IsUsableName(strName)) << strName;
}

TEST(UserFolders, TheUsersNameReplacesEveryPlaceholderOfALocalPath) {
    const CFolderMap source =
        ParseFolderMap({"/=/srv/%u/,1,1", "/pub=/srv/pub/,0,1", "/in=/in/%u-%u/x,1,0",
                        "/c=/srv/a,%u/,0,1", "/%u=/v/,1,1", "sin igual"});
    EXPECT_TRUE(CUserFolders::UsesUserName(source));
    EXPECT_FALSE(CUserFolders::UsesUserName(ParseFolderMap({"/%u=/v/,1,1", "/=/srv/,1,1"})));
    const CFolderMap map = CUserFolders::Substitute(source, "ana");
    ASSERT_EQ(map.size(), source.size());
    EXPECT_EQ(map[0].RealPath(), "/srv/ana/");
    EXPECT_TRUE(map[0].MayUpload() && map[0].MayDownload());
    EXPECT_EQ(map[1], source[1]);
    EXPECT_EQ(map[2].RealPath(), "/in/ana-ana/x");
    EXPECT_TRUE(map[2].MayUpload());
    EXPECT_FALSE(map[2].MayDownload());
    // A local folder with a comma keeps its permissions apart.
    EXPECT_EQ(map[3].RealPath(), "/srv/a,ana/");
    EXPECT_FALSE(map[3].MayUpload());
    EXPECT_TRUE(map[3].MayDownload());
    // Only local paths name the user: a virtual "%u" is just a name.
    EXPECT_EQ(map[4].VirtualPath(), "/%u");
    EXPECT_EQ(map[5], source[5]);
    EXPECT_EQ(MapToRealPath(map, "/docs/a.txt"), "/srv/ana/docs/a.txt");
    EXPECT_EQ(MapToRealPath(map, "/pub/a.txt"), "/srv/pub/a.txt");
    // A name that could leave its parent reaches nothing at all.
    for (const char* pszName : {"..", "../bea", ""}) {
        const CFolderMap none = CUserFolders::Substitute(source, pszName);
        EXPECT_TRUE(none.empty()) << pszName;
        EXPECT_EQ(MapToRealPath(none, "/pub/a.txt"), "") << pszName;
    }
}

TEST(UserFolders, ASessionsMapFollowsModeSettingsAndName) {
    CServerSettings settings;
    settings.m_folderMap = ParseFolderMap({"/=/srv/%u/,1,1"});
    CUserFolders folders;
    // The classic mode reads "%u" as text: the settings' own map.
    EXPECT_EQ(&folders.Map(settings, false, "ana"), &settings.m_folderMap);
    const CFolderMap* pMap = &folders.Map(settings, true, "ana");
    EXPECT_EQ(MapToRealPath(*pMap, "/x"), "/srv/ana/x");
    // Kept while nothing changes, not made again at each command.
    const CFolderRecord* pFirst = pMap->data();
    EXPECT_EQ(folders.Map(settings, true, "ana").data(), pFirst);
    EXPECT_EQ(MapToRealPath(folders.Map(settings, true, "bea"), "/x"), "/srv/bea/x");
    // Before a login no one's folder is reached.
    EXPECT_TRUE(folders.Map(settings, true, "").empty());
    // A map applied meanwhile reaches the next command.
    settings.m_folderMap = ParseFolderMap({"/=/home/%u/,0,1"});
    EXPECT_EQ(MapToRealPath(folders.Map(settings, true, "ana"), "/x"), "/home/ana/x");
    EXPECT_FALSE(folders.Map(settings, true, "ana")[0].MayUpload());
    settings.m_folderMap = ParseFolderMap({"/=/srv/all/,1,1"});
    EXPECT_EQ(&folders.Map(settings, true, "ana"), &settings.m_folderMap);
}

class UserFolderMaking : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = fs::temp_directory_path() / ("skerrow-userdirs-" + std::to_string(getpid()));
        fs::remove_all(m_root);
        fs::create_directories(m_root / "ftp");
        m_strTemplate = (m_root / "ftp").string() + "/%u/";
    }
    void TearDown() override { fs::remove_all(m_root); }

    static mode_t ModeOf(const fs::path& path) {
        struct stat info {};
        EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
        return info.st_mode;
    }
    CUserFolders::Made Make(const std::string& strTemplate, const std::string& strUser) {
        m_strWhy.clear();
        return CUserFolders::MakeFolder(strTemplate, strUser, m_strFolder, m_strWhy);
    }

    fs::path m_root;
    std::string m_strTemplate;
    std::string m_strFolder;
    std::string m_strWhy;
};

TEST_F(UserFolderMaking, TheMissingFolderIsMadeWithItsModeWhateverTheUmask) {
    const mode_t previous = umask(077);
    const CUserFolders::Made made = Make(m_strTemplate, "ana");
    umask(previous);
    EXPECT_EQ(made, CUserFolders::Made::Made) << m_strWhy;
    EXPECT_EQ(m_strFolder, (m_root / "ftp" / "ana").string());
    EXPECT_TRUE(S_ISDIR(ModeOf(m_root / "ftp" / "ana")));
    EXPECT_EQ(ModeOf(m_root / "ftp" / "ana") & 07777, 0750u);
    // There already: left as it is.
    fs::permissions(m_root / "ftp" / "ana", fs::perms::owner_all);
    EXPECT_EQ(Make(m_strTemplate, "ana"), CUserFolders::Made::Already);
    EXPECT_EQ(ModeOf(m_root / "ftp" / "ana") & 07777, 0700u);
    // Only the component "%u" names: what lies below it is the user's.
    EXPECT_EQ(Make(m_strTemplate + "entrada/", "bea"), CUserFolders::Made::Made);
    EXPECT_TRUE(fs::is_directory(m_root / "ftp" / "bea"));
    EXPECT_FALSE(fs::exists(m_root / "ftp" / "bea" / "entrada"));
    EXPECT_EQ(Make((m_root / "ftp").string() + "/casa-%u", "eva"), CUserFolders::Made::Made);
    EXPECT_TRUE(fs::is_directory(m_root / "ftp" / "casa-eva"));
    // A path without "%u" names no one's folder.
    EXPECT_EQ(Make((m_root / "ftp").string() + "/", "ana"), CUserFolders::Made::Already);
}

TEST_F(UserFolderMaking, ALinkInItsPlaceIsNeverFollowedAndNoNameLeavesTheParent) {
    fs::create_directories(m_root / "other");
    fs::permissions(m_root / "other", fs::perms::owner_all);
    fs::create_directory_symlink(m_root / "other", m_root / "ftp" / "eve");
    EXPECT_EQ(Make(m_strTemplate, "eve"), CUserFolders::Made::Already);
    EXPECT_TRUE(S_ISLNK(ModeOf(m_root / "ftp" / "eve")));
    EXPECT_EQ(ModeOf(m_root / "other") & 07777, 0700u);
    EXPECT_TRUE(fs::is_empty(m_root / "other"));
    for (const char* pszName : {"..", "../other", "."}) {
        EXPECT_EQ(Make(m_strTemplate, pszName), CUserFolders::Made::Failed) << pszName;
        EXPECT_FALSE(m_strWhy.empty());
    }
    EXPECT_TRUE(fs::is_empty(m_root / "other"));
    // A parent that is not there: nothing made, and the system's reason.
    EXPECT_EQ(Make((m_root / "missing").string() + "/%u/", "ana"), CUserFolders::Made::Failed);
    EXPECT_FALSE(m_strWhy.empty());
    EXPECT_FALSE(fs::exists(m_root / "missing"));
}
