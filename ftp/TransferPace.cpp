#include "ftp/TransferPace.h"

void CTransferPace::Begin(std::function<void()> resume) {
    m_resume = std::move(resume);
    if (!m_pLimiter || m_bJoined)
        return;
    m_bJoined = true;
    m_pLimiter->Join(*this);
}

void CTransferPace::End() {
    m_timer.Stop();
    m_bHeld = false;
    if (!m_bJoined)
        return;
    m_bJoined = false;
    m_pLimiter->Leave(*this);
    m_nRate = 0;
}

int64_t CTransferPace::Allowance() {
    if (m_nRate == 0)
        return -1;
    if (m_bHeld)
        return 0;
    const auto now = CTokenBucket::Clock::now();
    if (!m_bucket.Ready(now)) {
        Hold(now);
        return 0;
    }
    return m_bucket.Available(now);
}

CByteMover::SResult CTransferPace::Charge(CByteMover::SResult result) {
    if (m_nRate == 0)
        return result;
    m_bucket.Take(result.nMoved);
    const bool bGoesOn = result.next == CByteMover::SResult::Next::Wait ||
                         result.next == CByteMover::SResult::Next::TurnOver;
    const auto now = CTokenBucket::Clock::now();
    if (bGoesOn && !m_bHeld && !m_bucket.Ready(now)) {
        Hold(now);
        result.next = CByteMover::SResult::Next::Wait;
    }
    return result;
}

void CTransferPace::SetRate(int64_t nRate) {
    if (nRate == m_nRate)
        return;
    m_nRate = nRate;
    const auto now = CTokenBucket::Clock::now();
    if (nRate == 0)
        m_bucket = CTokenBucket();
    else
        m_bucket.SetRate(nRate, now);
    // A held transfer waits as long as its new rate says (no limit: not at
    // all); never called back from inside another transfer's change.
    if (m_bHeld)
        m_timer.Start(nRate == 0 ? 0 : m_bucket.WaitMs(now), [this] { Resume(); });
}

void CTransferPace::Hold(CTokenBucket::Clock::time_point now) {
    m_bHeld = m_timer.Start(m_bucket.WaitMs(now), [this] { Resume(); });
}

void CTransferPace::Resume() {
    m_bHeld = false;
    if (m_resume)
        m_resume();
}
