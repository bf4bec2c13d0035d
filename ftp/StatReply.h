// A STAT reply of a path in progress: its listing, written in slices, then
// read back, a few lines at a time, into the control connection's replies
// as the client takes them. The listing's file goes when the reply ends.
#pragma once

#include "ftp/Listing.h"

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

class CStatReply {
public:
    CStatReply() = default;
    ~CStatReply() { End(); }
    CStatReply(const CStatReply&) = delete;
    CStatReply& operator=(const CStatReply&) = delete;

    // Takes the listing, whose first slice is written (bWritten: that was
    // all of it).
    void Begin(std::unique_ptr<CListingBuilder> pListing, bool bWritten);
    bool IsRunning() const { return m_pListing != nullptr; }
    // The listing is written whole: its lines may go.
    bool IsWritten() const { return m_pListing && m_bWritten; }
    // Writes the next slice of the listing.
    void WriteSlice() { m_bWritten = m_pListing->WriteSlice(); }
    // The next lines while they fit in nRoom bytes, each indented; after
    // the last, the reply's closing line, and rEnd (the reply is ended).
    std::string NextLines(size_t nRoom, bool& rEnd);
    // Ends the reply: its listing file goes.
    void End();

private:
    std::unique_ptr<CListingBuilder> m_pListing;
    bool m_bWritten = false;
    FILE* m_pFile = nullptr;
};
