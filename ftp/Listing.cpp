#include "ftp/Listing.h"

#include "ftp/FtpTables.h"
#include "ftp/VirtualPath.h"

#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

const char* MonthName(const tm& time) {
    return time.tm_mon >= 0 && time.tm_mon < 12 ? kMonths[time.tm_mon] : kMonths[0];
}

// Attributes of one folder entry: a symbolic link reports its target when
// that lies inside the published folder, else (dangling, or leading out of
// it) the link itself. The time is the birth time where the file system
// records it, else the last change of contents.
bool ReadEntry(int hDir, const CLocalPath& folder, const char* pszName, bool& rDirectory,
               bool& rReadOnly, int64_t& rSize, time_t& rTime) {
    struct statx info {};
    unsigned nMask = STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_MTIME | STATX_BTIME;
    if (::statx(hDir, pszName, AT_STATX_SYNC_AS_STAT | AT_SYMLINK_NOFOLLOW, nMask, &info) != 0)
        return false;
    if (S_ISLNK(info.stx_mode)) {
        int nError = 0;
        int hTarget = folder.Child(pszName).Open(O_PATH, 0, nError);
        if (hTarget >= 0) {
            struct statx target {};
            if (::statx(hTarget, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, nMask, &target) == 0)
                info = target;
            ::close(hTarget);
        }
    }
    rDirectory = S_ISDIR(info.stx_mode);
    rReadOnly = (info.stx_mode & S_IWUSR) == 0;
    rSize = static_cast<int64_t>(info.stx_size);
    // Some file systems report a birth time of zero rather than leaving it out;
    // that is no recorded time either.
    const bool bBirth = (info.stx_mask & STATX_BTIME) &&
                        (info.stx_btime.tv_sec != 0 || info.stx_btime.tv_nsec != 0);
    rTime = bBirth ? info.stx_btime.tv_sec : info.stx_mtime.tv_sec;
    return true;
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
                           int nCode, const tm& nowLocal) {
    std::string strLines;
    for (const std::string& strEntry : folderMap) {
        size_t nEquals = strEntry.find('=');
        if (nEquals == std::string::npos)
            continue;
        std::string strEntryPath = strEntry.substr(0, nEquals);
        if (strEntryPath.empty() || strEntryPath.back() != '/')
            strEntryPath += '/';
        if (strEntryPath.size() < strPath.size() ||
            strEntryPath.compare(0, strPath.size(), strPath) != 0)
            continue;
        std::string strRest = strEntryPath.substr(strPath.size());
        if (strRest.empty())
            continue;
        strRest = strRest.substr(0, strRest.find('/'));
        strLines += nCode == CMD_NLST ? strRest + "\n" : FormatFolderMapEntry(nowLocal, strRest);
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
    std::error_code error;
    std::filesystem::path tempDir = std::filesystem::temp_directory_path(error);
    if (error)
        return nullptr;
    std::unique_ptr<CListingBuilder> pBuilder(new CListingBuilder);
    pBuilder->m_nCode = nCode;
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
    time_t now = ::time(nullptr);
    tm nowLocal{};
    ::localtime_r(&now, &nowLocal);
    pBuilder->Write(FolderMapLines(folderMap, strPath, nCode, nowLocal));
    // A path with no local folder lists only the folder-map entries.
    pBuilder->m_folder = MapToLocalPath(folderMap, strPath);
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
    if (m_nCode == CMD_NLST) {
        Write(std::string(pszName) + "\n");
        return;
    }
    bool bDirectory = false;
    bool bReadOnly = false;
    int64_t nSize = 0;
    time_t when = 0;
    ReadEntry(::dirfd(m_pDir), m_folder, pszName, bDirectory, bReadOnly, nSize, when);
    tm whenLocal{};
    ::localtime_r(&when, &whenLocal);
    Write(FormatLocalEntry(bDirectory, bReadOnly, nSize, whenLocal, pszName));
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
