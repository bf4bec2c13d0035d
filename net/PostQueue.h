// Work handed to the event loop from any thread: a queue under a lock, and an
// eventfd that is readable while the queue holds work. The loop's epoll
// instance watches the eventfd, so a post wakes the loop however it waits:
// in its own wait, or through a watch on the epoll handle (the window's).
//
// Shared by the dispatcher and whoever posts: a thread may keep it beyond
// the dispatcher's end, and its posts are then refused and dropped.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

class CPostQueue {
public:
    CPostQueue();
    ~CPostQueue();
    CPostQueue(const CPostQueue&) = delete;
    CPostQueue& operator=(const CPostQueue&) = delete;

    // False when the eventfd could not be made.
    bool IsValid() const { return m_hEvent >= 0; }
    // The eventfd: readable while work waits.
    int Handle() const { return m_hEvent; }

    // Any thread. Work posted by one thread is taken in the order it was
    // posted. False once the queue is closed: the work is dropped (on the
    // posting thread) and never runs.
    bool Post(std::function<void()> work);
    // The loop's thread: everything posted so far, oldest first. Nothing
    // runs under the lock.
    std::vector<std::function<void()>> Take();
    // The loop's thread, as the loop ends: later posts are refused, and
    // what still waits is dropped without running.
    void Close();

private:
    std::mutex m_mutex;
    std::vector<std::function<void()>> m_waiting;
    bool m_bClosed = false;
    int m_hEvent = -1;
};
