#include "net/ProxyHeader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace {

constexpr size_t kMaxLine = 107;
constexpr unsigned char kSignature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                          0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};

// A port of version 1: one to five digits, no sign, at most 65535.
bool ParsePort(const std::string& strText, unsigned& rPort) {
    if (strText.empty() || strText.size() > 5 ||
        strText.find_first_not_of("0123456789") != std::string::npos ||
        (strText.size() > 1 && strText[0] == '0'))
        return false;
    rPort = static_cast<unsigned>(std::stoul(strText));
    return rPort <= 65535;
}

std::vector<std::string> Words(const std::string& strLine) {
    std::vector<std::string> words;
    size_t nStart = 0;
    for (;;) {
        const size_t nSpace = strLine.find(' ', nStart);
        words.push_back(strLine.substr(nStart, nSpace - nStart));
        if (nSpace == std::string::npos)
            return words;
        nStart = nSpace + 1;
    }
}

ProxyParse ParseVersion1(const char* pData, size_t nSize, SProxyHeader& rHeader) {
    const char* pEnd =
        static_cast<const char*>(std::memchr(pData, '\n', std::min(nSize, kMaxLine)));
    if (!pEnd)
        return nSize >= kMaxLine ? ProxyParse::Invalid : ProxyParse::NeedMore;
    const size_t nLine = static_cast<size_t>(pEnd - pData) + 1;
    if (nLine < 2 || pData[nLine - 2] != '\r')
        return ProxyParse::Invalid;
    const std::vector<std::string> words = Words(std::string(pData, nLine - 2));
    rHeader = SProxyHeader();
    rHeader.nLength = nLine;
    if (words.size() >= 2 && words[0] == "PROXY" && words[1] == "UNKNOWN") {
        rHeader.bLocal = true;
        return ProxyParse::Done;
    }
    if (words.size() != 6 || words[0] != "PROXY" || (words[1] != "TCP4" && words[1] != "TCP6"))
        return ProxyParse::Invalid;
    const bool bV6 = words[1] == "TCP6";
    unsigned nSourcePort = 0;
    unsigned nDestinationPort = 0;
    // Each address of the family named, as written for it.
    for (const std::string* pAddress : {&words[2], &words[3]})
        if ((pAddress->find(':') != std::string::npos) != bV6)
            return ProxyParse::Invalid;
    if (!CAddress::Parse(words[2], 0, rHeader.source) ||
        !CAddress::Parse(words[3], 0, rHeader.destination) || !ParsePort(words[4], nSourcePort) ||
        !ParsePort(words[5], nDestinationPort))
        return ProxyParse::Invalid;
    rHeader.source.SetPort(nSourcePort);
    rHeader.destination.SetPort(nDestinationPort);
    return ProxyParse::Done;
}

CAddress FromBytes(const unsigned char* pBytes, bool bV6, const unsigned char* pPort) {
    sockaddr_storage storage{};
    if (bV6) {
        auto* pV6 = reinterpret_cast<sockaddr_in6*>(&storage);
        pV6->sin6_family = AF_INET6;
        std::memcpy(&pV6->sin6_addr, pBytes, 16);
        std::memcpy(&pV6->sin6_port, pPort, 2);
        return CAddress::FromSystem(reinterpret_cast<sockaddr*>(pV6), sizeof *pV6);
    }
    auto* pV4 = reinterpret_cast<sockaddr_in*>(&storage);
    pV4->sin_family = AF_INET;
    std::memcpy(&pV4->sin_addr, pBytes, 4);
    std::memcpy(&pV4->sin_port, pPort, 2);
    return CAddress::FromSystem(reinterpret_cast<sockaddr*>(pV4), sizeof *pV4);
}

ProxyParse ParseVersion2(const unsigned char* pData, size_t nSize, SProxyHeader& rHeader) {
    if (nSize < 16)
        return ProxyParse::NeedMore;
    const unsigned char nVersionCommand = pData[12];
    const unsigned char nFamily = pData[13];
    const size_t nBody = static_cast<size_t>(pData[14]) << 8 | pData[15];
    if ((nVersionCommand & 0xF0) != 0x20 || (nVersionCommand & 0x0F) > 1)
        return ProxyParse::Invalid;
    if (nSize < 16 + nBody)
        return ProxyParse::NeedMore;
    rHeader = SProxyHeader();
    rHeader.nLength = 16 + nBody;
    // LOCAL: the balancer's own connection; its addresses mean nothing.
    if ((nVersionCommand & 0x0F) == 0 || nFamily == 0x00) {
        rHeader.bLocal = true;
        return ProxyParse::Done;
    }
    const unsigned char* pBody = pData + 16;
    if (nFamily == 0x11 && nBody >= 12) {
        rHeader.source = FromBytes(pBody, false, pBody + 8);
        rHeader.destination = FromBytes(pBody + 4, false, pBody + 10);
        return ProxyParse::Done;
    }
    if (nFamily == 0x21 && nBody >= 36) {
        rHeader.source = FromBytes(pBody, true, pBody + 32);
        rHeader.destination = FromBytes(pBody + 16, true, pBody + 34);
        return ProxyParse::Done;
    }
    // Other families (UNIX, datagrams) or a body too short for its family.
    return ProxyParse::Invalid;
}

} // namespace

ProxyParse ParseProxyHeader(const char* pData, size_t nSize, SProxyHeader& rHeader) {
    const auto* pBytes = reinterpret_cast<const unsigned char*>(pData);
    // Which version: as many bytes as have come must match one start.
    const size_t nSignature = std::min(nSize, sizeof kSignature);
    if (std::memcmp(pBytes, kSignature, nSignature) == 0)
        return nSize < sizeof kSignature ? ProxyParse::NeedMore
                                         : ParseVersion2(pBytes, nSize, rHeader);
    static const char kText[] = "PROXY ";
    const size_t nText = std::min(nSize, sizeof kText - 1);
    if (std::memcmp(pData, kText, nText) != 0)
        return ProxyParse::Invalid;
    return nSize < sizeof kText - 1 ? ProxyParse::NeedMore : ParseVersion1(pData, nSize, rHeader);
}
