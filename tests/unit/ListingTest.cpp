#include "ftp/Listing.h"
#include "ftp/FtpTables.h"

#include <gtest/gtest.h>

#include <limits>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

tm SampleTime() {
    tm time{};
    time.tm_mon = 2;
    time.tm_mday = 5;
    time.tm_hour = 9;
    time.tm_min = 7;
    return time;
}

std::string ReadAll(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

TEST(ListingLine, LocalEntriesAlignWithFolderMapEntries) {
    tm time = SampleTime();
    EXPECT_EQ(FormatLocalEntry(false, false, 123, time, "a.txt"),
              "-rwx------   1 ftp      users        123 Mar 05 09:07 a.txt\n");
    EXPECT_EQ(FormatLocalEntry(false, true, 0, time, "ro"),
              "-r-x------   1 ftp      users          0 Mar 05 09:07 ro\n");
    EXPECT_EQ(FormatLocalEntry(true, false, 4096, time, "dir"),
              "drwx------   1 ftp      users       4096 Mar 05 09:07 dir\n");
    EXPECT_EQ(FormatLocalEntry(true, true, 0, time, "rodir"),
              "dr-x------   1 ftp      users          0 Mar 05 09:07 rodir\n");
    EXPECT_EQ(FormatFolderMapEntry(time, "pub"),
              "dr-x------   1 ftp      users          0 Mar 05 09:07 pub\n");
    // Sizes beyond 32 bits are shown in full; the column widens when needed.
    EXPECT_EQ(FormatLocalEntry(false, false, 5000000000LL, time, "big"),
              "-rwx------   1 ftp      users  5000000000 Mar 05 09:07 big\n");
    EXPECT_EQ(FormatLocalEntry(false, false, 123456789012LL, time, "huge"),
              "-rwx------   1 ftp      users  123456789012 Mar 05 09:07 huge\n");
    // The size column ends where the 0 of a folder-map line ends.
    std::string strLocal = FormatLocalEntry(false, false, 123, time, "x");
    std::string strMap = FormatFolderMapEntry(time, "x");
    EXPECT_EQ(strLocal.find(" Mar"), strMap.find(" Mar"));
}

// The line is made by hand for speed: the same bytes as the printf format
// it replaces, for every size (negative, 10 digits and more, the extremes)
// and every day, hour and minute (out of range ones too).
TEST(ListingLine, LocalEntriesAreThoseOfThePrintfFormat) {
    const auto printed = [](bool bDirectory, bool bReadOnly, long long nSize, const tm& time,
                            const char* pszName) {
        char szLine[256];
        static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        const char* pszMonth =
            time.tm_mon >= 0 && time.tm_mon < 12 ? kMonths[time.tm_mon] : kMonths[0];
        snprintf(szLine, sizeof szLine,
                 "%cr%cx------   1 ftp      users % 10lld %s %02d %02d:%02d %s\n",
                 bDirectory ? 'd' : '-', bReadOnly ? '-' : 'w', nSize, pszMonth, time.tm_mday,
                 time.tm_hour, time.tm_min, pszName);
        return std::string(szLine);
    };
    std::vector<long long> sizes = {0, INT64_MAX, INT64_MIN, INT64_MIN + 1, -1};
    // Every power of ten a 64-bit size holds (10^0 to 10^18), and around it.
    long long nPower = 1;
    for (int nExponent = 0; nExponent <= 18; ++nExponent) {
        for (long long nSize : {nPower - 1, nPower, nPower + 1, -nPower, -nPower + 1})
            sizes.push_back(nSize);
        if (nExponent < 18)
            nPower *= 10;
    }
    tm time = SampleTime();
    for (long long nSize : sizes)
        for (int nFlags = 0; nFlags < 4; ++nFlags)
            ASSERT_EQ(FormatLocalEntry(nFlags & 1, nFlags & 2, nSize, time, "f"),
                      printed(nFlags & 1, nFlags & 2, nSize, time, "f"))
                << nSize;
    for (int nMonth : {-1, 0, 11, 12})
        for (int nDay : {-5, 0, 1, 9, 10, 31, 99, 100, 12345})
            for (int nHour : {-1, 0, 9, 23, 100})
                for (int nMinute : {-1, 0, 7, 59, 100}) {
                    tm odd = time;
                    odd.tm_mon = nMonth;
                    odd.tm_mday = nDay;
                    odd.tm_hour = nHour;
                    odd.tm_min = nMinute;
                    ASSERT_EQ(FormatLocalEntry(false, false, 42, odd, "name with spaces"),
                              printed(false, false, 42, odd, "name with spaces"))
                        << nMonth << " " << nDay << " " << nHour << " " << nMinute;
                }
}

class BuildListingTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = fs::temp_directory_path() / ("skerrow-list-" + std::to_string(getpid()));
        fs::create_directories(m_root / "sub");
        std::ofstream(m_root / "file.txt") << "hello";
        std::ofstream(m_root / "ro.txt") << "x";
        chmod((m_root / "ro.txt").c_str(), 0444);
        fs::create_symlink(m_root / "file.txt", m_root / "link");
        fs::create_symlink(m_root / "missing", m_root / "dangling");
    }
    void TearDown() override { fs::remove_all(m_root); }

    CFolderMap Map() const {
        return ParseFolderMap({"/=" + m_root.string() + "/,1,1", "/pub/docs=/nowhere/,1,1",
                               "/pub/x=/n/,1,1", "/elsewhere/deep=/n/,1,1", "bad entry"});
    }
    fs::path m_root;
};

TEST_F(BuildListingTest, FolderMapLinesFirstThenEveryLocalEntry) {
    std::string strName = BuildListing(Map(), "/", CMD_NLST);
    ASSERT_FALSE(strName.empty());
    EXPECT_EQ(fs::path(strName).filename().string().substr(0, 3), "FLS");
    std::string strText = ReadAll(strName);
    fs::remove(strName);
    // One line per entry below the listed folder, named after its first
    // component (two entries below pub give two lines).
    EXPECT_EQ(strText.rfind("pub\npub\nelsewhere\n", 0), 0u) << strText;
    for (const char* pszName : {".", "..", "sub", "file.txt", "ro.txt", "link", "dangling"})
        EXPECT_NE(strText.find(std::string("\n") + pszName + "\n"), std::string::npos) << pszName;
    EXPECT_EQ(strText.find('\r'), std::string::npos);
}

TEST_F(BuildListingTest, ListLinesCarryAttributesAndSizes) {
    std::string strName = BuildListing(Map(), "/", CMD_LIST);
    ASSERT_FALSE(strName.empty());
    std::string strText = ReadAll(strName);
    fs::remove(strName);
    EXPECT_EQ(strText.rfind("dr-x------   1 ftp      users          0 ", 0), 0u);
    EXPECT_NE(strText.find("-rwx------   1 ftp      users          5 "), std::string::npos);
    EXPECT_NE(strText.find(" file.txt\n"), std::string::npos);
    // The owner write bit decides, whoever runs the server.
    EXPECT_NE(strText.find("-r-x------   1 ftp      users          1 "), std::string::npos);
    EXPECT_NE(strText.find("drwx------"), std::string::npos);
    // A link reports its target, a dangling one itself.
    size_t nLink = strText.find(" link\n");
    ASSERT_NE(nLink, std::string::npos);
    std::string strLinkLine =
        strText.substr(strText.rfind('\n', nLink) + 1, nLink - strText.rfind('\n', nLink));
    EXPECT_NE(strLinkLine.find("          5 "), std::string::npos) << strLinkLine;
    EXPECT_NE(strText.find(" dangling\n"), std::string::npos);
}

TEST_F(BuildListingTest, PathsWithoutLocalFolderListOnlyTheFolderMap) {
    CFolderMap map = ParseFolderMap({"/pub/docs=/nowhere/,1,1", "/pub/x=/n/,1,1"});
    std::string strName = BuildListing(map, "/", CMD_NLST);
    ASSERT_FALSE(strName.empty());
    EXPECT_EQ(ReadAll(strName), "pub\npub\n");
    fs::remove(strName);
    // The listed folder itself gives no line; a missing local folder none.
    strName = BuildListing(map, "/pub/docs/", CMD_LIST);
    EXPECT_EQ(ReadAll(strName), "");
    fs::remove(strName);
}

TEST_F(BuildListingTest, TemporaryFolderThatCannotBeWrittenGivesNoName) {
    const char* pszOld = getenv("TMPDIR");
    std::string strOld = pszOld ? pszOld : "";
    setenv("TMPDIR", (m_root / "no-such-folder").c_str(), 1);
    EXPECT_EQ(BuildListing(Map(), "/", CMD_LIST), "");
    if (pszOld)
        setenv("TMPDIR", strOld.c_str(), 1);
    else
        unsetenv("TMPDIR");
}

TEST(ExtendedListingLine, ModeBitsTimeOrYearAndCrLf) {
    // Local time is what the lines show; pin it for this test.
    const char* pszOldZone = getenv("TZ");
    const std::string strOldZone = pszOldZone ? pszOldZone : "";
    setenv("TZ", "UTC", 1);
    tzset();
    SEntryInfo file;
    file.nMode = S_IFREG | 0640;
    file.nLinks = 1;
    file.nSize = 123;
    file.modified = 1700000000; // 2023-11-14 22:13:20
    const time_t now = file.modified + 24 * 3600;
    EXPECT_EQ(FormatUnixEntry(file, now, "a.txt"),
              "-rw-r-----   1 ftp      ftp           123 Nov 14 22:13 a.txt\r\n");
    SEntryInfo folder;
    folder.nMode = S_IFDIR | 0755;
    folder.nLinks = 3;
    folder.nSize = 4096;
    folder.modified = file.modified;
    // Older than six months: the year instead of the time of day.
    EXPECT_EQ(FormatUnixEntry(folder, now + 200 * 24 * 3600, "d"),
              "drwxr-xr-x   3 ftp      ftp          4096 Nov 14  2023 d\r\n");
    // In the future: the year too.
    EXPECT_NE(FormatUnixEntry(file, file.modified - 60, "f").find(" Nov 14  2023 f\r\n"),
              std::string::npos);
    file.nSize = 123456789012LL;
    EXPECT_NE(FormatUnixEntry(file, now, "big").find(" 123456789012 Nov"), std::string::npos);
    if (pszOldZone)
        setenv("TZ", strOldZone.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(ExtendedListingLine, MachineFactsFollowTheUsersPermissions) {
    SEntryInfo file;
    file.nMode = S_IFREG | 0644;
    file.nSize = 5;
    file.modified = 1700000000;
    EXPECT_EQ(FormatMachineEntry(file, true, false, "a b.txt"),
              "type=file;size=5;modify=20231114221320;perm=r;UNIX.mode=0644; a b.txt\r\n");
    EXPECT_NE(FormatMachineEntry(file, true, true, "x").find(";perm=radfw;"), std::string::npos);
    SEntryInfo folder;
    folder.nMode = S_IFDIR | 0700;
    folder.modified = 1700000000;
    EXPECT_EQ(FormatMachineEntry(folder, false, false, "d"),
              "type=dir;modify=20231114221320;perm=el;UNIX.mode=0700; d\r\n");
    EXPECT_NE(FormatMachineEntry(folder, true, true, "d", true).find("type=cdir;"),
              std::string::npos);
}

TEST(ExtendedListingLine, TheChosenFactsOnlyInTheirOwnOrder) {
    EXPECT_EQ(ParseFacts("type;size;modify;perm;UNIX.mode;"), unsigned{kAllFacts});
    EXPECT_EQ(ParseFacts("PERM;Type"), unsigned{kFactType | kFactPerm});
    EXPECT_EQ(ParseFacts("nothing;;size"), unsigned{kFactSize});
    EXPECT_EQ(ParseFacts(""), 0u);
    EXPECT_EQ(FactNames(kFactPerm | kFactType), "type;perm;");
    EXPECT_EQ(FactNames(0), "");
    EXPECT_EQ(FeatureFacts(kAllFacts), "type*;size*;modify*;perm*;UNIX.mode*;");
    EXPECT_EQ(FeatureFacts(kFactSize), "type;size*;modify;perm;UNIX.mode;");
    SEntryInfo file;
    file.nMode = S_IFREG | 0644;
    file.nSize = 5;
    file.modified = 1700000000;
    EXPECT_EQ(FormatMachineEntry(file, true, false, "f", false, kFactSize | kFactPerm),
              "size=5;perm=r; f\r\n");
    EXPECT_EQ(FormatMachineEntry(file, true, false, "f", false, 0), " f\r\n");
    SEntryInfo folder;
    folder.nMode = S_IFDIR | 0755;
    // A folder has no size fact.
    EXPECT_EQ(FormatMachineEntry(folder, true, false, "d", false, kFactType | kFactSize),
              "type=dir; d\r\n");
}

TEST(ExtendedListingLine, ALinkThatLeadsNowhereReachableAllowsNothing) {
    SEntryInfo link;
    link.nMode = S_IFLNK | 0777;
    link.nSize = 27;
    link.modified = 1700000000;
    EXPECT_EQ(FormatMachineEntry(link, true, true, "out"),
              "type=file;modify=20231114221320;perm=;UNIX.mode=0777; out\r\n");
}

TEST(ExtendedListingLine, AnyFileTimeGivesAValidLine) {
    const time_t now = 1700000000;
    SEntryInfo file;
    file.nMode = S_IFREG | 0644;
    // Times a file system can store (tmpfs keeps 64-bit ones), far past and
    // far future: clamped to four-digit years, never an overflow.
    for (time_t when : {std::numeric_limits<time_t>::min(), std::numeric_limits<time_t>::min() + 1,
                        time_t{-62135596801}, time_t{-30000000000}, time_t{0},
                        std::numeric_limits<time_t>::max()}) {
        file.modified = when;
        const std::string strLine = FormatUnixEntry(file, now, "f");
        EXPECT_EQ(strLine.substr(strLine.size() - 3), "f\r\n") << when;
        EXPECT_EQ(strLine.find(" -"), std::string::npos) << strLine;
        const std::string strFacts = FormatMachineEntry(file, true, false, "f");
        const size_t nAt = strFacts.find(";modify=");
        ASSERT_NE(nAt, std::string::npos);
        const std::string strModify =
            strFacts.substr(nAt + 8, strFacts.find(';', nAt + 1) - nAt - 8);
        EXPECT_EQ(strModify.size(), 14u) << strFacts;
        EXPECT_EQ(strModify.find_first_not_of("0123456789"), std::string::npos) << strFacts;
    }
    // The years before 1000 keep their leading zeros.
    file.modified = -40000000000; // 0702-...
    EXPECT_NE(FormatMachineEntry(file, true, false, "f").find(";modify=0702"), std::string::npos);
    file.modified = std::numeric_limits<time_t>::min();
    EXPECT_NE(FormatMachineEntry(file, true, false, "f").find(";modify=00010101000000;"),
              std::string::npos);
}

TEST_F(BuildListingTest, ExtendedListingsLeaveOutDotsAndUseCrLf) {
    SListingRequest request;
    request.style = ListingStyle::UnixNlst;
    auto pBuilder = CListingBuilder::Start(Map(), "/", request);
    ASSERT_TRUE(pBuilder);
    while (!pBuilder->WriteSlice()) {
    }
    std::string strText = ReadAll(pBuilder->FileName());
    fs::remove(pBuilder->FileName());
    EXPECT_EQ(strText.rfind("pub\r\npub\r\nelsewhere\r\n", 0), 0u) << strText;
    EXPECT_EQ(strText.find(".\r\n"), std::string::npos);
    for (const char* pszName : {"sub", "file.txt", "ro.txt", "link", "dangling"})
        EXPECT_NE(strText.find(std::string("\n") + pszName + "\r\n"), std::string::npos);

    // A file path lists that file alone, under the name it was asked by.
    request.style = ListingStyle::UnixList;
    request.bFile = true;
    request.strShownName = "shown.txt";
    pBuilder = CListingBuilder::Start(Map(), "/file.txt", request);
    ASSERT_TRUE(pBuilder);
    EXPECT_TRUE(pBuilder->WriteSlice());
    strText = ReadAll(pBuilder->FileName());
    fs::remove(pBuilder->FileName());
    EXPECT_EQ(strText.rfind("-rw-", 0), 0u) << strText;
    EXPECT_NE(strText.find("        5 "), std::string::npos) << strText;
    EXPECT_EQ(strText.substr(strText.size() - 12), " shown.txt\r\n");
}

namespace {

// The listings' folder beneath a fresh temporary folder of the test's own.
class ListingFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveOwnListingFolder();
        m_base = fs::temp_directory_path() / ("skerrow-folder-" + std::to_string(getpid()));
        fs::remove_all(m_base);
        fs::create_directories(m_base);
        if (const char* pszOld = getenv("TMPDIR"))
            m_strOldTemp = pszOld;
        setenv("TMPDIR", m_base.c_str(), 1);
        m_user = m_base / ("skerrow-" + std::to_string(geteuid()));
    }
    void TearDown() override {
        RemoveOwnListingFolder();
        if (m_strOldTemp.empty())
            unsetenv("TMPDIR");
        else
            setenv("TMPDIR", m_strOldTemp.c_str(), 1);
        fs::remove_all(m_base);
    }

    // True when the lock file in strFolder is held by someone.
    static bool Locked(const fs::path& folder) {
        const int hLock = open((folder / "lock").c_str(), O_RDONLY | O_CLOEXEC);
        if (hLock < 0)
            return false;
        const bool bLocked = flock(hLock, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        close(hLock);
        return bLocked;
    }
    static unsigned Mode(const fs::path& path) {
        struct stat info {};
        return lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
    }
    // A folder as a server leaves it, its lock held through rLock when
    // asked (-1 otherwise).
    static fs::path Leftover(const fs::path& folder, bool bHeld, int& rLock) {
        fs::create_directories(folder);
        chmod(folder.c_str(), 0700);
        std::ofstream(folder / "FLSabcdef") << "listing";
        rLock = open((folder / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (bHeld)
            flock(rLock, LOCK_EX);
        else
            close(rLock), rLock = -1;
        return folder;
    }

    fs::path m_base;
    fs::path m_user;
    std::string m_strOldTemp;
};

} // namespace

TEST_F(ListingFolderTest, OwnFolderIsPrivateAndLockedForTheProcesssLife) {
    const fs::path folder = ListingFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.parent_path(), m_user);
    EXPECT_EQ(Mode(m_user), 0700u);
    EXPECT_EQ(Mode(folder), 0700u);
    EXPECT_TRUE(Locked(folder));
    EXPECT_EQ(TakeListingFolderNotice(), "");
    EXPECT_EQ(ListingFolder(), folder.string());
    // Removed by hand while the server runs: made anew.
    fs::remove_all(folder);
    const fs::path again = ListingFolder();
    EXPECT_NE(again, folder);
    EXPECT_TRUE(Locked(again));
    RemoveOwnListingFolder();
    EXPECT_FALSE(fs::exists(again));
}

TEST_F(ListingFolderTest, AUserFolderThatIsNotOwnAndPrivateIsReplacedOnce) {
    const fs::path elsewhere = m_base / "elsewhere";
    fs::create_directories(elsewhere);
    chmod(elsewhere.c_str(), 0700);
    std::vector<std::pair<std::string, std::function<void()>>> squats = {
        {"es un enlace", [&] { fs::create_directory_symlink(elsewhere, m_user); }},
        {"modo 0755", [&] { fs::create_directory(m_user), chmod(m_user.c_str(), 0755); }},
        {"no es una carpeta", [&] { std::ofstream(m_user) << "x"; }},
    };
    if (geteuid() == 0)
        squats.push_back({"es del usuario 65534", [&] {
                              fs::create_directory(m_user), chmod(m_user.c_str(), 0700);
                              EXPECT_EQ(chown(m_user.c_str(), 65534, 65534), 0);
                          }});
    for (const auto& [strWhy, squat] : squats) {
        SCOPED_TRACE(strWhy);
        RemoveOwnListingFolder();
        fs::remove_all(m_user);
        squat();
        const fs::path folder = ListingFolder();
        ASSERT_FALSE(folder.empty());
        EXPECT_EQ(folder.parent_path(), m_base);
        EXPECT_EQ(folder.filename().string().rfind(m_user.filename().string() + "-", 0), 0u);
        EXPECT_EQ(Mode(folder), 0700u);
        EXPECT_TRUE(Locked(folder));
        const std::string strNotice = TakeListingFolderNotice();
        EXPECT_NE(strNotice.find(m_user.string()), std::string::npos) << strNotice;
        EXPECT_NE(strNotice.find(strWhy), std::string::npos) << strNotice;
        EXPECT_NE(strNotice.find(folder.string()), std::string::npos) << strNotice;
        // Said once; the listings go there and nothing into the squat.
        EXPECT_EQ(TakeListingFolderNotice(), "");
        const std::string strListing =
            BuildListing(ParseFolderMap({"/=" + elsewhere.string() + "/,1,1"}), "/", 14);
        EXPECT_EQ(fs::path(strListing).parent_path(), folder);
        EXPECT_TRUE(fs::is_empty(elsewhere));
        fs::remove(strListing);
    }
}

TEST_F(ListingFolderTest, FoldersWhoseLockNobodyHoldsAreSwept) {
    fs::create_directories(m_user);
    chmod(m_user.c_str(), 0700);
    int hDead = -1;
    int hLive = -1;
    int hOld = -1;
    const fs::path dead = Leftover(m_user / "listings-AbC123", false, hDead);
    const fs::path live = Leftover(m_user / "listings-XyZ789", true, hLive);
    const fs::path replaced =
        Leftover(m_base / (m_user.filename().string() + "-Qq1234"), false, hOld);
    // A folder of an earlier version, named after its process, with no lock.
    const fs::path unlocked = m_user / ("listings-" + std::to_string(getpid()));
    fs::create_directories(unlocked);
    RemoveStaleListings();
    EXPECT_FALSE(fs::exists(dead));
    EXPECT_FALSE(fs::exists(replaced));
    EXPECT_FALSE(fs::exists(unlocked));
    EXPECT_TRUE(fs::exists(live / "FLSabcdef"));
    EXPECT_TRUE(fs::exists(ListingFolder()));
    // Its server gone (the lock goes with its last descriptor): swept next.
    close(hLive);
    RemoveStaleListings();
    EXPECT_FALSE(fs::exists(live));
}
