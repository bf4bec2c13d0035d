#include "fs/FileStream.h"
#include "ftp/Checksum.h"
#include "ftp/ChecksumRange.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string HexOf(ChecksumAlgorithm algorithm, const std::string& strBytes) {
    CChecksum checksum(algorithm);
    checksum.Update(strBytes.data(), strBytes.size());
    return checksum.Hex();
}

} // namespace

// The published vectors of each algorithm, through one Update and through
// many small ones alike.
TEST(ChecksumTest, KnownVectors) {
    const std::string strAbc = "abc";
    EXPECT_EQ(HexOf(ChecksumAlgorithm::Sha1, strAbc), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(HexOf(ChecksumAlgorithm::Sha256, strAbc),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(HexOf(ChecksumAlgorithm::Sha512, strAbc),
              "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
              "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
    EXPECT_EQ(HexOf(ChecksumAlgorithm::Md5, strAbc), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(HexOf(ChecksumAlgorithm::Crc32, "123456789"), "cbf43926");
    EXPECT_EQ(HexOf(ChecksumAlgorithm::Sha256, ""),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(HexOf(ChecksumAlgorithm::Crc32, ""), "00000000");

    CChecksum pieces(ChecksumAlgorithm::Crc32);
    for (char ch : std::string("123456789"))
        pieces.Update(&ch, 1);
    EXPECT_EQ(pieces.Hex(), "cbf43926");
}

TEST(ChecksumTest, NamesOfferedToHash) {
    ChecksumAlgorithm algorithm = ChecksumAlgorithm::Sha256;
    EXPECT_TRUE(CChecksum::FromName("sha-512", algorithm));
    EXPECT_EQ(algorithm, ChecksumAlgorithm::Sha512);
    EXPECT_TRUE(CChecksum::FromName("MD5", algorithm));
    EXPECT_EQ(algorithm, ChecksumAlgorithm::Md5);
    EXPECT_STREQ(CChecksum::Name(ChecksumAlgorithm::Sha1), "SHA-1");
    // The X word's CRC has no HASH name, nor have the names without the dash.
    EXPECT_FALSE(CChecksum::FromName("CRC32", algorithm));
    EXPECT_FALSE(CChecksum::FromName("SHA256", algorithm));
    EXPECT_FALSE(CChecksum::FromName("", algorithm));
    EXPECT_EQ(algorithm, ChecksumAlgorithm::Md5);
}

class ChecksumFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("skerrow-sum-" + std::to_string(getpid()));
        fs::create_directories(m_dir);
        m_strPath = (m_dir / "f").string();
        // Past one block, so that ranges can straddle the reads.
        m_strBytes.resize(CChecksum::kBlockSize + 4099);
        std::mt19937 random(7);
        for (char& ch : m_strBytes)
            ch = static_cast<char>(random());
        std::ofstream(m_strPath, std::ios::binary) << m_strBytes;
    }
    void TearDown() override { fs::remove_all(m_dir); }

    CChecksum::Outcome OfFile(int64_t nStart, int64_t nEnd, ChecksumAlgorithm algorithm,
                              std::string& rHex, bool bCancelled = false) {
        CFileStream file;
        int nError = 0;
        EXPECT_TRUE(file.Open(m_strPath, CFileStream::Mode::Read, false, nError));
        std::atomic<bool> cancel(bCancelled);
        return CChecksum::OfFile(file, nStart, nEnd, algorithm, cancel, rHex);
    }

    fs::path m_dir;
    std::string m_strPath;
    std::string m_strBytes;
};

// A range of the file has the checksum of those bytes: whole, inside the
// first block, across the block boundary, its last byte, and empty.
TEST_F(ChecksumFileTest, RangesMatchTheBytes) {
    const int64_t nSize = static_cast<int64_t>(m_strBytes.size());
    const int64_t nBlock = CChecksum::kBlockSize;
    const std::pair<int64_t, int64_t> ranges[] = {
        {0, nSize}, {10, 1000}, {nBlock - 17, nBlock + 33}, {nSize - 1, nSize}, {5, 5}};
    for (ChecksumAlgorithm algorithm :
         {ChecksumAlgorithm::Sha256, ChecksumAlgorithm::Md5, ChecksumAlgorithm::Crc32}) {
        for (const auto& [nStart, nEnd] : ranges) {
            std::string strHex;
            ASSERT_EQ(OfFile(nStart, nEnd, algorithm, strHex), CChecksum::Outcome::Done);
            EXPECT_EQ(strHex,
                      HexOf(algorithm, m_strBytes.substr(static_cast<size_t>(nStart),
                                                         static_cast<size_t>(nEnd - nStart))))
                << nStart << "-" << nEnd;
        }
    }
}

// A file shorter than the range (it shrank after it was measured) has no
// checksum; a cancelled one stops before it reads.
TEST_F(ChecksumFileTest, ShortFileAndCancel) {
    const int64_t nSize = static_cast<int64_t>(m_strBytes.size());
    std::string strHex;
    EXPECT_EQ(OfFile(0, nSize + 1, ChecksumAlgorithm::Sha1, strHex),
              CChecksum::Outcome::ReadError);
    EXPECT_EQ(OfFile(0, nSize, ChecksumAlgorithm::Sha1, strHex, true),
              CChecksum::Outcome::Cancelled);
}

TEST(ChecksumRangeTest, Rang) {
    SChecksumRange range;
    EXPECT_EQ(SChecksumRange::FromRang("10 20", range), SChecksumRange::Rang::Set);
    EXPECT_EQ(range.nStart, 10);
    EXPECT_EQ(range.nEnd, 20);
    EXPECT_EQ(SChecksumRange::FromRang("  0   0 ", range), SChecksumRange::Rang::Set);
    EXPECT_EQ(range.nEnd, 0);
    // "1 0" drops the range: the whole file again.
    EXPECT_EQ(SChecksumRange::FromRang("1 0", range), SChecksumRange::Rang::Reset);
    EXPECT_EQ(range.nStart, 0);
    EXPECT_EQ(range.nEnd, -1);
    for (const char* pszBad : {"20 10", "5", "1 2 3", "a b", "-1 5", "+1 5", "1 0x10", "1.5 9",
                               "0 99999999999999999999", ""}) {
        SChecksumRange untouched;
        untouched.nStart = 3;
        EXPECT_EQ(SChecksumRange::FromRang(pszBad, untouched), SChecksumRange::Rang::Bad)
            << pszBad;
        EXPECT_EQ(untouched.nStart, 3) << pszBad;
    }
}

TEST(ChecksumRangeTest, AliasArguments) {
    struct SCase {
        const char* pszArgument;
        bool bValid;
        const char* pszPath;
        int64_t nStart;
        int64_t nEnd;
    };
    const SCase cases[] = {
        {"file.txt", true, "file.txt", 0, -1},
        {"file.txt 10", true, "file.txt", 10, -1},
        {"file.txt 10 20", true, "file.txt", 10, 20},
        {"my file.txt  10 20", true, "my file.txt", 10, 20},
        {"a b c 1 2", true, "a b c", 1, 2},
        {"12", true, "12", 0, -1},
        {"\"report 2024\"", true, "report 2024", 0, -1},
        {"\"a b\" 5 9", true, "a b", 5, 9},
        {"\"a\" x", false, "", 0, 0},
        {"\"a\" 1 2 3", false, "", 0, 0},
        {"file 9 5", false, "", 0, 0},
    };
    for (const SCase& test : cases) {
        std::string strPath;
        SChecksumRange range;
        ASSERT_EQ(SChecksumRange::FromAlias(test.pszArgument, strPath, range), test.bValid)
            << test.pszArgument;
        if (!test.bValid)
            continue;
        EXPECT_EQ(strPath, test.pszPath) << test.pszArgument;
        EXPECT_EQ(range.nStart, test.nStart) << test.pszArgument;
        EXPECT_EQ(range.nEnd, test.nEnd) << test.pszArgument;
    }
}

TEST(ChecksumRangeTest, FitsTheFile) {
    SChecksumRange range;
    int64_t nEnd = 0;
    EXPECT_TRUE(range.Fits(100, nEnd));
    EXPECT_EQ(nEnd, 100);
    range.nStart = 100;
    EXPECT_TRUE(range.Fits(100, nEnd)); // the empty range at the end
    range.nStart = 101;
    EXPECT_FALSE(range.Fits(100, nEnd));
    range.nStart = 0;
    range.nEnd = 101;
    EXPECT_FALSE(range.Fits(100, nEnd));
    range.nEnd = 100;
    EXPECT_TRUE(range.Fits(100, nEnd));
}
