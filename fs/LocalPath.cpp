#include "fs/LocalPath.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr char kSeparator = '/';

// Cleared when the system turns out not to have openat2 (before Linux 5.6,
// or a filter that forbids it).
bool g_bHaveOpenat2 = true;

// Closes a descriptor when it goes out of scope.
class CHandle {
public:
    explicit CHandle(int h) : m_h(h) {}
    ~CHandle() {
        if (m_h >= 0)
            ::close(m_h);
    }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    int Get() const { return m_h; }
    int Release() {
        int h = m_h;
        m_h = -1;
        return h;
    }

private:
    int m_h;
};

std::string StripSeparators(std::string strPath) {
    while (!strPath.empty() && strPath.back() == kSeparator)
        strPath.pop_back();
    while (!strPath.empty() && strPath.front() == kSeparator)
        strPath.erase(0, 1);
    return strPath;
}

std::string RealPath(const std::string& strPath) {
    char szReal[PATH_MAX];
    return ::realpath(strPath.c_str(), szReal) ? std::string(szReal) : std::string();
}

bool IsWithin(const std::string& strPath, const std::string& strFolder) {
    if (strFolder == "/")
        return !strPath.empty() && strPath[0] == '/';
    return strPath.compare(0, strFolder.size(), strFolder) == 0 &&
           (strPath.size() == strFolder.size() || strPath[strFolder.size()] == kSeparator);
}

int Openat2Beneath(int hRoot, const std::string& strRelative, int nFlags, unsigned nMode) {
    open_how how{};
    how.flags = static_cast<uint64_t>(nFlags | O_CLOEXEC);
    how.mode = (nFlags & O_CREAT) ? nMode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const char* pszRelative = strRelative.empty() ? "." : strRelative.c_str();
    return static_cast<int>(::syscall(SYS_openat2, hRoot, pszRelative, &how, sizeof how));
}

// Where openat2 refused (an absolute link, or none on this system): find
// where the path really leads, and open it only when that is inside.
int OpenByCanonicalPath(int hRoot, const std::string& strRootText, const std::string& strRelative,
                        int nFlags, unsigned nMode, bool bRefusedAsOutside, int& rError) {
    std::string strRootReal = RealPath("/proc/self/fd/" + std::to_string(hRoot));
    if (strRootReal.empty())
        strRootReal = RealPath(strRootText);
    if (strRootReal.empty()) {
        rError = ENOENT;
        return -1;
    }
    std::string strWanted = StripSeparators(strRelative);
    std::string strFull = strWanted.empty() ? strRootReal : strRootReal + "/" + strWanted;
    std::string strReal = RealPath(strFull);
    if (strReal.empty()) {
        int nError = errno;
        struct stat info {};
        bool bIsLink = ::lstat(strFull.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
        if (nError == ENOENT && (nFlags & O_CREAT) && !bIsLink && !strWanted.empty()) {
            // A file about to be made: its folder must be inside.
            size_t nSlash = strFull.rfind('/');
            std::string strParentReal = RealPath(strFull.substr(0, nSlash));
            if (strParentReal.empty()) {
                rError = errno ? errno : ENOENT;
                return -1;
            }
            strReal = (strParentReal == "/" ? "" : strParentReal) + strFull.substr(nSlash);
        } else {
            // A link that leads nowhere: where it would lead is unknown.
            rError = (bIsLink && bRefusedAsOutside) ? EXDEV : (nError ? nError : ENOENT);
            return -1;
        }
    }
    if (!IsWithin(strReal, strRootReal)) {
        rError = EXDEV;
        return -1;
    }
    std::string strInside = StripSeparators(strReal.substr(strRootReal.size()));
    int hFile = g_bHaveOpenat2 ? Openat2Beneath(hRoot, strInside, nFlags, nMode)
                               : ::open(strReal.c_str(), nFlags | O_CLOEXEC | O_NOFOLLOW, nMode);
    if (hFile < 0)
        rError = errno ? errno : ENOENT;
    return hFile;
}

int OpenBeneath(const std::string& strRoot, const std::string& strRelative, int nFlags,
                unsigned nMode, int& rError) {
    // The published folder itself may be a link: followed here, once.
    CHandle root(::open(strRoot.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (root.Get() < 0) {
        rError = errno ? errno : ENOENT;
        return -1;
    }
    bool bRefusedAsOutside = false;
    if (g_bHaveOpenat2) {
        int hFile = Openat2Beneath(root.Get(), strRelative, nFlags, nMode);
        // EAGAIN: a rename elsewhere raced with the walk; walk again.
        for (int nTry = 0; hFile < 0 && errno == EAGAIN && nTry < 3; ++nTry)
            hFile = Openat2Beneath(root.Get(), strRelative, nFlags, nMode);
        if (hFile >= 0)
            return hFile;
        int nError = errno;
        if (nError == ENOSYS || nError == EPERM) {
            g_bHaveOpenat2 = false;
        } else if (nError != EXDEV) {
            rError = nError;
            return -1;
        } else {
            bRefusedAsOutside = true;
        }
    }
    return OpenByCanonicalPath(root.Get(), strRoot, strRelative, nFlags, nMode, bRefusedAsOutside,
                               rError);
}

} // namespace

CLocalPath::CLocalPath(std::string strRoot, std::string strRelative)
    : m_strRoot(std::move(strRoot)), m_strRelative(std::move(strRelative)) {}

CLocalPath CLocalPath::Unconfined(std::string strPath) {
    CLocalPath path(std::string(), std::move(strPath));
    path.m_bConfined = false;
    return path;
}

void CLocalPath::UseCanonicalCheckOnly(bool bOnly) {
    g_bHaveOpenat2 = !bOnly;
}

std::string CLocalPath::Full() const {
    if (!m_bConfined)
        return m_strRelative;
    if (m_strRoot.empty())
        return std::string();
    std::string strFull = m_strRoot;
    if (strFull.back() != kSeparator)
        strFull += kSeparator;
    return strFull + m_strRelative;
}

CLocalPath CLocalPath::Child(const std::string& strName) const {
    CLocalPath child = *this;
    if (!child.m_strRelative.empty() && child.m_strRelative.back() != kSeparator)
        child.m_strRelative += kSeparator;
    child.m_strRelative += strName;
    return child;
}

int CLocalPath::Open(int nFlags, unsigned nMode, int& rError) const {
    if (!m_bConfined) {
        int hFile = ::open(m_strRelative.c_str(), nFlags | O_CLOEXEC, nMode);
        if (hFile < 0)
            rError = errno ? errno : ENOENT;
        return hFile;
    }
    if (m_strRoot.empty()) {
        rError = ENOENT;
        return -1;
    }
    return OpenBeneath(m_strRoot, m_strRelative, nFlags, nMode, rError);
}

bool CLocalPath::Exists() const {
    int nError = 0;
    CHandle file(Open(O_PATH, 0, nError));
    return file.Get() >= 0;
}

DIR* CLocalPath::OpenFolder() const {
    int nError = 0;
    CHandle folder(Open(O_RDONLY | O_DIRECTORY, 0, nError));
    if (folder.Get() < 0)
        return nullptr;
    DIR* pDir = ::fdopendir(folder.Get());
    if (pDir)
        folder.Release();
    return pDir;
}

int CLocalPath::OpenParent(std::string& rName, int& rError) const {
    std::string strPath = m_strRelative;
    while (strPath.size() > 1 && strPath.back() == kSeparator)
        strPath.pop_back();
    size_t nSlash = strPath.rfind(kSeparator);
    rName = nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
    if (rName.empty() || rName == "." || rName == "..") {
        // The published folder itself has no parent here.
        rError = EBUSY;
        return -1;
    }
    CLocalPath parent = *this;
    if (nSlash == std::string::npos)
        parent.m_strRelative = m_bConfined ? std::string() : std::string(".");
    else
        parent.m_strRelative = strPath.substr(0, nSlash == 0 ? 1 : nSlash);
    return parent.Open(O_PATH | O_DIRECTORY, 0, rError);
}

bool CLocalPath::RemoveEntry(int nFlags, int& rError) const {
    // A link whose target lies outside counts as missing, even though
    // removing the link itself would touch nothing outside.
    CHandle target(Open(O_PATH, 0, rError));
    if (target.Get() < 0 && rError == EXDEV)
        return false;
    std::string strName;
    CHandle parent(OpenParent(strName, rError));
    if (parent.Get() < 0)
        return false;
    if (::unlinkat(parent.Get(), strName.c_str(), nFlags) != 0) {
        rError = errno ? errno : EIO;
        return false;
    }
    return true;
}

bool CLocalPath::Delete(int& rError) const {
    return RemoveEntry(0, rError);
}

bool CLocalPath::MakeFolder(int& rError) const {
    std::string strName;
    CHandle parent(OpenParent(strName, rError));
    if (parent.Get() < 0)
        return false;
    if (::mkdirat(parent.Get(), strName.c_str(), 0777) != 0) {
        rError = errno ? errno : EIO;
        return false;
    }
    return true;
}

bool CLocalPath::RemoveFolder(int& rError) const {
    if (m_bConfined && IsPublishedFolder())
        return RemovePublishedFolder(rError);
    return RemoveEntry(AT_REMOVEDIR, rError);
}

bool CLocalPath::IsPublishedFolder() const {
    return !m_strRoot.empty() && m_strRelative.find_first_not_of(kSeparator) == std::string::npos;
}

bool CLocalPath::RemovePublishedFolder(int& rError) const {
    // The published folder is named as configured; removing it goes through
    // no link (a folder published through a link is not a folder to remove:
    // ENOTDIR), and the file system's root is never empty.
    std::string strFolder = m_strRoot;
    while (strFolder.size() > 1 && strFolder.back() == kSeparator)
        strFolder.pop_back();
    if (::rmdir(strFolder.c_str()) != 0) {
        rError = errno ? errno : EIO;
        return false;
    }
    return true;
}

bool CLocalPath::MakeCurrentFolder(int& rError) const {
    CHandle folder(Open(O_PATH | O_DIRECTORY, 0, rError));
    if (folder.Get() < 0)
        return false;
    if (::fchdir(folder.Get()) != 0) {
        rError = errno ? errno : EIO;
        return false;
    }
    return true;
}

bool CLocalPath::Stat(struct stat& rInfo) const {
    int nError = 0;
    CHandle target(Open(O_PATH, 0, nError));
    return target.Get() >= 0 && ::fstat(target.Get(), &rInfo) == 0;
}

std::string CLocalPath::RealPath() const {
    std::string strFull = Full();
    while (strFull.size() > 1 && strFull.back() == kSeparator)
        strFull.pop_back();
    if (strFull.empty())
        return std::string();
    if (char* pszReal = ::realpath(strFull.c_str(), nullptr)) {
        std::string strReal(pszReal);
        ::free(pszReal);
        return strReal;
    }
    // Not there yet: its folder, and its name.
    const size_t nSlash = strFull.rfind(kSeparator);
    if (nSlash == std::string::npos || nSlash + 1 >= strFull.size())
        return std::string();
    const std::string strName = strFull.substr(nSlash + 1);
    if (strName == "." || strName == "..")
        return std::string();
    char* pszFolder = ::realpath(nSlash == 0 ? "/" : strFull.substr(0, nSlash).c_str(), nullptr);
    if (!pszFolder)
        return std::string();
    std::string strReal(pszFolder);
    ::free(pszFolder);
    if (strReal.back() != kSeparator)
        strReal += kSeparator;
    return strReal + strName;
}

bool CLocalPath::RenameTo(const CLocalPath& target, int& rError) const {
    // The entry itself must be reachable without leaving its folder.
    CHandle source(Open(O_PATH, 0, rError));
    if (source.Get() < 0 && rError == EXDEV)
        return false;
    std::string strFrom;
    std::string strTo;
    CHandle fromParent(OpenParent(strFrom, rError));
    if (fromParent.Get() < 0)
        return false;
    CHandle toParent(target.OpenParent(strTo, rError));
    if (toParent.Get() < 0)
        return false;
    if (::renameat2(fromParent.Get(), strFrom.c_str(), toParent.Get(), strTo.c_str(),
                    RENAME_NOREPLACE) != 0) {
        rError = errno ? errno : EIO;
        return false;
    }
    return true;
}

namespace {
// The name through which a descriptor opened with O_PATH can be changed:
// the change reaches the very file that was checked, with no second walk.
std::string DescriptorName(int hFile) {
    return "/proc/self/fd/" + std::to_string(hFile);
}
} // namespace

bool CLocalPath::SetMode(unsigned nMode, int& rError) const {
    CHandle target(Open(O_PATH, 0, rError));
    if (target.Get() < 0)
        return false;
    if (::chmod(DescriptorName(target.Get()).c_str(), nMode) != 0) {
        rError = errno ? errno : EIO;
        return false;
    }
    return true;
}

bool CLocalPath::SetModified(time_t when, int& rError) const {
    CHandle target(Open(O_PATH, 0, rError));
    if (target.Get() < 0)
        return false;
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT; // the access time stays
    times[1].tv_sec = when;
    times[1].tv_nsec = 0;
    if (::utimensat(AT_FDCWD, DescriptorName(target.Get()).c_str(), times, 0) != 0) {
        rError = errno ? errno : EIO;
        return false;
    }
    return true;
}
