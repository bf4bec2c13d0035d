// A listing still being written into its file when its transfer starts:
// written one slice per turn of the event loop, so that other clients are
// answered between slices, and its end told once to the data connection
// that sends the file.
#pragma once

#include "ftp/Listing.h"
#include "net/Timer.h"

#include <functional>
#include <memory>

class CListingWriter {
public:
    // pListing null: nothing is left to write.
    explicit CListingWriter(std::unique_ptr<CListingBuilder> pListing)
        : m_pListing(std::move(pListing)) {}

    // Writes the listing, a slice at a time; onWritten(bOk) runs once it
    // is complete, bOk false when it could not be written to its end.
    void Start(std::function<void(bool bOk)> onWritten);
    bool IsWriting() const { return m_pListing != nullptr; }
    // Why the listing could not be written to its end (an errno); 0 when
    // it was, or when it has not ended.
    int Error() const { return m_nError; }
    // Stops writing; the unfinished file goes with the listing.
    void Stop();

private:
    void ScheduleSlice();

    std::unique_ptr<CListingBuilder> m_pListing;
    CTimer m_sliceTimer;
    std::function<void(bool bOk)> m_onWritten;
    int m_nError = 0;
};
