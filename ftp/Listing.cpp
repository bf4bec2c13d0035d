#include "ftp/Listing.h"

#include "ftp/FtpTables.h"
#include "ftp/VirtualPath.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

const char* MonthName(const tm& time) {
    return time.tm_mon >= 0 && time.tm_mon < 12 ? kMonths[time.tm_mon] : kMonths[0];
}

// The attributes of one folder entry: a symbolic link reports its target
// when that lies inside the published folder, else (dangling, or leading out
// of it) the link itself.
bool ReadEntry(int hDir, const CLocalPath& folder, const char* pszName, struct statx& rInfo) {
    const unsigned nMask =
        STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_SIZE | STATX_MTIME | STATX_BTIME;
    if (::statx(hDir, pszName, AT_STATX_SYNC_AS_STAT | AT_SYMLINK_NOFOLLOW, nMask, &rInfo) != 0)
        return false;
    if (S_ISLNK(rInfo.stx_mode)) {
        int nError = 0;
        int hTarget = folder.Child(pszName).Open(O_PATH, 0, nError);
        if (hTarget >= 0) {
            struct statx target {};
            if (::statx(hTarget, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, nMask, &target) == 0)
                rInfo = target;
            ::close(hTarget);
        }
    }
    return true;
}

SEntryInfo ToEntryInfo(const struct statx& info) {
    SEntryInfo entry;
    entry.nMode = info.stx_mode;
    entry.nLinks = info.stx_nlink;
    entry.nSize = static_cast<int64_t>(info.stx_size);
    entry.modified = info.stx_mtime.tv_sec;
    return entry;
}

// The classic date of an entry: the birth time where the file system
// records it, else the last change of contents. Some file systems report a
// birth time of zero rather than leaving it out; that is no recorded time.
time_t CreationTime(const struct statx& info) {
    const bool bBirth = (info.stx_mask & STATX_BTIME) &&
                        (info.stx_btime.tv_sec != 0 || info.stx_btime.tv_nsec != 0);
    return bBirth ? info.stx_btime.tv_sec : info.stx_mtime.tv_sec;
}

} // namespace

std::string FormatLocalEntry(bool bDirectory, bool bReadOnly, int64_t nSize, const tm& time,
                             const std::string& strName) {
    char szHead[128];
    int nLen = snprintf(
        szHead, sizeof szHead, "%cr%cx------   1 ftp      users % 10lld %s %02d %02d:%02d ",
        bDirectory ? 'd' : '-', bReadOnly ? '-' : 'w', static_cast<long long>(nSize),
        MonthName(time), time.tm_mday, time.tm_hour, time.tm_min);
    std::string strLine(szHead, static_cast<size_t>(nLen > 0 ? nLen : 0));
    strLine += strName;
    strLine += '\n';
    return strLine;
}

time_t ClampedTime(time_t when) {
    // From 0001-01-01 to 9999-12-31 (UTC): any time a file system stores
    // gives a date of four-digit year.
    constexpr time_t kFirst = -62135596800;
    constexpr time_t kLast = 253402300799;
    return when < kFirst ? kFirst : when > kLast ? kLast : when;
}

std::string FormatUnixEntry(const SEntryInfo& info, time_t now, const std::string& strName) {
    char szMode[11] = "----------";
    const unsigned nMode = info.nMode;
    szMode[0] = S_ISDIR(nMode) ? 'd' : S_ISLNK(nMode) ? 'l' : '-';
    const char* const pszBits = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i)
        if (nMode & (0400u >> i))
            szMode[1 + i] = pszBits[i];
    tm when{};
    const time_t modified = ClampedTime(info.modified);
    ::localtime_r(&modified, &when);
    // As ls does: the time of day for the last six months, else the year
    // (compared without a subtraction that a time far in the past overflows).
    constexpr time_t kSixMonths = (365 * 24 * 3600 + 6 * 3600) / 2;
    const bool bRecent = modified <= now && modified > now - kSixMonths;
    char szDate[32] = "";
    if (bRecent)
        snprintf(szDate, sizeof szDate, "%s %2d %02d:%02d", MonthName(when), when.tm_mday,
                 when.tm_hour, when.tm_min);
    else
        snprintf(szDate, sizeof szDate, "%s %2d  %d", MonthName(when), when.tm_mday,
                 when.tm_year + 1900);
    char szHead[160];
    int nLen = snprintf(szHead, sizeof szHead, "%s %3u ftp      ftp      %8lld %s ", szMode,
                        info.nLinks, static_cast<long long>(info.nSize), szDate);
    std::string strLine(szHead, static_cast<size_t>(nLen > 0 ? nLen : 0));
    strLine += strName;
    strLine += "\r\n";
    return strLine;
}

namespace {
struct SFactName {
    unsigned nFact;
    const char* pszName;
};
const SFactName kFactNames[] = {{kFactType, "type"},
                                {kFactSize, "size"},
                                {kFactModify, "modify"},
                                {kFactPerm, "perm"},
                                {kFactUnixMode, "UNIX.mode"}};
} // namespace

unsigned ParseFacts(const std::string& strList) {
    unsigned nFacts = 0;
    size_t nStart = 0;
    while (nStart < strList.size()) {
        size_t nEnd = strList.find(';', nStart);
        if (nEnd == std::string::npos)
            nEnd = strList.size();
        const std::string strName = strList.substr(nStart, nEnd - nStart);
        for (const SFactName& fact : kFactNames)
            if (strcasecmp(strName.c_str(), fact.pszName) == 0)
                nFacts |= fact.nFact;
        nStart = nEnd + 1;
    }
    return nFacts;
}

std::string FactNames(unsigned nFacts) {
    std::string strNames;
    for (const SFactName& fact : kFactNames)
        if (nFacts & fact.nFact)
            strNames += std::string(fact.pszName) + ";";
    return strNames;
}

std::string FeatureFacts(unsigned nFacts) {
    std::string strFacts;
    for (const SFactName& fact : kFactNames)
        strFacts += std::string(fact.pszName) + ((nFacts & fact.nFact) ? "*;" : ";");
    return strFacts;
}

std::string FormatMachineEntry(const SEntryInfo& info, bool bMayDownload, bool bMayUpload,
                               const std::string& strName, bool bFolderItself, unsigned nFacts) {
    const bool bFolder = S_ISDIR(info.nMode);
    // A link still seen as a link leads nowhere the client may go (out of
    // the published folder, or to nothing): it counts as missing, so it
    // shows no size and allows nothing.
    const bool bUnreachable = S_ISLNK(info.nMode);
    if (bUnreachable)
        bMayDownload = bMayUpload = false;
    std::string strLine;
    if (nFacts & kFactType) {
        strLine += "type=";
        strLine += bFolderItself ? "cdir" : bFolder ? "dir" : "file";
        strLine += ';';
    }
    if (!bFolder && !bUnreachable && (nFacts & kFactSize))
        strLine += "size=" + std::to_string(static_cast<long long>(info.nSize)) + ";";
    if (nFacts & kFactModify) {
        tm when{};
        char szTime[32] = "19700101000000";
        const time_t modified = ClampedTime(info.modified);
        // Always fourteen digits: the year too, for the years before 1000.
        if (::gmtime_r(&modified, &when))
            snprintf(szTime, sizeof szTime, "%04d%02d%02d%02d%02d%02d", when.tm_year + 1900,
                     when.tm_mon + 1, when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec);
        strLine += "modify=";
        strLine += szTime;
        strLine += ';';
    }
    if (nFacts & kFactPerm) {
        strLine += "perm=";
        if (bFolder)
            strLine += bMayUpload ? "elcmpdf" : "el";
        else
            strLine += std::string(bMayDownload ? "r" : "") + (bMayUpload ? "adfw" : "");
        strLine += ';';
    }
    if (nFacts & kFactUnixMode) {
        char szMode[32];
        snprintf(szMode, sizeof szMode, "UNIX.mode=0%o;", info.nMode & 07777);
        strLine += szMode;
    }
    strLine += ' ';
    strLine += strName;
    strLine += "\r\n";
    return strLine;
}

std::string FormatFolderMapEntry(const tm& time, const std::string& strName) {
    char szHead[128];
    int nLen = snprintf(szHead, sizeof szHead,
                        "dr-x------   1 ftp      users          0 %s %02d %02d:%02d ",
                        MonthName(time), time.tm_mday, time.tm_hour, time.tm_min);
    std::string strLine(szHead, static_cast<size_t>(nLen > 0 ? nLen : 0));
    strLine += strName;
    strLine += '\n';
    return strLine;
}

namespace {

// One line for each folder-map entry below the listed directory, named
// after its first component below it, dated now.
std::string FolderMapLines(const std::vector<std::string>& folderMap, const std::string& strPath,
                           unsigned nFacts, ListingStyle style, time_t now) {
    tm nowLocal{};
    ::localtime_r(&now, &nowLocal);
    std::string strLines;
    for (const std::string& strRest : FolderMapChildren(folderMap, strPath)) {
        // A folder of the map is a folder to every client, dated now.
        SEntryInfo folder;
        folder.nMode = S_IFDIR | 0755;
        folder.modified = now;
        switch (style) {
        case ListingStyle::List:
            strLines += FormatFolderMapEntry(nowLocal, strRest);
            break;
        case ListingStyle::Nlst:
            strLines += strRest + "\n";
            break;
        case ListingStyle::UnixList:
            strLines += FormatUnixEntry(folder, now, strRest);
            break;
        case ListingStyle::UnixNlst:
            strLines += strRest + "\r\n";
            break;
        case ListingStyle::Machine:
            strLines += FormatMachineEntry(folder, false, false, strRest, false, nFacts);
            break;
        }
    }
    return strLines;
}

} // namespace

CListingBuilder::~CListingBuilder() {
    if (m_pDir)
        ::closedir(m_pDir);
    if (m_pFile)
        fclose(m_pFile);
    if (!m_bOk && !m_strName.empty())
        ::unlink(m_strName.c_str());
}

std::unique_ptr<CListingBuilder> CListingBuilder::Start(const std::vector<std::string>& folderMap,
                                                        const std::string& strPath, int nCode) {
    SListingRequest request;
    request.style = nCode == CMD_NLST ? ListingStyle::Nlst : ListingStyle::List;
    return Start(folderMap, strPath, std::move(request));
}

namespace {

// A folder of this user's only (made 0700 when missing); false when what
// stands there is not such a folder (a link, another owner, open to others).
bool PrivateFolder(const std::string& strPath) {
    if (::mkdir(strPath.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat info {};
    return ::lstat(strPath.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

// Removes a process's listing folder and the listings in it.
void RemoveListingFolder(const std::filesystem::path& folder) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        if (entry.path().filename().string().rfind("FLS", 0) == 0)
            std::filesystem::remove(entry.path(), error);
    std::filesystem::remove(folder, error);
}

} // namespace

std::string ListingFolder() {
    // Under the user's runtime folder where there is one, else the
    // temporary folder; one folder per process inside a private one.
    std::error_code error;
    const char* pszRuntime = ::getenv("XDG_RUNTIME_DIR");
    std::filesystem::path base = pszRuntime && *pszRuntime
                                     ? std::filesystem::path(pszRuntime)
                                     : std::filesystem::temp_directory_path(error);
    if (error)
        return std::string();
    const std::filesystem::path own = base / ("skerrow-" + std::to_string(::geteuid()));
    const std::filesystem::path mine = own / ("listings-" + std::to_string(::getpid()));
    if (!PrivateFolder(own.string()) || !PrivateFolder(mine.string()))
        return std::string();
    return mine.string();
}

void RemoveStaleListings() {
    // The folders of processes that ended without cleaning up (killed).
    std::error_code error;
    const std::string strMine = ListingFolder();
    if (strMine.empty())
        return;
    const std::filesystem::path own = std::filesystem::path(strMine).parent_path();
    for (const auto& entry : std::filesystem::directory_iterator(own, error)) {
        const std::string strName = entry.path().filename().string();
        if (strName.rfind("listings-", 0) != 0)
            continue;
        const long nPid = std::strtol(strName.c_str() + 9, nullptr, 10);
        if (nPid > 0 && nPid != ::getpid() && ::kill(static_cast<pid_t>(nPid), 0) != 0 &&
            errno == ESRCH)
            RemoveListingFolder(entry.path());
    }
}

void RemoveOwnListingFolder() {
    // Only an empty one: listings still being sent are their transfers'.
    const std::string strMine = ListingFolder();
    if (!strMine.empty())
        ::rmdir(strMine.c_str());
}

std::unique_ptr<CListingBuilder> CListingBuilder::Start(const std::vector<std::string>& folderMap,
                                                        const std::string& strPath,
                                                        SListingRequest request) {
    const std::string strFolder = ListingFolder();
    if (strFolder.empty())
        return nullptr;
    const std::filesystem::path tempDir(strFolder);
    std::unique_ptr<CListingBuilder> pBuilder(new CListingBuilder);
    pBuilder->m_request = std::move(request);
    pBuilder->m_strName = (tempDir / "FLSXXXXXX").string();
    int hFile = ::mkstemp(pBuilder->m_strName.data());
    if (hFile < 0) {
        pBuilder->m_strName.clear();
        return nullptr;
    }
    ::fcntl(hFile, F_SETFD, FD_CLOEXEC);
    pBuilder->m_pFile = ::fdopen(hFile, "wb");
    if (!pBuilder->m_pFile) {
        ::close(hFile);
        pBuilder->m_bOk = false;
        return nullptr;
    }
    pBuilder->m_now = ::time(nullptr);
    pBuilder->m_folder = MapToLocalPath(folderMap, strPath);
    if (pBuilder->m_request.bFile) {
        // One file: its line alone, written by the first slice.
        pBuilder->m_bFilePending = true;
        return pBuilder;
    }
    pBuilder->Write(FolderMapLines(folderMap, strPath, pBuilder->m_request.nFacts,
                                   pBuilder->m_request.style, pBuilder->m_now));
    // A path with no local folder lists only the folder-map entries.
    pBuilder->m_pDir = pBuilder->m_folder.IsEmpty() ? nullptr : pBuilder->m_folder.OpenFolder();
    return pBuilder;
}

void CListingBuilder::Write(const std::string& strLine) {
    if (m_bOk && fwrite(strLine.data(), 1, strLine.size(), m_pFile) != strLine.size())
        m_bOk = false;
}

bool CListingBuilder::WriteSlice(std::chrono::microseconds budget) {
    const auto deadline = std::chrono::steady_clock::now() + budget;
    int nSinceCheck = 0;
    if (m_bFilePending) {
        m_bFilePending = false;
        int nError = 0;
        int hFile = m_folder.Open(O_PATH, 0, nError);
        struct statx info {};
        const unsigned nMask = STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_SIZE | STATX_MTIME;
        if (hFile >= 0 &&
            ::statx(hFile, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, nMask, &info) == 0)
            WriteExtendedEntry(ToEntryInfo(info), m_request.strShownName);
        if (hFile >= 0)
            ::close(hFile);
    }
    while (m_pDir && m_bOk) {
        dirent* pEntry = ::readdir(m_pDir);
        if (!pEntry) {
            ::closedir(m_pDir);
            m_pDir = nullptr;
            break;
        }
        WriteEntry(pEntry->d_name);
        // The clock is read once every few entries: it costs more than one.
        if (++nSinceCheck == 32) {
            nSinceCheck = 0;
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
        }
    }
    if (m_pFile) {
        if (fclose(m_pFile) != 0)
            m_bOk = false;
        m_pFile = nullptr;
    }
    return true;
}

void CListingBuilder::WriteEntry(const char* pszName) {
    const ListingStyle style = m_request.style;
    if (style == ListingStyle::Nlst) {
        Write(std::string(pszName) + "\n");
        return;
    }
    const bool bExtended = style != ListingStyle::List;
    // The extended listings leave out the folder itself and its parent.
    if (bExtended && (strcmp(pszName, ".") == 0 || strcmp(pszName, "..") == 0))
        return;
    if (style == ListingStyle::UnixNlst) {
        Write(std::string(pszName) + "\r\n");
        return;
    }
    struct statx info {};
    ReadEntry(::dirfd(m_pDir), m_folder, pszName, info);
    if (bExtended) {
        WriteExtendedEntry(ToEntryInfo(info), pszName);
        return;
    }
    time_t when = CreationTime(info);
    tm whenLocal{};
    ::localtime_r(&when, &whenLocal);
    Write(FormatLocalEntry(S_ISDIR(info.stx_mode), (info.stx_mode & S_IWUSR) == 0,
                           static_cast<int64_t>(info.stx_size), whenLocal, pszName));
}

void CListingBuilder::WriteExtendedEntry(const SEntryInfo& info, const std::string& strName) {
    switch (m_request.style) {
    case ListingStyle::Machine:
        Write(FormatMachineEntry(info, m_request.bMayDownload, m_request.bMayUpload, strName, false,
                                 m_request.nFacts));
        break;
    case ListingStyle::UnixList:
        Write(FormatUnixEntry(info, m_now, strName));
        break;
    default:
        Write(strName + (m_request.style == ListingStyle::Nlst ? "\n" : "\r\n"));
        break;
    }
}

std::string BuildListing(const std::vector<std::string>& folderMap, const std::string& strPath,
                         int nCode) {
    std::unique_ptr<CListingBuilder> pBuilder = CListingBuilder::Start(folderMap, strPath, nCode);
    if (!pBuilder)
        return std::string();
    while (!pBuilder->WriteSlice(std::chrono::seconds(1))) {
    }
    return pBuilder->IsOk() ? pBuilder->FileName() : std::string();
}
