#include "net/Address.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>

using namespace std::string_literals;

TEST(Address, BothFamiliesParsePrintAndKeepTheirPort) {
    CAddress v4;
    ASSERT_TRUE(CAddress::Parse("192.0.2.7", 21, v4));
    EXPECT_TRUE(v4.IsV4());
    EXPECT_EQ(v4.SystemFamily(), AF_INET);
    EXPECT_EQ(v4.V4(), 0xC0000207u);
    EXPECT_EQ(v4.ToString(), "192.0.2.7");
    EXPECT_EQ(v4.Port(), 21u);

    CAddress v6;
    ASSERT_TRUE(CAddress::Parse("2001:DB8::1", 990, v6));
    EXPECT_EQ(v6.GetFamily(), CAddress::Family::V6);
    EXPECT_EQ(v6.SystemFamily(), AF_INET6);
    EXPECT_EQ(v6.V4(), 0u);
    EXPECT_EQ(v6.ToString(), "2001:db8::1");

    CAddress none;
    EXPECT_FALSE(CAddress::Parse("not an address", 1, none));
    EXPECT_FALSE(CAddress::Parse("", 1, none));
    // Every byte belongs to the address: nothing after a NUL goes unread.
    for (const std::string& strNul : {"192.0.2.7\0junk"s, "192.0.2.7\0"s, "::1\0"s, "\0"s})
        EXPECT_FALSE(CAddress::Parse(strNul, 1, none)) << strNul.size();
    EXPECT_FALSE(none.IsValid());
    EXPECT_EQ(none.ToString(), "");
    sockaddr_storage system{};
    EXPECT_EQ(none.ToSystem(system), 0u);
}

TEST(Address, AMappedIPv4AddressIsThatIPv4Client) {
    CAddress mapped;
    ASSERT_TRUE(CAddress::Parse("::ffff:127.0.0.1", 5000, mapped));
    EXPECT_TRUE(mapped.IsV4());
    EXPECT_EQ(mapped.ToString(), "127.0.0.1");
    EXPECT_TRUE(mapped.SameHost(CAddress::FromV4(INADDR_LOOPBACK, 1)));
    EXPECT_FALSE(mapped == CAddress::FromV4(INADDR_LOOPBACK, 1));
    EXPECT_TRUE(mapped == CAddress::FromV4(INADDR_LOOPBACK, 5000));
}

TEST(Address, ThroughTheSystemFormAndBack) {
    for (const char* pszText : {"10.1.2.3", "fe80::1:2", "::1"}) {
        CAddress address;
        ASSERT_TRUE(CAddress::Parse(pszText, 65535, address));
        sockaddr_storage system{};
        const socklen_t nLength = address.ToSystem(system);
        ASSERT_GT(nLength, 0u);
        CAddress back = CAddress::FromSystem(reinterpret_cast<sockaddr*>(&system), nLength);
        EXPECT_TRUE(back == address) << pszText;
        EXPECT_EQ(back.Port(), 65535u);
    }
    // A length too short for its family gives no address.
    sockaddr_storage system{};
    system.ss_family = AF_INET6;
    EXPECT_FALSE(CAddress::FromSystem(reinterpret_cast<sockaddr*>(&system), 8).IsValid());
}

TEST(Address, OneClientIsOneAddressOrOneIPv6Network) {
    CAddress a;
    CAddress b;
    ASSERT_TRUE(CAddress::Parse("2001:db8:1:2:aaaa:bbbb:cccc:dddd", 0, a));
    ASSERT_TRUE(CAddress::Parse("2001:db8:1:2::9", 0, b));
    EXPECT_FALSE(a.SameHost(b));
    EXPECT_EQ(a.ClientKey(), "2001:db8:1:2::/64");
    EXPECT_EQ(a.ClientKey(), b.ClientKey());
    CAddress c;
    ASSERT_TRUE(CAddress::Parse("2001:db8:1:3::9", 0, c));
    EXPECT_NE(a.ClientKey(), c.ClientKey());
    EXPECT_EQ(CAddress::FromV4(0xC0000207u, 0).ClientKey(), "192.0.2.7");
    // IPv4 and IPv6 are never the same host.
    CAddress v4 = CAddress::FromV4(0, 0);
    CAddress v6;
    ASSERT_TRUE(CAddress::Parse("::", 0, v6));
    EXPECT_FALSE(v4.SameHost(v6));
}
