// A listener behind a load balancer, over loopback: a balancer's
// connection is offered only once its PROXY header has been read, carries
// the client the header named, and keeps every byte after the header;
// missing, malformed and late headers are refused; other peers pass as
// before.
#include "net/ProxyGate.h"
#include "net/AsyncSocket.h"
#include "net/SocketDispatcher.h"
#include "tests/unit/SocketTestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

class CReadingSocket : public CAsyncSocket {
public:
    void OnReceive(int) override {
        char buffer[256];
        const int n = Receive(buffer, sizeof buffer);
        if (n > 0)
            m_strData.append(buffer, static_cast<size_t>(n));
    }
    std::string m_strData;
};

// Accepts every connection it is offered and keeps it.
class CGatedListener : public CAsyncSocket {
public:
    void OnAccept(int) override {
        auto pConnection = std::make_unique<CReadingSocket>();
        CAddress peer;
        if (Accept(*pConnection, &peer)) {
            m_peers.push_back(peer);
            m_accepted.push_back(std::move(pConnection));
        }
    }
    std::vector<CAddress> m_peers;
    std::vector<std::unique_ptr<CReadingSocket>> m_accepted;
};

std::string VersionTwo(unsigned char nCommand, unsigned char nFamily, const std::string& strBody) {
    std::string strHead("\r\n\r\n\0\r\nQUIT\n", 12);
    strHead += static_cast<char>(nCommand);
    strHead += static_cast<char>(nFamily);
    strHead += static_cast<char>(strBody.size() >> 8);
    strHead += static_cast<char>(strBody.size() & 255);
    return strHead + strBody;
}

class ProxyGateTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dispatcher.IsValid());
        ASSERT_TRUE(m_listener.Create(0, "127.0.0.1"));
        ASSERT_EQ(m_listener.Listen(5), 0);
        CAddress local;
        m_listener.GetSockName(local);
        m_nPort = local.Port();
        m_listener.SetAcceptFilter(
            std::make_unique<CProxyGate>([this] { return m_pPolicy; },
                                         [this](const CAddress& balancer, ProxyRefusal why) {
                                             m_refusals.push_back({balancer.ToString(), why});
                                         }));
        Believe("127.0.0.1", 5000);
    }
    // The gate follows the policy from the next connection on.
    void Believe(const std::string& strList, int nTimeoutMs) {
        auto pPolicy = std::make_shared<CProxyPolicy>();
        ASSERT_TRUE(CProxyPolicy::ParseList(strList, pPolicy->balancers));
        pPolicy->nTimeoutMs = nTimeoutMs;
        m_pPolicy = pPolicy;
    }
    bool Refused(ProxyRefusal why) {
        return PumpUntil(m_dispatcher, [&] { return !m_refusals.empty(); }) &&
               m_refusals.size() == 1 && m_refusals[0].second == why &&
               m_refusals[0].first == "127.0.0.1";
    }

    CSocketDispatcher m_dispatcher;
    std::shared_ptr<const CProxyPolicy> m_pPolicy;
    CGatedListener m_listener;
    unsigned m_nPort = 0;
    std::vector<std::pair<std::string, ProxyRefusal>> m_refusals;
};

} // namespace

TEST_F(ProxyGateTest, AHeaderInPiecesNamesThePeerAndTheBytesAfterItStay) {
    CTestClient client(m_nPort);
    client.Send("PROXY TCP4 192.0.2");
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_listener.HeldConnections() == 1; }));
    client.Send(".7 198.51.100.1 500");
    // Nothing is offered while the header is incomplete.
    EXPECT_FALSE(PumpUntil(
        m_dispatcher, [&] { return !m_listener.m_peers.empty(); }, 100));
    client.Send("00 21\r\nUSER ana\r\n");
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return !m_listener.m_accepted.empty(); }));
    CReadingSocket& rConnection = *m_listener.m_accepted[0];
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return rConnection.m_strData.size() >= 10; }));
    EXPECT_EQ(rConnection.m_strData, "USER ana\r\n");
    EXPECT_EQ(m_listener.m_peers[0].ToString(), "192.0.2.7");
    CAddress peer;
    ASSERT_TRUE(rConnection.GetPeerName(peer));
    EXPECT_EQ(peer.ToString(), "192.0.2.7");
    EXPECT_TRUE(rConnection.CameThroughBalancer());
    EXPECT_TRUE(m_refusals.empty());

    // Version 2, IPv6, with a TLV the gate skips; the client's bytes follow
    // in the same segment.
    std::string strBody(36, '\0');
    strBody[0] = 0x20, strBody[1] = 0x01, strBody[2] = 0x0d, strBody[3] = static_cast<char>(0xb8);
    strBody[15] = 7;
    strBody[16 + 15] = 1;
    strBody[32] = static_cast<char>(0xC3), strBody[33] = 0x50, strBody[34] = 0, strBody[35] = 21;
    strBody += std::string("\x04\x00\x01X", 4);
    CTestClient second(m_nPort);
    second.Send(VersionTwo(0x21, 0x21, strBody) + "NOOP\r\n");
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_listener.m_accepted.size() == 2; }));
    ASSERT_TRUE(
        PumpUntil(m_dispatcher, [&] { return m_listener.m_accepted[1]->m_strData.size() >= 6; }));
    EXPECT_EQ(m_listener.m_accepted[1]->m_strData, "NOOP\r\n");
    EXPECT_EQ(m_listener.m_peers[1].ToString(), "2001:db8::7");
}

TEST_F(ProxyGateTest, HealthChecksAreTheBalancersOwnConnection) {
    CTestClient unknown(m_nPort);
    unknown.Send("PROXY UNKNOWN\r\n");
    CTestClient local(m_nPort);
    local.Send(VersionTwo(0x20, 0x00, std::string()));
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_listener.m_accepted.size() == 2; }));
    for (const CAddress& peer : m_listener.m_peers)
        EXPECT_EQ(peer.ToString(), "127.0.0.1");
}

TEST_F(ProxyGateTest, AMalformedHeaderIsRefusedAndClosed) {
    for (const std::string& strBad :
         {std::string("USER ana\r\n"), std::string("PROXY TCP4 1.2.3 4.5.6.7 1 2\r\n"),
          std::string(200, 'P'), VersionTwo(0x31, 0x11, std::string(12, '\0')),
          VersionTwo(0x21, 0x51, std::string(12, '\0'))}) {
        m_refusals.clear();
        CTestClient client(m_nPort);
        client.Send(strBad);
        EXPECT_TRUE(Refused(ProxyRefusal::BadHeader)) << strBad;
        EXPECT_TRUE(client.WaitClosed(m_dispatcher));
    }
    EXPECT_TRUE(m_listener.m_accepted.empty());
}

TEST_F(ProxyGateTest, AConnectionThatEndsBeforeItsHeaderIsRefused) {
    CTestClient client(m_nPort);
    client.Send("PROXY TCP4 192.0.2.7");
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_listener.HeldConnections() == 1; }));
    client.Close();
    EXPECT_TRUE(Refused(ProxyRefusal::Closed));
    EXPECT_TRUE(m_listener.m_accepted.empty());
    EXPECT_EQ(m_listener.HeldConnections(), 0u);
}

TEST_F(ProxyGateTest, TimedAHeaderThatComesTooSlowlyIsRefusedInTime) {
    Believe("127.0.0.1", 300);
    CTestClient client(m_nPort);
    const auto start = std::chrono::steady_clock::now();
    // A byte now and then, never the whole header.
    for (char ch : std::string("PROXY TCP4 ")) {
        client.Send(std::string(1, ch));
        PumpUntil(
            m_dispatcher, [&] { return !m_refusals.empty(); }, 20);
    }
    EXPECT_TRUE(Refused(ProxyRefusal::Late));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(ScaledMs(3000)));
    EXPECT_TRUE(client.WaitClosed(m_dispatcher));
    EXPECT_TRUE(m_listener.m_accepted.empty());
}

TEST_F(ProxyGateTest, OthersPassAsBeforeAndTheListenerMayGoWhileItHolds) {
    Believe("192.0.2.1", 5000);
    CTestClient direct(m_nPort);
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_listener.m_accepted.size() == 1; }));
    EXPECT_EQ(m_listener.m_peers[0].ToString(), "127.0.0.1");
    EXPECT_FALSE(m_listener.m_accepted[0]->CameThroughBalancer());

    // Held connections go with the listener, quietly.
    Believe("127.0.0.1", 5000);
    CTestClient held(m_nPort);
    held.Send("PROXY TCP4 ");
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_listener.HeldConnections() == 1; }));
    m_listener.Close();
    EXPECT_TRUE(held.WaitClosed(m_dispatcher));
    EXPECT_TRUE(m_refusals.empty());
}

TEST(ProxyPolicyTest, ListsOfBalancers) {
    std::vector<CAddress> list;
    ASSERT_TRUE(CProxyPolicy::ParseList(" 127.0.0.1 ,::1,10.0.0.2", list));
    ASSERT_EQ(list.size(), 3u);
    CProxyPolicy policy;
    policy.balancers = list;
    CAddress mapped;
    ASSERT_TRUE(CAddress::Parse("::ffff:10.0.0.2", 0, mapped));
    EXPECT_TRUE(policy.Lists(mapped));
    CAddress other;
    ASSERT_TRUE(CAddress::Parse("127.0.0.2", 0, other));
    EXPECT_FALSE(policy.Lists(other));
    for (const char* pszBad : {"", "127.0.0.1,", "balancer.example", "127.0.0.1 10.0.0.2"}) {
        EXPECT_FALSE(CProxyPolicy::ParseList(pszBad, list)) << pszBad;
        EXPECT_EQ(list.size(), 3u);
    }
}

namespace {
// Holds every connection from 127.0.0.1 until told, drops the next one when
// told to, and names the peer of what it hands back.
class CManualFilter : public CAcceptFilter {
public:
    void SetReadyHandler(ReadyHandler onReady) override { m_onReady = std::move(onReady); }
    AcceptVerdict Consider(int hSocket, const CAddress&) override {
        if (m_bDropNext) {
            m_bDropNext = false;
            return AcceptVerdict::Drop;
        }
        if (!m_bHold)
            return AcceptVerdict::Pass;
        m_held.push_back(hSocket);
        return AcceptVerdict::Hold;
    }
    size_t HeldCount() const override { return m_held.size(); }
    void HandBack(const CAddress& peer) {
        const int hSocket = m_held.front();
        m_held.erase(m_held.begin());
        m_onReady(hSocket, peer);
    }

    ReadyHandler m_onReady;
    std::vector<int> m_held;
    bool m_bHold = false;
    bool m_bDropNext = false;
};

// Counts its reports, and accepts only while it is willing.
class CCountingListener : public CGatedListener {
public:
    void OnAccept(int nError) override {
        ++m_nReports;
        if (m_bWilling)
            CGatedListener::OnAccept(nError);
    }
    int m_nReports = 0;
    bool m_bWilling = true;
};
} // namespace

// The listener asks its filter about each new connection: one passes, one
// is dropped, one is held; the held one, handed back, is reported by the
// listener itself from the loop (not inside the call that handed it back),
// once, and its next Accept gives it with the peer the filter named.
TEST(ListenerFilterTest, PassDropAndHoldThenTheListenerFinishesTheAccept) {
    CSocketDispatcher dispatcher;
    CCountingListener listener;
    ASSERT_TRUE(listener.Create(0, "127.0.0.1"));
    ASSERT_EQ(listener.Listen(5), 0);
    auto pOwned = std::make_unique<CManualFilter>();
    CManualFilter& rFilter = *pOwned;
    listener.SetAcceptFilter(std::move(pOwned));
    CAddress local;
    listener.GetSockName(local);

    CTestClient passed(local.Port());
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return listener.m_accepted.size() == 1; }));
    EXPECT_FALSE(listener.m_accepted[0]->CameThroughBalancer());

    rFilter.m_bDropNext = true;
    CTestClient dropped(local.Port());
    EXPECT_TRUE(dropped.WaitClosed(dispatcher));

    rFilter.m_bHold = true;
    CTestClient held(local.Port());
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return listener.HeldConnections() == 1; }));
    const int nReportsBefore = listener.m_nReports;
    // Not willing at first: the connection waits with the listener.
    listener.m_bWilling = false;
    CAddress named;
    ASSERT_TRUE(CAddress::Parse("192.0.2.9", 0, named));
    rFilter.HandBack(named);
    EXPECT_EQ(listener.m_nReports, nReportsBefore);
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return listener.m_nReports == nReportsBefore + 1; }));
    EXPECT_EQ(listener.m_accepted.size(), 1u);
    // One report for one connection; the owner takes it when it is ready.
    EXPECT_FALSE(PumpUntil(
        dispatcher, [&] { return listener.m_nReports > nReportsBefore + 1; }, 100));
    listener.m_bWilling = true;
    listener.CGatedListener::OnAccept(0);
    ASSERT_EQ(listener.m_accepted.size(), 2u);
    EXPECT_EQ(listener.m_peers[1].ToString(), "192.0.2.9");
    EXPECT_TRUE(listener.m_accepted[1]->CameThroughBalancer());
    held.Send("NOOP\r\n");
    EXPECT_TRUE(
        PumpUntil(dispatcher, [&] { return listener.m_accepted[1]->m_strData == "NOOP\r\n"; }));
}

// A held connection handed back while a new one waits in the backlog: the
// report that takes the held one must leave the listener watching, so that
// the new one is reported too (the listener went deaf once, behind a
// balancer, when both came together).
TEST(ListenerFilterTest, AHeldConnectionTakenFirstLeavesTheListenerWatching) {
    CSocketDispatcher dispatcher;
    CCountingListener listener;
    ASSERT_TRUE(listener.Create(0, "127.0.0.1"));
    ASSERT_EQ(listener.Listen(5), 0);
    auto pOwned = std::make_unique<CManualFilter>();
    CManualFilter& rFilter = *pOwned;
    listener.SetAcceptFilter(std::move(pOwned));
    CAddress local;
    listener.GetSockName(local);

    rFilter.m_bHold = true;
    CTestClient held(local.Port());
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return listener.HeldConnections() == 1; }));
    rFilter.m_bHold = false;
    CAddress named;
    ASSERT_TRUE(CAddress::Parse("192.0.2.9", 0, named));
    rFilter.HandBack(named);
    // Waiting in the backlog before the loop runs again.
    CTestClient waiting(local.Port());
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return listener.m_accepted.size() == 2; }));
    EXPECT_EQ(listener.m_peers[0].ToString(), "192.0.2.9");
    // And the listener still hears the next one.
    CTestClient next(local.Port());
    EXPECT_TRUE(PumpUntil(dispatcher, [&] { return listener.m_accepted.size() == 3; }));
}
