// Transfers through the real server over loopback: uploads in TYPE I
// through the pipe without a copy and, forced, through the process, byte
// for byte at every block boundary and from a restart offset; downloads in
// bursts that still leave every other client its turn.
#include "ftp/ClientSocket.h"
#include "ftp/DataSocket.h"
#include "net/ListeningSocket.h"
#include "net/SocketDispatcher.h"
#include "server/ServerHost.h"
#include "tests/unit/HostTestSupport.h"
#include "tests/unit/SocketTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace {

std::string Bytes(size_t nSize, unsigned nSeed) {
    std::mt19937 random(nSeed);
    std::string strData(nSize, '\0');
    for (char& ch : strData)
        ch = static_cast<char>(random() & 0xFF);
    return strData;
}

std::string ReadWhole(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

class TransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dispatcher.IsValid());
        m_folder = std::filesystem::temp_directory_path() /
                   ("skerrow-transfer-" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_folder);
        EditSettings(m_host)->m_users = ParseUserList({"ana,pw,1,1"});
        EditSettings(m_host)->m_folderMap = ParseFolderMap({"/=" + m_folder.string() + "/,1,1"});
        EditSettings(m_host)->m_extended.m_bEnabled = true;
        m_nPort = StartOnFreePort(m_host);
        ASSERT_TRUE(m_host.IsRunning());
    }
    void TearDown() override {
        CDataSocket::SetZeroCopyForTests(true);
        m_host.StopServer();
        std::filesystem::remove_all(m_folder);
    }

    std::unique_ptr<CTestClient> LoggedIn() {
        auto pClient = std::make_unique<CTestClient>(m_nPort);
        EXPECT_EQ(pClient->ReadLine(m_dispatcher).substr(0, 4), "220 ");
        EXPECT_EQ(pClient->Command(m_dispatcher, "USER ana"), "331 Enter PASS command");
        EXPECT_EQ(pClient->Command(m_dispatcher, "PASS pw"), "230 Logged in");
        EXPECT_EQ(pClient->Command(m_dispatcher, "TYPE I"), "200 Type I OK");
        return pClient;
    }
    unsigned PassivePort(CTestClient& rClient) {
        const std::string strReply = rClient.Command(m_dispatcher, "PASV");
        int a, b, c, d, p1, p2;
        EXPECT_EQ(sscanf(strReply.c_str(), "227 Entering %*s mode (%d,%d,%d,%d,%d,%d)", &a, &b, &c,
                         &d, &p1, &p2),
                  6)
            << strReply;
        return static_cast<unsigned>(p1 * 256 + p2);
    }
    // Sends everything on the data connection while the server runs, then
    // closes it; the reply that ends the transfer.
    std::string Upload(CTestClient& rControl, const std::string& strCommand,
                       const std::string& strData) {
        CTestClient data(PassivePort(rControl));
        EXPECT_EQ(rControl.Command(m_dispatcher, strCommand).substr(0, 4), "150 ");
        size_t nDone = 0;
        EXPECT_TRUE(PumpUntil(
            m_dispatcher,
            [&] {
                const ssize_t n = ::send(data.m_hSocket, strData.data() + nDone,
                                         strData.size() - nDone, MSG_NOSIGNAL);
                if (n > 0)
                    nDone += static_cast<size_t>(n);
                return nDone == strData.size();
            },
            20000));
        data.Close();
        return rControl.ReadLine(m_dispatcher);
    }

    CSocketDispatcher m_dispatcher;
    CQuietViews m_views;
    CServerHost m_host{m_views};
    unsigned m_nPort = 0;
    std::filesystem::path m_folder;
};

} // namespace

TEST_F(TransferTest, UploadsAreExactAtEveryBlockBoundaryWithAndWithoutACopy) {
    const size_t nPipe = CDataSocket::kPipeSize;
    const size_t nBlock = CDataSocket::kBlockSize;
    const size_t nBudget = CDataSocket::kEventBudget;
    for (bool bZeroCopy : {true, false}) {
        CDataSocket::SetZeroCopyForTests(bZeroCopy);
        auto pClient = LoggedIn();
        unsigned nSeed = 1;
        for (size_t nSize : {size_t{0}, size_t{1}, nBlock - 1, nBlock, nBlock + 1, nBudget + 1,
                             nPipe - 1, nPipe, nPipe + 1, 3 * nPipe + 7}) {
            const std::string strData = Bytes(nSize, nSeed++);
            EXPECT_EQ(Upload(*pClient, "STOR up.bin", strData), "226 Transfer complete")
                << nSize << (bZeroCopy ? " spliced" : " copied");
            EXPECT_TRUE(ReadWhole(m_folder / "up.bin") == strData)
                << nSize << (bZeroCopy ? " spliced" : " copied");
        }
    }
}

TEST_F(TransferTest, ARestartedUploadGoesOnFromItsOffsetWithAndWithoutACopy) {
    for (bool bZeroCopy : {true, false}) {
        CDataSocket::SetZeroCopyForTests(bZeroCopy);
        const std::string strFirst = Bytes(3 * CDataSocket::kPipeSize, 7);
        {
            std::ofstream out(m_folder / "part.bin", std::ios::binary);
            out << strFirst;
        }
        auto pClient = LoggedIn();
        const size_t nOffset = CDataSocket::kPipeSize + 13;
        EXPECT_EQ(pClient->Command(m_dispatcher, "REST " + std::to_string(nOffset)).substr(0, 4),
                  "350 ");
        const std::string strRest = Bytes(2 * CDataSocket::kPipeSize + 5, 8);
        EXPECT_EQ(Upload(*pClient, "STOR part.bin", strRest), "226 Transfer complete");
        // The file up to the offset, then the new bytes; the old tail past
        // the new end stays, as a restart keeps what it does not overwrite.
        std::string strWanted = strFirst.substr(0, nOffset) + strRest;
        if (strWanted.size() < strFirst.size())
            strWanted += strFirst.substr(strWanted.size());
        EXPECT_TRUE(ReadWhole(m_folder / "part.bin") == strWanted);
    }
}

TEST_F(TransferTest, TimedADownloadAtFullSpeedLeavesOthersTheirTurn) {
    {
        std::ofstream out(m_folder / "big.bin", std::ios::binary);
        const std::string strBlock(1 << 20, 'x');
        for (int i = 0; i < 256; ++i)
            out << strBlock;
    }
    auto pDownloader = LoggedIn();
    std::vector<std::unique_ptr<CTestClient>> others;
    for (int i = 0; i < 20; ++i)
        others.push_back(LoggedIn());
    CTestClient data(PassivePort(*pDownloader));
    EXPECT_EQ(pDownloader->Command(m_dispatcher, "RETR big.bin").substr(0, 4), "150 ");
    // The download is drained as fast as it comes while the others ask,
    // each answered within a turn, never after the whole burst limit.
    size_t nReceived = 0;
    std::vector<char> buffer(1 << 20);
    auto drain = [&] {
        ssize_t n;
        while ((n = ::recv(data.m_hSocket, buffer.data(), buffer.size(), 0)) > 0)
            nReceived += static_cast<size_t>(n);
    };
    int nAnswered = 0;
    auto longest = std::chrono::steady_clock::duration::zero();
    for (int nRound = 0; nRound < 5; ++nRound) {
        const auto asked = std::chrono::steady_clock::now();
        for (auto& pOther : others)
            pOther->Send("NOOP\r\n");
        for (auto& pOther : others) {
            EXPECT_TRUE(PumpUntil(m_dispatcher, [&] {
                drain();
                pOther->Poll();
                return pOther->m_strReceived.find("\r\n") != std::string::npos;
            }));
            nAnswered += pOther->m_strReceived.substr(0, 8) == "200 Ok\r\n";
            pOther->m_strReceived.clear();
        }
        longest = std::max(longest, std::chrono::steady_clock::now() - asked);
    }
    EXPECT_EQ(nAnswered, 100);
    // All answered while the download still ran, none kept waiting for a
    // whole burst after burst (the benchmark measures the real figure).
    EXPECT_LT(nReceived, 256u << 20);
    EXPECT_LT(longest, std::chrono::milliseconds(ScaledMs(250)));
    EXPECT_TRUE(PumpUntil(
        m_dispatcher,
        [&] {
            drain();
            return nReceived == 256u << 20;
        },
        30000));
    EXPECT_EQ(pDownloader->ReadLine(m_dispatcher), "226 Transfer complete");
}
