// The loop's short look before sleeping: looks only after a round that
// served something, stops looking when looks find nothing (and tries again
// now and then), and whatever comes during a look is served as from a wait:
// events, posts, timers and the signals that end a headless server's wait.
#include "net/BusyPoll.h"
#include "net/SocketDispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

using std::chrono::microseconds;

TEST(BusyPollTest, LooksWhileLooksPayAndNowAndThenAfterThey) {
    CBusyPoll poll;
    EXPECT_EQ(poll.Window(false), microseconds{0}) << "never after an idle round";
    EXPECT_EQ(poll.Window(true), CBusyPoll::kWindow);
    // Looks that keep finding something keep it so.
    for (int i = 0; i < 100; ++i)
        poll.Result(true);
    EXPECT_EQ(poll.Credit(), CBusyPoll::kMaxCredit);
    // Looks that find nothing use up the credit: then no look...
    int nLooks = 0;
    while (poll.Window(true) > microseconds{0} && nLooks < 100) {
        poll.Result(false);
        ++nLooks;
    }
    EXPECT_EQ(nLooks, CBusyPoll::kMaxCredit / CBusyPoll::kCreditPerMiss);
    // ...but one chance in kProbeEvery, and a probe that pays looks again.
    int nProbes = 0;
    for (int i = 0; i < 10 * CBusyPoll::kProbeEvery; ++i)
        if (poll.Window(true) > microseconds{0}) {
            ++nProbes;
            poll.Result(false);
        }
    EXPECT_EQ(nProbes, 10);
    while (poll.Window(true) == microseconds{0}) {
    }
    poll.Result(true);
    EXPECT_EQ(poll.Window(true), CBusyPoll::kWindow);
}

namespace {
std::atomic<int> g_nSignals{0};
void CountSignal(int) {
    ++g_nSignals;
}

// Makes the loop's last round a served one: a post run.
void ServeOneRound(CSocketDispatcher& rDispatcher) {
    bool bRan = false;
    ASSERT_TRUE(rDispatcher.Post([&] { bRan = true; }));
    while (!bRan)
        rDispatcher.ProcessEvents(1000);
}
} // namespace

TEST(BusyPollTest, AfterABusyRoundPostsTimersAndSignalsAreServedAsFromAWait) {
    CSocketDispatcher dispatcher;
    ASSERT_TRUE(dispatcher.IsValid());

    // A post from another thread while the loop looks.
    ServeOneRound(dispatcher);
    std::atomic<bool> bServed{false};
    std::thread poster([&] {
        std::this_thread::sleep_for(microseconds{50});
        dispatcher.Post([&] { bServed = true; });
    });
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!bServed && std::chrono::steady_clock::now() < giveUp)
        dispatcher.ProcessEvents(-1);
    poster.join();
    EXPECT_TRUE(bServed);

    // A timer: a wait for ever still ends when it is due.
    ServeOneRound(dispatcher);
    bool bFired = false;
    dispatcher.SetTimer(1, [&] { bFired = true; });
    for (int i = 0; i < 1000 && !bFired; ++i)
        dispatcher.ProcessEvents(-1);
    EXPECT_TRUE(bFired);

    // A signal the wait lets through (the headless server's stop) ends the
    // look as it ends a wait.
    struct sigaction action {};
    action.sa_handler = CountSignal;
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR2);
    sigset_t original;
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &original), 0);
    sigset_t waitMask = original;
    sigdelset(&waitMask, SIGUSR2);
    ServeOneRound(dispatcher);
    raise(SIGUSR2);
    EXPECT_EQ(g_nSignals, 0);
    EXPECT_EQ(dispatcher.ProcessEvents(-1, &waitMask), -1);
    EXPECT_EQ(g_nSignals, 1);
    pthread_sigmask(SIG_SETMASK, &original, nullptr);
    sigaction(SIGUSR2, &previous, nullptr);
}
