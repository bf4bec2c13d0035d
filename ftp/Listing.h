// Directory listings: written whole into a temporary "FLS" file, then sent
// like a download. Folder-map entries below the listed directory come
// first (as folders), then the local folder's entries in the order the
// system returns them, nothing filtered.
#pragma once

#include "config/FolderRecord.h"
#include "fs/LocalPath.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <memory>
#include <string>
#include <vector>

// What a listing lists and how its lines look.
enum class ListingStyle {
    List,     // the classic LIST lines (LF)
    Nlst,     // the classic names (LF)
    UnixList, // the extended mode's LIST: `ls -l` lines, CR LF, no "." and ".."
    UnixNlst, // the extended mode's NLST: names, CR LF, no "." and ".."
    Machine,  // MLSD: RFC 3659 facts, CR LF
};

// The facts of an RFC 3659 line, as OPTS MLST names them.
enum : unsigned {
    kFactType = 1,
    kFactSize = 2,
    kFactModify = 4,
    kFactPerm = 8,
    kFactUnixMode = 16,
    kAllFacts = 31,
};
// The facts named in an OPTS MLST argument ("type;size;", any case);
// unknown names are left out.
unsigned ParseFacts(const std::string& strList);
// The names of the facts, each followed by ";", in their fixed order.
std::string FactNames(unsigned nFacts);
// Every fact as FEAT lists it, those in nFacts marked "*" (RFC 3659).
std::string FeatureFacts(unsigned nFacts);

struct SListingRequest {
    ListingStyle style = ListingStyle::List;
    // What the user may do in the listed folder (MLSD's perm fact).
    bool bMayDownload = false;
    bool bMayUpload = false;
    // The listed path names a file (no final "/"): only its line, showing
    // the name strShownName.
    bool bFile = false;
    std::string strShownName;
    // The facts MLSD shows (OPTS MLST chooses them).
    unsigned nFacts = kAllFacts;
};

// The attributes a listing line shows of one entry.
struct SEntryInfo {
    unsigned nMode = 0; // type and permission bits as stat reports them
    unsigned nLinks = 1;
    int64_t nSize = 0;
    time_t modified = 0;
};

// The folder the listings are written in: one of this process's own, in the
// user's private folder skerrow-<uid> under $XDG_RUNTIME_DIR (else the
// temporary folder). When what stands at skerrow-<uid> is not the user's
// own private folder (a link, another owner, open to others: in a shared
// temporary folder anyone may make it first), a fresh private folder of
// its own is made beside it instead. The folder holds a lock file, locked
// for as long as the process keeps the folder. Empty when no folder can be
// made.
std::string ListingFolder();
// What the log should say once about the folder just made: why it is not
// in the user's folder. Empty otherwise; cleared when taken.
std::string TakeListingFolderNotice();
// Removes the listing folders of this user's servers that have ended (a
// server killed before it could clean up, whether or not its process has
// been reaped): those whose lock nobody holds, with their listings.
void RemoveStaleListings();
// Removes this process's own listing folder with what is left in it (when
// the server ends).
void RemoveOwnListingFolder();

// One `ls -l` line (CR LF): the year replaces the time for entries more
// than six months old or in the future, as of now.
std::string FormatUnixEntry(const SEntryInfo& info, time_t now, const std::string& strName);
// One RFC 3659 line of facts (CR LF); the permission facts follow what the
// user may do. bFolderItself: the listed folder's own line (type=cdir).
std::string FormatMachineEntry(const SEntryInfo& info, bool bMayDownload, bool bMayUpload,
                               const std::string& strName, bool bFolderItself = false,
                               unsigned nFacts = kAllFacts);

// One LIST line of a local entry (ends in a single LF).
std::string FormatLocalEntry(bool bDirectory, bool bReadOnly, int64_t nSize, const tm& time,
                             const std::string& strName);
// One LIST line of a folder-map entry, dated with the given time.
std::string FormatFolderMapEntry(const tm& time, const std::string& strName);

// Builds the listing of a virtual directory (ending in "/") for LIST
// (code 13) or NLST (code 14). Returns the temporary file's full name, or
// an empty name when it cannot be made or written.
std::string BuildListing(const CFolderMap& folderMap, const std::string& strPath, int nCode);

// A listing written into its temporary file a slice at a time, so that a
// folder of many thousand entries does not hold up the other clients.
class CListingBuilder {
public:
    // Makes the temporary file and writes the folder-map lines; null when
    // the file cannot be made.
    static std::unique_ptr<CListingBuilder> Start(const CFolderMap& folderMap,
                                                  const std::string& strPath, int nCode);
    static std::unique_ptr<CListingBuilder>
    Start(const CFolderMap& folderMap, const std::string& strPath, SListingRequest request);
    // A listing that did not end well takes its file with it.
    ~CListingBuilder();
    CListingBuilder(const CListingBuilder&) = delete;
    CListingBuilder& operator=(const CListingBuilder&) = delete;

    // Writes local entries for about the given time; true once the listing
    // is complete and its file closed.
    bool WriteSlice(std::chrono::microseconds budget = kSlice);

    // How long one slice may take: other clients are answered between slices.
    static constexpr std::chrono::microseconds kSlice{500};
    // The stream's buffer for the listing's file.
    static constexpr size_t kWriteBuffer = 64 * 1024;
    // False once a write has failed; Error() then says why (an errno).
    bool IsOk() const { return m_bOk; }
    int Error() const { return m_nError; }
    // Why the last Start that returned null failed (an errno).
    static int StartError();
    const std::string& FileName() const { return m_strName; }

private:
    CListingBuilder() = default;
    void Write(const std::string& strLine);
    void WriteEntry(const char* pszName);
    void WriteExtendedEntry(const SEntryInfo& info, const std::string& strName);

    std::string m_strName;
    FILE* m_pFile = nullptr;
    DIR* m_pDir = nullptr;
    CLocalPath m_folder;
    SListingRequest m_request;
    bool m_bFilePending = false; // a file listing whose line is not written yet
    time_t m_now = 0;
    bool m_bOk = true;
    int m_nError = 0;
};
