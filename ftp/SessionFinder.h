// Finds a live session by its identity: kept by whoever keeps the sessions
// (the host), asked on the loop's thread only.
#pragma once

#include <cstdint>

class CClientSocket;

class CSessionFinder {
public:
    // The session of that identity, or null when it has ended.
    virtual CClientSocket* FindSession(uint64_t nId) = 0;

protected:
    ~CSessionFinder() = default;
};
