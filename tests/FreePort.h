// A loopback port the system has just handed out and released, for tests
// that start a server on a port of their own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

inline int FreePort() {
    int hProbe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLen = sizeof address;
    int nPort = 0;
    if (::bind(hProbe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(hProbe, reinterpret_cast<sockaddr*>(&address), &nLen) == 0)
        nPort = ntohs(address.sin_port);
    ::close(hProbe);
    return nPort;
}
