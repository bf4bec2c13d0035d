#include "net/AsyncSocket.h"
#include "net/SocketDispatcher.h"
#include "tests/unit/SocketTestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <sys/ioctl.h>

namespace {

// A listener that records its events and can be told to accept.
class CCountingListener : public CAsyncSocket {
public:
    void OnAccept(int) override { ++m_nAccepts; }
    int m_nAccepts = 0;
};

class CRecordingSocket : public CAsyncSocket {
public:
    void OnSend(int) override { ++m_nSends; }
    void OnReceive(int) override {
        ++m_nReceives;
        if (m_bRead) {
            char buffer[64];
            int n = Receive(buffer, m_nReadSize);
            if (n > 0)
                m_strData.append(buffer, static_cast<size_t>(n));
        }
    }
    void OnClose(int nError) override {
        ++m_nCloses;
        m_nCloseError = nError;
    }
    void OnOutOfBandData(int) override {
        ++m_nUrgent;
        char ch = 0;
        Receive(&ch, 1, MSG_OOB);
    }
    int m_nSends = 0, m_nReceives = 0, m_nCloses = 0, m_nCloseError = 0, m_nUrgent = 0;
    bool m_bRead = true;
    // Bytes one receive asks for (0: a receive that takes nothing).
    int m_nReadSize = 64;
    std::string m_strData;
};

// Deletes itself on its first received byte, or deletes a partner.
class CSelfDeleting : public CAsyncSocket {
public:
    explicit CSelfDeleting(int* pDeleted) : m_pDeleted(pDeleted) {}
    ~CSelfDeleting() override { ++*m_pDeleted; }
    void OnReceive(int) override {
        if (m_ppPartner && *m_ppPartner) {
            delete *m_ppPartner;
            *m_ppPartner = nullptr;
        }
        ++m_nReceives;
        if (m_ppSelf)
            *m_ppSelf = nullptr;
        delete this;
    }
    int* m_pDeleted;
    int m_nReceives = 0;
    CSelfDeleting** m_ppPartner = nullptr;
    CSelfDeleting** m_ppSelf = nullptr;
};

unsigned PortOf(const CAsyncSocket& socket) {
    CAddress address;
    socket.GetSockName(address);
    return address.Port();
}

class DispatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dispatcher.IsValid());
        ASSERT_TRUE(m_listener.Create(0, "127.0.0.1"));
        ASSERT_EQ(m_listener.Listen(5), 0);
        m_nPort = PortOf(m_listener);
    }
    CSocketDispatcher m_dispatcher;
    CCountingListener m_listener;
    unsigned m_nPort = 0;
};

} // namespace

TEST_F(DispatcherTest, AcceptIsReportedOnceUntilAccepted) {
    CTestClient first(m_nPort), second(m_nPort);
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_listener.m_nAccepts > 0; }));
    // Not again while nothing has been accepted, though two are waiting.
    for (int i = 0; i < 5; ++i)
        m_dispatcher.ProcessEvents(10);
    EXPECT_EQ(m_listener.m_nAccepts, 1);
    CRecordingSocket accepted;
    ASSERT_TRUE(m_listener.Accept(accepted));
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_listener.m_nAccepts == 2; }));
}

TEST_F(DispatcherTest, SendEventOnceAtEstablishmentThenOnlyAfterWouldBlock) {
    CTestClient client(m_nPort);
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_listener.m_nAccepts > 0; }));
    CRecordingSocket accepted;
    ASSERT_TRUE(m_listener.Accept(accepted));
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return accepted.m_nSends == 1; }));
    accepted.Send("x", 1);
    for (int i = 0; i < 5; ++i)
        m_dispatcher.ProcessEvents(10);
    EXPECT_EQ(accepted.m_nSends, 1);
    // Fill the socket until it would block; draining it brings OnSend.
    std::string strBlock(65536, 'y');
    while (accepted.Send(strBlock.data(), static_cast<int>(strBlock.size())) > 0) {
    }
    EXPECT_TRUE(accepted.WouldBlock());
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] {
        client.Poll();
        client.m_strReceived.clear();
        return accepted.m_nSends == 2;
    }));
}

TEST_F(DispatcherTest, ReceiveOnlyWhileBytesWaitAndCloseAfterTheLastByte) {
    CTestClient client(m_nPort);
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_listener.m_nAccepts > 0; }));
    CRecordingSocket accepted;
    ASSERT_TRUE(m_listener.Accept(accepted));
    for (int i = 0; i < 5; ++i)
        m_dispatcher.ProcessEvents(10);
    EXPECT_EQ(accepted.m_nReceives, 0);
    client.Send("hello");
    client.Close();
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return accepted.m_nCloses == 1; }));
    EXPECT_EQ(accepted.m_strData, "hello");
    for (int i = 0; i < 5; ++i)
        m_dispatcher.ProcessEvents(10);
    EXPECT_EQ(accepted.m_nCloses, 1);
}

TEST_F(DispatcherTest, AHandlerThatDoesNotReadIsNotCalledAgainUntilItDoes) {
    CTestClient client(m_nPort);
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_listener.m_nAccepts > 0; }));
    CRecordingSocket accepted;
    accepted.m_bRead = false;
    ASSERT_TRUE(m_listener.Accept(accepted));
    client.Send("data");
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return accepted.m_nReceives == 1; }));
    for (int i = 0; i < 5; ++i)
        m_dispatcher.ProcessEvents(10);
    EXPECT_EQ(accepted.m_nReceives, 1);
    char buffer[2];
    EXPECT_EQ(accepted.Receive(buffer, 2), 2);
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return accepted.m_nReceives == 2; }));
}

TEST_F(DispatcherTest, AfterAHangUpAReceiveThatTakesNothingEndsTheConnection) {
    // A receive that makes no progress on bytes that can no longer grow
    // (as TLS does with a record that will never be completed) is not
    // offered them again: the close comes instead of endless events.
    CTestClient client(m_nPort);
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_listener.m_nAccepts > 0; }));
    CRecordingSocket accepted;
    accepted.m_nReadSize = 0;
    ASSERT_TRUE(m_listener.Accept(accepted));
    client.Send("never taken");
    ::shutdown(client.m_hSocket, SHUT_WR);
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return accepted.m_nCloses == 1; }));
    EXPECT_LE(accepted.m_nReceives, 2);
    // A reader that takes a little each time still gets every byte first.
    CTestClient second(m_nPort);
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_listener.m_nAccepts > 1; }));
    CRecordingSocket slow;
    slow.m_nReadSize = 3;
    ASSERT_TRUE(m_listener.Accept(slow));
    second.Send("every byte arrives");
    ::shutdown(second.m_hSocket, SHUT_WR);
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return slow.m_nCloses == 1; }));
    EXPECT_EQ(slow.m_strData, "every byte arrives");
}

TEST_F(DispatcherTest, HeldInputHidesBytesAndThePeersCloseUntilReleased) {
    // A transfer over its speed limit holds its input: the peer's bytes and
    // its close wait (no event, nothing lost); released, the owner reads
    // again and the close comes after the last byte.
    CTestClient client(m_nPort);
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_listener.m_nAccepts > 0; }));
    CRecordingSocket accepted;
    ASSERT_TRUE(m_listener.Accept(accepted));
    accepted.HoldInput(true);
    client.Send("held bytes");
    ::shutdown(client.m_hSocket, SHUT_WR);
    for (int i = 0; i < 10; ++i)
        m_dispatcher.ProcessEvents(10);
    EXPECT_EQ(accepted.m_nReceives, 0);
    EXPECT_EQ(accepted.m_nCloses, 0);
    accepted.HoldInput(false);
    accepted.OnReceive(0);
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return accepted.m_nCloses == 1; }));
    EXPECT_EQ(accepted.m_strData, "held bytes");
    // A reset while held is told at once.
    CTestClient second(m_nPort);
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_listener.m_nAccepts > 1; }));
    CRecordingSocket reset;
    ASSERT_TRUE(m_listener.Accept(reset));
    reset.HoldInput(true);
    second.Send("lost");
    linger hard{1, 0};
    ::setsockopt(second.m_hSocket, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    second.Close();
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return reset.m_nCloses == 1; }));
    EXPECT_NE(reset.m_nCloseError, 0);
    EXPECT_EQ(reset.m_nReceives, 0);
}

TEST_F(DispatcherTest, UrgentDataAndResetAreReported) {
    CTestClient client(m_nPort);
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_listener.m_nAccepts > 0; }));
    CRecordingSocket accepted;
    ASSERT_TRUE(m_listener.Accept(accepted));
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return accepted.m_nSends == 1; }));
    ::send(client.m_hSocket, "!", 1, MSG_OOB);
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return accepted.m_nUrgent == 1; }));
    client.Reset();
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return accepted.m_nCloses == 1; }));
    EXPECT_NE(accepted.m_nCloseError, 0);
}

TEST_F(DispatcherTest, HandlersMayDeleteTheirOwnAndOtherObjects) {
    int nDeleted = 0;
    CTestClient client1(m_nPort), client2(m_nPort);
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_listener.m_nAccepts > 0; }));
    CSelfDeleting* pFirst = new CSelfDeleting(&nDeleted);
    ASSERT_TRUE(m_listener.Accept(*pFirst));
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_listener.m_nAccepts > 1; }));
    CSelfDeleting* pSecond = new CSelfDeleting(&nDeleted);
    ASSERT_TRUE(m_listener.Accept(*pSecond));
    // Each deletes the other and itself: whichever runs first, the other
    // must never be called, though its data was ready in the same wait.
    pFirst->m_ppPartner = &pSecond;
    pFirst->m_ppSelf = &pFirst;
    pSecond->m_ppPartner = &pFirst;
    pSecond->m_ppSelf = &pSecond;
    client1.Send("a");
    client2.Send("b");
    // Let both bytes arrive so that one wait reports both sockets.
    auto waiting = [](CAsyncSocket* p) {
        int n = 0;
        ::ioctl(p->Handle(), FIONREAD, &n);
        return n > 0;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ScaledMs(5000));
    while (!(waiting(pFirst) && waiting(pSecond)) && std::chrono::steady_clock::now() < deadline) {
    }
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return nDeleted == 2; }));
    for (int i = 0; i < 5; ++i)
        m_dispatcher.ProcessEvents(10);
    EXPECT_EQ(nDeleted, 2);
}

TEST_F(DispatcherTest, ConnectReportsItsOutcome) {
    class CConnecting : public CAsyncSocket {
    public:
        void OnConnect(int nError) override {
            m_nResult = nError;
            m_bDone = true;
        }
        void OnSend(int) override { ++m_nSends; }
        int m_nResult = -1;
        bool m_bDone = false;
        int m_nSends = 0;
    };
    CConnecting good;
    ASSERT_TRUE(good.Create(0));
    CAddress address = CAddress::FromV4(INADDR_LOOPBACK, m_nPort);
    EXPECT_TRUE(good.Connect(address)); // under way
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return good.m_bDone && good.m_nSends == 1; }));
    EXPECT_EQ(good.m_nResult, 0);

    // A port nobody listens on: the refusal comes as OnConnect's error.
    CAsyncSocket probe;
    ASSERT_TRUE(probe.Create(0, "127.0.0.1"));
    unsigned nFree = PortOf(probe);
    probe.Close();
    CConnecting refused;
    ASSERT_TRUE(refused.Create(0));
    address.SetPort(nFree);
    refused.Connect(address);
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return refused.m_bDone; }));
    EXPECT_NE(refused.m_nResult, 0);
    EXPECT_EQ(refused.m_nSends, 0);
}

TEST(DispatcherListenTest, AListenerThatReportsNothingUntilAskedIsArmedByItsFirstAccept) {
    CSocketDispatcher dispatcher;
    CCountingListener listener;
    ASSERT_TRUE(listener.Create(0, "127.0.0.1"));
    ASSERT_EQ(listener.Listen(5, false), 0);
    // Asked before anyone connects: nothing is there, and the listener is
    // armed for what comes.
    CRecordingSocket early;
    EXPECT_FALSE(listener.Accept(early));
    EXPECT_TRUE(listener.WouldBlock());
    CTestClient first(PortOf(listener));
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return listener.m_nAccepts == 1; }));

    CCountingListener quiet;
    ASSERT_TRUE(quiet.Create(0, "127.0.0.1"));
    ASSERT_EQ(quiet.Listen(5, false), 0);
    CTestClient second(PortOf(quiet));
    // A connection made before the first Accept wakes nobody...
    for (int i = 0; i < 5; ++i)
        dispatcher.ProcessEvents(10);
    EXPECT_EQ(quiet.m_nAccepts, 0);
    // ...and is there when asked for.
    CRecordingSocket accepted;
    ASSERT_TRUE(quiet.Accept(accepted));
    CTestClient third(PortOf(quiet));
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return quiet.m_nAccepts == 1; }));
}

TEST_F(DispatcherTest, ChangesInsideADeliveryTakeEffectAtItsEnd) {
    CTestClient client(m_nPort);
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_listener.m_nAccepts > 0; }));
    CRecordingSocket accepted;
    {
        // As a transfer that sends everything and ends its side within the
        // event that accepted it: no OnSend follows, the close still does.
        CDeferredReleaseScope delivery;
        ASSERT_TRUE(m_listener.Accept(accepted));
        EXPECT_EQ(accepted.Send("whole", 5), 5);
        EXPECT_EQ(accepted.ShutDown(1), 0);
    }
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return client.Poll(); }));
    EXPECT_EQ(client.m_strReceived, "whole");
    client.Close();
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return accepted.m_nCloses == 1; }));
    EXPECT_EQ(accepted.m_nSends, 0);
    EXPECT_EQ(accepted.m_nCloseError, 0);
}
