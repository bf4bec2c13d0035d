// Helpers for tests that drive the real socket layer over loopback: a plain
// client socket and a pump that runs the dispatcher until a condition holds.
#pragma once

#include "net/SocketDispatcher.h"
#include "tests/FreePort.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

// Runs the dispatcher until bDone() is true or the (stretched) time is up.
inline bool PumpUntil(CSocketDispatcher& rDispatcher, const std::function<bool()>& bDone,
                      int nTimeoutMs = 5000) {
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(ScaledMs(nTimeoutMs));
    while (!bDone()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        rDispatcher.ProcessEvents(10);
    }
    return true;
}

// A non-blocking loopback client; the test pumps the server between steps.
class CTestClient {
public:
    explicit CTestClient(unsigned nPort) {
        m_hSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(nPort));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(m_hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~CTestClient() { Close(); }
    CTestClient(const CTestClient&) = delete;
    CTestClient& operator=(const CTestClient&) = delete;

    void Send(const std::string& strText) {
        size_t nDone = 0;
        while (nDone < strText.size()) {
            ssize_t n =
                ::send(m_hSocket, strText.data() + nDone, strText.size() - nDone, MSG_NOSIGNAL);
            if (n > 0)
                nDone += static_cast<size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EINPROGRESS && errno != ENOTCONN)
                return;
        }
    }
    // Reads what has arrived; true when the server has closed.
    bool Poll() {
        char buffer[4096];
        for (;;) {
            ssize_t n = ::recv(m_hSocket, buffer, sizeof buffer, 0);
            if (n > 0) {
                m_strReceived.append(buffer, static_cast<size_t>(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != ENOTCONN && errno != EINPROGRESS))
                m_bClosed = true;
            return m_bClosed;
        }
    }
    // The next CR LF line, pumping the server while waiting ("" on time-out).
    std::string ReadLine(CSocketDispatcher& rDispatcher) {
        size_t nEnd = std::string::npos;
        PumpUntil(rDispatcher, [&] {
            Poll();
            nEnd = m_strReceived.find("\r\n");
            return nEnd != std::string::npos || m_bClosed;
        });
        if (nEnd == std::string::npos)
            return std::string();
        std::string strLine = m_strReceived.substr(0, nEnd);
        m_strReceived.erase(0, nEnd + 2);
        return strLine;
    }
    std::string Command(CSocketDispatcher& rDispatcher, const std::string& strLine) {
        Send(strLine + "\r\n");
        return ReadLine(rDispatcher);
    }
    bool WaitClosed(CSocketDispatcher& rDispatcher) {
        return PumpUntil(rDispatcher, [&] { return Poll(); });
    }
    // Ends the connection with a reset instead of a close.
    void Reset() {
        linger hard{1, 0};
        ::setsockopt(m_hSocket, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        Close();
    }
    void Close() {
        if (m_hSocket >= 0)
            ::close(m_hSocket);
        m_hSocket = -1;
    }
    std::string m_strReceived;
    bool m_bClosed = false;
    int m_hSocket = -1;
};
