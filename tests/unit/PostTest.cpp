// Work handed to the loop from other threads, the way back from such work to
// its session, and the release of an object after the current event.
#include "ftp/ClientSocket.h"
#include "ftp/SessionCompletion.h"
#include "net/AsyncSocket.h"
#include "net/PostQueue.h"
#include "net/SocketDispatcher.h"
#include "server/HostViews.h"
#include "server/ServerHost.h"
#include "tests/unit/HostTestSupport.h"
#include "tests/unit/SocketTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The scheduler's state of a thread of this process: 'S' while it sleeps
// in a wait, '?' when it cannot be read.
char ThreadState(pid_t nThread) {
    std::ifstream stat("/proc/self/task/" + std::to_string(nThread) + "/stat");
    std::string strLine;
    std::getline(stat, strLine);
    // The state follows the name, which is in parentheses and may hold any character.
    const size_t nEnd = strLine.rfind(')');
    return nEnd == std::string::npos || nEnd + 2 >= strLine.size() ? '?' : strLine[nEnd + 2];
}

// Waits (spinning, bounded) until the thread sleeps: a loop thread that was
// about to wait is then in its wait. Past the bound the caller goes on, and
// its post is made before the wait instead, which must work too.
void AwaitSleep(pid_t nThread) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ScaledMs(5000));
    while (ThreadState(nThread) != 'S' && Clock::now() < deadline)
        std::this_thread::yield();
}

// A socket that counts its deletion and, on its first bytes, hands itself
// to its owner's end.
class CEndingSocket : public CAsyncSocket {
public:
    CEndingSocket(std::function<void(CEndingSocket&)> onEnd, int* pDeleted)
        : m_onEnd(std::move(onEnd)), m_pDeleted(pDeleted) {}
    ~CEndingSocket() override {
        EXPECT_FALSE(m_bInHandler) << "deleted while its handler ran";
        ++*m_pDeleted;
    }
    void OnReceive(int) override {
        EXPECT_FALSE(m_bEnded) << "an event after the release";
        m_bEnded = true;
        m_bInHandler = true;
        m_onEnd(*this);
        // Still alive here: the release waits for this handler to return.
        m_strAfter = "still alive";
        m_bInHandler = false;
    }
    void OnClose(int) override { ADD_FAILURE() << "an event after the release"; }
    std::function<void(CEndingSocket&)> m_onEnd;
    int* m_pDeleted;
    bool m_bEnded = false;
    bool m_bInHandler = false;
    std::string m_strAfter;
};

class CConnectingSocket : public CAsyncSocket {
public:
    void OnConnect(int nError) override {
        ++m_nConnects;
        m_nError = nError;
    }
    int m_nConnects = 0;
    int m_nError = -1;
};

} // namespace

TEST(Posts, APostFromAnotherThreadWakesTheWaitingLoopAndRunsOnItsThread) {
    CSocketDispatcher dispatcher;
    ASSERT_TRUE(dispatcher.IsValid());
    const pid_t nLoopThread = ::gettid();
    bool bRan = false;
    std::thread::id ranOn;
    std::thread poster([&] {
        AwaitSleep(nLoopThread);
        dispatcher.Post([&] {
            bRan = true;
            ranOn = std::this_thread::get_id();
        });
    });
    // Asked to wait far longer than the test runs: only the post ends it.
    const int nReady = dispatcher.ProcessEvents(ScaledMs(60000));
    poster.join();
    EXPECT_TRUE(bRan);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(nReady, 1);
}

TEST(Posts, TheEpollHandleShowsAPostToALoopDrivenFromOutside) {
    // The window watches the epoll handle and runs one pass when it is readable.
    CSocketDispatcher dispatcher;
    bool bRan = false;
    std::thread poster([&] { dispatcher.Post([&] { bRan = true; }); });
    pollfd watch{dispatcher.Handle(), POLLIN, 0};
    EXPECT_EQ(::poll(&watch, 1, ScaledMs(5000)), 1);
    poster.join();
    EXPECT_FALSE(bRan); // nothing runs outside the loop
    dispatcher.ProcessEvents(0);
    EXPECT_TRUE(bRan);
    // Served, the handle is quiet again: the watch does not spin.
    EXPECT_EQ(::poll(&watch, 1, 0), 0);
}

TEST(Posts, AHundredThousandFromFourThreadsAllArriveInOrderPerThread) {
    CSocketDispatcher dispatcher;
    constexpr int kThreads = 4;
    constexpr int kEach = 25000;
    // Touched on the loop's thread only.
    std::vector<std::vector<int>> arrived(kThreads);
    int nArrived = 0;
    std::vector<std::thread> posters;
    for (int nThread = 0; nThread < kThreads; ++nThread)
        posters.emplace_back([&, nThread] {
            for (int i = 0; i < kEach; ++i)
                dispatcher.Post([&arrived, &nArrived, nThread, i] {
                    arrived[static_cast<size_t>(nThread)].push_back(i);
                    ++nArrived;
                });
        });
    const bool bAll = PumpUntil(
        dispatcher, [&] { return nArrived == kThreads * kEach; }, 60000);
    for (std::thread& rPoster : posters)
        rPoster.join();
    ASSERT_TRUE(bAll) << nArrived << " arrived";
    std::vector<int> expected(kEach);
    for (int i = 0; i < kEach; ++i)
        expected[static_cast<size_t>(i)] = i;
    for (int nThread = 0; nThread < kThreads; ++nThread)
        EXPECT_TRUE(arrived[static_cast<size_t>(nThread)] == expected) << "thread " << nThread;
    // Nothing more comes, and nothing runs twice.
    dispatcher.ProcessEvents(0);
    EXPECT_EQ(nArrived, kThreads * kEach);
}

TEST(Posts, RunInsideADeliveryAsTimersDo) {
    CSocketDispatcher dispatcher;
    CAsyncSocket listener;
    ASSERT_TRUE(listener.Create(0, "127.0.0.1"));
    ASSERT_EQ(listener.Listen(5), 0);
    CAddress address;
    listener.GetSockName(address);

    // A release inside a post waits for the post to return.
    int nDeleted = 0;
    int nDeletedInside = -1;
    dispatcher.Post([&] {
        ReleaseAfterEvent(std::make_unique<CEndingSocket>([](CEndingSocket&) {}, &nDeleted));
        nDeletedInside = nDeleted;
    });
    // A connection started inside a post is watched once the post is over.
    CConnectingSocket client;
    dispatcher.Post([&] {
        ASSERT_TRUE(client.Create());
        client.Connect(address);
    });
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return client.m_nConnects > 0; }));
    EXPECT_EQ(nDeletedInside, 0);
    EXPECT_EQ(nDeleted, 1);
    EXPECT_EQ(client.m_nError, 0);
}

TEST(Posts, TheDispatchersEndDropsWhatWaitsAndRefusesLaterPosts) {
    auto pHeld = std::make_shared<int>(0);
    std::shared_ptr<CPostQueue> pQueue;
    bool bRan = false;
    {
        CSocketDispatcher dispatcher;
        pQueue = dispatcher.Posts();
        EXPECT_TRUE(dispatcher.Post([&bRan, pHeld] { bRan = true; }));
        EXPECT_EQ(pHeld.use_count(), 2);
    }
    EXPECT_FALSE(bRan);
    EXPECT_EQ(pHeld.use_count(), 1); // the work was let go of, not kept
    std::thread late([&] { EXPECT_FALSE(pQueue->Post([pHeld] {})); });
    late.join();
    EXPECT_EQ(pHeld.use_count(), 1);
}

TEST(ReleaseAfterEvent, AnObjectReleasedInItsOwnHandlerGoesOnlyAfterItReturns) {
    CSocketDispatcher dispatcher;
    CAsyncSocket listener;
    ASSERT_TRUE(listener.Create(0, "127.0.0.1"));
    ASSERT_EQ(listener.Listen(5), 0);
    CAddress address;
    listener.GetSockName(address);

    int nDeleted = 0;
    std::unique_ptr<CEndingSocket> pOwned;
    pOwned = std::make_unique<CEndingSocket>(
        [&](CEndingSocket& rEnded) {
            ASSERT_EQ(pOwned.get(), &rEnded);
            ReleaseAfterEvent(std::move(pOwned));
            EXPECT_EQ(nDeleted, 0);
        },
        &nDeleted);
    CEndingSocket* pRaw = pOwned.get();
    CTestClient client(address.Port());
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return listener.Accept(*pRaw); }));
    client.Send("x");
    client.Close(); // its close must not be delivered either
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return nDeleted == 1; }));
    dispatcher.ProcessEvents(20);
    EXPECT_EQ(nDeleted, 1);

    // Outside any event the release is at once.
    ReleaseAfterEvent(std::make_unique<CEndingSocket>([](CEndingSocket&) {}, &nDeleted));
    EXPECT_EQ(nDeleted, 2);
}

TEST(ReleaseAfterEvent, WithoutADispatcherTheObjectGoesAtOnce) {
    int nDeleted = 0;
    ReleaseAfterEvent(std::make_unique<CEndingSocket>([](CEndingSocket&) {}, &nDeleted));
    EXPECT_EQ(nDeleted, 1);
}

namespace {

// A running host with one greeted session.
class SessionCompletionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dispatcher.IsValid());
        EditSettings(*m_pHost)->m_users = ParseUserList({"anonymous,,0,1"});
        EditSettings(*m_pHost)->m_folderMap = ParseFolderMap({"/=/nonexistent-skerrow/,1,1"});
        const unsigned nPort = StartOnFreePort(*m_pHost);
        ASSERT_TRUE(m_pHost->IsRunning());
        m_pClient = std::make_unique<CTestClient>(nPort);
        ASSERT_EQ(m_pClient->ReadLine(m_dispatcher).substr(0, 4), "220 ");
        ASSERT_EQ(m_pHost->SessionCount(), 1u);
        m_nId = m_pHost->Session(0).Id();
    }
    void TearDown() override {
        if (m_pHost)
            m_pHost->StopServer();
    }

    // Completes from a thread of its own, then posts a mark from the same
    // thread; the loop runs until the mark, so the completion has had its
    // turn (posts from one thread keep their order).
    bool CompleteFromAnotherThread(const CSessionCompletion& completion,
                                   std::function<void(CClientSocket&)> work) {
        bool bMarked = false;
        bool bAccepted = false;
        std::thread worker([&] {
            bAccepted = completion.Complete(std::move(work));
            m_dispatcher.Post([&] { bMarked = true; });
        });
        const bool bDone = PumpUntil(m_dispatcher, [&] { return bMarked; });
        worker.join();
        EXPECT_TRUE(bDone);
        return bAccepted;
    }

    CSocketDispatcher m_dispatcher;
    CQuietViews m_views;
    std::unique_ptr<CServerHost> m_pHost = std::make_unique<CServerHost>(m_views);
    std::unique_ptr<CTestClient> m_pClient;
    uint64_t m_nId = 0;
};

} // namespace

TEST_F(SessionCompletionTest, ReachesItsSessionOnTheLoopThread) {
    const CSessionCompletion completion = m_pHost->CompletionFor(m_nId);
    EXPECT_EQ(completion.SessionId(), m_nId);
    uint64_t nReached = 0;
    std::thread::id ranOn;
    EXPECT_TRUE(CompleteFromAnotherThread(completion, [&](CClientSocket& rSession) {
        nReached = rSession.Id();
        ranOn = std::this_thread::get_id();
    }));
    EXPECT_EQ(nReached, m_nId);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    // The session may answer its client from there: it is its own loop's.
    bool bRan = false;
    CompleteFromAnotherThread(completion, [&](CClientSocket&) { bRan = true; });
    EXPECT_TRUE(bRan);
}

TEST_F(SessionCompletionTest, ForASessionGoneMeanwhileIsDroppedAndLetGoOf) {
    const CSessionCompletion completion = m_pHost->CompletionFor(m_nId);
    auto pHeld = std::make_shared<int>(0);
    bool bRan = false;
    // Posted while the session lives; it ends before the loop takes the post.
    std::thread worker(
        [&] { completion.Complete([&bRan, pHeld](CClientSocket&) { bRan = true; }); });
    worker.join();
    ASSERT_TRUE(m_pHost->RemoveSession(m_nId));
    bool bMarked = false;
    m_dispatcher.Post([&] { bMarked = true; });
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return bMarked; }));
    EXPECT_FALSE(bRan);
    EXPECT_EQ(pHeld.use_count(), 1);
    // And one completed after the session's end finds nobody either.
    EXPECT_TRUE(CompleteFromAnotherThread(completion, [&](CClientSocket&) { bRan = true; }));
    EXPECT_FALSE(bRan);
    // Nor does one for an identity that never was.
    CompleteFromAnotherThread(m_pHost->CompletionFor(m_nId + 1000),
                              [&](CClientSocket&) { bRan = true; });
    EXPECT_FALSE(bRan);
}

TEST_F(SessionCompletionTest, AfterItsHostHasGoneIsDropped) {
    const CSessionCompletion completion = m_pHost->CompletionFor(m_nId);
    m_pHost->StopServer();
    m_pHost.reset();
    bool bRan = false;
    EXPECT_TRUE(CompleteFromAnotherThread(completion, [&](CClientSocket&) { bRan = true; }));
    EXPECT_FALSE(bRan);
    // A completion with no loop at all refuses at once.
    EXPECT_FALSE(CSessionCompletion().Complete([&](CClientSocket&) { bRan = true; }));
    EXPECT_FALSE(bRan);
}
