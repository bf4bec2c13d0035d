#include "net/PostQueue.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

CPostQueue::CPostQueue() {
    m_hEvent = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

CPostQueue::~CPostQueue() {
    if (m_hEvent >= 0)
        ::close(m_hEvent);
}

bool CPostQueue::Post(std::function<void()> work) {
    bool bWake = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bClosed || m_hEvent < 0)
            return false;
        // Only the first of a batch signals: the loop takes the whole batch.
        bWake = m_waiting.empty();
        m_waiting.push_back(std::move(work));
    }
    if (bWake) {
        const uint64_t nOne = 1;
        // Cannot block: the counter would have to reach its maximum first.
        [[maybe_unused]] ssize_t n = ::write(m_hEvent, &nOne, sizeof nOne);
    }
    return true;
}

std::vector<std::function<void()>> CPostQueue::Take() {
    // The signal is cleared before the queue is emptied: a post that finds
    // the queue empty after this signals again, so none is missed. A signal
    // whose work was already taken only costs an empty round.
    uint64_t nCount = 0;
    [[maybe_unused]] ssize_t n = ::read(m_hEvent, &nCount, sizeof nCount);
    std::vector<std::function<void()>> taken;
    std::lock_guard<std::mutex> lock(m_mutex);
    taken.swap(m_waiting);
    return taken;
}

void CPostQueue::Close() {
    std::vector<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bClosed = true;
        dropped.swap(m_waiting);
    }
}
