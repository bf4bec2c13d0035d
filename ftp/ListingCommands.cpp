#include "ftp/ListingCommands.h"

#include "config/ServerSettings.h"
#include "ftp/ClientSocket.h"
#include "ftp/FtpTables.h"
#include "ftp/Listing.h"
#include "ftp/PathResolver.h"
#include "ftp/SessionState.h"
#include "ftp/SessionTransfers.h"
#include "ftp/TransferStart.h"
#include "ftp/VirtualPath.h"
#include "res/LogText.h"
#include "res/Strings.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

// The argument of LIST or NLST without the leading option words ("-a",
// "-la") that clients send as if to ls.
std::string WithoutOptions(const std::string& strParameter) {
    std::string strRest = Trim(strParameter);
    while (strRest.size() > 1 && strRest[0] == '-') {
        size_t nBlank = strRest.find_first_of(" \t");
        strRest = nBlank == std::string::npos ? std::string() : Trim(strRest.substr(nBlank));
    }
    return strRest;
}

// A folder path without its final "/" (the root stays "/").
std::string WithoutFinalSlash(const std::string& strPath) {
    return strPath.size() > 1 && strPath.back() == '/' ? strPath.substr(0, strPath.size() - 1)
                                                       : strPath;
}

SEntryInfo InfoOf(const struct stat& info) {
    SEntryInfo entry;
    entry.nMode = info.st_mode;
    entry.nLinks = static_cast<unsigned>(info.st_nlink);
    entry.nSize = static_cast<int64_t>(info.st_size);
    entry.modified = info.st_mtime;
    return entry;
}

// The attributes of a folder of the map that has no local folder.
SEntryInfo VirtualFolderInfo() {
    SEntryInfo entry;
    entry.nMode = S_IFDIR | 0755;
    entry.modified = ::time(nullptr);
    return entry;
}

} // namespace

CListingCommands::CListingCommands(const SCommandContext& context)
    : m_rSession(context.rSession), m_rState(context.rState), m_rTransfers(context.rTransfers),
      m_rStart(context.rStart), m_strWord(context.strWord) {}

void CListingCommands::DoList(const CCommandRow& rRow, const std::string& strParameter) {
    CPathResolver::STarget target;
    if (!CPathResolver(m_rSession, m_rState)
             .Resolve(rRow, strParameter, CPathResolver::PathForm::Folder, target))
        return;
    // The classic reply names the listing's own file.
    SListingRequest request;
    request.style = rRow.nCode == CMD_NLST ? ListingStyle::Nlst : ListingStyle::List;
    auto pListing = StartListing(target.strPath, std::move(request));
    const std::string strShown = pListing ? pListing->FileName() : std::string();
    SendListing(std::move(pListing), FormatString(ReplyText(REPLY_CANT_CHANGE_DIR), ""), strShown,
                target.strPath);
}

void CListingCommands::SendListing(std::unique_ptr<CListingBuilder> pListing,
                                   const std::string& strFailReply, const std::string& strShownPath,
                                   const std::string& strListedPath) {
    // A listing that is not complete after its first slice goes on being
    // written while its data connection is made.
    const bool bComplete = pListing && pListing->WriteSlice();
    if (!ListingWritten(pListing.get(), bComplete, strListedPath)) {
        m_rSession.SendReply(strFailReply);
        return;
    }
    const std::string strName = pListing->FileName();
    if (bComplete)
        pListing.reset();
    m_rStart.Announce(m_strWord, strShownPath);
    m_rStart.Send(CLocalPath::Unconfined(strName), strListedPath, true, std::move(pListing));
}

std::unique_ptr<CListingBuilder> CListingCommands::StartListing(const std::string& strPath,
                                                                SListingRequest request) {
    auto pListing = CListingBuilder::Start(CPathResolver::SessionMap(m_rSession, m_rState), strPath,
                                           std::move(request));
    // A folder made in place of the user's own is said once, when made.
    if (const std::string strNotice = TakeListingFolderNotice(); !strNotice.empty())
        m_rSession.Log(strNotice, 0);
    return pListing;
}

bool CListingCommands::ListingWritten(const CListingBuilder* pListing, bool bComplete,
                                      const std::string& strPath) const {
    if (pListing && (!bComplete || pListing->IsOk()))
        return true;
    const int nError = pListing ? pListing->Error() : CListingBuilder::StartError();
    m_rSession.Log(FormatString(LoadString(IDS_LISTING_FAILED), LogSafe(strPath).c_str(),
                                std::strerror(nError)),
                   0);
    return false;
}

bool CListingCommands::ResolveListingPath(const std::string& strParameter, std::string& rPath,
                                          bool& rFile) const {
    const CFolderMap& folderMap = CPathResolver::SessionMap(m_rSession, m_rState);
    rPath = m_rState.Folder();
    rFile = false;
    const std::string strArgument = WithoutOptions(strParameter);
    if (!strArgument.empty() && !ResolvePath(rPath, strArgument))
        return false;
    CLocalPath local = MapToLocalPath(folderMap, WithoutFinalSlash(rPath));
    struct stat info {};
    if (!local.IsEmpty() && !local.Relative().empty() && local.Stat(info) &&
        !S_ISDIR(info.st_mode)) {
        rPath = WithoutFinalSlash(rPath);
        rFile = true;
        return true;
    }
    local = MapToLocalPath(folderMap, rPath);
    return (!local.IsEmpty() && local.Exists()) || !FolderMapChildren(folderMap, rPath).empty();
}

bool CListingCommands::PrepareListing(const CCommandRow& rRow, const std::string& strParameter,
                                      std::string& rPath, bool& rFile, bool bFolderOnly) {
    if (!ResolveListingPath(strParameter, rPath, rFile)) {
        m_rSession.SendExtended(XREPLY_NOT_FOUND);
        return false;
    }
    if (bFolderOnly && rFile) {
        m_rSession.SendExtended(XREPLY_NOT_A_FOLDER);
        return false;
    }
    return CPathResolver(m_rSession, m_rState).Admit(rRow, rPath);
}

void CListingCommands::DoExtendedList(const CCommandRow& rRow, const std::string& strParameter) {
    SListingRequest request;
    std::string strPath;
    if (!PrepareListing(rRow, strParameter, strPath, request.bFile, false))
        return;
    request.style = rRow.nCode == CMD_NLST ? ListingStyle::UnixNlst : ListingStyle::UnixList;
    request.strShownName = WithoutOptions(strParameter);
    SendListing(StartListing(strPath, std::move(request)), ExtendedReplyText(XREPLY_LISTING_FAILED),
                WithoutFinalSlash(strPath), WithoutFinalSlash(strPath));
}

void CListingCommands::DoMlsd(const CCommandRow& rRow, const std::string& strParameter) {
    SListingRequest request;
    std::string strPath;
    if (!PrepareListing(rRow, strParameter, strPath, request.bFile, true))
        return;
    request.style = ListingStyle::Machine;
    request.nFacts = m_rState.Facts();
    request.bMayDownload =
        CheckAccess(m_rSession.Settings().m_users, CPathResolver::SessionMap(m_rSession, m_rState),
                    m_rState.User(), AccessClass::Download, strPath);
    request.bMayUpload =
        CheckAccess(m_rSession.Settings().m_users, CPathResolver::SessionMap(m_rSession, m_rState),
                    m_rState.User(), AccessClass::Upload, strPath);
    SendListing(StartListing(strPath, std::move(request)), ExtendedReplyText(XREPLY_LISTING_FAILED),
                WithoutFinalSlash(strPath), WithoutFinalSlash(strPath));
}

void CListingCommands::DoMlst(const CCommandRow&, const std::string& strParameter) {
    std::string strPath;
    bool bFile = false;
    if (!ResolveListingPath(strParameter, strPath, bFile)) {
        m_rSession.SendExtended(XREPLY_NOT_FOUND);
        return;
    }
    const std::string strShown = WithoutFinalSlash(strPath);
    CLocalPath local =
        MapToLocalPath(CPathResolver::SessionMap(m_rSession, m_rState), bFile ? strShown : strPath);
    struct stat info {};
    SEntryInfo entry = !local.IsEmpty() && local.Stat(info) ? InfoOf(info) : VirtualFolderInfo();
    const bool bDownload =
        CheckAccess(m_rSession.Settings().m_users, CPathResolver::SessionMap(m_rSession, m_rState),
                    m_rState.User(), AccessClass::Download, strPath);
    const bool bUpload =
        CheckAccess(m_rSession.Settings().m_users, CPathResolver::SessionMap(m_rSession, m_rState),
                    m_rState.User(), AccessClass::Upload, strPath);
    m_rSession.SendReply(FormatString(
        ExtendedReplyText(XREPLY_MLST), strShown.c_str(),
        (" " + FormatMachineEntry(entry, bDownload, bUpload, strShown, false, m_rState.Facts()))
            .c_str()));
}

void CListingCommands::SendStatus() {
    static const char* const kTypes[] = {"ASCII", "L 8", "IMAGE"};
    std::string strLines = " Connected from " + m_rSession.PeerAddress() + "\r\n";
    strLines += " Logged in as " + m_rState.User() + "\r\n";
    const int nType = m_rState.Type();
    strLines += std::string(" TYPE: ") + kTypes[nType >= 0 && nType < 3 ? nType : 0] +
                ", STRUcture: File, MODE: Stream\r\n";
    strLines += " Data connections: " + std::to_string(m_rTransfers.Running()) + "\r\n";
    m_rSession.SendReply(
        FormatString(ExtendedReplyText(XREPLY_STATUS), LocalHostName().c_str(), strLines.c_str()));
}

void CListingCommands::DoStat(const CCommandRow&, const std::string& strParameter) {
    if (Trim(strParameter).empty()) {
        SendStatus();
        return;
    }
    std::string strPath;
    bool bFile = false;
    if (!ResolveListingPath(strParameter, strPath, bFile)) {
        m_rSession.SendExtended(XREPLY_NOT_FOUND);
        return;
    }
    // The listing goes over the control connection, each line indented. It
    // is written in slices and sent as the client reads it, like a LIST:
    // other clients are served meanwhile, and this one's next commands wait.
    SListingRequest request;
    request.style = ListingStyle::UnixList;
    request.bFile = bFile;
    request.strShownName = WithoutOptions(strParameter);
    auto pListing = StartListing(strPath, std::move(request));
    const bool bComplete = pListing && pListing->WriteSlice();
    if (!ListingWritten(pListing.get(), bComplete, strPath)) {
        m_rSession.SendExtended(XREPLY_LISTING_FAILED);
        return;
    }
    m_rSession.SendReply("213-Status of \"" + WithoutFinalSlash(strPath) + "\"\r\n");
    m_rSession.BeginStatListing(std::move(pListing), bComplete);
}
