// A port the system hands out, for tests that start a server on a port of
// their own, and that stays theirs until the test program ends.
//
// The reserving socket is bound with SO_REUSEADDR to every interface but
// never listens: the server, which sets SO_REUSEADDR too, may bind and
// listen on the port (and again after a restart), and a connection to it is
// refused while it does not, yet no other program can be handed the port
// meanwhile. A port merely chosen and released could be taken by anyone
// before the server binds it.
#pragma once

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

inline int FreePort() {
    int hReservation = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (hReservation < 0)
        return 0;
    int nOn = 1;
    ::setsockopt(hReservation, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t nLen = sizeof address;
    if (::bind(hReservation, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(hReservation, reinterpret_cast<sockaddr*>(&address), &nLen) != 0) {
        ::close(hReservation);
        return 0;
    }
    // Kept open on purpose: the process's end releases it.
    return ntohs(address.sin_port);
}

// A time of the tests stretched by the suites' one factor (the environment's
// SKERROW_TEST_TIME_FACTOR, for slow machines and the sanitizer build).
inline int ScaledMs(int nMs) {
    const char* pszFactor = ::getenv("SKERROW_TEST_TIME_FACTOR");
    const double dFactor = pszFactor ? std::atof(pszFactor) : 1.0;
    return static_cast<int>(nMs * (dFactor > 1.0 ? dFactor : 1.0));
}
