#include "ftp/UserFolders.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kPlaceholder[] = "%u";
constexpr size_t kPlaceholderSize = sizeof kPlaceholder - 1;
// The mode of a folder made for its user: the server's user may write it,
// its group read it, and no one else.
constexpr mode_t kFolderMode = 0750;

// strText with every "%u" replaced by strUser.
std::string Replaced(const std::string& strText, const std::string& strUser) {
    std::string strResult;
    size_t nFrom = 0;
    for (size_t nAt; (nAt = strText.find(kPlaceholder, nFrom)) != std::string::npos;
         nFrom = nAt + kPlaceholderSize) {
        strResult.append(strText, nFrom, nAt - nFrom);
        strResult += strUser;
    }
    strResult.append(strText, nFrom, std::string::npos);
    return strResult;
}

// A folder descriptor closed when it goes.
class CFolderHandle {
public:
    explicit CFolderHandle(int nFd) : m_nFd(nFd) {}
    ~CFolderHandle() {
        if (m_nFd >= 0)
            close(m_nFd);
    }
    CFolderHandle(const CFolderHandle&) = delete;
    CFolderHandle& operator=(const CFolderHandle&) = delete;
    int Fd() const { return m_nFd; }

private:
    int m_nFd;
};

} // namespace

bool CUserFolders::UsesUserName(const CFolderMap& folderMap) {
    for (const CFolderRecord& record : folderMap)
        if (record.RealPath().find(kPlaceholder) != std::string::npos)
            return true;
    return false;
}

bool CUserFolders::IsUsableName(const std::string& strUser) {
    return !strUser.empty() && strUser.size() <= kMaxName && strUser != "." &&
           strUser.find('/') == std::string::npos && strUser.find('\0') == std::string::npos &&
           strUser.find("..") == std::string::npos;
}

CFolderMap CUserFolders::Substitute(const CFolderMap& folderMap, const std::string& strUser) {
    if (!IsUsableName(strUser))
        return CFolderMap();
    CFolderMap result;
    result.reserve(folderMap.size());
    for (const CFolderRecord& record : folderMap) {
        if (record.RealPath().find(kPlaceholder) == std::string::npos)
            result.push_back(record);
        else
            result.push_back(CFolderRecord::Make(record.VirtualPath(),
                                                 Replaced(record.RealPath(), strUser),
                                                 record.MayUpload(), record.MayDownload()));
    }
    return result;
}

CUserFolders::Made CUserFolders::MakeFolder(const std::string& strTemplate,
                                            const std::string& strUser, std::string& rFolder,
                                            std::string& rWhy) {
    // A path without "%u" names no folder of a user: nothing to make.
    const size_t nAt = strTemplate.find(kPlaceholder);
    if (nAt == std::string::npos)
        return Made::Already;
    if (!IsUsableName(strUser)) {
        rWhy = std::strerror(EINVAL);
        return Made::Failed;
    }
    // The component that holds the first "%u", and the folder it lies in
    // (which holds none: it is the administrator's, links and all).
    const size_t nStart = strTemplate.rfind('/', nAt);
    const size_t nEnd = strTemplate.find('/', nAt);
    const std::string strParent =
        nStart == std::string::npos ? std::string() : strTemplate.substr(0, nStart + 1);
    const std::string strName = Replaced(
        strTemplate.substr(nStart + 1, nEnd == std::string::npos ? nEnd : nEnd - nStart - 1),
        strUser);
    rFolder = strParent + strName;
    if (strParent.empty()) {
        rWhy = std::strerror(EINVAL);
        return Made::Failed;
    }
    CFolderHandle parent(open(strParent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parent.Fd() < 0 || mkdirat(parent.Fd(), strName.c_str(), kFolderMode) != 0) {
        if (parent.Fd() >= 0 && errno == EEXIST)
            return Made::Already;
        rWhy = std::strerror(errno);
        return Made::Failed;
    }
    // The mode as asked whatever the process's umask took from it, set on
    // the folder just made (never through a link put there meanwhile).
    CFolderHandle made(
        openat(parent.Fd(), strName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (made.Fd() < 0 || fchmod(made.Fd(), kFolderMode) != 0) {
        rWhy = std::strerror(errno);
        return Made::Failed;
    }
    return Made::Made;
}

const CFolderMap& CUserFolders::Map(const CServerSettings& settings, bool bExtended,
                                    const std::string& strUser) const {
    const CFolderMap& source = settings.m_folderMap;
    if (!bExtended)
        return source;
    if (m_bKept && m_strUser == strUser && m_source == source)
        return m_map;
    if (!UsesUserName(source)) {
        m_bKept = false;
        m_source.clear();
        m_map.clear();
        return source;
    }
    m_map = Substitute(source, strUser);
    m_source = source;
    m_strUser = strUser;
    m_bKept = true;
    return m_map;
}
