#include "net/WorkerPool.h"

#include <sched.h>
#include <system_error>
#include <utility>

namespace {

// A worker yields to the event loop's thread whenever both want a core: its
// work is long and in no hurry to the millisecond, while every client waits
// on the loop. Batch scheduling: the scheduler takes the worker for
// CPU-bound and never lets its turns preempt the loop's wake-ups. Its share
// of the processor stays a normal one, so that on a busy machine a login is
// not starved by other programs; failing leaves the thread as it was.
void YieldToTheLoop() {
    sched_param param{};
    ::sched_setscheduler(0, SCHED_BATCH, &param);
}

} // namespace

CWorkerPool::CWorkerPool(size_t nThreads, size_t nMaxWaiting, ThreadStarter starter)
    : m_nThreads(nThreads), m_nMaxWaiting(nMaxWaiting), m_starter(std::move(starter)) {
    if (!m_starter)
        m_starter = [](std::function<void()> body) { return std::thread(std::move(body)); };
}

CWorkerPool::~CWorkerPool() {
    Stop();
}

CWorkerPool::Result CWorkerPool::Submit(std::function<void()> work, std::string* pWhy) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_bStopped)
        return Result::Stopped;
    if (m_waiting.size() >= m_nMaxWaiting)
        return Result::Full;
    if (!EnsureThread(pWhy))
        return Result::NoThread;
    m_waiting.push_back(std::move(work));
    lock.unlock();
    m_wake.notify_one();
    return Result::Queued;
}

bool CWorkerPool::EnsureThread(std::string* pWhy) {
    // Every idle thread already has a piece waiting for it: one more.
    if (m_nIdle > m_waiting.size() || m_threads.size() >= m_nThreads)
        return !m_threads.empty();
    try {
        m_threads.push_back(m_starter([this] { Run(); }));
    } catch (const std::system_error& error) {
        // The threads that run take the work in turn; with none, nothing
        // would ever run it.
        if (m_threads.empty() && pWhy)
            *pWhy = error.what();
        return !m_threads.empty();
    }
    return true;
}

void CWorkerPool::Run() {
    YieldToTheLoop();
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        ++m_nIdle;
        m_wake.wait(lock, [this] { return m_bStopped || !m_waiting.empty(); });
        --m_nIdle;
        if (m_bStopped)
            return;
        std::function<void()> work = std::move(m_waiting.front());
        m_waiting.pop_front();
        lock.unlock();
        work();
        // What the work held goes before the lock is taken again.
        work = nullptr;
        lock.lock();
    }
}

void CWorkerPool::Stop() {
    std::vector<std::thread> threads;
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStopped = true;
        threads.swap(m_threads);
        dropped.swap(m_waiting);
    }
    m_wake.notify_all();
    for (std::thread& thread : threads)
        if (thread.joinable())
            thread.join();
    // The dropped work is released here, outside the lock.
}
