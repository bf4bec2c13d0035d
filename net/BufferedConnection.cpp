#include "net/BufferedConnection.h"

#include <algorithm>

CBufferedConnection::CBufferedConnection(const char* pszLineEnds, size_t nMaxInput)
    : m_pszLineEnds(pszLineEnds), m_nMaxInput(nMaxInput) {}

void CBufferedConnection::QueueOutput(const std::string& strText) {
    // Every reply is sent whole and in order, however long the peer takes
    // to read: what the socket cannot take at once waits for its room.
    m_strOutput += strText;
    FlushOutput();
}

size_t CBufferedConnection::FlushOutput() {
    size_t nTotal = 0;
    while (!m_strOutput.empty() && Handle() >= 0 && !IsTlsHandshaking()) {
        int nSent = Send(m_strOutput.data(), static_cast<int>(m_strOutput.size()));
        if (nSent <= 0) {
            if (nSent < 0 && !WouldBlock())
                OnSendFailed(LastError());
            break;
        }
        m_strOutput.erase(0, static_cast<size_t>(nSent));
        nTotal += static_cast<size_t>(nSent);
    }
    if (m_strOutput.empty()) {
        // A burst of replies does not keep its memory once it is out.
        if (m_strOutput.capacity() > kKeptInputCapacity)
            std::string().swap(m_strOutput);
        if (m_bShutDownWhenSent) {
            m_bShutDownWhenSent = false;
            ShutDown(1);
        }
        return nTotal;
    }
    if (m_strOutput.size() > kMaxOutput)
        OnOutputOverflow();
    return nTotal;
}

void CBufferedConnection::ShutDownWhenSent() {
    if (m_strOutput.empty())
        ShutDown(1);
    else
        m_bShutDownWhenSent = true;
}

bool CBufferedConnection::InputHeld() const {
    return HoldsInput() || m_strOutput.size() > kOutputBeforePause;
}

void CBufferedConnection::ResumeInput() {
    if (InputHeld() || Handle() < 0)
        return;
    m_bInputPaused = false;
    // The lines that arrived meanwhile, then whatever waits in the socket.
    if (!m_strInput.empty()) {
        RunLines(0);
        if (Handle() < 0 || InputHeld())
            return;
    }
    OnReceive(0);
}

void CBufferedConnection::OnSend(int) {
    FlushOutput();
    // Input held back for an output backlog goes on once it has drained.
    if (m_bInputPaused)
        ResumeInput();
}

void CBufferedConnection::ClearInput() {
    m_strInput.clear();
    // A long line does not keep its memory once it is gone.
    if (m_strInput.capacity() > kKeptInputCapacity)
        std::string().swap(m_strInput);
}

void CBufferedConnection::OnReceive(int) {
    // Bytes wait in the socket while input is held; reading nothing asks
    // for no further event.
    if (InputHeld()) {
        m_bInputPaused = true;
        if (m_pHeldWatcher && m_bFirstBytesSeen && !m_bOverlong && m_strInput.size() < m_nMaxInput)
            WatchHeldInput();
        return;
    }
    char buffer[1024];
    int nRead = Receive(buffer, sizeof buffer);
    if (nRead < 0) {
        // A failed receive (a reset, a fatal TLS error whose bytes TLS will
        // never read) ends the connection as the peer's close does:
        // otherwise the bytes left waiting would bring event after event.
        if (!WouldBlock()) {
            OnClose(LastError());
            return;
        }
        nRead = 0;
    }
    if (!m_bFirstBytesSeen && nRead > 0) {
        m_bFirstBytesSeen = true;
        if (RefusesFirstBytes(buffer, static_cast<size_t>(nRead)))
            return;
    }
    const size_t nSearched = m_strInput.size();
    m_strInput.append(buffer, static_cast<size_t>(nRead));

    // The bytes kept from earlier receives hold no line end: only the new
    // ones are searched, so a long line costs linear time.
    size_t nEnd = m_strInput.find_first_of(m_pszLineEnds, nSearched);
    if (m_bOverlong) {
        // The rest of a line that outgrew the bound goes too, up to and
        // with its end.
        ClearInput();
        if (nEnd != std::string::npos)
            m_bOverlong = false;
        return;
    }
    if (nEnd == std::string::npos) {
        // A line without end is not kept for ever.
        if (m_strInput.size() > m_nMaxInput) {
            ClearInput();
            m_bOverlong = true;
            OnOverlongLine();
        }
        return;
    }
    RunLines(nSearched);
}

void CBufferedConnection::WatchHeldInput() {
    char buffer[1024];
    const int nRead = Receive(buffer, sizeof buffer);
    if (nRead < 0) {
        if (!WouldBlock())
            OnClose(LastError());
        return;
    }
    if (nRead == 0)
        return;
    m_strInput.append(buffer, static_cast<size_t>(nRead));
    ShowHeldInput();
}

void CBufferedConnection::ShowHeldInput() {
    m_pHeldWatcher->OnHeldInput(m_strInput);
    // The watcher may have ended the hold: the lines that waited run now.
    if (Handle() >= 0 && !InputHeld())
        ResumeInput();
}

bool CBufferedConnection::RunNextLine(const std::string& rInput, size_t& rPos, size_t nSearched) {
    const size_t nEnd = rInput.find('\n', std::max(rPos, nSearched));
    if (nEnd == std::string::npos)
        return false;
    const std::string strLine = rInput.substr(rPos, nEnd - rPos);
    rPos = nEnd + 1;
    OnLine(strLine);
    return true;
}

void CBufferedConnection::RunLines(size_t nSearched) {
    size_t nPos = 0;
    while (RunNextLine(m_strInput, nPos, nSearched)) {
        // The connection may have been ended by what ran.
        if (Handle() < 0)
            return;
        // Held input keeps the rest back until it is resumed.
        if (InputHeld()) {
            m_strInput.erase(0, nPos);
            m_bInputPaused = true;
            // A watcher sees at once the lines that came with this one.
            if (m_pHeldWatcher && !m_strInput.empty())
                ShowHeldInput();
            return;
        }
        // After a line that began TLS nothing more arrives in clear:
        // whatever came with it is not the peer's (an injection) and goes.
        if (IsTlsHandshaking()) {
            ClearInput();
            return;
        }
    }
    // Bytes after the last line end wait for the rest of their line.
    m_strInput.erase(0, nPos);
    if (m_strInput.empty())
        ClearInput();
}
