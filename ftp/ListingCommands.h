// The commands that list: LIST and NLST (the classic and the ls-like
// forms), MLSD and MLST, and STAT (the session's status, or the listing of a
// path over the control connection).
#pragma once

#include "ftp/CommandContext.h"
#include "ftp/Listing.h"

#include <memory>
#include <string>

class CListingCommands {
public:
    explicit CListingCommands(const SCommandContext& context);

    void DoList(const CCommandRow& rRow, const std::string& strParameter);
    void DoExtendedList(const CCommandRow& rRow, const std::string& strParameter);
    void DoMlsd(const CCommandRow& rRow, const std::string& strParameter);
    void DoMlst(const CCommandRow& rRow, const std::string& strParameter);
    void DoStat(const CCommandRow& rRow, const std::string& strParameter);

private:
    // The first slice of a listing, then its data connection; a listing that
    // cannot be written gets strFailReply. strShownPath: what the 150 reply
    // names.
    void SendListing(std::unique_ptr<CListingBuilder> pListing, const std::string& strFailReply,
                     const std::string& strShownPath, const std::string& strListedPath);
    // Starts the listing of strPath; what the log should know about its
    // folder, and why it could not be started, are logged.
    std::unique_ptr<CListingBuilder> StartListing(const std::string& strPath,
                                                  SListingRequest request);
    // True when the listing was started and its first slice (when complete)
    // written; otherwise the reason is logged and false returned.
    bool ListingWritten(const CListingBuilder* pListing, bool bComplete,
                        const std::string& strPath) const;
    // What a listing argument names (leading option words skipped): a file
    // (rPath without final "/") or a folder (rPath ending in "/"); false
    // when nothing is there.
    bool ResolveListingPath(const std::string& strParameter, std::string& rPath, bool& rFile) const;
    // The same, and the permission test; false once the refusal is sent.
    // bFolderOnly: a file is refused (MLSD).
    bool PrepareListing(const CCommandRow& rRow, const std::string& strParameter,
                        std::string& rPath, bool& rFile, bool bFolderOnly);
    // STAT without a path: where the session stands.
    void SendStatus();

    CClientSocket& m_rSession;
    CSessionState& m_rState;
    CSessionTransfers& m_rTransfers;
    CTransferStart& m_rStart;
    const std::string& m_strWord;
};
