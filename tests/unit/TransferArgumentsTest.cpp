#include "ftp/TransferArguments.h"
#include "ftp/FtpTables.h"

#include <gtest/gtest.h>

TEST(PortArgument, SixNumbersGiveAddressAndPort) {
    CAddress address;
    ASSERT_EQ(ParsePortArgument("127,0,0,1,4,1", address), 0);
    EXPECT_EQ(address.V4(), 0x7F000001u);
    EXPECT_EQ(address.Port(), 1025u);
    EXPECT_TRUE(address.IsV4());
    EXPECT_EQ(address.ToString(), "127.0.0.1");
    ASSERT_EQ(ParsePortArgument(" 10, 1,2,3 ,200,+7", address), 0);
    EXPECT_EQ(address.V4(), 0x0A010203u);
    EXPECT_EQ(address.Port(), 200u * 256 + 7);
    // Fields are not range-checked; the port keeps 16 bits.
    ASSERT_EQ(ParsePortArgument("1,2,3,4,300,1", address), 0);
    EXPECT_EQ(address.Port(), (300u * 256 + 1) & 0xFFFF);
}

TEST(PortArgument, AMissingCommaFailsAndLeavesZero) {
    CAddress address = CAddress::FromV4(1, 99);
    EXPECT_EQ(ParsePortArgument("127,0,0,1,4", address), -1);
    EXPECT_FALSE(address.IsValid());
    EXPECT_EQ(address.Port(), 0u);
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

TEST(ExtendedPortArgument, FamiliesAddressesAndPorts) {
    CAddress address;
    EXPECT_EQ(ParseExtendedPortArgument("|1|132.235.1.2|6275|", 1, address), EprtResult::Ok);
    EXPECT_EQ(address.V4(), 0x84EB0102u);
    EXPECT_EQ(address.Port(), 6275u);
    // Any printable delimiter.
    EXPECT_EQ(ParseExtendedPortArgument("!1!10.0.0.1!65535!", 1, address), EprtResult::Ok);
    // The other family of the two, whatever its address.
    EXPECT_EQ(ParseExtendedPortArgument("|2|::1|6275|", 1, address), EprtResult::OtherFamily);
    EXPECT_EQ(ParseExtendedPortArgument("|2|garbage|6275|", 1, address), EprtResult::OtherFamily);
    EXPECT_EQ(ParseExtendedPortArgument("|1|10.0.0.1|6275|", 2, address), EprtResult::OtherFamily);
    // Family 2 on an IPv6 connection.
    ASSERT_EQ(ParseExtendedPortArgument("|2|2001:db8::7|6275|", 2, address), EprtResult::Ok);
    EXPECT_EQ(address.GetFamily(), CAddress::Family::V6);
    EXPECT_EQ(address.ToString(), "2001:db8::7");
    EXPECT_EQ(address.Port(), 6275u);
    for (const char* pszBad :
         {"", "|1|10.0.0.1|", "|1|10.0.0.1|99999|", "|1|10.0.0.1|0|", "|1|10.0.0.1|12x|",
          "|1|10.0.0|5000|", "|3|10.0.0.1|5000|", "|1|10.0.0.1|5000|extra", " 1 10.0.0.1 5000 ",
          "|1|::ffff:10.0.0.1|5000|"}) {
        EXPECT_EQ(ParseExtendedPortArgument(pszBad, 1, address), EprtResult::Malformed) << pszBad;
        EXPECT_FALSE(address.IsValid()) << pszBad;
    }
    // No zone index, no IPv4 text, no port out of range, nothing but 1 or 2.
    for (const char* pszBad : {"|2|fe80::1%eth0|5000|", "|2|10.0.0.1|5000|", "|2|::1|65536|",
                               "|2|::1|0|", "|2|:::1|5000|", "|0|::1|5000|"}) {
        EXPECT_EQ(ParseExtendedPortArgument(pszBad, 2, address), EprtResult::Malformed) << pszBad;
        EXPECT_FALSE(address.IsValid()) << pszBad;
    }
}

TEST(MachineTime, FourteenDigitsInUtc) {
    time_t when = 0;
    ASSERT_TRUE(ParseMachineTime("20200102030405", when));
    EXPECT_EQ(when, 1577934245);
    ASSERT_TRUE(ParseMachineTime("20200102030405.123", when));
    EXPECT_EQ(when, 1577934245);
    for (const char* pszBad :
         {"2020010203040", "2020010203040x", "20201302030405", "20200230030405", "20200102250405",
          "20200102030405.", "20200102030405.1a", "18991231000000x"})
        EXPECT_FALSE(ParseMachineTime(pszBad, when)) << pszBad;
}

TEST(OctalMode, OneToFourOctalDigits) {
    unsigned nMode = 0;
    ASSERT_TRUE(ParseOctalMode("644", nMode));
    EXPECT_EQ(nMode, 0644u);
    ASSERT_TRUE(ParseOctalMode("4755", nMode));
    EXPECT_EQ(nMode, 04755u);
    for (const char* pszBad : {"", "8", "64a", "12345", "-644"})
        EXPECT_FALSE(ParseOctalMode(pszBad, nMode)) << pszBad;
}
