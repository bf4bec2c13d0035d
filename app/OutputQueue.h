// Standard output for the headless server, written without ever blocking
// the one thread. What the descriptor does not take at once waits in a
// bounded queue that the event loop's timer flushes; a text that does not
// fit is dropped whole (lines stay intact), and one line on standard error
// then says how many bytes were dropped.
#pragma once

#include "net/Timer.h"

#include <cstddef>
#include <string>

// One descriptor written without blocking: a regular file as it is, a
// socket with MSG_DONTWAIT, a pipe or terminal through a non-blocking open
// of its own (so the shared descriptor keeps its mode for other processes).
class CNonBlockingOutput {
public:
    explicit CNonBlockingOutput(int hOutput);
    ~CNonBlockingOutput();
    CNonBlockingOutput(const CNonBlockingOutput&) = delete;
    CNonBlockingOutput& operator=(const CNonBlockingOutput&) = delete;

    // Bytes taken (0 when the descriptor is full), -1 when it is broken.
    long Write(const char* pData, size_t nLength);
    // Waits up to nTimeoutMs for room; used only after the server has stopped.
    bool WaitWritable(int nTimeoutMs) const;

private:
    enum class Kind { File, Socket, Reopened, Polled };
    int m_hOutput;
    int m_hOwn = -1;
    Kind m_kind = Kind::File;
};

class COutputQueue {
public:
    explicit COutputQueue(int hOutput = 1, int hErrors = 2, size_t nLimit = kLimit);
    // Gives what is still queued a short, bounded chance to go out.
    ~COutputQueue();
    COutputQueue(const COutputQueue&) = delete;
    COutputQueue& operator=(const COutputQueue&) = delete;

    void Write(const std::string& strText);
    // Writes what the descriptor takes now; true when nothing is left.
    bool Flush();
    size_t Queued() const { return m_strQueue.size() - m_nStart; }

    static constexpr size_t kLimit = 1024 * 1024;
    // How often a full descriptor is tried again.
    static constexpr int kRetryMs = 20;

private:
    void ReportDropped();

    CNonBlockingOutput m_output;
    CNonBlockingOutput m_errors;
    size_t m_nLimit;
    std::string m_strQueue;
    size_t m_nStart = 0;
    size_t m_nDroppedUnreported = 0;
    bool m_bBroken = false;
    CTimer m_retry;
};
