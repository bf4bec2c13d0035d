#include "ftp/DataTimers.h"

#include "net/AsyncSocket.h"

#include <utility>

namespace {
int g_nConnectTimeoutMs = CDataTimers::kConnectTimeoutMs;
int g_nLingerMs = CDataTimers::kLingerMs;
int g_nHandshakeMs = CDataTimers::kHandshakeMs;
int g_nStallMs = CDataTimers::kStallMs;
} // namespace

void CDataTimers::SetTimeoutsForTests(int nConnectMs, int nLingerMs, int nHandshakeMs,
                                      int nStallMs) {
    g_nConnectTimeoutMs = nConnectMs;
    g_nLingerMs = nLingerMs;
    g_nHandshakeMs = nHandshakeMs;
    g_nStallMs = nStallMs;
}

int CDataTimers::HandshakeTimeoutMs() {
    return g_nHandshakeMs;
}

void CDataTimers::StartConnect(std::function<void()> onTimeout) {
    m_connectDeadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(g_nConnectTimeoutMs);
    m_wait.Start(g_nConnectTimeoutMs, std::move(onTimeout));
}

bool CDataTimers::ResumeConnect(std::function<void()> onTimeout) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          m_connectDeadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0)
        return false;
    m_wait.Start(static_cast<int>(left), std::move(onTimeout));
    return true;
}

void CDataTimers::StartHandshake(std::function<void()> onTimeout) {
    m_wait.Start(g_nHandshakeMs, std::move(onTimeout));
}

void CDataTimers::StartLinger(std::function<void()> onTimeout) {
    m_wait.Start(g_nLingerMs, std::move(onTimeout));
}

void CDataTimers::StartStallWatch(std::function<void()> onStall) {
    m_onStall = std::move(onStall);
    NoteProgress();
    m_stallTimer.Start(g_nStallMs, [this] { CheckStall(); });
}

void CDataTimers::CheckStall() {
    const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - m_lastProgress)
                          .count();
    if (idle < g_nStallMs) {
        m_stallTimer.Start(static_cast<int>(g_nStallMs - idle), [this] { CheckStall(); });
        return;
    }
    m_onStall();
}

bool CDataTimers::WaitForDescriptor(int nError, std::function<void()> retry) {
    // The connection took the last free descriptor: the file is opened as
    // soon as one comes free, within the time a connection may take.
    if (!IsDescriptorShortage(nError))
        return false;
    const auto now = std::chrono::steady_clock::now();
    if (!m_bOpenWaiting) {
        m_bOpenWaiting = true;
        m_openDeadline = now + std::chrono::milliseconds(g_nConnectTimeoutMs);
    } else if (now >= m_openDeadline) {
        m_bOpenWaiting = false;
        return false;
    }
    m_retryTimer.Start(kDescriptorRetryMs, std::move(retry));
    return true;
}

void CDataTimers::StopDescriptorWait() {
    m_retryTimer.Stop();
    m_bOpenWaiting = false;
}

void CDataTimers::StopAll() {
    m_wait.Stop();
    m_graceTimer.Stop();
    m_stallTimer.Stop();
    m_retryTimer.Stop();
}
