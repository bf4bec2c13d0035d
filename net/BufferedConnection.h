// A connection of a line-based control protocol: lines in, replies out.
//
// Received bytes are kept in a bounded buffer until a line end completes a
// line; each whole line is handed to the owner in order. A line that
// outgrows the bound is dropped, up to and with its end. Replies are queued
// in order and sent as the peer takes them; while too much waits unsent, no
// further line is read (the peer is slowed, never answered out of order),
// and the owner may hold input back for reasons of its own too. The sending
// side can be ended once everything queued is out.
#pragma once

#include "net/AsyncSocket.h"

#include <cstddef>
#include <string>

// Sees what a connection receives while its owner holds input back (see
// CBufferedConnection::SetHeldInputWatcher).
class CHeldInputWatcher {
public:
    // rPending: every byte received and not yet run, the newest last. The
    // watcher may end what held input; the lines then run in order.
    virtual void OnHeldInput(const std::string& rPending) = 0;

protected:
    ~CHeldInputWatcher() = default;
};

class CBufferedConnection : public CAsyncSocket {
public:
    // Bytes kept while no line end has arrived; beyond this they are dropped.
    static constexpr size_t kMaxInput = 64 * 1024;
    // Input memory kept between lines; a longer line's memory is given back.
    static constexpr size_t kKeptInputCapacity = 4 * 1024;
    // Output beyond this, unsent, is the peer's fault (OnOutputOverflow).
    static constexpr size_t kMaxOutput = 1024 * 1024;
    // While more than this waits to be sent, no further line is read.
    static constexpr size_t kOutputBeforePause = 64 * 1024;

    // Bytes received that no line end has completed yet.
    const std::string& PendingInput() const { return m_strInput; }
    // Bytes queued that the socket has not taken yet.
    size_t UnsentOutput() const { return m_strOutput.size(); }
    // The sending side ends once every queued byte is out (now, when none
    // waits).
    void ShutDownWhenSent();
    // While the owner holds input back, a watcher may still see what
    // arrives (a line that cancels what the owner waits for): bytes are then
    // read into the pending input, up to its bound, and shown to it; no line
    // runs. Null (the default): nothing is read while input is held.
    void SetHeldInputWatcher(CHeldInputWatcher* pWatcher) { m_pHeldWatcher = pWatcher; }
    // Runs the lines that waited and reads on, once input is no longer held.
    void ResumeInput();

    // Reads what has arrived and runs the lines it completes, unless input
    // is held back (then nothing is read until ResumeInput).
    void OnReceive(int nErrorCode) override;
    // Sends what waits, then reads on if input waited for room.
    void OnSend(int nErrorCode) override;

protected:
    // strLineEnds: the bytes that may end a line (the default splitting
    // takes LF only); nMaxInput: the bound of a line without end.
    explicit CBufferedConnection(const char* pszLineEnds = "\n", size_t nMaxInput = kMaxInput);

    // Queues strText after what waits and sends what the socket takes now.
    void QueueOutput(const std::string& strText);
    // Sends what the socket takes of the waiting bytes; the count sent.
    size_t FlushOutput();
    // True while no further line is read: the owner holds input, or too
    // much output waits unsent.
    bool InputHeld() const;
    // Input was held when bytes came and waits to be resumed.
    bool InputPaused() const { return m_bInputPaused; }

    // Takes the next whole line of rInput from rPos (the bytes before
    // nSearched hold no line end), moves rPos past what it took and runs
    // it; false when no whole line is left. By default a line ends at LF
    // and goes, without its end, to OnLine.
    virtual bool RunNextLine(const std::string& rInput, size_t& rPos, size_t nSearched);
    virtual void OnLine(const std::string& /*strLine*/) {}
    // The owner's own reasons to read nothing for now.
    virtual bool HoldsInput() const { return false; }
    // The first bytes received, before anything is made of them: true
    // refuses the connection (nothing more is done with them).
    virtual bool RefusesFirstBytes(const char* /*pData*/, size_t /*nSize*/) { return false; }
    // A line outgrew the bound; its bytes are dropped up to its end.
    virtual void OnOverlongLine() {}
    // More than kMaxOutput waits: a peer that reads nothing.
    virtual void OnOutputOverflow() {}
    // A send failed for another reason than a full socket.
    virtual void OnSendFailed(int /*nError*/) {}

private:
    void ClearInput();
    // Input is held and a watcher looks: what has arrived is read and shown.
    void WatchHeldInput();
    // Shows the watcher what waits, and runs the lines once it ends the hold.
    void ShowHeldInput();
    // Runs the complete lines that have arrived.
    void RunLines(size_t nSearched);

    const char* m_pszLineEnds;
    size_t m_nMaxInput;
    std::string m_strInput;
    std::string m_strOutput;
    // A line outgrew the bound: bytes are dropped until its end arrives.
    bool m_bOverlong = false;
    bool m_bFirstBytesSeen = false;
    // Input was held back (see InputHeld) and must be resumed.
    bool m_bInputPaused = false;
    bool m_bShutDownWhenSent = false;
    CHeldInputWatcher* m_pHeldWatcher = nullptr;
};
