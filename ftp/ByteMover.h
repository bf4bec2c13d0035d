// What the sending and the receiving of a data connection's bytes share:
// the connection they move through, their block, what a turn of moving
// ends with, and the turns an event's moving is cut into. Each event moves
// bytes until the socket has no more room or bytes, in turns: after each
// kEventBudget bytes it looks whether another connection waits, and if one
// does (or the burst limit is reached) leaves it its turn.
//
// A mover calls nothing of the connection but its socket: it says by its
// result how the turn went, and the connection acts on that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class CAsyncSocket;

class CByteMover {
public:
    // How a turn of moving bytes ended.
    struct SResult {
        enum class Next {
            Wait,     // the socket has no more room or bytes: its next event goes on
            TurnOver, // other connections' turn: go on at the next write event
            Ended,    // the last byte has moved
            Failed,   // the transfer fails
        } next = Next::Wait;
        // Failed: 1 for the socket, else the file's cause. Ended: not 0
        // when what moved is not the file (a download's file cut short).
        int nError = 0;
        int64_t nMoved = 0; // bytes moved in the turn
        void End(int nCause) { next = Next::Ended, nError = nCause; }
        void Fail(int nCause) { next = Next::Failed, nError = nCause; }
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

    CByteMover(const CByteMover&) = delete;
    CByteMover& operator=(const CByteMover&) = delete;

    // Gives back what the transfer held while it ran (its block).
    void Release() { m_pBuffer.reset(); }
    // The most the next turn may move (what a speed limit allows it now);
    // -1: no limit. A turn that reaches it is over.
    void SetAllowance(int64_t nBytes) { m_nAllowance = nBytes; }

protected:
    // Not polymorphic: each kind of mover is held as itself.
    explicit CByteMover(CAsyncSocket& rSocket) : m_rSocket(rSocket) {}
    ~CByteMover() = default;

    // The bytes one event has moved, and whether its turn is over.
    class CTurn {
    public:
        CTurn(const CAsyncSocket& rSocket, int64_t nAllowance)
            : m_rSocket(rSocket), m_nAllowance(nAllowance) {}
        bool Over(size_t nMoved);
        // nWanted, or less where the allowance leaves less.
        size_t Room(size_t nWanted) const;
        // The allowance is used up: the turn ends even with bytes in hand.
        bool Spent() const {
            return m_nAllowance >= 0 && m_nMoved >= static_cast<size_t>(m_nAllowance);
        }

    private:
        const CAsyncSocket& m_rSocket;
        size_t m_nMoved = 0;
        size_t m_nNextLook = kEventBudget;
        int64_t m_nAllowance; // -1: none
    };

    // The block, allocated at its first use; false (and rResult failed)
    // when there is no memory for it.
    bool AllocateBuffer(SResult& rResult);

    CAsyncSocket& m_rSocket;
    std::unique_ptr<char[]> m_pBuffer;
    int64_t m_nAllowance = -1;
};
