// The one event loop of the process: a level-triggered epoll instance and a
// table from socket handle to socket object. Events are delivered one at a
// time; before each delivery the handle is looked up again, so an object
// that was deleted or closed (or whose handle number was reused) never
// receives a stale event.
//
// It also keeps the process's timers: one ordered set of deadlines. The
// wait for events is bounded by the nearest deadline, and due timers run
// from the loop like events, one at a time. No signal; the loop runs on
// one thread, and other threads reach it only through Post.
#pragma once

#include "net/BusyPoll.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

class CAsyncSocket;
class CPostQueue;
struct epoll_event;

class CSocketDispatcher {
public:
    // Creates the epoll instance and makes this the process's dispatcher.
    CSocketDispatcher();
    ~CSocketDispatcher();
    CSocketDispatcher(const CSocketDispatcher&) = delete;
    CSocketDispatcher& operator=(const CSocketDispatcher&) = delete;

    // The process's dispatcher, or null when none exists.
    static CSocketDispatcher* Current();

    // False when the epoll instance could not be created.
    bool IsValid() const { return m_hEpoll >= 0; }
    // The epoll handle: readable whenever an event is ready.
    int Handle() const { return m_hEpoll; }

    // Waits up to nTimeoutMs (-1: for ever) and delivers every ready event.
    // With a signal mask, the wait uses it (epoll_pwait). Returns the number
    // of ready handles, or -1 (for instance when a signal interrupted).
    // After a round that served something, a wait that would sleep first
    // looks for events a little without sleeping (see CBusyPoll); a call
    // with nTimeoutMs 0 (the window's loop) never does.
    int ProcessEvents(int nTimeoutMs, const sigset_t* pWaitMask = nullptr);

    // True when something other than pSelf waits to be served: another
    // socket's event (of this round, or ready now), bytes held for reading,
    // a timer due; or pSelf's peer has closed, reset or sent urgent data. A handler that could go
    // on working (a transfer) uses it to take more than its fair turn only while nobody else needs
    // one.
    bool OthersWaiting(const CAsyncSocket* pSelf);

    // Runs until Stop() is called from a handler.
    void Run();
    void Stop() { m_bStop = true; }

    // Timers. SetTimer returns an identity (never 0) for KillTimer; the
    // callback runs once, from the loop, no sooner than nDelayMs from now.
    // A callback may set and kill timers and delete objects.
    using TimerId = uint64_t;
    TimerId SetTimer(int nDelayMs, std::function<void()> callback);
    void KillTimer(TimerId nId);
    // Milliseconds until the nearest deadline (0 when one is due), -1 when
    // no timer is set.
    int NextTimerDelay() const;
    // Runs every timer whose deadline has passed.
    void RunDueTimers();
    // Called whenever the nearest deadline may have changed, so that an
    // outside loop driving this one (the window's) can re-arm its wait.
    void SetTimerChangeHandler(std::function<void()> handler);

    // Any thread: runs the work on the loop's thread, from the loop, like a
    // timer callback (objects it releases go when it returns). Work posted
    // by one thread runs in the order it was posted; a post wakes a loop
    // that waits. Nothing is run while posts are taken, so a post never
    // holds the loop up for longer than a push onto a queue.
    bool Post(std::function<void()> work);
    // The queue behind Post, for a thread that may outlive the dispatcher:
    // once the dispatcher has gone, its posts are refused and dropped.
    std::shared_ptr<CPostQueue> Posts() const { return m_pPosts; }

    // Deferred release: an object that ends inside its own event handler is
    // handed here by its owner and deleted once the event (or timer) being
    // delivered has returned; at once when nothing is being delivered. It
    // is closed first, so it receives nothing meanwhile.
    void ReleaseLater(std::unique_ptr<CAsyncSocket> pSocket);

    // Used by CAsyncSocket.
    void Register(CAsyncSocket* pSocket);
    // bStaysOpen: the handle is not being closed (it is handed on).
    void Unregister(CAsyncSocket* pSocket, bool bStaysOpen = false);
    // The socket's wanted events may have changed: the epoll instance is
    // told at once, or at the end of the delivery under way.
    void UpdateInterest(CAsyncSocket* pSocket);
    // A listener that found no descriptor for a waiting connection stops
    // asking for accept events until a socket closes or kBackOffMs pass.
    void WaitForDescriptor(CAsyncSocket* pListener);
    // A socket has closed: listeners waiting for a descriptor try again.
    void DescriptorFreed();

    static constexpr int kBackOffMs = 100;

private:
    struct Entry {
        CAsyncSocket* pSocket = nullptr;
        uint32_t nSerial = 0;
    };

    friend class CDeferredReleaseScope;
    // A socket asks whether it still exists after a handler, and notes
    // bytes it holds for reading.
    friend class CAsyncSocket;

    CAsyncSocket* Lookup(int hSocket, uint32_t nSerial) const;
    // Tells the epoll instance what the socket wants now.
    void ApplyInterest(CAsyncSocket* pSocket);
    void ApplyQueuedInterest();
    void Deliver(uint64_t nKey, uint32_t nEvents);
    void DeliverTo(int hSocket, uint32_t nSerial, uint32_t nEvents);
    // Sockets holding bytes for reading that no readiness will announce
    // (or a listener holding a connection its filter handed back) are
    // delivered from the loop before it waits again.
    void NoteBufferedInput(CAsyncSocket* pSocket);
    void DeliverBufferedInput();
    // Runs the work posted so far, each piece in a delivery of its own.
    void RunPosts();
    // Brackets one delivery: objects released inside it go at its end.
    void BeginDelivery() { ++m_nDelivering; }
    void EndDelivery();

    using Clock = std::chrono::steady_clock;
    // Looks for events without sleeping for up to look (see CBusyPoll):
    // what epoll_wait returns, 0 when nothing came.
    int LookWithoutSleeping(epoll_event* pEvents, int nMax, std::chrono::microseconds look,
                            const sigset_t* pWaitMask);
    void NotifyTimerChange();
    void ReleaseDescriptorWaiters();

    int m_hEpoll = -1;
    uint32_t m_nNextSerial = 1;
    bool m_bStop = false;
    std::vector<Entry> m_entries;
    int m_nDelivering = 0;
    // Events of the current round not yet delivered.
    int m_nRoundLeft = 0;
    std::vector<std::unique_ptr<CAsyncSocket>> m_released;

    TimerId m_nNextTimer = 1;
    std::map<std::pair<Clock::time_point, TimerId>, std::function<void()>> m_timers;
    std::unordered_map<TimerId, Clock::time_point> m_timerDeadlines;
    std::function<void()> m_onTimerChange;

    // Listeners backing off for lack of descriptors (handle and serial).
    std::vector<std::pair<int, uint32_t>> m_descriptorWaiters;
    TimerId m_nBackOffTimer = 0;
    // Sockets holding bytes for reading (handle and serial).
    std::vector<uint64_t> m_buffered;
    // Sockets whose wanted events changed during the delivery under way.
    std::vector<uint64_t> m_interestChanged;
    // Work posted from any thread; its eventfd is in the epoll instance.
    std::shared_ptr<CPostQueue> m_pPosts;
    // Whether to look a little before sleeping, and whether the last round
    // served anything.
    CBusyPoll m_busyPoll;
    bool m_bServed = false;
};

// Releases a socket after the event (timer, post) being delivered, at once
// when nothing is: for an object that ends inside a handler that may be its
// own. It is closed first, so it receives nothing meanwhile.
void ReleaseAfterEvent(std::unique_ptr<CAsyncSocket> pSocket);

// Holds the dispatcher's deferred releases until it goes, as an event
// delivery does: for work that may end objects outside an event (a command
// run directly, a transfer that ends as it starts).
class CDeferredReleaseScope {
public:
    CDeferredReleaseScope() : m_pDispatcher(CSocketDispatcher::Current()) {
        if (m_pDispatcher)
            m_pDispatcher->BeginDelivery();
    }
    ~CDeferredReleaseScope() {
        if (m_pDispatcher)
            m_pDispatcher->EndDelivery();
    }
    CDeferredReleaseScope(const CDeferredReleaseScope&) = delete;
    CDeferredReleaseScope& operator=(const CDeferredReleaseScope&) = delete;

private:
    CSocketDispatcher* m_pDispatcher;
};
