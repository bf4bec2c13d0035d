// What the sending and the receiving of a data connection's bytes share:
// the connection they move through, what they tell it, their block, and
// the turns an event's moving is cut into. Each event moves bytes until the
// socket has no more room or bytes, in turns: after each kEventBudget bytes
// it looks whether another connection waits, and if one does (or the burst
// limit is reached) leaves it its turn.
//
// A mover never outlives the connection that holds it, and touches nothing
// of its own after telling the connection that the transfer ended or
// failed: the connection releases the mover's block (and pipe) meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class CAsyncSocket;

class CByteMover {
public:
    // The data connection the bytes move through, told how they go.
    class CHost {
    public:
        // Bytes moved: the transfer is alive and has come this much further.
        virtual void OnMoved(int64_t nBytes) = 0;
        // The transfer fails: nError 1 for the socket, else the file's cause.
        virtual void Fail(int nError) = 0;
        // The last byte has moved; nError is not 0 when what moved is not
        // the file (a download's file cut short meanwhile).
        virtual void OnMoveEnded(int nError) = 0;

    protected:
        ~CHost() = default;
    };

    // Bytes moved per event before other connections get their turn. At
    // loopback speed 256 KiB take well under a millisecond, which keeps
    // every other session's reply within a millisecond while transfers run,
    // and is large enough that the per-event cost is lost in the copy.
    static constexpr int kEventBudget = 256 * 1024;
    // While no other connection waits, a transfer goes on past its fair
    // share, looking again after each kEventBudget bytes, up to this much
    // per event.
    static constexpr size_t kBurstLimit = 8 * 1024 * 1024;
    // The block of a download in text mode and of an upload, allocated only
    // while the transfer runs.
    static constexpr int kBlockSize = 128 * 1024;

    virtual ~CByteMover();
    CByteMover(const CByteMover&) = delete;
    CByteMover& operator=(const CByteMover&) = delete;

    // Gives back what the transfer held while it ran (its block).
    virtual void Release();

protected:
    CByteMover(CAsyncSocket& rSocket, CHost& rHost) : m_rSocket(rSocket), m_rHost(rHost) {}

    // The bytes one event has moved, and whether its turn is over.
    class CTurn {
    public:
        explicit CTurn(const CAsyncSocket& rSocket) : m_rSocket(rSocket) {}
        bool Over(size_t nMoved);

    private:
        const CAsyncSocket& m_rSocket;
        size_t m_nMoved = 0;
        size_t m_nNextLook = kEventBudget;
    };

    // The block, allocated at its first use; false (and the transfer
    // failed) when there is no memory for it.
    bool AllocateBuffer();

    CAsyncSocket& m_rSocket;
    CHost& m_rHost;
    std::unique_ptr<char[]> m_pBuffer;
};
