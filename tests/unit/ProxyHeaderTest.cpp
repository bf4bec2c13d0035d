#include "net/ProxyHeader.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

namespace {
ProxyParse Parse(const std::string& strData, SProxyHeader& rHeader) {
    return ParseProxyHeader(strData.data(), strData.size(), rHeader);
}

// A version 2 header: its head, then body (addresses and TLVs).
std::string Version2(unsigned char nCommand, unsigned char nFamily, const std::string& strBody) {
    std::string strData("\x0D\x0A\x0D\x0A\x00\x0D\x0A\x51\x55\x49\x54\x0A", 12);
    strData += static_cast<char>(0x20 | nCommand);
    strData += static_cast<char>(nFamily);
    strData += static_cast<char>(strBody.size() >> 8);
    strData += static_cast<char>(strBody.size() & 0xFF);
    return strData + strBody;
}
} // namespace

TEST(ProxyHeader, VersionOneLinesOfEachFamily) {
    SProxyHeader header;
    const std::string strLine = "PROXY TCP4 192.0.2.7 198.51.100.1 50000 21\r\n";
    ASSERT_EQ(Parse(strLine + "USER ana\r\n", header), ProxyParse::Done);
    EXPECT_EQ(header.nLength, strLine.size());
    EXPECT_EQ(header.source.ToString(), "192.0.2.7");
    EXPECT_EQ(header.source.Port(), 50000u);
    EXPECT_EQ(header.destination.ToString(), "198.51.100.1");
    EXPECT_EQ(header.destination.Port(), 21u);
    EXPECT_FALSE(header.bLocal);
    ASSERT_EQ(Parse("PROXY TCP6 2001:db8::7 2001:db8::1 65535 2121\r\n", header), ProxyParse::Done);
    EXPECT_EQ(header.source.ToString(), "2001:db8::7");
    EXPECT_EQ(header.source.Port(), 65535u);
    // A health check of the balancer's own.
    ASSERT_EQ(Parse("PROXY UNKNOWN\r\n", header), ProxyParse::Done);
    EXPECT_TRUE(header.bLocal);
    EXPECT_FALSE(header.source.IsValid());
}

TEST(ProxyHeader, PartsOfAHeaderWaitForTheRest) {
    SProxyHeader header;
    const std::string strLine = "PROXY TCP4 192.0.2.7 198.51.100.1 50000 21\r\n";
    for (size_t n = 0; n < strLine.size(); ++n)
        EXPECT_EQ(ParseProxyHeader(strLine.data(), n, header), ProxyParse::NeedMore) << n;
    const std::string strBinary = Version2(1, 0x11, std::string(12, '\x01'));
    for (size_t n = 0; n < strBinary.size(); ++n)
        EXPECT_EQ(ParseProxyHeader(strBinary.data(), n, header), ProxyParse::NeedMore) << n;
    EXPECT_EQ(Parse(strBinary, header), ProxyParse::Done);
}

TEST(ProxyHeader, AnythingElseIsRefused) {
    SProxyHeader header;
    for (const char* pszBad : {
             "USER ana\r\n",
             "PROXY TCP4 192.0.2.7 198.51.100.1 50000 21\n",     // no CR
             "PROXY TCP5 192.0.2.7 198.51.100.1 50000 21\r\n",   // family
             "PROXY TCP4 2001:db8::7 198.51.100.1 50000 21\r\n", // address of the other family
             "PROXY TCP6 192.0.2.7 2001:db8::1 50000 21\r\n",
             "PROXY TCP4 192.0.2.300 198.51.100.1 50000 21\r\n", // no address
             "PROXY TCP4 192.0.2.7 198.51.100.1 65536 21\r\n",   // port out of range
             "PROXY TCP4 192.0.2.7 198.51.100.1 050 21\r\n",     // leading zero
             "PROXY TCP4 192.0.2.7  198.51.100.1 50000 21\r\n",  // two spaces
             "PROXY TCP4 192.0.2.7 198.51.100.1 50000\r\n",      // a field missing
         })
        EXPECT_EQ(Parse(pszBad, header), ProxyParse::Invalid) << pszBad;
    // A NUL inside an address field: the field is not an address.
    EXPECT_EQ(Parse("PROXY TCP4 192.0.2.7\0junk 198.51.100.1 50000 21\r\n"s, header),
              ProxyParse::Invalid);
    EXPECT_EQ(Parse("PROXY TCP6 2001:db8::7 2001:db8::1\0 50000 21\r\n"s, header),
              ProxyParse::Invalid);
    // A line that has not ended within the longest a header can be.
    EXPECT_EQ(Parse("PROXY TCP4 " + std::string(120, '1'), header), ProxyParse::Invalid);
}

TEST(ProxyHeader, VersionTwoAddressesLocalAndTlvs) {
    SProxyHeader header;
    // 192.0.2.7:50000 to 198.51.100.1:21, then a TLV that is skipped.
    const std::string strV4("\xC0\x00\x02\x07\xC6\x33\x64\x01\xC3\x50\x00\x15", 12);
    const std::string strTlv("\x04\x00\x02\xAB\xCD", 5);
    ASSERT_EQ(Parse(Version2(1, 0x11, strV4 + strTlv) + "USER", header), ProxyParse::Done);
    EXPECT_EQ(header.nLength, 16 + 12 + 5u);
    EXPECT_EQ(header.source.ToString(), "192.0.2.7");
    EXPECT_EQ(header.source.Port(), 50000u);
    EXPECT_EQ(header.destination.ToString(), "198.51.100.1");
    EXPECT_EQ(header.destination.Port(), 21u);
    std::string strV6(36, '\0');
    strV6[0] = '\x20';
    strV6[1] = '\x01';
    strV6[15] = '\x07';
    strV6[31] = '\x01';
    strV6[32] = '\x01';
    strV6[33] = '\xBB';
    ASSERT_EQ(Parse(Version2(1, 0x21, strV6), header), ProxyParse::Done);
    EXPECT_EQ(header.source.ToString(), "2001::7");
    EXPECT_EQ(header.source.Port(), 443u);
    ASSERT_EQ(Parse(Version2(0, 0x00, ""), header), ProxyParse::Done);
    EXPECT_TRUE(header.bLocal);
    // Another version, another command, a UNIX family, a body too short.
    std::string strBadVersion = Version2(1, 0x11, strV4);
    strBadVersion[12] = '\x31';
    EXPECT_EQ(Parse(strBadVersion, header), ProxyParse::Invalid);
    EXPECT_EQ(Parse(Version2(2, 0x11, strV4), header), ProxyParse::Invalid);
    EXPECT_EQ(Parse(Version2(1, 0x31, std::string(216, 'x')), header), ProxyParse::Invalid);
    EXPECT_EQ(Parse(Version2(1, 0x21, strV4), header), ProxyParse::Invalid);
}
