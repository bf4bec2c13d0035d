#include "ftp/StatReply.h"

#include <unistd.h>

void CStatReply::Begin(std::unique_ptr<CListingBuilder> pListing, bool bWritten) {
    End();
    m_pListing = std::move(pListing);
    m_bWritten = bWritten;
}

std::string CStatReply::NextLines(size_t nRoom, bool& rEnd) {
    if (!m_pFile)
        m_pFile = ::fopen(m_pListing->FileName().c_str(), "rbe");
    std::string strChunk;
    char szLine[4096];
    rEnd = !m_pFile;
    while (!rEnd && strChunk.size() < nRoom) {
        if (!::fgets(szLine, sizeof szLine, m_pFile)) {
            rEnd = true;
            break;
        }
        // A line longer than the buffer comes in pieces; only its first
        // piece is indented.
        if (strChunk.empty() || strChunk.back() == '\n')
            strChunk += ' ';
        strChunk += szLine;
    }
    if (rEnd) {
        strChunk += "213 End of status\r\n";
        End();
    }
    return strChunk;
}

void CStatReply::End() {
    // Nothing to end unless a reply is in progress (the common case, every
    // session's end, touches nothing more).
    if (!m_pListing)
        return;
    if (m_pFile)
        ::fclose(m_pFile);
    m_pFile = nullptr;
    ::unlink(m_pListing->FileName().c_str());
    m_pListing.reset();
    m_bWritten = false;
}
