// A network address: its family (IPv4 or IPv6), the address itself and a
// port. Everything above the socket layer holds, compares and prints
// addresses through this type only.
//
// An IPv4 address that reaches an IPv6 socket (::ffff:a.b.c.d) is taken as
// the IPv4 address it carries, so that one client is one address whichever
// socket it came through.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <sys/socket.h>

class CAddress {
public:
    enum class Family { None, V4, V6 };

    CAddress() = default;
    // An IPv4 address in host byte order.
    static CAddress FromV4(uint32_t nAddress, unsigned nPort);
    // An address as written ("127.0.0.1", "::1"); false when it is neither.
    static bool Parse(const std::string& strText, unsigned nPort, CAddress& rAddress);
    // From a system socket address; a mapped IPv4 address becomes IPv4.
    static CAddress FromSystem(const sockaddr* pAddress, socklen_t nLength);
    // Into a system socket address; its length (0 without an address).
    socklen_t ToSystem(sockaddr_storage& rAddress) const;

    Family GetFamily() const { return m_family; }
    bool IsValid() const { return m_family != Family::None; }
    bool IsV4() const { return m_family == Family::V4; }
    // The family's system constant (AF_INET, AF_INET6; AF_UNSPEC without).
    int SystemFamily() const;
    unsigned Port() const { return m_nPort; }
    void SetPort(unsigned nPort) { m_nPort = static_cast<uint16_t>(nPort); }
    // An IPv4 address in host byte order (0 for IPv6).
    uint32_t V4() const;
    // The address as inet_ntop writes it, without the port.
    std::string ToString() const;
    // The same host, whatever the ports.
    bool SameHost(const CAddress& other) const;
    // The address's sixteen bytes as IPv6, network order: an IPv4 address as
    // its mapped form ::ffff:a.b.c.d (all zero without an address).
    std::array<uint8_t, 16> V6Bytes() const;
    // What counts as one client for limits and bans: the address itself for
    // IPv4, its /64 network for IPv6 ("2001:db8:1:2::/64").
    std::string ClientKey() const;

    bool operator==(const CAddress& other) const {
        return SameHost(other) && m_nPort == other.m_nPort;
    }

private:
    Family m_family = Family::None;
    // IPv4 in the first four bytes, network order.
    std::array<uint8_t, 16> m_bytes{};
    uint16_t m_nPort = 0;
};

// A network: an address and the length of its prefix, "192.0.2.0/24" or
// "2001:db8::/32"; an address alone is a network of that one address.
//
// Networks are held as IPv6, an IPv4 one as its mapped range (192.0.2.0/24
// is ::ffff:192.0.2.0/120), so that an IPv4 client matches its network
// whether it came through an IPv4 or an IPv6 socket, and whether the
// network was written as IPv4 or as ::ffff:a.b.c.d. It follows that an IPv6
// network holding the mapped range holds the IPv4 addresses too: ::/0 is
// every address of both families.
//
// Bits of the address beyond the prefix are ignored, as most firewalls
// read them: 192.0.2.7/24 is the network 192.0.2.0/24.
class CNetwork {
public:
    CNetwork() = default;
    // "address" or "address/prefix" (0 to 32 after an IPv4 address, 0 to 128
    // after an IPv6 one), nothing else, not even spaces; false when it is not.
    static bool Parse(const std::string& strText, CNetwork& rNetwork);

    // The address lies in the network (never one without an address).
    bool Contains(const CAddress& address) const;
    // "192.0.2.0/24", "2001:db8::/32": the bits beyond the prefix cleared.
    std::string ToString() const;

private:
    std::array<uint8_t, 16> m_bytes{};
    unsigned m_nPrefix = 128; // of the IPv6 form
};

// False when the system has IPv6 turned off (net.ipv6.conf.all.disable_ipv6):
// an IPv6 socket may still be made, but no IPv6 client can reach it.
bool IsIpv6TurnedOn();

// The address a server on strHost would be reached at, to report at its
// start: the host name's first IPv4 address, else the interface of the
// default route, else none.
CAddress AddressToReport(const std::string& strHost);
