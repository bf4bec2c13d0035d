#include "ftp/Listing.h"

#include "ftp/FtpTables.h"
#include "ftp/VirtualPath.h"
#include "res/Strings.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

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

namespace {
// Two digits, with a leading zero.
char* PutTwoDigits(char* p, int nValue) {
    const unsigned nDigits = static_cast<unsigned>(nValue) % 100;
    *p++ = static_cast<char>('0' + nDigits / 10);
    *p++ = static_cast<char>('0' + nDigits % 10);
    return p;
}
} // namespace

std::string FormatLocalEntry(bool bDirectory, bool bReadOnly, int64_t nSize, const tm& time,
                             const std::string& strName) {
    // Made by hand rather than by printf: a listing of many thousand
    // entries spends much of its time here. The line is that of
    // "%cr%cx------   1 ftp      users % 10lld %s %02d %02d:%02d ".
    static constexpr char kOwner[] = "x------   1 ftp      users ";
    char szSize[24];
    char* pSize = szSize;
    *pSize++ = nSize < 0 ? '-' : ' ';
    const uint64_t nMagnitude =
        nSize < 0 ? uint64_t{0} - static_cast<uint64_t>(nSize) : static_cast<uint64_t>(nSize);
    pSize = std::to_chars(pSize, szSize + sizeof szSize, nMagnitude).ptr;
    const size_t nSizeLen = static_cast<size_t>(pSize - szSize);
    const bool bValidTime = time.tm_mday >= 0 && time.tm_mday < 100 && time.tm_hour >= 0 &&
                            time.tm_hour < 100 && time.tm_min >= 0 && time.tm_min < 100;
    if (!bValidTime) {
        // Out of two digits: what printf makes of it.
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
    char szHead[96];
    char* p = szHead;
    *p++ = bDirectory ? 'd' : '-';
    *p++ = 'r';
    *p++ = bReadOnly ? '-' : 'w';
    p = std::copy(kOwner, kOwner + sizeof kOwner - 1, p);
    for (size_t n = nSizeLen; n < 10; ++n)
        *p++ = ' ';
    p = std::copy(szSize, pSize, p);
    *p++ = ' ';
    const char* pszMonth = MonthName(time);
    p = std::copy(pszMonth, pszMonth + strlen(pszMonth), p);
    *p++ = ' ';
    p = PutTwoDigits(p, time.tm_mday);
    *p++ = ' ';
    p = PutTwoDigits(p, time.tm_hour);
    *p++ = ':';
    p = PutTwoDigits(p, time.tm_min);
    *p++ = ' ';
    std::string strLine;
    strLine.reserve(static_cast<size_t>(p - szHead) + strName.size() + 1);
    strLine.append(szHead, p);
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
std::string FolderMapLines(const CFolderMap& folderMap, const std::string& strPath, unsigned nFacts,
                           ListingStyle style, time_t now) {
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

std::unique_ptr<CListingBuilder> CListingBuilder::Start(const CFolderMap& folderMap,
                                                        const std::string& strPath, int nCode) {
    SListingRequest request;
    request.style = nCode == CMD_NLST ? ListingStyle::Nlst : ListingStyle::List;
    return Start(folderMap, strPath, std::move(request));
}

namespace {

// Why the last listing that could not be started failed (an errno).
int g_nStartError = 0;

// This process's listing folder, made beneath the base it was asked for (the
// runtime folder or the temporary one); its lock file stays locked for the
// process's life, which is how a later start tells a dead server's folder
// from a running one's.
struct SListingFolder {
    std::string strBase;
    std::string strPath;
    dev_t device = 0;
    ino_t inode = 0;
    int hLock = -1;
    std::string strNotice;
    int nError = 0;
};

SListingFolder& CurrentFolder() {
    static SListingFolder folder;
    return folder;
}

constexpr const char* kLockName = "lock";
constexpr const char* kListingsPrefix = "listings-";

std::string UserFolderName() {
    return "skerrow-" + std::to_string(::geteuid());
}

// Why what stands at strPath is not a folder of this user's alone (owner,
// mode 0700, not a link); empty when it is one.
std::string WhyNotPrivate(const std::string& strPath) {
    struct stat info {};
    if (::lstat(strPath.c_str(), &info) != 0)
        return std::strerror(errno);
    if (S_ISLNK(info.st_mode))
        return "es un enlace";
    if (!S_ISDIR(info.st_mode))
        return "no es una carpeta";
    if (info.st_uid != ::geteuid())
        return "es del usuario " + std::to_string(info.st_uid);
    if ((info.st_mode & 0777) != 0700) {
        char szMode[32];
        std::snprintf(szMode, sizeof szMode, "modo %04o", info.st_mode & 07777);
        return szMode;
    }
    return std::string();
}

// Removes the listings and the lock of a folder whose lock nobody holds
// (its server has ended, however it ended), then the folder. Only a real
// folder of this user's is touched, through a handle, never a link.
void RemoveIfUnlocked(const std::string& strFolder) {
    const int hDir = ::open(strFolder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (hDir < 0)
        return;
    struct stat info {};
    const int hLock = ::openat(hDir, kLockName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    // A folder without its lock never was a running server's: the lock is
    // in place before the folder takes its name.
    const bool bFree = hLock < 0 ? errno == ENOENT : ::flock(hLock, LOCK_EX | LOCK_NB) == 0;
    if (bFree && ::fstat(hDir, &info) == 0 && info.st_uid == ::geteuid() && S_ISDIR(info.st_mode)) {
        if (DIR* pDir = ::fdopendir(::dup(hDir))) {
            while (dirent* pEntry = ::readdir(pDir))
                if (std::strncmp(pEntry->d_name, "FLS", 3) == 0 ||
                    std::strcmp(pEntry->d_name, kLockName) == 0)
                    ::unlinkat(hDir, pEntry->d_name, 0);
            ::closedir(pDir);
        }
        ::rmdir(strFolder.c_str());
    }
    if (hLock >= 0)
        ::close(hLock);
    ::close(hDir);
}

// Makes strParent/strPrefix + a unique part, holding a lock file this
// process keeps locked. It is made under a name no sweep looks at and takes
// its own name only once locked, so that a starting server never takes a
// folder in the making for a dead one's.
bool MakeLockedFolder(const std::string& strParent, const std::string& strPrefix,
                      SListingFolder& rFolder) {
    std::string strNew = strParent + "/.new-" + strPrefix + "XXXXXX";
    if (!::mkdtemp(strNew.data()))
        return false;
    const std::string strLock = strNew + "/" + kLockName;
    const int hLock =
        ::open(strLock.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    const std::string strFinal = strParent + "/" + strPrefix + strNew.substr(strNew.size() - 6);
    struct stat info {};
    if (hLock < 0 || ::flock(hLock, LOCK_EX | LOCK_NB) != 0 ||
        ::renameat2(AT_FDCWD, strNew.c_str(), AT_FDCWD, strFinal.c_str(), RENAME_NOREPLACE) != 0 ||
        ::lstat(strFinal.c_str(), &info) != 0) {
        const int nError = errno;
        if (hLock >= 0)
            ::close(hLock);
        ::unlink(strLock.c_str());
        ::rmdir(strNew.c_str());
        errno = nError;
        return false;
    }
    rFolder.strPath = strFinal;
    rFolder.hLock = hLock;
    rFolder.device = info.st_dev;
    rFolder.inode = info.st_ino;
    return true;
}

// The folder the listings are written beneath: the runtime folder, else the
// temporary one; empty when there is none.
std::string ListingBase() {
    if (const char* pszRuntime = ::getenv("XDG_RUNTIME_DIR"); pszRuntime && *pszRuntime)
        return pszRuntime;
    std::error_code error;
    const std::filesystem::path temp = std::filesystem::temp_directory_path(error);
    return error ? std::string() : temp.string();
}

// Lets go of the folder: its lock released, then the folder removed with
// what is left in it (the server's transfers have ended by then).
void ReleaseFolder(SListingFolder& rFolder) {
    if (rFolder.hLock < 0)
        return;
    ::close(rFolder.hLock);
    RemoveIfUnlocked(rFolder.strPath);
    rFolder = SListingFolder{};
}

bool StillThere(const SListingFolder& rFolder) {
    struct stat info {};
    return rFolder.hLock >= 0 && ::lstat(rFolder.strPath.c_str(), &info) == 0 &&
           info.st_dev == rFolder.device && info.st_ino == rFolder.inode;
}

// Makes this process's folder beneath strBase: in the user's folder there
// (skerrow-<uid>, made 0700 when missing) when that is the user's own and
// private; else, since anyone may have made it first in a shared
// temporary folder, in a fresh private folder of its own, said once.
bool MakeListingFolder(const std::string& strBase, SListingFolder& rFolder) {
    const std::string strUser = strBase + "/" + UserFolderName();
    if (::mkdir(strUser.c_str(), 0700) != 0 && errno != EEXIST) {
        rFolder.nError = errno;
        return false;
    }
    const std::string strWhy = WhyNotPrivate(strUser);
    if (strWhy.empty()) {
        if (!MakeLockedFolder(strUser, kListingsPrefix, rFolder))
            return rFolder.nError = errno, false;
        return true;
    }
    if (!MakeLockedFolder(strBase, UserFolderName() + "-", rFolder))
        return rFolder.nError = errno, false;
    rFolder.strNotice = FormatString(LoadString(IDS_LISTING_FOLDER_REPLACED), strUser.c_str(),
                                     strWhy.c_str(), rFolder.strPath.c_str());
    return true;
}

} // namespace

int CListingBuilder::StartError() {
    return g_nStartError;
}

std::string ListingFolder() {
    SListingFolder& rFolder = CurrentFolder();
    const std::string strBase = ListingBase();
    if (StillThere(rFolder) && rFolder.strBase == strBase)
        return rFolder.strPath;
    // Made for another base (the environment changed), or gone (removed
    // by hand or by a cleaner): made anew.
    ReleaseFolder(rFolder);
    rFolder.nError = ENOENT;
    if (strBase.empty() || !MakeListingFolder(strBase, rFolder))
        return std::string();
    rFolder.strBase = strBase;
    return rFolder.strPath;
}

std::string TakeListingFolderNotice() {
    return std::exchange(CurrentFolder().strNotice, std::string());
}

void RemoveStaleListings() {
    // The folders of servers that ended without cleaning up (killed): their
    // locks are free, whatever became of their processes.
    const std::string strMine = ListingFolder();
    const std::string strBase = ListingBase();
    if (strBase.empty())
        return;
    const std::string strUser = strBase + "/" + UserFolderName();
    std::error_code error;
    if (WhyNotPrivate(strUser).empty())
        for (const auto& entry : std::filesystem::directory_iterator(strUser, error))
            if (entry.path().filename().string().rfind(kListingsPrefix, 0) == 0 &&
                entry.path().string() != strMine)
                RemoveIfUnlocked(entry.path().string());
    // Folders made in place of a user folder that was not private.
    const std::string strPrefix = UserFolderName() + "-";
    for (const auto& entry : std::filesystem::directory_iterator(strBase, error))
        if (entry.path().filename().string().rfind(strPrefix, 0) == 0 &&
            entry.path().string() != strMine && WhyNotPrivate(entry.path().string()).empty())
            RemoveIfUnlocked(entry.path().string());
}

void RemoveOwnListingFolder() {
    ReleaseFolder(CurrentFolder());
}

std::unique_ptr<CListingBuilder> CListingBuilder::Start(const CFolderMap& folderMap,
                                                        const std::string& strPath,
                                                        SListingRequest request) {
    const std::string strFolder = ListingFolder();
    if (strFolder.empty()) {
        g_nStartError = CurrentFolder().nError;
        return nullptr;
    }
    const std::filesystem::path tempDir(strFolder);
    std::unique_ptr<CListingBuilder> pBuilder(new CListingBuilder);
    pBuilder->m_request = std::move(request);
    pBuilder->m_strName = (tempDir / "FLSXXXXXX").string();
    int hFile = ::mkstemp(pBuilder->m_strName.data());
    if (hFile < 0) {
        g_nStartError = errno;
        pBuilder->m_strName.clear();
        return nullptr;
    }
    ::fcntl(hFile, F_SETFD, FD_CLOEXEC);
    pBuilder->m_pFile = ::fdopen(hFile, "wb");
    if (!pBuilder->m_pFile) {
        g_nStartError = errno;
        ::close(hFile);
        pBuilder->m_bOk = false;
        return nullptr;
    }
    // Written in large pieces: a listing of many entries is a few hundred
    // KiB, which the stream's default buffer would write in 4 KiB calls.
    ::setvbuf(pBuilder->m_pFile, nullptr, _IOFBF, kWriteBuffer);
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
    if (m_bOk && fwrite(strLine.data(), 1, strLine.size(), m_pFile) != strLine.size()) {
        m_nError = errno;
        m_bOk = false;
    }
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
        if (fclose(m_pFile) != 0 && m_bOk) {
            m_nError = errno;
            m_bOk = false;
        }
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

std::string BuildListing(const CFolderMap& folderMap, const std::string& strPath, int nCode) {
    std::unique_ptr<CListingBuilder> pBuilder = CListingBuilder::Start(folderMap, strPath, nCode);
    if (!pBuilder)
        return std::string();
    while (!pBuilder->WriteSlice(std::chrono::seconds(1))) {
    }
    return pBuilder->IsOk() ? pBuilder->FileName() : std::string();
}
