// What a listener asks before it hands a new connection on. The filter may
// let it pass, drop it, or hold it back for a while (a load balancer's
// connection, until its header has been read); a held connection comes back
// to the listener through the handler the listener gave, and the listener
// reports it to its owner as a waiting connection, from its own event.
//
// Ownership: a listening socket owns its filter, and the filter goes when
// the listener closes. A connection the filter holds is the filter's until
// it hands the descriptor back (or closes it).
#pragma once

#include "net/Address.h"

#include <cstddef>
#include <functional>

enum class AcceptVerdict {
    Pass, // the listener hands it to its owner now
    Hold, // the filter has taken it, and hands it back when it may go on
    Drop, // the listener closes it
};

class CAcceptFilter {
public:
    // A held connection whose wait is over: its descriptor, which the
    // listener takes, and the peer its owner is to see.
    using ReadyHandler = std::function<void(int hSocket, const CAddress& peer)>;

    virtual ~CAcceptFilter() = default;
    // From the listener that takes the filter: where held connections go
    // back. Called once, before anything is considered.
    virtual void SetReadyHandler(ReadyHandler onReady) = 0;
    // A connection just accepted from peer: Hold means the filter has taken
    // hSocket; on Pass and Drop it stays the listener's.
    virtual AcceptVerdict Consider(int hSocket, const CAddress& peer) = 0;
    // Connections held now.
    virtual size_t HeldCount() const = 0;
};
