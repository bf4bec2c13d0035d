#include "ftp/VirtualPath.h"
#include "ftp/FtpTables.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <unistd.h>

namespace {

std::string Resolve(const std::string& strBase, const std::string& strParameter) {
    std::string strPath = strBase;
    EXPECT_TRUE(ResolvePath(strPath, strParameter));
    return strPath;
}

// The path rules applied literally, first occurrence first: the reference
// the one-pass resolution must agree with.
std::string ResolveLiterally(const std::string& strBase, std::string strParam) {
    for (char& ch : strParam)
        if (ch == '\\')
            ch = '/';
    std::string strPath = strParam[0] == '/'      ? strParam
                          : strBase.back() == '/' ? strBase + strParam
                                                  : strBase + "/" + strParam;
    if (strPath.back() != '/')
        strPath += '/';
    size_t nPos;
    while ((nPos = strPath.find("//")) != std::string::npos)
        strPath.erase(nPos, 1);
    while ((nPos = strPath.find("/./")) != std::string::npos)
        strPath.replace(nPos, 3, "/");
    while ((nPos = strPath.find("/../")) != std::string::npos) {
        if (nPos == 0) {
            strPath.erase(0, 3);
            continue;
        }
        size_t n = nPos - 1;
        while (n > 0 && strPath[n] != '/')
            --n;
        strPath = strPath.substr(0, n) + strPath.substr(nPos + 3);
    }
    return strPath;
}

} // namespace

TEST(ResolvePath, RelativeAbsoluteAndDotComponents) {
    EXPECT_EQ(Resolve("/", "windows"), "/windows/");
    EXPECT_EQ(Resolve("/pub/", "a/b"), "/pub/a/b/");
    EXPECT_EQ(Resolve("/pub", "a"), "/pub/a/");
    EXPECT_EQ(Resolve("/pub/", "/x"), "/x/");
    EXPECT_EQ(Resolve("/x/y/", "/a/./b/../c"), "/a/c/");
    EXPECT_EQ(Resolve("/pub/", ".."), "/");
    EXPECT_EQ(Resolve("/", ".."), "/");
    EXPECT_EQ(Resolve("/", "../../../etc"), "/etc/");
    EXPECT_EQ(Resolve("/a/", "..\\x"), "/x/");
    EXPECT_EQ(Resolve("/", "a\\b\\c"), "/a/b/c/");
    EXPECT_EQ(Resolve("/", "././."), "/");
}

TEST(ResolvePath, DoubledSeparatorsCollapseAndManyDotsStay) {
    EXPECT_EQ(Resolve("/", "a//b"), "/a/b/");
    EXPECT_EQ(Resolve("/", "//drop/f"), "/drop/f/");
    EXPECT_EQ(Resolve("/pub/", "x///"), "/pub/x/");
    EXPECT_EQ(Resolve("/", "\\\\ro\\f"), "/ro/f/");
    EXPECT_EQ(Resolve("/", "/./ro//./f"), "/ro/f/");
    EXPECT_EQ(Resolve("/", "a//..//ro"), "/ro/");
    EXPECT_EQ(Resolve("/", "...//"), "/.../");
    EXPECT_EQ(Resolve("/", "a/...."), "/a/..../");
    EXPECT_EQ(Resolve("/", "c:"), "/c:/");
}

TEST(ResolvePath, RefusesEmptyParameterOrBase) {
    std::string strBase = "/pub/";
    EXPECT_FALSE(ResolvePath(strBase, ""));
    EXPECT_EQ(strBase, "/pub/");
    std::string strEmpty;
    EXPECT_FALSE(ResolvePath(strEmpty, "x"));
    EXPECT_EQ(strEmpty, "");
}

TEST(ResolvePath, AgreesWithTheLiteralRulesOnRandomPaths) {
    std::mt19937 random(12345);
    const char* const pieces[] = {"a", "b", ".", "..", "...", "/", "\\", "//", "x.y", "./", "../"};
    for (int i = 0; i < 20000; ++i) {
        std::string strParam;
        int nPieces = 1 + static_cast<int>(random() % 8);
        for (int k = 0; k < nPieces; ++k)
            strParam += pieces[random() % std::size(pieces)];
        std::string strBase = i % 3 == 0 ? "/" : i % 3 == 1 ? "/p/q/" : "/p/q/r/";
        ASSERT_EQ(Resolve(strBase, strParam), ResolveLiterally(strBase, strParam))
            << "base " << strBase << " parameter " << strParam;
    }
}

TEST(ResolvePath, LongHostileLinesResolveInLinearTime) {
    std::string strParam;
    for (int i = 0; i < 20000; ++i)
        strParam += "/./a/..";
    EXPECT_EQ(Resolve("/", strParam), "/");
}

TEST(FindFolder, LongestGoverningEntryWins) {
    CFolderMap map = ParseFolderMap({"/=/r/,1,1", "/pub=/p/,0,1", "/pub/docs=/d/,1,0"});
    EXPECT_EQ(FindFolder(map, "/pub/x/").VirtualPath(), "/pub");
    EXPECT_EQ(FindFolder(map, "/pub").RealPath(), "/p/");
    EXPECT_EQ(FindFolder(map, "/pub/docs/a/b").RealPath(), "/d/");
    EXPECT_EQ(FindFolder(map, "/public/").VirtualPath(), "/");
    EXPECT_EQ(FindFolder(map, "/").VirtualPath(), "/");
}

TEST(FindFolder, BoundariesOrderAndNoMatch) {
    CFolderMap map = ParseFolderMap({"/doc=/1/,1,1", "/docs=/2/,1,1", "/doc=/3/,0,0", "broken"});
    EXPECT_EQ(FindFolder(map, "/doc/a").RealPath(), "/1/");
    EXPECT_EQ(FindFolder(map, "/docs/a").RealPath(), "/2/");
    EXPECT_EQ(FindFolder(map, "/doc").RealPath(), "/1/");
    CFolderRecord none = FindFolder(map, "/other/");
    EXPECT_EQ(none.VirtualPath(), "");
    EXPECT_FALSE(none.MayUpload());
    EXPECT_FALSE(none.MayDownload());
    // An intermediate component of an entry is not governed by it.
    EXPECT_EQ(FindFolder(ParseFolderMap({"/a/b=/ab/,1,1"}), "/a/").VirtualPath(), "");
    EXPECT_EQ(FindFolder(ParseFolderMap({"/=/r/,1,1", "/a/b=/ab/,1,1"}), "/a/").VirtualPath(), "/");
    // An entry that ends in "/" governs whatever follows it.
    EXPECT_EQ(FindFolder(ParseFolderMap({"/x/=/x/,1,1"}), "/x/y").RealPath(), "/x/");
}

TEST(FindFolder, EachEntryIsReadAloneAndOneWithoutLocalFolderGovernsNothing) {
    // A hand-edited entry without flags takes nothing from the entry
    // matched before it: its permissions are refused.
    CFolderMap map = ParseFolderMap({"/=/r/,1,1", "/a=/A/,1,1", "/a/b=/B/"});
    CFolderRecord record = FindFolder(map, "/a/b/f");
    EXPECT_EQ(record.VirtualPath(), "/a");
    EXPECT_EQ(record.RealPath(), "/A/");
    // ... and with no comma at all it has no local folder: /a governs.
    EXPECT_EQ(MapToRealPath(map, "/a/b/f"), "/A/b/f");
    record = FindFolder(ParseFolderMap({"/=/r/,1,1", "/a=/A/,1,1", "/a/b=/B/,1"}), "/a/b/f");
    EXPECT_EQ(record.RealPath(), "/B/");
    EXPECT_FALSE(record.MayUpload());
    EXPECT_FALSE(record.MayDownload());
    // An empty local path never maps to the file system's root.
    for (const char* pszEntry : {"/e=,1,1", "/e=", "/e"}) {
        CFolderMap withEmpty = ParseFolderMap({"/=/r/,0,1", pszEntry});
        EXPECT_EQ(MapToRealPath(withEmpty, "/e/etc/passwd"), "/r/e/etc/passwd") << pszEntry;
        EXPECT_FALSE(FindFolder(withEmpty, "/e/x").MayUpload()) << pszEntry;
        EXPECT_EQ(MapToRealPath(ParseFolderMap({pszEntry}), "/e/etc/passwd"), "") << pszEntry;
    }
}

TEST(MapToRealPath, JoinsTheRestToTheLocalFolder) {
    CFolderMap map = ParseFolderMap({"/=/srv/root/,1,1", "/pub=/srv/files,1,1"});
    EXPECT_EQ(MapToRealPath(map, "/"), "/srv/root/");
    EXPECT_EQ(MapToRealPath(map, "/windows/"), "/srv/root/windows/");
    EXPECT_EQ(MapToRealPath(map, "/pub/a/b.txt"), "/srv/files/a/b.txt");
    EXPECT_EQ(MapToRealPath(map, "/pub"), "/srv/files/");
    EXPECT_EQ(MapToRealPath(map, "/pub/"), "/srv/files/");
    EXPECT_EQ(MapToRealPath(ParseFolderMap({"/pub=/p/,1,1"}), "/other"), "");
}

TEST(CheckAccess, NeedsBothUserAndFolderFlags) {
    CServerSettings settings;
    settings.m_users = ParseUserList({"up,,1,0", "down,,0,1", "both,,1,1", "none,,0,0"});
    settings.m_folderMap = ParseFolderMap({"/=/r/,1,1", "/ro=/ro/,0,1", "/wo=/wo/,1,0"});
    const AccessClass upload = AccessClass::Upload;
    const AccessClass download = AccessClass::Download;
    EXPECT_TRUE(CheckAccess(settings, "up", upload, "/x"));
    EXPECT_FALSE(CheckAccess(settings, "down", upload, "/x"));
    EXPECT_FALSE(CheckAccess(settings, "both", upload, "/ro/x"));
    EXPECT_TRUE(CheckAccess(settings, "both", upload, "/wo/x"));
    EXPECT_FALSE(CheckAccess(settings, "ghost", upload, "/x"));
    EXPECT_TRUE(CheckAccess(settings, "down", download, "/x"));
    EXPECT_FALSE(CheckAccess(settings, "up", download, "/x"));
    EXPECT_FALSE(CheckAccess(settings, "both", download, "/wo/x"));
    EXPECT_TRUE(CheckAccess(settings, "both", download, "/ro/x"));
    // Moving around and listing need no permission at all.
    for (const char* pszUser : {"none", "ghost"})
        EXPECT_TRUE(CheckAccess(settings, pszUser, AccessClass::None, "/nowhere/"));
    settings.m_folderMap.clear();
    EXPECT_FALSE(CheckAccess(settings, "both", download, "/x"));
    EXPECT_FALSE(CheckAccess(settings, "both", upload, "/x"));
}

TEST(ChangeDirectory, FollowsExistingLocalFoldersOnly) {
    std::filesystem::path root =
        std::filesystem::temp_directory_path() / ("skerrow-cd-" + std::to_string(getpid()));
    std::filesystem::create_directories(root / "sub");
    CFolderMap map = ParseFolderMap({"/=" + root.string() + "/,1,1"});
    std::string strCwd = "/";
    EXPECT_TRUE(ChangeDirectory(map, strCwd, "/sub/"));
    EXPECT_EQ(strCwd, "/sub/");
    EXPECT_EQ(std::filesystem::current_path(), root / "sub");
    EXPECT_FALSE(ChangeDirectory(map, strCwd, "/missing/"));
    EXPECT_EQ(strCwd, "/sub/");
    EXPECT_FALSE(ChangeDirectory(ParseFolderMap({"/pub=/p/,1,1"}), strCwd, "/x/"));
    std::filesystem::current_path("/");
    std::filesystem::remove_all(root);
}
