// A few worker threads for work too slow for the event loop (each piece
// taking tens of milliseconds of CPU). The loop hands work in; the work
// itself posts what the loop must do with its result (CPostQueue), so the
// pool knows nothing of sockets or of what the work is.
//
// Worker threads are scheduled as batch work, which never preempts the loop's
// wake-ups: the loop answers its clients at once even while every core hashes.
//
// Threads are started when work first needs them, at most nThreads; at
// most nMaxWaiting pieces wait for a thread, more are refused. Work runs on
// a worker thread: it must touch nothing the loop owns, only what it was
// given (copies) and the post queue.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CWorkerPool {
public:
    // How a thread is started: std::thread's own way, unless a test says
    // otherwise (it may throw std::system_error, as std::thread does).
    using ThreadStarter = std::function<std::thread(std::function<void()>)>;

    CWorkerPool(size_t nThreads, size_t nMaxWaiting, ThreadStarter starter = nullptr);
    // Stops the pool (see Stop).
    ~CWorkerPool();
    CWorkerPool(const CWorkerPool&) = delete;
    CWorkerPool& operator=(const CWorkerPool&) = delete;

    enum class Result {
        Queued,
        Full,     // nMaxWaiting pieces wait already
        NoThread, // no thread runs and none could be started
        Stopped,  // the pool has been stopped
    };
    // Queues the work. When it is refused the work is dropped at once and
    // strWhy (NoThread) says why no thread could start.
    Result Submit(std::function<void()> work, std::string* pWhy = nullptr);
    // Drops the work still waiting, waits for the pieces running to end,
    // and joins every thread. Later work is refused.
    void Stop();

private:
    void Run();
    // Under the lock: a thread more when every running one is busy; false
    // (with the reason) when none runs and none can start.
    bool EnsureThread(std::string* pWhy);

    const size_t m_nThreads;
    const size_t m_nMaxWaiting;
    ThreadStarter m_starter;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_waiting;
    std::vector<std::thread> m_threads;
    size_t m_nIdle = 0;
    bool m_bStopped = false;
};
