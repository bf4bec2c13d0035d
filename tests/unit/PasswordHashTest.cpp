// Passwords stored as hashes: which fields are hashes, making and checking
// them, the hashing on save; the worker threads that do it off the loop and
// post their results back into a real dispatcher.
#include "config/PasswordHash.h"
#include "ftp/PasswordChecks.h"
#include "net/PostQueue.h"
#include "net/SocketDispatcher.h"
#include "net/WorkerPool.h"
#include "tests/unit/SocketTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

TEST(PasswordHash, OnlyAFieldBeginningWithTheArgon2idPrefixIsAHash) {
    EXPECT_TRUE(CPasswordHash::IsHash(CPasswordHash::DummyHash()));
    EXPECT_TRUE(CPasswordHash::IsHash("$argon2id$"));
    for (const char* pszPlain : {"", "secreto", "$argon2i$v=19$m=65536,t=2,p=1$c2FsdA$aGFzaA",
                                 "$ARGON2ID$v=19", " $argon2id$v=19", "argon2id$", "$2y$10$abc"})
        EXPECT_FALSE(CPasswordHash::IsHash(pszPlain)) << pszPlain;
    // Hashes among plain passwords, and a list of plain ones only.
    EXPECT_TRUE(CPasswordHash::HoldsHashes(
        ParseUserList({"anonymous,,0,1", "ana," + CPasswordHash::DummyHash() + ",1,1"})));
    EXPECT_FALSE(CPasswordHash::HoldsHashes(ParseUserList({"anonymous,,0,1", "ana,secreto,1,1"})));
}

TEST(PasswordHash, AHashMatchesItsPasswordOnlyAndAnUnreadableOneNothing) {
    const std::string strHash = CPasswordHash::Hash("a,b=\"c\" \xff");
    ASSERT_TRUE(CPasswordHash::IsHash(strHash)) << strHash;
    EXPECT_TRUE(CPasswordHash::IsReadable(strHash));
    EXPECT_TRUE(CPasswordHash::Matches(strHash, "a,b=\"c\" \xff"));
    EXPECT_FALSE(CPasswordHash::Matches(strHash, "a,b=\"c\" "));
    EXPECT_FALSE(CPasswordHash::Matches(strHash, ""));
    // Two hashes of one password differ (a new salt each time).
    EXPECT_NE(CPasswordHash::Hash("x"), CPasswordHash::Hash("x"));
    // Read back from its record, commas and all.
    const CUserRecord record = CUserRecord::Make("ana", strHash, true, false);
    EXPECT_EQ(CUserRecord::Parse(record.Text()).Password(), strHash);

    for (const std::string& strBad :
         {std::string("$argon2id$"), std::string("$argon2id$v=19$m=65536,t=2,p=1$"),
          strHash.substr(0, strHash.size() - 6), strHash.substr(0, strHash.size() - 5) + "!!!!!",
          strHash + "$x", std::string("$argon2id$") + "x"}) {
        EXPECT_TRUE(CPasswordHash::IsHash(strBad));
        EXPECT_FALSE(CPasswordHash::IsReadable(strBad)) << strBad;
        EXPECT_FALSE(CPasswordHash::Matches(strBad, "")) << strBad;
    }
    const CUserList users = ParseUserList(
        {"ana,$argon2id$broken,1,1", "bob," + strHash + ",1,1", "carl,plain,1,1", "dave,,0,1"});
    EXPECT_EQ(CPasswordHash::UnreadableUsers(users), std::vector<std::string>{"ana"});
}

TEST(PasswordHash, AVeryLongPasswordIsCutBeforeHashing) {
    const std::string strLong(10 * 1024 * 1024, 'p');
    const std::string strHash = CPasswordHash::Hash(strLong);
    ASSERT_FALSE(strHash.empty());
    // What lies past the cut does not count.
    EXPECT_TRUE(
        CPasswordHash::Matches(strHash, strLong.substr(0, CPasswordHash::kMaxPasswordBytes)));
    EXPECT_FALSE(
        CPasswordHash::Matches(strHash, strLong.substr(0, CPasswordHash::kMaxPasswordBytes - 1)));
}

TEST(PasswordHash, SavingHashesEveryPlainPasswordOfAWholeRecordOnly) {
    CUserList users = ParseUserList({"anonymous,,0,1", "ana,a,b,1,0", "bob,pw,1",
                                     "carl," + CPasswordHash::DummyHash() + ",0,1"});
    const CUserList before = users;
    EXPECT_TRUE(CPasswordHash::HashPlainPasswords(users));
    ASSERT_EQ(users.size(), 4u);
    // The empty password stays empty: anyone may log in.
    EXPECT_EQ(users[0], before[0]);
    EXPECT_EQ(users[1].Name(), "ana");
    EXPECT_TRUE(CPasswordHash::Matches(users[1].Password(), "a,b"));
    EXPECT_TRUE(users[1].MayUpload());
    EXPECT_FALSE(users[1].MayDownload());
    // A short record stays as written (a hash in it would not read back).
    EXPECT_EQ(users[2], before[2]);
    // A hash is not hashed again.
    EXPECT_EQ(users[3], before[3]);
    EXPECT_FALSE(CPasswordHash::HashPlainPasswords(users));
}

TEST(WorkerPool, WorkPostedBackReachesTheLoopThreadAllOfItAndStopJoins) {
    CSocketDispatcher dispatcher;
    ASSERT_TRUE(dispatcher.IsValid());
    constexpr int kPieces = 60;
    std::set<int> arrived;
    std::vector<std::thread::id> ranOn;
    std::atomic<int> nRunning{0};
    std::atomic<int> nMostAtOnce{0};
    {
        CWorkerPool pool(2, kPieces);
        for (int i = 0; i < kPieces; ++i) {
            ASSERT_EQ(pool.Submit([&, i, pLoop = dispatcher.Posts()] {
                const int nNow = ++nRunning;
                int nMost = nMostAtOnce.load();
                while (nNow > nMost && !nMostAtOnce.compare_exchange_weak(nMost, nNow)) {
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                --nRunning;
                pLoop->Post([&, i] {
                    arrived.insert(i);
                    ranOn.push_back(std::this_thread::get_id());
                });
            }),
                      CWorkerPool::Result::Queued);
        }
        EXPECT_TRUE(PumpUntil(
            dispatcher, [&] { return arrived.size() == kPieces; }, 30000));
    }
    EXPECT_EQ(arrived.size(), static_cast<size_t>(kPieces));
    for (const std::thread::id& id : ranOn)
        EXPECT_EQ(id, std::this_thread::get_id());
    EXPECT_LE(nMostAtOnce.load(), 2);
}

TEST(WorkerPool, RefusesPastItsWaitingBoundAndWithoutAThreadAndDropsWorkAtStop) {
    std::atomic<bool> bStarted{false};
    std::atomic<bool> bRelease{false};
    std::atomic<int> nRan{0};
    {
        CWorkerPool pool(1, 3);
        // One piece runs (held until released), three wait, a fifth is refused.
        ASSERT_EQ(pool.Submit([&] {
            bStarted = true;
            while (!bRelease)
                std::this_thread::yield();
            ++nRan;
        }),
                  CWorkerPool::Result::Queued);
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(ScaledMs(10000));
        while (!bStarted && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        ASSERT_TRUE(bStarted);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(pool.Submit([&] { ++nRan; }), CWorkerPool::Result::Queued);
        EXPECT_EQ(pool.Submit([&] { ++nRan; }), CWorkerPool::Result::Full);
        // Stop drops what waits, and waits for the running piece, released
        // only once the pool refuses work (it has begun to stop).
        std::thread releaser([&] {
            while (pool.Submit([] {}) != CWorkerPool::Result::Stopped)
                std::this_thread::yield();
            bRelease = true;
        });
        pool.Stop();
        releaser.join();
        EXPECT_EQ(nRan.load(), 1);
        EXPECT_EQ(pool.Submit([&] { ++nRan; }), CWorkerPool::Result::Stopped);
    }
    EXPECT_EQ(nRan.load(), 1);

    CWorkerPool broken(2, 8, [](std::function<void()>) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "no thread");
    });
    std::string strWhy;
    EXPECT_EQ(broken.Submit([] {}, &strWhy), CWorkerPool::Result::NoThread);
    EXPECT_NE(strWhy.find("no thread"), std::string::npos);
}

TEST(PasswordChecks, NewHashesComeBackOnTheLoopThreadEachForItsPassword) {
    CSocketDispatcher dispatcher;
    ASSERT_TRUE(dispatcher.IsValid());
    CPasswordChecks checks;
    // Few: each hash takes tens of milliseconds and 64 MiB.
    const std::vector<std::string> passwords = {"uno", "dos", "tres", "cuatro"};
    std::vector<std::string> hashes(passwords.size());
    size_t nArrived = 0;
    for (size_t i = 0; i < passwords.size(); ++i)
        ASSERT_EQ(checks.Hash(
                      passwords[i], dispatcher.Posts(),
                      [&, i, loop = std::this_thread::get_id()](const std::string& strHash) {
                          EXPECT_EQ(std::this_thread::get_id(), loop);
                          hashes[i] = strHash;
                          ++nArrived;
                      },
                      nullptr),
                  CPasswordChecks::Result::Queued);
    ASSERT_TRUE(PumpUntil(
        dispatcher, [&] { return nArrived == passwords.size(); }, 60000));
    for (size_t i = 0; i < passwords.size(); ++i) {
        EXPECT_TRUE(CPasswordHash::Matches(hashes[i], passwords[i])) << i;
        EXPECT_FALSE(CPasswordHash::Matches(hashes[i], passwords[(i + 1) % passwords.size()]));
    }
    // At exit, work still waiting is dropped and never posted.
    for (int i = 0; i < 6; ++i)
        checks.Hash(
            "late", dispatcher.Posts(), [&](const std::string&) { ++nArrived; }, nullptr);
    checks.Stop();
    dispatcher.ProcessEvents(0);
    EXPECT_LE(nArrived, passwords.size() + 2);
}
