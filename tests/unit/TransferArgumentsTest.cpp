#include "ftp/TransferArguments.h"
#include "ftp/FtpTables.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

TEST(PortArgument, SixNumbersGiveAddressAndPort) {
    sockaddr_in address{};
    ASSERT_EQ(ParsePortArgument("127,0,0,1,4,1", address), 0);
    EXPECT_EQ(ntohl(address.sin_addr.s_addr), 0x7F000001u);
    EXPECT_EQ(ntohs(address.sin_port), 1025);
    EXPECT_EQ(address.sin_family, AF_INET);
    ASSERT_EQ(ParsePortArgument(" 10, 1,2,3 ,200,+7", address), 0);
    EXPECT_EQ(ntohl(address.sin_addr.s_addr), 0x0A010203u);
    EXPECT_EQ(ntohs(address.sin_port), 200 * 256 + 7);
    // Fields are not range-checked; the port keeps 16 bits.
    ASSERT_EQ(ParsePortArgument("1,2,3,4,300,1", address), 0);
    EXPECT_EQ(ntohs(address.sin_port), (300 * 256 + 1) & 0xFFFF);
}

TEST(PortArgument, AMissingCommaFailsAndLeavesZero) {
    sockaddr_in address{};
    address.sin_port = 99;
    EXPECT_EQ(ParsePortArgument("127,0,0,1,4", address), -1);
    EXPECT_EQ(address.sin_port, 0);
    EXPECT_EQ(address.sin_addr.s_addr, 0u);
    EXPECT_EQ(ParsePortArgument("", address), -1);
    EXPECT_EQ(ParsePortArgument("garbage", address), -1);
    EXPECT_EQ(ParsePortArgument("99999999999999,1,1,1,1,1", address), 0);
}

TEST(TypeArgument, LettersAndTheLocalByteSizeRule) {
    int nType = -1;
    std::string strShown;
    EXPECT_EQ(ParseTypeArgument("A N", nType, strShown), REPLY_TYPE_OK);
    EXPECT_EQ(nType, 0);
    EXPECT_EQ(strShown, "A N");
    EXPECT_EQ(ParseTypeArgument("i", nType, strShown), REPLY_TYPE_OK);
    EXPECT_EQ(nType, 2);
    EXPECT_EQ(ParseTypeArgument("B", nType, strShown), REPLY_TYPE_OK);
    EXPECT_EQ(nType, 2);
    EXPECT_EQ(ParseTypeArgument("L 8", nType, strShown), REPLY_TYPE_OK);
    EXPECT_EQ(nType, 1);
    EXPECT_EQ(strShown, " 8");
    nType = 0;
    EXPECT_EQ(ParseTypeArgument("L8", nType, strShown), REPLY_BYTESIZE);
    EXPECT_EQ(ParseTypeArgument("L 16", nType, strShown), REPLY_BYTESIZE);
    EXPECT_EQ(nType, 0);
    EXPECT_EQ(ParseTypeArgument("E", nType, strShown), REPLY_UNKNOWN_TYPE);
    EXPECT_EQ(strShown, "E");
    EXPECT_EQ(nType, 0);
}

TEST(RestartArgument, CLongValueIn64Bits) {
    EXPECT_EQ(ParseRestartArgument("100"), 100);
    EXPECT_EQ(ParseRestartArgument("abc"), 0);
    EXPECT_EQ(ParseRestartArgument("  -5x"), -5);
    EXPECT_EQ(ParseRestartArgument("5000000000"), 5000000000LL);
    EXPECT_EQ(ParseRestartArgument("99999999999999999999999"), INT64_MAX);
}
