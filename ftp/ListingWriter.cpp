#include "ftp/ListingWriter.h"

#include <utility>

void CListingWriter::Start(std::function<void(bool bOk)> onWritten) {
    m_onWritten = std::move(onWritten);
    ScheduleSlice();
}

void CListingWriter::ScheduleSlice() {
    // Other events run before the next slice.
    if (!m_pListing)
        return;
    m_sliceTimer.Start(0, [this] {
        if (!m_pListing->WriteSlice()) {
            ScheduleSlice();
            return;
        }
        const bool bOk = m_pListing->IsOk();
        if (!bOk)
            m_nError = m_pListing->Error();
        m_pListing.reset();
        m_onWritten(bOk);
    });
}

void CListingWriter::Stop() {
    m_sliceTimer.Stop();
    m_pListing.reset();
}
