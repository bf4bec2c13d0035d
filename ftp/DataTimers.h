// The waits of one data connection, each bounded in time: the connection
// to be made (and its TLS handshake), a finished connection its client
// keeps open, a download's reply held for its client's close, a file open
// that waits for a free descriptor, and a transfer that moves nothing. Each
// runs what it was given when its time is out; none runs once this object
// is gone.
#pragma once

#include "net/Timer.h"

#include <chrono>
#include <functional>
#include <utility>

class CDataTimers {
public:
    // A connection not established this long after its transfer command
    // fails, giving back its listener, its port and its listing file.
    static constexpr int kConnectTimeoutMs = 60 * 1000;
    // A finished transfer whose client keeps the connection open is closed
    // after this long.
    static constexpr int kLingerMs = 60 * 1000;
    // How often a file that could not be opened for want of a descriptor
    // is tried again.
    static constexpr int kDescriptorRetryMs = 100;
    // A TLS handshake that has not ended this long after it began fails.
    static constexpr int kHandshakeMs = 30 * 1000;
    // A transfer that moves no byte this long fails and gives back its socket.
    static constexpr int kStallMs = 5 * 60 * 1000;
    // Tests only: shorter waits than the real ones.
    static void SetTimeoutsForTests(int nConnectMs, int nLingerMs, int nHandshakeMs, int nStallMs);
    // The limit of a TLS handshake in force (kHandshakeMs but in tests).
    static int HandshakeTimeoutMs();

    // The connection, the handshake and the linger are one wait at a time:
    // starting one replaces the other.
    // The connection is made within the connect time from now.
    void StartConnect(std::function<void()> onTimeout);
    // Waits again for what is left of the connect time (a connection that
    // was turned away); false when nothing is left.
    bool ResumeConnect(std::function<void()> onTimeout);
    void StartHandshake(std::function<void()> onTimeout);
    void StartLinger(std::function<void()> onTimeout);
    void StopWait() { m_wait.Stop(); }

    // A download's end is reported nMs from now unless its client closes
    // first (the grace after its last byte).
    void StartGrace(int nMs, std::function<void()> onTimeout) {
        m_graceTimer.Start(nMs, std::move(onTimeout));
    }
    void StopGrace() { m_graceTimer.Stop(); }

    // From now on a transfer that moves nothing for the stall time runs
    // onStall; NoteProgress says that something moved.
    void StartStallWatch(std::function<void()> onStall);
    void NoteProgress() { m_lastProgress = std::chrono::steady_clock::now(); }
    void StopStallWatch() { m_stallTimer.Stop(); }

    // After a failed open: true when it failed for want of a descriptor
    // and retry is scheduled (at most kConnectTimeoutMs of them in all).
    bool WaitForDescriptor(int nError, std::function<void()> retry);
    bool IsWaitingForDescriptor() const { return m_bOpenWaiting; }
    void StopDescriptorWait();

    void StopAll();

private:
    void CheckStall();

    CTimer m_wait;
    CTimer m_graceTimer;
    // The end of the wait for the connection.
    std::chrono::steady_clock::time_point m_connectDeadline;
    // The last time a byte moved, and the timer that looks at it.
    std::chrono::steady_clock::time_point m_lastProgress;
    CTimer m_stallTimer;
    std::function<void()> m_onStall;
    // Waiting for a descriptor to open the file, until m_openDeadline.
    bool m_bOpenWaiting = false;
    std::chrono::steady_clock::time_point m_openDeadline;
    CTimer m_retryTimer;
};
