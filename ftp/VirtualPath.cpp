#include "ftp/VirtualPath.h"

#include <algorithm>
#include <unistd.h>
#include <vector>

namespace {

// A rooted path "/" c1 "/" ... "/" ck "/": every "." component goes; a ".."
// component takes the one before it away, and at the top it is simply
// dropped. Names of three or more dots stay. One pass, so that long lines
// of "/./" or "/../" cost linear time.
std::string CollapseDots(const std::string& strPath) {
    std::vector<std::pair<size_t, size_t>> kept; // start, length within strPath
    size_t nStart = 1;
    while (nStart < strPath.size()) {
        size_t nEnd = strPath.find('/', nStart);
        size_t nLen = nEnd - nStart;
        if (nLen == 2 && strPath.compare(nStart, 2, "..") == 0) {
            if (!kept.empty())
                kept.pop_back();
        } else if (nLen != 1 || strPath[nStart] != '.') {
            kept.emplace_back(nStart, nLen);
        }
        nStart = nEnd + 1;
    }
    std::string strResult = "/";
    for (const auto& [nPos, nLen] : kept) {
        strResult.append(strPath, nPos, nLen);
        strResult += '/';
    }
    return strResult;
}

// The same rules applied literally, first occurrence first, for a path that
// is not rooted (never the case for a client's directory).
std::string CollapseDotsLiterally(std::string strPath) {
    size_t nPos;
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

std::string ResolveFilePath(const std::string& strFolder, const std::string& strParameter) {
    std::string strPath = strFolder;
    ResolvePath(strPath, strParameter);
    if (strPath.size() > 1)
        strPath.pop_back();
    return strPath;
}

bool ResolvePath(std::string& rBase, const std::string& strParameter) {
    if (strParameter.empty() || rBase.empty())
        return false;
    std::string strParam = strParameter;
    for (char& ch : strParam)
        if (ch == '\\')
            ch = '/';
    std::string strPath;
    if (strParam[0] == '/')
        strPath = strParam;
    else if (rBase.back() == '/')
        strPath = rBase + strParam;
    else
        strPath = rBase + "/" + strParam;
    if (strPath.back() != '/')
        strPath += '/';
    // A virtual path has no empty component: "//pub/x" is "/pub/x", so the
    // entry that publishes /pub governs it, as it governs the file the
    // system opens for it.
    strPath.erase(std::unique(strPath.begin(), strPath.end(),
                              [](char a, char b) { return a == '/' && b == '/'; }),
                  strPath.end());
    rBase = strPath.size() > 1 && strPath[0] == '/' ? CollapseDots(strPath)
                                                    : CollapseDotsLiterally(strPath);
    return true;
}

CFolderRecord FindFolder(const CFolderMap& folderMap, const std::string& strPath) {
    CFolderRecord record;
    size_t nBest = 0;
    for (const CFolderRecord& entry : folderMap) {
        if (!entry.HasVirtualPath())
            continue;
        const std::string& strVirtual = entry.VirtualPath();
        const size_t nLength = strVirtual.size();
        if (nLength <= nBest || nLength > strPath.size())
            continue;
        if (strPath.compare(0, nLength, strVirtual) != 0)
            continue;
        if (strPath.size() == nLength || strPath[nLength] == '/' ||
            strVirtual[nLength - 1] == '/') {
            // Each entry is read on its own: what it leaves out is empty or
            // refused, never taken over from an earlier match. An entry
            // with no local folder governs nothing.
            if (entry.RealPath().empty())
                continue;
            nBest = nLength;
            record = entry;
        }
    }
    return record;
}

CLocalPath MapToLocalPath(const CFolderMap& folderMap, const std::string& strPath) {
    CFolderRecord record = FindFolder(folderMap, strPath);
    if (record.VirtualPath().empty())
        return CLocalPath();
    std::string strRest = strPath.substr(record.VirtualPath().size());
    for (char& ch : strRest)
        if (ch == '/')
            ch = kLocalSeparator;
    if (!strRest.empty() && strRest[0] == kLocalSeparator)
        strRest.erase(0, 1);
    return CLocalPath(record.RealPath(), strRest);
}

std::string MapToRealPath(const CFolderMap& folderMap, const std::string& strPath) {
    return MapToLocalPath(folderMap, strPath).Full();
}

namespace {

// Each entry with a local folder.
std::vector<CFolderRecord> LocalEntries(const CFolderMap& folderMap) {
    std::vector<CFolderRecord> records;
    for (const CFolderRecord& record : folderMap)
        if (!record.RealPath().empty())
            records.push_back(record);
    return records;
}

// Each of those entries whose folder resolves, with its real path.
std::vector<std::pair<CFolderRecord, std::string>>
EntryFolders(std::vector<CFolderRecord> records) {
    std::vector<std::pair<CFolderRecord, std::string>> entries;
    for (CFolderRecord& record : records) {
        std::string strReal = CLocalPath(record.RealPath(), std::string()).RealPath();
        if (!strReal.empty())
            entries.emplace_back(std::move(record), std::move(strReal));
    }
    return entries;
}

// True when strReal is strFolder or lies beneath it.
bool Holds(const std::string& strFolder, const std::string& strReal) {
    if (strReal.compare(0, strFolder.size(), strFolder) != 0)
        return false;
    return strReal.size() == strFolder.size() || strFolder.back() == '/' ||
           strReal[strFolder.size()] == '/';
}

} // namespace

bool CheckAccess(const CServerSettings& settings, const std::string& strUser, AccessClass access,
                 const std::string& strPath) {
    return CheckAccess(settings.m_users, settings.m_folderMap, strUser, access, strPath);
}

bool CheckAccess(const CUserList& users, const CFolderMap& folderMap, const std::string& strUser,
                 AccessClass access, const std::string& strPath) {
    if (access == AccessClass::None)
        return true;
    CUserRecord user = FindUser(users, strUser);
    CFolderRecord folder = FindFolder(folderMap, strPath);
    const bool bDownload = access == AccessClass::Download;
    if (!(bDownload ? user.MayDownload() && folder.MayDownload()
                    : user.MayUpload() && folder.MayUpload()))
        return false;
    // Every other entry that reaches the same place must allow it too; with
    // a single published folder there is none, and nothing more to resolve
    // (not even that folder's real path).
    std::vector<CFolderRecord> local = LocalEntries(folderMap);
    if (local.size() < 2)
        return true;
    const auto entries = EntryFolders(std::move(local));
    if (entries.size() < 2)
        return true;
    const std::string strReal = MapToLocalPath(folderMap, strPath).RealPath();
    if (strReal.empty())
        return true;
    for (const auto& [record, strFolder] : entries)
        if (Holds(strFolder, strReal) && !(bDownload ? record.MayDownload() : record.MayUpload()))
            return false;
    return true;
}

bool IsPublishedFolderItself(const CFolderMap& folderMap, const CLocalPath& local) {
    if (local.IsEmpty() || local.Relative().find_first_not_of('/') == std::string::npos)
        return true;
    const std::string strReal = local.RealPath();
    for (const auto& entry : EntryFolders(LocalEntries(folderMap)))
        if (entry.second == strReal)
            return true;
    return false;
}

bool ChangeDirectory(const CFolderMap& folderMap, std::string& rCwd, const std::string& strPath) {
    // Deliberately the process's working directory, shared by every client:
    // a successful change is what tells that the folder can be entered.
    CLocalPath local = MapToLocalPath(folderMap, strPath);
    int nError = 0;
    if (local.IsEmpty() || !local.MakeCurrentFolder(nError))
        return false;
    rCwd = strPath;
    return true;
}

std::vector<std::string> FolderMapChildren(const CFolderMap& folderMap,
                                           const std::string& strPath) {
    std::vector<std::string> children;
    for (const CFolderRecord& entry : folderMap) {
        if (!entry.HasVirtualPath())
            continue;
        std::string strEntryPath = entry.VirtualPath();
        if (strEntryPath.empty() || strEntryPath.back() != '/')
            strEntryPath += '/';
        if (strEntryPath.size() <= strPath.size() ||
            strEntryPath.compare(0, strPath.size(), strPath) != 0)
            continue;
        std::string strRest = strEntryPath.substr(strPath.size());
        children.push_back(strRest.substr(0, strRest.find('/')));
    }
    return children;
}
