// The loop's timers, and the accept back-off that uses them.
#include "net/Timer.h"
#include "net/AsyncSocket.h"
#include "net/SocketDispatcher.h"
#include "tests/unit/SocketTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sys/resource.h>

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

} // namespace

TEST(Timers, RunInDeadlineOrderOnceAndNotBeforeTheirTime) {
    CSocketDispatcher dispatcher;
    std::string strOrder;
    const Clock::time_point start = Clock::now();
    int64_t nFirstAt = -1;
    dispatcher.SetTimer(60, [&] { strOrder += 'c'; });
    dispatcher.SetTimer(20, [&] {
        strOrder += 'a';
        nFirstAt = MsSince(start);
    });
    dispatcher.SetTimer(40, [&] { strOrder += 'b'; });
    dispatcher.SetTimer(40, [&] { strOrder += 'B'; }); // same deadline: set later, runs later
    EXPECT_GT(dispatcher.NextTimerDelay(), 0);
    EXPECT_LE(dispatcher.NextTimerDelay(), 20);
    ASSERT_TRUE(PumpUntil(
        dispatcher, [&] { return strOrder.size() == 4; }, 2000));
    EXPECT_EQ(strOrder, "abBc");
    EXPECT_GE(nFirstAt, 20);
    EXPECT_EQ(dispatcher.NextTimerDelay(), -1);
    dispatcher.ProcessEvents(30);
    EXPECT_EQ(strOrder, "abBc");
}

TEST(Timers, TheWaitForEventsEndsAtTheNearestDeadline) {
    CSocketDispatcher dispatcher;
    bool bRan = false;
    dispatcher.SetTimer(30, [&] { bRan = true; });
    const Clock::time_point start = Clock::now();
    // Asked to wait for ever, the loop still wakes for the timer.
    dispatcher.ProcessEvents(-1);
    EXPECT_TRUE(bRan);
    EXPECT_LT(MsSince(start), 1000);
}

TEST(Timers, KilledTimersNeverRunEvenFromAnotherCallback) {
    CSocketDispatcher dispatcher;
    int nRuns = 0;
    CSocketDispatcher::TimerId nVictim = dispatcher.SetTimer(10, [&] { nRuns += 100; });
    dispatcher.SetTimer(0, [&] { dispatcher.KillTimer(nVictim); });
    CSocketDispatcher::TimerId nKilled = dispatcher.SetTimer(5, [&] { nRuns += 1000; });
    dispatcher.KillTimer(nKilled);
    dispatcher.KillTimer(nKilled); // twice: harmless
    dispatcher.SetTimer(20, [&] {
        ++nRuns;
        // A callback may set a new timer, even one that is due at once.
        dispatcher.SetTimer(0, [&] { ++nRuns; });
    });
    ASSERT_TRUE(PumpUntil(
        dispatcher, [&] { return nRuns >= 2; }, 2000));
    dispatcher.ProcessEvents(30);
    EXPECT_EQ(nRuns, 2);
}

TEST(Timers, OwnedTimerStopsWithItsOwnerAndMayDeleteIt) {
    CSocketDispatcher dispatcher;
    int nRuns = 0;
    {
        CTimer gone;
        gone.Start(10, [&] { ++nRuns; });
        EXPECT_TRUE(gone.IsActive());
    }
    struct SOwner {
        CTimer timer;
    };
    auto pOwner = std::make_unique<SOwner>();
    SOwner* pRaw = pOwner.release();
    pRaw->timer.Start(5, [&nRuns, pRaw] {
        ++nRuns;
        delete pRaw; // the owner goes from inside its own timer
    });
    CTimer restarted;
    restarted.Start(1000, [&] { nRuns += 100; });
    restarted.Start(15, [&] { nRuns += 10; }); // replaces the first deadline
    ASSERT_TRUE(PumpUntil(
        dispatcher, [&] { return nRuns >= 11; }, 2000));
    dispatcher.ProcessEvents(30);
    EXPECT_EQ(nRuns, 11);
    EXPECT_FALSE(restarted.IsActive());
    EXPECT_EQ(dispatcher.NextTimerDelay(), -1);
}

TEST(Timers, ChangeHandlerHearsOfEveryNewNearestDeadline) {
    CSocketDispatcher dispatcher;
    int nChanges = 0;
    dispatcher.SetTimerChangeHandler([&] { ++nChanges; });
    CSocketDispatcher::TimerId nId = dispatcher.SetTimer(50, [] {});
    EXPECT_GE(nChanges, 1);
    int nBefore = nChanges;
    dispatcher.KillTimer(nId);
    EXPECT_GT(nChanges, nBefore);
    dispatcher.SetTimerChangeHandler(nullptr);
}

namespace {

// A listener that accepts into a scratch socket whenever told of a
// waiting connection, and counts how often it was told.
class CAcceptingListener : public CAsyncSocket {
public:
    void OnAccept(int) override {
        ++m_nAttempts;
        auto pAccepted = std::make_unique<CAsyncSocket>();
        if (Accept(*pAccepted))
            m_accepted.push_back(std::move(pAccepted));
        else
            m_nLastError = LastError();
    }
    // One connection taken while descriptors are plenty, so that the
    // sanitizers' run-time type checks have seen these types before the
    // process runs out of descriptors (they need some of their own).
    bool Prime(CSocketDispatcher& rDispatcher) {
        CAddress address;
        GetSockName(address);
        CTestClient first(address.Port());
        bool bTaken = PumpUntil(
            rDispatcher, [&] { return m_accepted.size() == 1; }, 1000);
        m_accepted.clear();
        m_nAttempts = 0;
        return bTaken;
    }
    int m_nAttempts = 0;
    int m_nLastError = 0;
    std::vector<std::unique_ptr<CAsyncSocket>> m_accepted;
};

// Lowers the open-file limit so that the next descriptor cannot be made,
// and restores it when it goes.
class CDescriptorsExhausted {
public:
    CDescriptorsExhausted() {
        ::getrlimit(RLIMIT_NOFILE, &m_saved);
        int hLowest = ::dup(0);
        ::close(hLowest);
        rlimit tight = m_saved;
        tight.rlim_cur = static_cast<rlim_t>(hLowest);
        ::setrlimit(RLIMIT_NOFILE, &tight);
    }
    ~CDescriptorsExhausted() { ::setrlimit(RLIMIT_NOFILE, &m_saved); }

private:
    rlimit m_saved{};
};

} // namespace

TEST(AcceptBackOff, TimedNoDescriptorMeansAWaitNotASpin) {
    CSocketDispatcher dispatcher;
    CAcceptingListener listener;
    ASSERT_TRUE(listener.Create(0, "127.0.0.1"));
    ASSERT_EQ(listener.Listen(5), 0);
    ASSERT_TRUE(listener.Prime(dispatcher));
    CAddress address;
    listener.GetSockName(address);
    CTestClient client(address.Port());
    {
        CDescriptorsExhausted exhausted;
        const Clock::time_point start = Clock::now();
        while (MsSince(start) < 350)
            dispatcher.ProcessEvents(10);
        // About one try per back-off period, not one per loop pass.
        EXPECT_GE(listener.m_nAttempts, 1);
        EXPECT_LE(listener.m_nAttempts, 6);
        EXPECT_EQ(listener.m_nLastError, EMFILE);
        EXPECT_TRUE(listener.m_accepted.empty());
    }
    // A descriptor is free again: the waiting connection is taken.
    ASSERT_TRUE(PumpUntil(
        dispatcher, [&] { return listener.m_accepted.size() == 1; }, 1000));
}

TEST(AcceptBackOff, ASocketThatClosesWakesTheListenerAtOnce) {
    CSocketDispatcher dispatcher;
    CAcceptingListener listener;
    ASSERT_TRUE(listener.Create(0, "127.0.0.1"));
    ASSERT_EQ(listener.Listen(5), 0);
    ASSERT_TRUE(listener.Prime(dispatcher));
    CAddress address;
    listener.GetSockName(address);
    auto pSpare = std::make_unique<CAsyncSocket>();
    ASSERT_TRUE(pSpare->Create(0));
    CTestClient client(address.Port());
    CDescriptorsExhausted exhausted;
    ASSERT_TRUE(PumpUntil(
        dispatcher, [&] { return listener.m_nAttempts == 1; }, 1000));
    EXPECT_TRUE(listener.m_accepted.empty());
    // The listener waits on the back-off timer...
    EXPECT_GT(dispatcher.NextTimerDelay(), 0);
    // ...until closing a socket of the process frees the descriptor the
    // connection needs: it asks again at once, and the timer is gone.
    pSpare.reset();
    EXPECT_EQ(dispatcher.NextTimerDelay(), -1);
    ASSERT_TRUE(PumpUntil(
        dispatcher, [&] { return listener.m_accepted.size() == 1; }, 1000));
}

namespace {

// A socket that, on its first received byte, asks its owner to release it
// and records every event it gets afterwards.
class CEndingSocket : public CAsyncSocket {
public:
    explicit CEndingSocket(std::function<void(CEndingSocket&)> onEnd, int* pDeleted)
        : m_onEnd(std::move(onEnd)), m_pDeleted(pDeleted) {}
    ~CEndingSocket() override { ++*m_pDeleted; }
    void OnReceive(int) override {
        // A second event would arrive after the release: it must not.
        EXPECT_FALSE(m_bEnded);
        m_bEnded = true;
        m_onEnd(*this);
        // Still alive here: the release waits for this handler to return.
        m_strAfter = "still alive";
    }
    void OnClose(int) override { ADD_FAILURE() << "an event after the release"; }
    std::function<void(CEndingSocket&)> m_onEnd;
    int* m_pDeleted;
    bool m_bEnded = false;
    std::string m_strAfter;
};

} // namespace

TEST(DeferredRelease, AnObjectReleasedInsideItsHandlerGoesAfterItAndHearsNothingMore) {
    CSocketDispatcher dispatcher;
    CAsyncSocket listener;
    ASSERT_TRUE(listener.Create(0, "127.0.0.1"));
    ASSERT_EQ(listener.Listen(5), 0);
    CAddress address;
    listener.GetSockName(address);

    // An owner that holds the socket and releases it when it asks.
    int nDeleted = 0;
    std::vector<std::unique_ptr<CEndingSocket>> owned;
    owned.push_back(std::make_unique<CEndingSocket>(
        [&](CEndingSocket& rEnded) {
            ASSERT_EQ(owned.front().get(), &rEnded);
            dispatcher.ReleaseLater(std::move(owned.front()));
            owned.clear();
            EXPECT_EQ(nDeleted, 0); // not while its handler runs
        },
        &nDeleted));
    CEndingSocket* pRaw = owned.front().get();
    CTestClient client(address.Port());
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return listener.Accept(*pRaw); }));
    client.Send("x");
    client.Close(); // a close waits too: it must not be delivered
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return nDeleted == 1; }));
    dispatcher.ProcessEvents(20);
    EXPECT_EQ(nDeleted, 1);

    // Outside any event, a release is at once.
    dispatcher.ReleaseLater(std::make_unique<CEndingSocket>([](CEndingSocket&) {}, &nDeleted));
    EXPECT_EQ(nDeleted, 2);
    // A scope holds releases until it goes, as an event does.
    {
        CDeferredReleaseScope scope;
        dispatcher.ReleaseLater(std::make_unique<CEndingSocket>([](CEndingSocket&) {}, &nDeleted));
        EXPECT_EQ(nDeleted, 2);
    }
    EXPECT_EQ(nDeleted, 3);
}
