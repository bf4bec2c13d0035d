#include "net/NetworkList.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

namespace {
CAddress At(const char* pszText) {
    CAddress address;
    EXPECT_TRUE(CAddress::Parse(pszText, 0, address)) << pszText;
    return address;
}

CNetwork Net(const char* pszText) {
    CNetwork network;
    EXPECT_TRUE(CNetwork::Parse(pszText, network)) << pszText;
    return network;
}
} // namespace

TEST(Network, IPv4NetworksHoldTheirAddressesOnly) {
    const CNetwork net = Net("192.0.2.0/24");
    EXPECT_EQ(net.ToString(), "192.0.2.0/24");
    EXPECT_TRUE(net.Contains(At("192.0.2.0")));
    EXPECT_TRUE(net.Contains(At("192.0.2.255")));
    EXPECT_FALSE(net.Contains(At("192.0.3.0")));
    EXPECT_FALSE(net.Contains(At("192.0.1.255")));
    // A prefix that ends inside a byte.
    const CNetwork odd = Net("10.0.0.0/13");
    EXPECT_TRUE(odd.Contains(At("10.7.255.255")));
    EXPECT_FALSE(odd.Contains(At("10.8.0.0")));
    // An address alone is /32: that address and no other.
    const CNetwork one = Net("198.51.100.7");
    EXPECT_EQ(one.ToString(), "198.51.100.7/32");
    EXPECT_TRUE(one.Contains(At("198.51.100.7")));
    EXPECT_FALSE(one.Contains(At("198.51.100.6")));
    EXPECT_TRUE(Net("198.51.100.7/32").Contains(At("198.51.100.7")));
    // /0 is every IPv4 address and no IPv6 one.
    const CNetwork all = Net("0.0.0.0/0");
    EXPECT_TRUE(all.Contains(At("255.255.255.255")));
    EXPECT_TRUE(all.Contains(At("0.0.0.0")));
    EXPECT_FALSE(all.Contains(At("2001:db8::1")));
    EXPECT_FALSE(all.Contains(At("::")));
    // No address is in no network.
    EXPECT_FALSE(all.Contains(CAddress()));
}

TEST(Network, IPv6NetworksAndTheMappedRange) {
    const CNetwork net = Net("2001:DB8::/32");
    EXPECT_EQ(net.ToString(), "2001:db8::/32");
    EXPECT_TRUE(net.Contains(At("2001:db8:ffff::1")));
    EXPECT_FALSE(net.Contains(At("2001:db9::1")));
    EXPECT_FALSE(net.Contains(At("32.1.13.184"))); // the same first bytes, as IPv4
    const CNetwork host = Net("::1/128");
    EXPECT_TRUE(host.Contains(At("::1")));
    EXPECT_FALSE(host.Contains(At("::2")));
    EXPECT_FALSE(host.Contains(At("127.0.0.1")));
    // An IPv4 client that came through an IPv6 socket is that IPv4 client.
    EXPECT_TRUE(Net("127.0.0.0/8").Contains(At("::ffff:127.0.0.2")));
    // A network written in the mapped form is the IPv4 network it covers.
    const CNetwork mapped = Net("::ffff:192.0.2.0/120");
    EXPECT_EQ(mapped.ToString(), "192.0.2.0/24");
    EXPECT_TRUE(mapped.Contains(At("192.0.2.9")));
    EXPECT_FALSE(mapped.Contains(At("192.0.3.9")));
    EXPECT_EQ(Net("::ffff:192.0.2.7").ToString(), "192.0.2.7/32");
    // IPv4 lives in the mapped range: an IPv6 network holding it holds IPv4.
    EXPECT_TRUE(Net("::/0").Contains(At("192.0.2.9")));
    EXPECT_TRUE(Net("::/0").Contains(At("2001:db8::1")));
    EXPECT_TRUE(Net("::ffff:0:0/96").Contains(At("203.0.113.1")));
    EXPECT_FALSE(Net("::ffff:0:0/96").Contains(At("::1")));
}

TEST(Network, HostBitsBeyondThePrefixAreIgnored) {
    const CNetwork net = Net("192.0.2.77/24");
    EXPECT_EQ(net.ToString(), "192.0.2.0/24");
    EXPECT_TRUE(net.Contains(At("192.0.2.1")));
    EXPECT_EQ(Net("2001:db8::1/32").ToString(), "2001:db8::/32");
    EXPECT_EQ(Net("255.255.255.255/0").ToString(), "0.0.0.0/0");
}

TEST(Network, AnythingElseIsNotANetwork) {
    CNetwork network = Net("192.0.2.1");
    const std::string bad[] = {"",
                               "/24",
                               "192.0.2.0/",
                               "192.0.2.0/33",
                               "2001:db8::/129",
                               "192.0.2.0/-1",
                               "192.0.2.0/+8",
                               "192.0.2.0/1000",
                               "192.0.2.0/24/8",
                               "192.0.2.0 /24",
                               "192.0.2.0/ 24",
                               " 192.0.2.0",
                               "192.0.2",
                               "192.0.2.0.0",
                               "192.0.2.256",
                               "host.example",
                               "fe80::1%eth0",
                               "192.0.2.0/0x8",
                               "192.0.2.0/2\0"s,
                               "192.0.2.7\0/32"s};
    for (const std::string& strBad : bad)
        EXPECT_FALSE(CNetwork::Parse(strBad, network)) << strBad;
    // A refused text leaves the network as it was.
    EXPECT_EQ(network.ToString(), "192.0.2.1/32");
}

TEST(NetworkList, ItemsSeparatedByCommasSpacesAround) {
    CNetworkList list;
    ASSERT_TRUE(CNetworkList::Parse(" 192.0.2.0/24 ,2001:db8::/32,\t198.51.100.7 ", list));
    ASSERT_EQ(list.Networks().size(), 3u);
    EXPECT_TRUE(list.Contains(At("192.0.2.200")));
    EXPECT_TRUE(list.Contains(At("2001:db8::5")));
    EXPECT_TRUE(list.Contains(At("198.51.100.7")));
    EXPECT_FALSE(list.Contains(At("198.51.100.8")));
    EXPECT_FALSE(list.Contains(At("::1")));
    // No text, or spaces alone: the empty list, which holds nothing.
    for (const char* pszEmpty : {"", "  ", "\t"}) {
        CNetworkList empty = list;
        ASSERT_TRUE(CNetworkList::Parse(pszEmpty, empty)) << pszEmpty;
        EXPECT_TRUE(empty.IsEmpty());
        EXPECT_FALSE(empty.Contains(At("192.0.2.200")));
    }
}

TEST(NetworkList, OneBadOrEmptyItemRefusesTheWholeList) {
    CNetworkList list;
    ASSERT_TRUE(CNetworkList::Parse("10.0.0.0/8", list));
    for (const char* pszBad :
         {"192.0.2.0/24,,10.0.0.1", "192.0.2.0/24,", ",192.0.2.0/24", " , ", "192.0.2.0/24, x",
          "192.0.2.0/24; 10.0.0.1", "192.0.2.0/24 10.0.0.1", "10.0.0.0/33"})
        EXPECT_FALSE(CNetworkList::Parse(pszBad, list)) << pszBad;
    ASSERT_EQ(list.Networks().size(), 1u);
    EXPECT_EQ(list.Networks().front().ToString(), "10.0.0.0/8");
}
