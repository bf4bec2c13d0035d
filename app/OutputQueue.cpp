#include "app/OutputQueue.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

CNonBlockingOutput::CNonBlockingOutput(int hOutput) : m_hOutput(hOutput) {
    struct stat info {};
    if (::fstat(hOutput, &info) != 0 || S_ISREG(info.st_mode) || S_ISBLK(info.st_mode)) {
        m_kind = Kind::File;
        return;
    }
    if (S_ISSOCK(info.st_mode)) {
        m_kind = Kind::Socket;
        return;
    }
    // A pipe or a terminal: a description of our own can be non-blocking
    // without changing the one the shell or the reader shares.
    std::string strProc = "/proc/self/fd/" + std::to_string(hOutput);
    m_hOwn = ::open(strProc.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    m_kind = m_hOwn >= 0 ? Kind::Reopened : Kind::Polled;
}

CNonBlockingOutput::~CNonBlockingOutput() {
    if (m_hOwn >= 0)
        ::close(m_hOwn);
}

long CNonBlockingOutput::Write(const char* pData, size_t nLength) {
    ssize_t nWritten = -1;
    switch (m_kind) {
    case Kind::File:
        nWritten = ::write(m_hOutput, pData, nLength);
        break;
    case Kind::Socket:
        nWritten = ::send(m_hOutput, pData, nLength, MSG_DONTWAIT | MSG_NOSIGNAL);
        break;
    case Kind::Reopened:
        nWritten = ::write(m_hOwn, pData, nLength);
        break;
    case Kind::Polled: {
        // A pipe that reports room takes PIPE_BUF bytes without blocking.
        pollfd poller{m_hOutput, POLLOUT, 0};
        if (::poll(&poller, 1, 0) != 1 || !(poller.revents & POLLOUT))
            return (poller.revents & (POLLERR | POLLHUP)) ? -1 : 0;
        nWritten = ::write(m_hOutput, pData, nLength < PIPE_BUF ? nLength : PIPE_BUF);
        break;
    }
    }
    if (nWritten >= 0)
        return static_cast<long>(nWritten);
    return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
}

bool CNonBlockingOutput::WaitWritable(int nTimeoutMs) const {
    pollfd poller{m_hOwn >= 0 ? m_hOwn : m_hOutput, POLLOUT, 0};
    return ::poll(&poller, 1, nTimeoutMs) == 1 && (poller.revents & POLLOUT);
}

COutputQueue::COutputQueue(int hOutput, int hErrors, size_t nLimit)
    : m_output(hOutput), m_errors(hErrors), m_nLimit(nLimit) {}

COutputQueue::~COutputQueue() {
    // The server has stopped: nobody waits on this thread any more, so the
    // last lines may wait a little for a slow reader, but not for ever.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!Flush() && !m_bBroken) {
        auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
                         deadline - std::chrono::steady_clock::now())
                         .count();
        if (nLeft <= 0 || !m_output.WaitWritable(static_cast<int>(nLeft)))
            break;
    }
    m_nDroppedUnreported += Queued();
    ReportDropped();
}

void COutputQueue::Write(const std::string& strText) {
    if (strText.empty() || m_bBroken)
        return;
    if (Queued() > 0)
        Flush();
    if (Queued() == 0) {
        long nWritten = m_output.Write(strText.data(), strText.size());
        if (nWritten < 0) {
            // Nobody reads any more (a closed pipe): nothing to keep.
            m_bBroken = true;
            return;
        }
        if (static_cast<size_t>(nWritten) == strText.size()) {
            ReportDropped();
            return;
        }
        m_strQueue.assign(strText, static_cast<size_t>(nWritten), std::string::npos);
        m_nStart = 0;
    } else if (Queued() + strText.size() > m_nLimit) {
        m_nDroppedUnreported += strText.size();
    } else {
        m_strQueue += strText;
    }
    if (Queued() > 0 && !m_retry.IsActive())
        m_retry.Start(kRetryMs, [this] { Flush(); });
}

bool COutputQueue::Flush() {
    while (Queued() > 0 && !m_bBroken) {
        long nWritten = m_output.Write(m_strQueue.data() + m_nStart, Queued());
        if (nWritten < 0) {
            m_bBroken = true;
            break;
        }
        if (nWritten == 0) {
            // Still full: try again shortly, from the loop.
            if (!m_retry.IsActive())
                m_retry.Start(kRetryMs, [this] { Flush(); });
            return false;
        }
        m_nStart += static_cast<size_t>(nWritten);
    }
    m_strQueue.clear();
    m_nStart = 0;
    if (m_strQueue.capacity() > 64 * 1024)
        std::string().swap(m_strQueue);
    ReportDropped();
    return true;
}

void COutputQueue::ReportDropped() {
    if (m_nDroppedUnreported == 0)
        return;
    char szLine[160];
    int nLen = snprintf(szLine, sizeof szLine,
                        "skerrow: salida est\xC3\xA1ndar llena: se descartaron %zu bytes del "
                        "registro\n",
                        m_nDroppedUnreported);
    if (nLen > 0 && m_errors.Write(szLine, static_cast<size_t>(nLen)) == nLen)
        m_nDroppedUnreported = 0;
}
