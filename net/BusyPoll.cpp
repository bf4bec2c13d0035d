#include "net/BusyPoll.h"

std::chrono::microseconds CBusyPoll::Window(bool bServed) {
    if (!bServed)
        return std::chrono::microseconds{0};
    if (m_nCredit > 0)
        return kWindow;
    if (++m_nSinceProbe < kProbeEvery)
        return std::chrono::microseconds{0};
    m_nSinceProbe = 0;
    return kWindow;
}

void CBusyPoll::Result(bool bCaught) {
    if (bCaught) {
        m_nCredit = m_nCredit + kCreditPerHit > kMaxCredit ? kMaxCredit : m_nCredit + kCreditPerHit;
        m_nSinceProbe = 0;
    } else {
        m_nCredit = m_nCredit > kCreditPerMiss ? m_nCredit - kCreditPerMiss : 0;
    }
}
