#include "net/SocketDispatcher.h"

#include "net/AsyncSocket.h"
#include "net/PostQueue.h"

#include <algorithm>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
CSocketDispatcher* g_pCurrent = nullptr;

uint64_t MakeKey(int hSocket, uint32_t nSerial) {
    return (static_cast<uint64_t>(nSerial) << 32) | static_cast<uint32_t>(hSocket);
}

// The post queue's key in the epoll instance: no socket has handle -1 or
// serial 0.
constexpr uint64_t kPostKey = 0xffffffffu;
} // namespace

CSocketDispatcher::CSocketDispatcher() : m_pPosts(std::make_shared<CPostQueue>()) {
    m_hEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_hEpoll < 0)
        return;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kPostKey;
    if (!m_pPosts->IsValid() ||
        ::epoll_ctl(m_hEpoll, EPOLL_CTL_ADD, m_pPosts->Handle(), &event) != 0) {
        ::close(m_hEpoll);
        m_hEpoll = -1;
        return;
    }
    g_pCurrent = this;
}

CSocketDispatcher::~CSocketDispatcher() {
    // Work still waiting is dropped, and later posts are refused.
    m_pPosts->Close();
    m_released.clear();
    if (g_pCurrent == this)
        g_pCurrent = nullptr;
    if (m_hEpoll >= 0)
        ::close(m_hEpoll);
}

CSocketDispatcher* CSocketDispatcher::Current() {
    return g_pCurrent;
}

void CSocketDispatcher::Register(CAsyncSocket* pSocket) {
    int hSocket = pSocket->m_hSocket;
    if (hSocket < 0 || m_hEpoll < 0)
        return;
    if (static_cast<size_t>(hSocket) >= m_entries.size())
        m_entries.resize(static_cast<size_t>(hSocket) + 64);
    Entry& rEntry = m_entries[static_cast<size_t>(hSocket)];
    if (pSocket->m_bInEpoll && rEntry.pSocket == pSocket) {
        UpdateInterest(pSocket);
        return;
    }
    pSocket->m_nSerial = m_nNextSerial++;
    if (m_nNextSerial == 0)
        m_nNextSerial = 1;
    rEntry.pSocket = pSocket;
    rEntry.nSerial = pSocket->m_nSerial;
    pSocket->m_bInEpoll = false;
    pSocket->m_nRegistered = 0;
    pSocket->m_bInterestQueued = false;
    UpdateInterest(pSocket);
}

void CSocketDispatcher::Unregister(CAsyncSocket* pSocket, bool bStaysOpen) {
    int hSocket = pSocket->m_hSocket;
    if (hSocket >= 0 && static_cast<size_t>(hSocket) < m_entries.size() &&
        m_entries[static_cast<size_t>(hSocket)].pSocket == pSocket)
        m_entries[static_cast<size_t>(hSocket)] = Entry{};
    // Closing the handle removes it from the epoll instance; a handle that
    // stays open (handed to another socket) is removed here.
    if (bStaysOpen && pSocket->m_bInEpoll)
        ::epoll_ctl(m_hEpoll, EPOLL_CTL_DEL, hSocket, nullptr);
    pSocket->m_bInEpoll = false;
    pSocket->m_nRegistered = 0;
    pSocket->m_bInterestQueued = false;
}

void CSocketDispatcher::UpdateInterest(CAsyncSocket* pSocket) {
    if (Lookup(pSocket->m_hSocket, pSocket->m_nSerial) != pSocket)
        return;
    // Inside a delivery the change waits for its end: a socket that changes
    // its mind several times, or closes, within one event costs the epoll
    // instance one call or none.
    if (m_nDelivering > 0) {
        if (!pSocket->m_bInterestQueued) {
            pSocket->m_bInterestQueued = true;
            m_interestChanged.push_back(MakeKey(pSocket->m_hSocket, pSocket->m_nSerial));
        }
        return;
    }
    ApplyInterest(pSocket);
}

void CSocketDispatcher::ApplyInterest(CAsyncSocket* pSocket) {
    pSocket->m_bInterestQueued = false;
    if (pSocket->m_state == CAsyncSocket::State::Finished) {
        // Nothing more will be delivered: stop the ever-reported hang-up
        // and error conditions from waking the loop.
        if (pSocket->m_bInEpoll)
            ::epoll_ctl(m_hEpoll, EPOLL_CTL_DEL, pSocket->m_hSocket, nullptr);
        pSocket->m_bInEpoll = false;
        pSocket->m_nRegistered = 0;
        return;
    }
    const uint32_t nWanted = pSocket->WantedEvents();
    // A socket that wants nothing yet (a listener that reports no
    // connection before it is asked) joins the epoll instance when it does.
    if (pSocket->m_bInEpoll ? nWanted == pSocket->m_nRegistered : nWanted == 0)
        return;
    epoll_event event{};
    event.events = nWanted;
    event.data.u64 = MakeKey(pSocket->m_hSocket, pSocket->m_nSerial);
    const int nOperation = pSocket->m_bInEpoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (::epoll_ctl(m_hEpoll, nOperation, pSocket->m_hSocket, &event) == 0) {
        pSocket->m_bInEpoll = true;
        pSocket->m_nRegistered = nWanted;
    }
}

void CSocketDispatcher::ApplyQueuedInterest() {
    while (!m_interestChanged.empty()) {
        std::vector<uint64_t> changed;
        changed.swap(m_interestChanged);
        for (uint64_t nKey : changed)
            if (CAsyncSocket* pSocket =
                    Lookup(static_cast<int>(nKey & 0xffffffffu), static_cast<uint32_t>(nKey >> 32)))
                ApplyInterest(pSocket);
    }
}

CAsyncSocket* CSocketDispatcher::Lookup(int hSocket, uint32_t nSerial) const {
    if (hSocket < 0 || static_cast<size_t>(hSocket) >= m_entries.size())
        return nullptr;
    const Entry& rEntry = m_entries[static_cast<size_t>(hSocket)];
    return rEntry.nSerial == nSerial ? rEntry.pSocket : nullptr;
}

void CSocketDispatcher::Deliver(uint64_t nKey, uint32_t nEvents) {
    BeginDelivery();
    DeliverTo(static_cast<int>(nKey & 0xffffffffu), static_cast<uint32_t>(nKey >> 32), nEvents);
    EndDelivery();
}

void CSocketDispatcher::EndDelivery() {
    if (--m_nDelivering > 0)
        return;
    ApplyQueuedInterest();
    // Deleting may release more (an owner's parts): take them in turn.
    while (!m_released.empty()) {
        std::vector<std::unique_ptr<CAsyncSocket>> released;
        released.swap(m_released);
        ++m_nDelivering;
        released.clear();
        --m_nDelivering;
    }
}

void CSocketDispatcher::ReleaseLater(std::unique_ptr<CAsyncSocket> pSocket) {
    if (!pSocket)
        return;
    pSocket->Close();
    if (m_nDelivering > 0)
        m_released.push_back(std::move(pSocket));
}

void ReleaseAfterEvent(std::unique_ptr<CAsyncSocket> pSocket) {
    if (g_pCurrent)
        g_pCurrent->ReleaseLater(std::move(pSocket));
}

bool CSocketDispatcher::Post(std::function<void()> work) {
    return m_pPosts->Post(std::move(work));
}

void CSocketDispatcher::RunPosts() {
    for (std::function<void()>& rWork : m_pPosts->Take()) {
        BeginDelivery();
        // Let go of inside the delivery, with whatever it holds.
        std::function<void()> work = std::move(rWork);
        work();
        work = nullptr;
        EndDelivery();
    }
}

void CSocketDispatcher::DeliverTo(int hSocket, uint32_t nSerial, uint32_t nEvents) {
    CAsyncSocket* pSocket = Lookup(hSocket, nSerial);
    if (!pSocket)
        return;
    pSocket->Deliver(nEvents, *this);
    // The handler may have deleted the socket: look it up again.
    if ((pSocket = Lookup(hSocket, nSerial)))
        UpdateInterest(pSocket);
}

void CSocketDispatcher::NoteBufferedInput(CAsyncSocket* pSocket) {
    m_buffered.push_back(MakeKey(pSocket->m_hSocket, pSocket->m_nSerial));
    // A loop driving this one from outside (the window's) comes back at once.
    if (m_buffered.size() == 1)
        NotifyTimerChange();
}

void CSocketDispatcher::DeliverBufferedInput() {
    std::vector<uint64_t> pending;
    pending.swap(m_buffered);
    for (uint64_t nKey : pending) {
        const int hSocket = static_cast<int>(nKey & 0xffffffffu);
        const uint32_t nSerial = static_cast<uint32_t>(nKey >> 32);
        CAsyncSocket* pSocket = Lookup(hSocket, nSerial);
        if (!pSocket)
            continue;
        BeginDelivery();
        pSocket->DeliverBufferedInput(*this);
        if ((pSocket = Lookup(hSocket, nSerial)))
            UpdateInterest(pSocket);
        EndDelivery();
    }
}

int CSocketDispatcher::ProcessEvents(int nTimeoutMs, const sigset_t* pWaitMask) {
    if (m_hEpoll < 0)
        return -1;
    int nNext = NextTimerDelay();
    if (nNext >= 0 && (nTimeoutMs < 0 || nNext < nTimeoutMs))
        nTimeoutMs = nNext;
    // Bytes are held for reading: look for events without waiting.
    if (!m_buffered.empty())
        nTimeoutMs = 0;
    epoll_event events[256];
    int nReady = 0;
    bool bWait = true;
    // A wait that would sleep after a busy round: look a little first.
    const std::chrono::microseconds look =
        nTimeoutMs != 0 ? m_busyPoll.Window(m_bServed) : std::chrono::microseconds{0};
    if (look.count() > 0 && (nTimeoutMs < 0 || look < std::chrono::milliseconds(nTimeoutMs))) {
        nReady = LookWithoutSleeping(events, 256, look, pWaitMask);
        m_busyPoll.Result(nReady != 0);
        bWait = nReady == 0;
        // The look took time: the nearest timer is that much nearer.
        if (bWait && (nNext = NextTimerDelay()) >= 0 && (nTimeoutMs < 0 || nNext < nTimeoutMs))
            nTimeoutMs = nNext;
    }
    if (bWait)
        nReady = pWaitMask ? ::epoll_pwait(m_hEpoll, events, 256, nTimeoutMs, pWaitMask)
                           : ::epoll_wait(m_hEpoll, events, 256, nTimeoutMs);
    m_bServed = nReady > 0;
    for (int i = 0; i < nReady; ++i) {
        m_nRoundLeft = nReady - i - 1;
        if (events[i].data.u64 == kPostKey)
            RunPosts();
        else
            Deliver(events[i].data.u64, events[i].events);
    }
    m_nRoundLeft = 0;
    RunDueTimers();
    return nReady;
}

int CSocketDispatcher::LookWithoutSleeping(epoll_event* pEvents, int nMax,
                                           std::chrono::microseconds look,
                                           const sigset_t* pWaitMask) {
    const Clock::time_point end = Clock::now() + look;
    for (;;) {
        const int nReady = pWaitMask ? ::epoll_pwait(m_hEpoll, pEvents, nMax, 0, pWaitMask)
                                     : ::epoll_wait(m_hEpoll, pEvents, nMax, 0);
        if (nReady != 0 || Clock::now() >= end)
            return nReady;
        // Whoever else wants this processor (a client on it, a worker
        // thread) gets it between looks.
        ::sched_yield();
    }
}

bool CSocketDispatcher::OthersWaiting(const CAsyncSocket* pSelf) {
    if (m_nRoundLeft > 0 || !m_buffered.empty())
        return true;
    // What the sockets want now, pSelf's hang-up among it (a connection
    // made in this very event joins the epoll instance here).
    ApplyQueuedInterest();
    if (!m_timers.empty() && m_timers.begin()->first.first <= Clock::now())
        return true;
    // A look without waiting: readiness is level-triggered, so what is
    // seen here is reported again by the next wait.
    epoll_event events[4];
    const int nReady = ::epoll_wait(m_hEpoll, events, 4, 0);
    const uint64_t nSelf = pSelf ? MakeKey(pSelf->m_hSocket, pSelf->m_nSerial) : 0;
    for (int i = 0; i < nReady; ++i)
        if (events[i].data.u64 != nSelf ||
            (events[i].events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR | EPOLLPRI)))
            return true;
    return false;
}

CSocketDispatcher::TimerId CSocketDispatcher::SetTimer(int nDelayMs,
                                                       std::function<void()> callback) {
    TimerId nId = m_nNextTimer++;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(nDelayMs, 0));
    m_timers.emplace(std::make_pair(deadline, nId), std::move(callback));
    m_timerDeadlines.emplace(nId, deadline);
    NotifyTimerChange();
    return nId;
}

void CSocketDispatcher::KillTimer(TimerId nId) {
    auto it = m_timerDeadlines.find(nId);
    if (it == m_timerDeadlines.end())
        return;
    m_timers.erase(std::make_pair(it->second, nId));
    m_timerDeadlines.erase(it);
    NotifyTimerChange();
}

int CSocketDispatcher::NextTimerDelay() const {
    if (!m_buffered.empty())
        return 0;
    if (m_timers.empty())
        return -1;
    auto nLeft = m_timers.begin()->first.first - Clock::now();
    if (nLeft <= Clock::duration::zero())
        return 0;
    // Rounded up: a wait that ends before the deadline would only spin.
    auto nMs = std::chrono::ceil<std::chrono::milliseconds>(nLeft).count();
    return static_cast<int>(std::min<int64_t>(nMs, 24 * 3600 * 1000));
}

void CSocketDispatcher::RunDueTimers() {
    // Bytes held for reading count as due work.
    if (!m_buffered.empty())
        DeliverBufferedInput();
    // One at a time, looked up afresh: a callback may kill or set others.
    const Clock::time_point now = Clock::now();
    bool bRan = false;
    while (!m_timers.empty() && m_timers.begin()->first.first <= now) {
        auto it = m_timers.begin();
        TimerId nId = it->first.second;
        std::function<void()> callback = std::move(it->second);
        m_timers.erase(it);
        m_timerDeadlines.erase(nId);
        bRan = true;
        BeginDelivery();
        callback();
        EndDelivery();
    }
    if (bRan)
        NotifyTimerChange();
}

void CSocketDispatcher::SetTimerChangeHandler(std::function<void()> handler) {
    m_onTimerChange = std::move(handler);
}

void CSocketDispatcher::NotifyTimerChange() {
    if (m_onTimerChange)
        m_onTimerChange();
}

void CSocketDispatcher::WaitForDescriptor(CAsyncSocket* pListener) {
    m_descriptorWaiters.emplace_back(pListener->m_hSocket, pListener->m_nSerial);
    if (m_nBackOffTimer == 0)
        m_nBackOffTimer = SetTimer(kBackOffMs, [this] {
            m_nBackOffTimer = 0;
            ReleaseDescriptorWaiters();
        });
}

void CSocketDispatcher::DescriptorFreed() {
    if (!m_descriptorWaiters.empty())
        ReleaseDescriptorWaiters();
}

void CSocketDispatcher::ReleaseDescriptorWaiters() {
    if (m_nBackOffTimer != 0) {
        KillTimer(m_nBackOffTimer);
        m_nBackOffTimer = 0;
    }
    std::vector<std::pair<int, uint32_t>> waiters;
    waiters.swap(m_descriptorWaiters);
    for (const auto& [hSocket, nSerial] : waiters) {
        CAsyncSocket* pSocket = Lookup(hSocket, nSerial);
        if (!pSocket)
            continue;
        pSocket->ResumeAccepting();
        UpdateInterest(pSocket);
    }
}

void CSocketDispatcher::Run() {
    m_bStop = false;
    while (!m_bStop)
        ProcessEvents(-1);
}
