// The line-and-reply connection over a real dispatcher and loopback: lines
// that come in pieces, a line over the bound, input held while output
// piles up unread, a watcher of held input, and the sending side ended once
// everything is out.
#include "net/BufferedConnection.h"
#include "net/SocketDispatcher.h"
#include "tests/unit/SocketTestSupport.h"

#include <gtest/gtest.h>

#include <linux/sockios.h>
#include <memory>
#include <string>
#include <sys/ioctl.h>
#include <vector>

namespace {

class CListener : public CAsyncSocket {
public:
    void OnAccept(int) override { ++m_nAccepts; }
    int m_nAccepts = 0;
};

// Records its lines; the test drives its output and its hold.
class CLineConnection : public CBufferedConnection {
public:
    explicit CLineConnection(size_t nMaxInput = kMaxInput) : CBufferedConnection("\n", nMaxInput) {}
    using CBufferedConnection::FlushOutput;
    using CBufferedConnection::InputPaused;
    using CBufferedConnection::QueueOutput;
    using CBufferedConnection::ResumeInput;
    using CBufferedConnection::ShutDownWhenSent;

    // Queues blocks until more than kOutputBeforePause waits unsent; the
    // bytes queued.
    size_t FillOutput() {
        size_t nQueued = 0;
        const std::string strBlock(16 * 1024, 'r');
        while (UnsentOutput() <= kOutputBeforePause) {
            QueueOutput(strBlock);
            nQueued += strBlock.size();
        }
        return nQueued;
    }

    std::vector<std::string> m_lines;
    int m_nOverlong = 0;
    int m_nOverflows = 0;
    // The owner's hold, taken after a line when bHoldAfterLine.
    bool m_bHold = false;
    bool m_bHoldAfterLine = false;
    bool m_bRefuseFirst = false;

private:
    void OnLine(const std::string& strLine) override {
        m_lines.push_back(strLine);
        m_bHold = m_bHoldAfterLine;
    }
    bool HoldsInput() const override { return m_bHold; }
    bool RefusesFirstBytes(const char*, size_t) override { return m_bRefuseFirst; }
    void OnOverlongLine() override { ++m_nOverlong; }
    void OnOutputOverflow() override { ++m_nOverflows; }
};

// Watches a held connection: keeps what it was shown, and ends the hold
// once a line "stop" has come.
class CStopWatcher : public CHeldInputWatcher {
public:
    explicit CStopWatcher(CLineConnection& rConnection) : m_rConnection(rConnection) {}
    void OnHeldInput(const std::string& rPending) override {
        m_strSeen = rPending;
        ++m_nShown;
        if (rPending.find("stop\n") != std::string::npos)
            m_rConnection.m_bHold = m_rConnection.m_bHoldAfterLine = false;
    }
    CLineConnection& m_rConnection;
    std::string m_strSeen;
    int m_nShown = 0;
};

class BufferedConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dispatcher.IsValid());
        ASSERT_TRUE(m_listener.Create(0, "127.0.0.1"));
        ASSERT_EQ(m_listener.Listen(5), 0);
        CAddress local;
        m_listener.GetSockName(local);
        m_pClient = std::make_unique<CTestClient>(local.Port());
    }
    // The server's end of the client's connection.
    void Accept(CLineConnection& rConnection) {
        ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_listener.m_nAccepts > 0; }));
        ASSERT_TRUE(m_listener.Accept(rConnection));
    }
    // Everything the client sent has been read by the server.
    bool AllRead(const CLineConnection& connection) {
        return PumpUntil(m_dispatcher, [&] {
            int nUnsent = 0, nUnread = 0;
            ::ioctl(m_pClient->m_hSocket, SIOCOUTQ, &nUnsent);
            ::ioctl(connection.Handle(), FIONREAD, &nUnread);
            return nUnsent == 0 && nUnread == 0;
        });
    }
    // The client reads until it has nBytes (or the server's close).
    bool ClientReads(size_t nBytes) {
        return PumpUntil(m_dispatcher, [&] {
            m_pClient->Poll();
            return m_pClient->m_strReceived.size() >= nBytes || m_pClient->m_bClosed;
        });
    }

    CSocketDispatcher m_dispatcher;
    CListener m_listener;
    std::unique_ptr<CTestClient> m_pClient;
};

} // namespace

TEST_F(BufferedConnectionTest, LinesComeWholeWhateverTheReadsCutThem) {
    CLineConnection connection;
    Accept(connection);
    m_pClient->Send("fir");
    ASSERT_TRUE(AllRead(connection));
    EXPECT_TRUE(connection.m_lines.empty());
    EXPECT_EQ(connection.PendingInput(), "fir");
    m_pClient->Send("st\r\nsec");
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return connection.m_lines.size() == 1; }));
    ASSERT_TRUE(AllRead(connection));
    m_pClient->Send("ond\n\nthird\nfou");
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return connection.m_lines.size() == 4; }));
    // A line keeps what came before its LF; an empty line is a line.
    EXPECT_EQ(connection.m_lines, (std::vector<std::string>{"first\r", "second", "", "third"}));
    ASSERT_TRUE(AllRead(connection));
    EXPECT_EQ(connection.PendingInput(), "fou");
}

TEST_F(BufferedConnectionTest, FirstBytesRefusedAreNeverTakenAsLines) {
    CLineConnection connection;
    connection.m_bRefuseFirst = true;
    Accept(connection);
    m_pClient->Send("refused\n");
    ASSERT_TRUE(AllRead(connection));
    EXPECT_TRUE(connection.m_lines.empty());
    EXPECT_TRUE(connection.PendingInput().empty());
}

TEST_F(BufferedConnectionTest, OverlongLineIsDroppedToItsEndAndItsMemoryGiven) {
    CLineConnection connection(100);
    Accept(connection);
    m_pClient->Send(std::string(150, 'x'));
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return connection.m_nOverlong == 1; }));
    EXPECT_TRUE(connection.PendingInput().empty());
    // More of it, then its end: dropped without a line.
    m_pClient->Send(std::string(5000, 'y'));
    ASSERT_TRUE(AllRead(connection));
    m_pClient->Send("tail of the long line\n");
    ASSERT_TRUE(AllRead(connection));
    EXPECT_TRUE(connection.m_lines.empty());
    EXPECT_EQ(connection.m_nOverlong, 1);
    EXPECT_LE(connection.PendingInput().capacity(), CBufferedConnection::kKeptInputCapacity);
    // The next line is whole again, and one within the bound is kept.
    m_pClient->Send("next\n" + std::string(90, 'z'));
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return connection.m_lines.size() == 1; }));
    ASSERT_TRUE(AllRead(connection));
    EXPECT_EQ(connection.m_lines[0], "next");
    EXPECT_EQ(connection.PendingInput(), std::string(90, 'z'));
    EXPECT_EQ(connection.m_nOverlong, 1);
}

TEST_F(BufferedConnectionTest, UnreadOutputHoldsInputUntilThePeerReads) {
    CLineConnection connection;
    Accept(connection);
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return connection.Handle() >= 0; }));
    const size_t nQueued = connection.FillOutput();
    EXPECT_GT(connection.UnsentOutput(), CBufferedConnection::kOutputBeforePause);
    // A line sent now waits in the socket, not read.
    m_pClient->Send("after the backlog\n");
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return connection.InputPaused(); }));
    int nUnread = 0;
    ::ioctl(connection.Handle(), FIONREAD, &nUnread);
    EXPECT_GT(nUnread, 0);
    EXPECT_TRUE(connection.m_lines.empty());
    // The client reads: the backlog drains, and the line runs.
    ASSERT_TRUE(ClientReads(nQueued));
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return connection.m_lines.size() == 1; }));
    EXPECT_EQ(connection.m_lines[0], "after the backlog");
    EXPECT_EQ(m_pClient->m_strReceived, std::string(nQueued, 'r'));
    EXPECT_EQ(connection.m_nOverflows, 0);
    // A peer that reads nothing while more than the bound piles up.
    m_pClient->m_strReceived.clear();
    while (connection.m_nOverflows == 0 &&
           connection.UnsentOutput() <= CBufferedConnection::kMaxOutput + 1)
        connection.QueueOutput(std::string(64 * 1024, 'o'));
    EXPECT_GE(connection.m_nOverflows, 1);
}

TEST_F(BufferedConnectionTest, OwnersHoldKeepsTheLinesThatCameTogether) {
    CLineConnection connection;
    connection.m_bHoldAfterLine = true;
    Accept(connection);
    m_pClient->Send("one\ntwo\nthree\n");
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return !connection.m_lines.empty(); }));
    ASSERT_TRUE(AllRead(connection));
    EXPECT_EQ(connection.m_lines, (std::vector<std::string>{"one"}));
    EXPECT_EQ(connection.PendingInput(), "two\nthree\n");
    // Resumed while still held: nothing runs.
    connection.ResumeInput();
    EXPECT_EQ(connection.m_lines.size(), 1u);
    connection.m_bHoldAfterLine = false;
    connection.m_bHold = false;
    connection.ResumeInput();
    EXPECT_EQ(connection.m_lines, (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_TRUE(connection.PendingInput().empty());
    // Reading goes on afterwards.
    m_pClient->Send("four\n");
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return connection.m_lines.size() == 4; }));
}

TEST_F(BufferedConnectionTest, AWatcherSeesHeldInputAndMayEndTheHold) {
    CLineConnection connection;
    connection.m_bHoldAfterLine = true;
    CStopWatcher watcher(connection);
    connection.SetHeldInputWatcher(&watcher);
    Accept(connection);
    // What came with the line that took the hold is shown at once.
    m_pClient->Send("one\ntwo\n");
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return watcher.m_strSeen == "two\n"; }));
    // What comes later is read and shown; no line runs.
    m_pClient->Send("thr");
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return watcher.m_strSeen == "two\nthr"; }));
    ASSERT_TRUE(AllRead(connection));
    EXPECT_EQ(connection.m_lines, (std::vector<std::string>{"one"}));
    // The watcher ends the hold: the lines run in order, and reading goes on.
    m_pClient->Send("ee\nstop\nfive\n");
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return connection.m_lines.size() == 5; }));
    EXPECT_EQ(connection.m_lines,
              (std::vector<std::string>{"one", "two", "three", "stop", "five"}));
    m_pClient->Send("six\n");
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return connection.m_lines.size() == 6; }));
    // Not held, the watcher is shown nothing more.
    const int nShown = watcher.m_nShown;
    m_pClient->Send("seven\n");
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return connection.m_lines.size() == 7; }));
    EXPECT_EQ(watcher.m_nShown, nShown);
}

TEST_F(BufferedConnectionTest, AWatchedHoldReadsNoMoreThanTheBound) {
    CLineConnection connection(100);
    connection.m_bHoldAfterLine = true;
    CStopWatcher watcher(connection);
    connection.SetHeldInputWatcher(&watcher);
    Accept(connection);
    m_pClient->Send("hold\n");
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return connection.m_lines.size() == 1; }));
    std::string strLines;
    for (int i = 0; i < 500; ++i)
        strLines += "line " + std::to_string(i) + "\n";
    m_pClient->Send(strLines);
    // Read up to the bound (one read past it at most), the rest left in the
    // socket for later.
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return connection.PendingInput().size() >= 100; }));
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return connection.InputPaused(); }));
    int nUnread = 0;
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] {
        ::ioctl(connection.Handle(), FIONREAD, &nUnread);
        return nUnread > 0;
    }));
    EXPECT_LT(connection.PendingInput().size(), 100u + 1024u);
    EXPECT_EQ(connection.m_lines.size(), 1u);
    // Released: every line runs, none lost.
    connection.m_bHold = connection.m_bHoldAfterLine = false;
    connection.ResumeInput();
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return connection.m_lines.size() == 501; }));
    EXPECT_EQ(connection.m_lines.back(), "line 499");
}

TEST_F(BufferedConnectionTest, ShutDownWaitsForEverythingQueued) {
    CLineConnection connection;
    Accept(connection);
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return connection.Handle() >= 0; }));
    const size_t nQueued = connection.FillOutput();
    connection.QueueOutput("last\n");
    connection.ShutDownWhenSent();
    // The end of the stream comes after every byte queued.
    ASSERT_TRUE(PumpUntil(
        m_dispatcher, [&] { return m_pClient->Poll(); }, 10000));
    EXPECT_EQ(m_pClient->m_strReceived.size(), nQueued + 5);
    EXPECT_EQ(m_pClient->m_strReceived.substr(nQueued), "last\n");
    EXPECT_EQ(connection.UnsentOutput(), 0u);
}

TEST_F(BufferedConnectionTest, ShutDownWithNothingQueuedIsImmediate) {
    CLineConnection connection;
    Accept(connection);
    connection.ShutDownWhenSent();
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_pClient->Poll(); }));
    EXPECT_TRUE(m_pClient->m_strReceived.empty());
    // Only the sending side: lines still come in.
    m_pClient->Send("still heard\n");
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return connection.m_lines.size() == 1; }));
}
