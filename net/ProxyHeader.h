// The PROXY protocol header (versions 1 and 2, as HAProxy sends them) that a
// load balancer puts before the bytes of a connection it passes on: the
// address of the client it came from and the address it was sent to. A pure
// parser over the bytes received so far; the socket layer decides whom to
// believe.
#pragma once

#include "net/Address.h"

#include <cstddef>

struct SProxyHeader {
    // The client and the address it connected to (none for LOCAL and
    // UNKNOWN: the balancer's own connection, a health check).
    CAddress source;
    CAddress destination;
    bool bLocal = false;
    // Bytes of the header, to be dropped before the connection's own.
    size_t nLength = 0;
};

enum class ProxyParse {
    NeedMore, // a header may still be completed by more bytes
    Done,     // rHeader holds it
    Invalid,  // not a PROXY header, or a malformed one
};

// Version 1 is a text line of at most 107 bytes ("PROXY TCP4 192.0.2.7
// 198.51.100.1 50000 21\r\n", "PROXY TCP6 ...", "PROXY UNKNOWN\r\n"); version 2
// a 16-byte binary head (its signature, the command, the family, the length
// of what follows) and the addresses, then TLVs, which are skipped.
ProxyParse ParseProxyHeader(const char* pData, size_t nSize, SProxyHeader& rHeader);
