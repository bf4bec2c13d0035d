#include "net/Address.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

CAddress CAddress::FromV4(uint32_t nAddress, unsigned nPort) {
    CAddress address;
    address.m_family = Family::V4;
    const uint32_t nNetwork = htonl(nAddress);
    std::memcpy(address.m_bytes.data(), &nNetwork, 4);
    address.m_nPort = static_cast<uint16_t>(nPort);
    return address;
}

bool CAddress::Parse(const std::string& strText, unsigned nPort, CAddress& rAddress) {
    // The system reads up to the first NUL: text after one would go unseen,
    // and "192.0.2.7\0junk" pass for an address.
    if (strText.find('\0') != std::string::npos)
        return false;
    sockaddr_storage storage{};
    auto* pV4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* pV6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (::inet_pton(AF_INET, strText.c_str(), &pV4->sin_addr) == 1) {
        pV4->sin_family = AF_INET;
        rAddress = FromSystem(reinterpret_cast<sockaddr*>(pV4), sizeof *pV4);
    } else if (::inet_pton(AF_INET6, strText.c_str(), &pV6->sin6_addr) == 1) {
        pV6->sin6_family = AF_INET6;
        rAddress = FromSystem(reinterpret_cast<sockaddr*>(pV6), sizeof *pV6);
    } else {
        return false;
    }
    rAddress.SetPort(nPort);
    return true;
}

CAddress CAddress::FromSystem(const sockaddr* pAddress, socklen_t nLength) {
    CAddress address;
    if (pAddress->sa_family == AF_INET && nLength >= sizeof(sockaddr_in)) {
        const auto* pV4 = reinterpret_cast<const sockaddr_in*>(pAddress);
        address.m_family = Family::V4;
        std::memcpy(address.m_bytes.data(), &pV4->sin_addr, 4);
        address.m_nPort = ntohs(pV4->sin_port);
    } else if (pAddress->sa_family == AF_INET6 && nLength >= sizeof(sockaddr_in6)) {
        const auto* pV6 = reinterpret_cast<const sockaddr_in6*>(pAddress);
        address.m_nPort = ntohs(pV6->sin6_port);
        if (IN6_IS_ADDR_V4MAPPED(&pV6->sin6_addr)) {
            address.m_family = Family::V4;
            std::memcpy(address.m_bytes.data(), &pV6->sin6_addr.s6_addr[12], 4);
        } else {
            address.m_family = Family::V6;
            std::memcpy(address.m_bytes.data(), &pV6->sin6_addr, 16);
        }
    }
    return address;
}

socklen_t CAddress::ToSystem(sockaddr_storage& rAddress) const {
    rAddress = sockaddr_storage{};
    if (m_family == Family::V4) {
        auto* pV4 = reinterpret_cast<sockaddr_in*>(&rAddress);
        pV4->sin_family = AF_INET;
        pV4->sin_port = htons(m_nPort);
        std::memcpy(&pV4->sin_addr, m_bytes.data(), 4);
        return sizeof *pV4;
    }
    if (m_family == Family::V6) {
        auto* pV6 = reinterpret_cast<sockaddr_in6*>(&rAddress);
        pV6->sin6_family = AF_INET6;
        pV6->sin6_port = htons(m_nPort);
        std::memcpy(&pV6->sin6_addr, m_bytes.data(), 16);
        return sizeof *pV6;
    }
    return 0;
}

int CAddress::SystemFamily() const {
    return m_family == Family::V4 ? AF_INET : m_family == Family::V6 ? AF_INET6 : AF_UNSPEC;
}

uint32_t CAddress::V4() const {
    if (m_family != Family::V4)
        return 0;
    uint32_t nNetwork = 0;
    std::memcpy(&nNetwork, m_bytes.data(), 4);
    return ntohl(nNetwork);
}

std::string CAddress::ToString() const {
    char szText[INET6_ADDRSTRLEN] = "";
    if (m_family == Family::None)
        return std::string();
    ::inet_ntop(SystemFamily(), m_bytes.data(), szText, sizeof szText);
    return szText;
}

bool CAddress::SameHost(const CAddress& other) const {
    if (m_family != other.m_family)
        return false;
    const size_t nSize = m_family == Family::V4 ? 4 : 16;
    return std::memcmp(m_bytes.data(), other.m_bytes.data(), nSize) == 0;
}

std::array<uint8_t, 16> CAddress::V6Bytes() const {
    if (m_family != Family::V4)
        return m_bytes;
    std::array<uint8_t, 16> mapped{};
    mapped[10] = 0xFF;
    mapped[11] = 0xFF;
    std::memcpy(mapped.data() + 12, m_bytes.data(), 4);
    return mapped;
}

std::string CAddress::ClientKey() const {
    if (m_family != Family::V6)
        return ToString();
    // One host usually holds a whole /64: it counts as one.
    CAddress network = *this;
    std::memset(network.m_bytes.data() + 8, 0, 8);
    return network.ToString() + "/64";
}

namespace {

// The first nPrefix bits of both are the same.
bool SamePrefix(const std::array<uint8_t, 16>& a, const std::array<uint8_t, 16>& b,
                unsigned nPrefix) {
    const size_t nWhole = nPrefix / 8;
    if (std::memcmp(a.data(), b.data(), nWhole) != 0)
        return false;
    const unsigned nRest = nPrefix % 8;
    if (nRest == 0)
        return true;
    const auto nMask = static_cast<uint8_t>(0xFF << (8 - nRest));
    return ((a[nWhole] ^ b[nWhole]) & nMask) == 0;
}

} // namespace

bool CNetwork::Parse(const std::string& strText, CNetwork& rNetwork) {
    const size_t nSlash = strText.find('/');
    const std::string strAddress = strText.substr(0, nSlash);
    CAddress address;
    if (!CAddress::Parse(strAddress, 0, address))
        return false;
    // The prefix counts the bits of the address as written: a mapped IPv4
    // address written as IPv6 counts all 128.
    const bool bWrittenV4 = strAddress.find(':') == std::string::npos;
    const unsigned nBits = bWrittenV4 ? 32 : 128;
    unsigned nPrefix = nBits;
    if (nSlash != std::string::npos) {
        const std::string strPrefix = strText.substr(nSlash + 1);
        if (strPrefix.empty() || strPrefix.size() > 3 ||
            strPrefix.find_first_not_of("0123456789") != std::string::npos)
            return false;
        nPrefix = static_cast<unsigned>(std::stoul(strPrefix));
        if (nPrefix > nBits)
            return false;
    }
    CNetwork network;
    network.m_nPrefix = nPrefix + (128 - nBits);
    network.m_bytes = address.V6Bytes();
    // Clear the bits beyond the prefix.
    for (unsigned nBit = network.m_nPrefix; nBit < 128; ++nBit)
        network.m_bytes[nBit / 8] &= static_cast<uint8_t>(~(0x80 >> (nBit % 8)));
    rNetwork = network;
    return true;
}

bool CNetwork::Contains(const CAddress& address) const {
    return address.IsValid() && SamePrefix(m_bytes, address.V6Bytes(), m_nPrefix);
}

std::string CNetwork::ToString() const {
    sockaddr_in6 system{};
    system.sin6_family = AF_INET6;
    std::memcpy(&system.sin6_addr, m_bytes.data(), 16);
    const CAddress address =
        CAddress::FromSystem(reinterpret_cast<const sockaddr*>(&system), sizeof system);
    // A mapped range is written as the IPv4 network it is (its prefix
    // reaches past the mapped part, or the bits showing it would be cleared).
    const unsigned nPrefix = address.IsV4() ? m_nPrefix - 96 : m_nPrefix;
    return address.ToString() + "/" + std::to_string(nPrefix);
}

CAddress AddressToReport(const std::string& strHost) {
    if (!strHost.empty()) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* pResult = nullptr;
        if (::getaddrinfo(strHost.c_str(), nullptr, &hints, &pResult) == 0 && pResult) {
            CAddress address = CAddress::FromSystem(pResult->ai_addr, pResult->ai_addrlen);
            ::freeaddrinfo(pResult);
            if (address.V4() != 0)
                return address;
        }
    }
    // Any routable address outside the machine: connecting a datagram
    // socket to it only selects the outgoing interface; nothing is sent.
    CAddress probe;
    CAddress::Parse("192.0.2.1", 7, probe);
    int hProbe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (hProbe < 0)
        return CAddress();
    CAddress local;
    sockaddr_storage target{};
    const socklen_t nTarget = probe.ToSystem(target);
    if (::connect(hProbe, reinterpret_cast<sockaddr*>(&target), nTarget) == 0) {
        sockaddr_storage own{};
        socklen_t nLen = sizeof own;
        if (::getsockname(hProbe, reinterpret_cast<sockaddr*>(&own), &nLen) == 0)
            local = CAddress::FromSystem(reinterpret_cast<sockaddr*>(&own), nLen);
    }
    ::close(hProbe);
    return local;
}

bool IsIpv6TurnedOn() {
    std::FILE* pFile = std::fopen("/proc/sys/net/ipv6/conf/all/disable_ipv6", "re");
    if (!pFile)
        return true;
    const int ch = std::fgetc(pFile);
    std::fclose(pFile);
    return ch != '1';
}
