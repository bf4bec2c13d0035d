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

// Writes lines to the listing file, remembering the first failure.
class CListingWriter {
public:
    explicit CListingWriter(FILE* pFile) : m_pFile(pFile) {}
    void Write(const std::string& strLine) {
        if (m_bOk && fwrite(strLine.data(), 1, strLine.size(), m_pFile) != strLine.size())
            m_bOk = false;
    }
    bool IsOk() const { return m_bOk; }

private:
    FILE* m_pFile;
    bool m_bOk = true;
};

// One line for each folder-map entry below the listed directory, named
// after its first component below it, dated now.
void WriteFolderMapLines(const std::vector<std::string>& folderMap, const std::string& strPath,
                         int nCode, CListingWriter& rOut) {
    time_t now = ::time(nullptr);
    tm nowLocal{};
    ::localtime_r(&now, &nowLocal);
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
        rOut.Write(nCode == CMD_NLST ? strRest + "\n" : FormatFolderMapEntry(nowLocal, strRest));
    }
}

// One line for each entry of the local folder, in the order the system
// returns them, nothing filtered.
void WriteLocalLines(const CLocalPath& folder, int nCode, CListingWriter& rOut) {
    DIR* pDir = folder.IsEmpty() ? nullptr : folder.OpenFolder();
    if (!pDir)
        return;
    int hDir = ::dirfd(pDir);
    while (dirent* pEntry = ::readdir(pDir)) {
        if (nCode == CMD_NLST) {
            rOut.Write(std::string(pEntry->d_name) + "\n");
            continue;
        }
        bool bDirectory = false;
        bool bReadOnly = false;
        int64_t nSize = 0;
        time_t when = 0;
        ReadEntry(hDir, folder, pEntry->d_name, bDirectory, bReadOnly, nSize, when);
        tm whenLocal{};
        ::localtime_r(&when, &whenLocal);
        rOut.Write(FormatLocalEntry(bDirectory, bReadOnly, nSize, whenLocal, pEntry->d_name));
    }
    ::closedir(pDir);
}

} // namespace

std::string BuildListing(const std::vector<std::string>& folderMap, const std::string& strPath,
                         int nCode) {
    std::error_code error;
    std::filesystem::path tempDir = std::filesystem::temp_directory_path(error);
    if (error)
        return std::string();
    std::string strName = (tempDir / "FLSXXXXXX").string();
    int hFile = ::mkstemp(strName.data());
    if (hFile < 0)
        return std::string();
    ::fcntl(hFile, F_SETFD, FD_CLOEXEC);
    FILE* pFile = ::fdopen(hFile, "wb");
    if (!pFile) {
        ::close(hFile);
        ::unlink(strName.c_str());
        return std::string();
    }
    CListingWriter out(pFile);
    WriteFolderMapLines(folderMap, strPath, nCode, out);
    // A path with no local folder lists only the folder-map entries.
    WriteLocalLines(MapToLocalPath(folderMap, strPath), nCode, out);
    const bool bClosed = fclose(pFile) == 0;
    if (!out.IsOk() || !bClosed) {
        ::unlink(strName.c_str());
        return std::string();
    }
    return strName;
}
