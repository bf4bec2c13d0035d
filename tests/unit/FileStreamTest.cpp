#include "fs/FileStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

class FileStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("skerrow-fs-" + std::to_string(getpid()));
        fs::create_directories(m_dir);
        m_strPath = (m_dir / "f").string();
    }
    void TearDown() override { fs::remove_all(m_dir); }

    void WriteRaw(const std::string& strBytes) {
        std::ofstream(m_strPath, std::ios::binary) << strBytes;
    }
    std::string ReadRaw() {
        std::ifstream in(m_strPath, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Reads the whole file through the stream, nChunk bytes per call.
    std::string ReadStream(bool bText, int nChunk, int64_t nOffset = 0) {
        CFileStream file;
        int nError = 0;
        EXPECT_TRUE(file.Open(m_strPath, CFileStream::Mode::Read, bText, nError));
        EXPECT_TRUE(file.Seek(nOffset, nError));
        std::string strOut;
        std::vector<char> buffer(static_cast<size_t>(nChunk));
        for (;;) {
            int nRead = file.Read(buffer.data(), nChunk, nError);
            EXPECT_GE(nRead, 0);
            if (nRead <= 0)
                break;
            strOut.append(buffer.data(), static_cast<size_t>(nRead));
        }
        return strOut;
    }
    void WriteStream(CFileStream::Mode mode, bool bText, const std::vector<std::string>& pieces,
                     int64_t nOffset = 0) {
        CFileStream file;
        int nError = 0;
        ASSERT_TRUE(file.Open(m_strPath, mode, bText, nError));
        ASSERT_TRUE(file.Seek(nOffset, nError));
        for (const std::string& strPiece : pieces)
            ASSERT_TRUE(file.Write(strPiece.data(), static_cast<int>(strPiece.size()), nError));
        ASSERT_TRUE(file.Close(nError));
    }

    fs::path m_dir;
    std::string m_strPath;
};

TEST_F(FileStreamTest, TextReadTurnsCrLfIntoLfAndStopsAtCtrlZ) {
    WriteRaw("a\r\nb\rc\n\r\n\x1a"
             "after");
    for (int nChunk : {1, 2, 3, 256})
        EXPECT_EQ(ReadStream(true, nChunk), "a\nb\rc\n\n") << nChunk;
    EXPECT_EQ(ReadStream(false, 7), std::string("a\r\nb\rc\n\r\n\x1a"
                                                "after"));
    WriteRaw("end\r");
    EXPECT_EQ(ReadStream(true, 1), "end\r");
}

TEST_F(FileStreamTest, TextReadJoinsACrLfSplitAcrossTheBuffer) {
    // The CR is the last byte of the first internal buffer fill.
    std::string strBytes(CFileStream::kBufferSize - 1, 'x');
    strBytes += "\r\nz";
    WriteRaw(strBytes);
    EXPECT_EQ(ReadStream(true, 256), std::string(CFileStream::kBufferSize - 1, 'x') + "\nz");
}

TEST_F(FileStreamTest, TextWriteStoresLfAsCrLfButKeepsAClientsCrLf) {
    WriteStream(CFileStream::Mode::Truncate, true, {"a\nb\r\nc\r", "\nd\n", "\r\r\n"});
    EXPECT_EQ(ReadRaw(), "a\r\nb\r\nc\r\nd\r\n\r\r\n");
    WriteStream(CFileStream::Mode::Truncate, false, {"a\nb\r\n"});
    EXPECT_EQ(ReadRaw(), "a\nb\r\n");
}

TEST_F(FileStreamTest, RestartOffsetsForReadingAndWriting) {
    WriteRaw("0123456789");
    EXPECT_EQ(ReadStream(false, 4, 6), "6789");
    EXPECT_EQ(ReadStream(false, 4, 10), "");
    EXPECT_EQ(ReadStream(false, 4, 50), "");
    // Writing from an offset keeps the bytes after the written part.
    WriteStream(CFileStream::Mode::Update, false, {"ab"}, 3);
    EXPECT_EQ(ReadRaw(), "012ab56789");
    WriteStream(CFileStream::Mode::Truncate, false, {"new"});
    EXPECT_EQ(ReadRaw(), "new");
    CFileStream file;
    int nError = 0;
    ASSERT_TRUE(file.Open(m_strPath, CFileStream::Mode::Read, false, nError));
    EXPECT_FALSE(file.Seek(-1, nError));
    EXPECT_NE(nError, 0);
}

TEST_F(FileStreamTest, WritersExcludeEveryoneReadersShare) {
    WriteRaw("data");
    int nError = 0;
    CFileStream reader1, reader2, writer;
    ASSERT_TRUE(reader1.Open(m_strPath, CFileStream::Mode::Read, false, nError));
    ASSERT_TRUE(reader2.Open(m_strPath, CFileStream::Mode::Read, false, nError));
    EXPECT_FALSE(writer.Open(m_strPath, CFileStream::Mode::Truncate, false, nError));
    EXPECT_NE(nError, 0);
    // A refused writer must not have emptied the file.
    EXPECT_EQ(ReadRaw(), "data");
    reader1.Close(nError);
    reader2.Close(nError);
    ASSERT_TRUE(writer.Open(m_strPath, CFileStream::Mode::Update, false, nError));
    CFileStream late;
    EXPECT_FALSE(late.Open(m_strPath, CFileStream::Mode::Read, false, nError));
}

TEST_F(FileStreamTest, OnlyPlainFilesOpen) {
    int nError = 0;
    CFileStream file;
    EXPECT_FALSE(file.Open(m_dir.string(), CFileStream::Mode::Read, false, nError));
    EXPECT_FALSE(file.Open((m_dir / "missing").string(), CFileStream::Mode::Read, false, nError));
    EXPECT_FALSE(
        file.Open((m_dir / "no" / "such").string(), CFileStream::Mode::Truncate, false, nError));
    std::string strFifo = (m_dir / "fifo").string();
    ASSERT_EQ(mkfifo(strFifo.c_str(), 0600), 0);
    EXPECT_FALSE(file.Open(strFifo, CFileStream::Mode::Read, false, nError));
}

TEST_F(FileStreamTest, AFailedWriteIsReportedNotSwallowed) {
    // A file size limit makes writes fail the way a full disk does.
    signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 1000;
    setrlimit(RLIMIT_FSIZE, &small);
    CFileStream file;
    int nError = 0;
    bool bOpened = file.Open(m_strPath, CFileStream::Mode::Truncate, false, nError);
    std::string strBytes(5000, 'x');
    bool bWritten = bOpened && file.Write(strBytes.data(), 5000, nError);
    bool bClosed = file.Close(nError);
    setrlimit(RLIMIT_FSIZE, &old);
    ASSERT_TRUE(bOpened);
    EXPECT_FALSE(bWritten && bClosed);
    EXPECT_NE(nError, 0);
}

namespace {

// The text rules one byte at a time, as the first transfers applied them:
// the reference the block-wise stream must agree with.
std::string ReferenceTextRead(const std::string& strRaw) {
    std::string strOut;
    for (size_t i = 0; i < strRaw.size(); ++i) {
        if (strRaw[i] == 26)
            break;
        if (strRaw[i] == '\r' && i + 1 < strRaw.size() && strRaw[i + 1] == '\n')
            continue;
        strOut += strRaw[i];
    }
    return strOut;
}

std::string ReferenceTextWrite(const std::string& strSent) {
    std::string strOut;
    bool bLastWasCR = false;
    for (char ch : strSent) {
        if (ch == '\n' && !bLastWasCR)
            strOut += '\r';
        strOut += ch;
        bLastWasCR = ch == '\r';
    }
    return strOut;
}

// Random text rich in CR, LF and Ctrl-Z, of a length near nAround.
std::string RandomText(std::mt19937& random, size_t nLength) {
    static const char kAlphabet[] = {'a', 'b', '\r', '\n', '\r', '\n', 26, 'z'};
    std::string strText(nLength, 'x');
    for (char& ch : strText)
        ch = random() % 8 == 0 ? kAlphabet[random() % 8] : static_cast<char>('a' + random() % 26);
    return strText;
}

} // namespace

TEST_F(FileStreamTest, TextConversionInLargeBlocksAgreesWithTheByteRules) {
    std::mt19937 random(4242);
    const size_t kBuffer = CFileStream::kBufferSize;
    for (size_t nLength : {size_t(0), size_t(1), kBuffer - 1, kBuffer, kBuffer + 1, 3 * kBuffer + 7,
                           size_t(256 * 1024 + 3)}) {
        for (int nRound = 0; nRound < 3; ++nRound) {
            std::string strRaw = RandomText(random, nLength);
            // A CR LF split exactly at a buffer boundary, and no Ctrl-Z in
            // one round so that the whole file is read.
            if (nLength > kBuffer + 1) {
                strRaw[kBuffer - 1] = '\r';
                strRaw[kBuffer] = '\n';
            }
            if (nRound == 0)
                std::replace(strRaw.begin(), strRaw.end(), '\x1a', 'Z');
            WriteRaw(strRaw);
            for (int nChunk : {1, 255, 128 * 1024})
                ASSERT_EQ(ReadStream(true, nChunk), ReferenceTextRead(strRaw))
                    << nLength << " " << nChunk;
            // Writing: the same bytes sent in pieces of every size.
            std::vector<std::string> pieces;
            for (size_t nAt = 0; nAt < strRaw.size();) {
                size_t nPiece = std::min<size_t>(1 + random() % 200000, strRaw.size() - nAt);
                pieces.push_back(strRaw.substr(nAt, nPiece));
                nAt += nPiece;
            }
            WriteStream(CFileStream::Mode::Truncate, true, pieces);
            ASSERT_EQ(ReadRaw(), ReferenceTextWrite(strRaw)) << nLength;
            WriteStream(CFileStream::Mode::Truncate, false, pieces);
            ASSERT_EQ(ReadRaw(), strRaw) << nLength;
        }
    }
}

namespace {

std::string ReferenceNetworkRead(const std::string& strRaw) {
    std::string strOut;
    for (size_t i = 0; i < strRaw.size(); ++i) {
        if (strRaw[i] == '\n' && (i == 0 || strRaw[i - 1] != '\r'))
            strOut += '\r';
        strOut += strRaw[i];
    }
    return strOut;
}

std::string ReferenceNetworkWrite(const std::string& strSent) {
    std::string strOut;
    for (size_t i = 0; i < strSent.size(); ++i) {
        if (strSent[i] == '\r' && i + 1 < strSent.size() && strSent[i + 1] == '\n')
            continue;
        strOut += strSent[i];
    }
    return strOut;
}

} // namespace

TEST_F(FileStreamTest, NetworkTextFollowsRfc959AcrossBlockBoundaries) {
    std::mt19937 random(99);
    const size_t kBuffer = CFileStream::kBufferSize;
    for (size_t nLength :
         {size_t(0), size_t(1), kBuffer - 1, kBuffer, kBuffer + 1, 3 * kBuffer + 5}) {
        std::string strRaw = RandomText(random, nLength);
        if (nLength > kBuffer + 1) {
            strRaw[kBuffer - 1] = '\r';
            strRaw[kBuffer] = '\n';
        }
        WriteRaw(strRaw);
        for (int nChunk : {1, 2, 255, 128 * 1024}) {
            CFileStream file;
            int nError = 0;
            ASSERT_TRUE(file.Open(m_strPath, CFileStream::Mode::Read, true, nError));
            file.SetNetworkText(true);
            std::string strOut;
            std::vector<char> buffer(static_cast<size_t>(nChunk));
            int nRead;
            while ((nRead = file.Read(buffer.data(), nChunk, nError)) > 0)
                strOut.append(buffer.data(), static_cast<size_t>(nRead));
            ASSERT_EQ(strOut, ReferenceNetworkRead(strRaw)) << nLength << " " << nChunk;
        }
        // Writing, with CR and LF of a pair split between two writes.
        CFileStream file;
        int nError = 0;
        ASSERT_TRUE(file.Open(m_strPath, CFileStream::Mode::Truncate, true, nError));
        file.SetNetworkText(true);
        for (size_t nAt = 0; nAt < strRaw.size();) {
            size_t nPiece = std::min<size_t>(1 + random() % 70000, strRaw.size() - nAt);
            ASSERT_TRUE(file.Write(strRaw.data() + nAt, static_cast<int>(nPiece), nError));
            nAt += nPiece;
        }
        ASSERT_TRUE(file.Close(nError));
        ASSERT_EQ(ReadRaw(), ReferenceNetworkWrite(strRaw)) << nLength;
    }
    // A CR at the very end is kept.
    CFileStream file;
    int nError = 0;
    ASSERT_TRUE(file.Open(m_strPath, CFileStream::Mode::Truncate, true, nError));
    file.SetNetworkText(true);
    ASSERT_TRUE(file.Write("a\r", 2, nError));
    ASSERT_TRUE(file.Close(nError));
    EXPECT_EQ(ReadRaw(), "a\r");
}
