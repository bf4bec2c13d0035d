// The one event loop of the process: a level-triggered epoll instance and a
// table from socket handle to socket object. Events are delivered one at a
// time; before each delivery the handle is looked up again, so an object
// that was deleted or closed (or whose handle number was reused) never
// receives a stale event.
#pragma once

#include <csignal>
#include <cstdint>
#include <vector>

class CAsyncSocket;

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
    int ProcessEvents(int nTimeoutMs, const sigset_t* pWaitMask = nullptr);

    // Runs until Stop() is called from a handler.
    void Run();
    void Stop() { m_bStop = true; }

    // Used by CAsyncSocket.
    void Register(CAsyncSocket* pSocket);
    void Unregister(CAsyncSocket* pSocket);
    void UpdateInterest(CAsyncSocket* pSocket);

private:
    struct Entry {
        CAsyncSocket* pSocket = nullptr;
        uint32_t nSerial = 0;
    };

    CAsyncSocket* Lookup(int hSocket, uint32_t nSerial) const;
    void Deliver(uint64_t nKey, uint32_t nEvents);

    int m_hEpoll = -1;
    uint32_t m_nNextSerial = 1;
    bool m_bStop = false;
    std::vector<Entry> m_entries;
};
