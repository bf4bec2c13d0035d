#include "ftp/RateLimiter.h"
#include "ftp/TokenBucket.h"
#include "ftp/TransferPace.h"

#include <gtest/gtest.h>

#include <chrono>

using Clock = CTokenBucket::Clock;
using std::chrono::milliseconds;

TEST(TokenBucketTest, FillsAtItsRateUpToItsCapAndStartsWithOneTurn) {
    CTokenBucket bucket;
    const Clock::time_point start = Clock::now();
    bucket.SetRate(1024 * 1024, start); // 1 MiB/s
    // A turn is 20 ms of the rate, the cap a quarter of a second.
    EXPECT_EQ(bucket.Turn(), 1024 * 1024 / 50);
    EXPECT_EQ(bucket.Cap(), 1024 * 1024 / 4);
    EXPECT_EQ(bucket.Available(start), bucket.Turn());
    bucket.Take(bucket.Turn());
    EXPECT_EQ(bucket.Available(start), 0);
    // 100 ms bring 100 ms of the rate.
    EXPECT_NEAR(static_cast<double>(bucket.Available(start + milliseconds(100))), 104857.6, 1);
    // An idle transfer saves up no more than the cap.
    EXPECT_EQ(bucket.Available(start + std::chrono::seconds(30)), bucket.Cap());
}

TEST(TokenBucketTest, DebtIsPaidBackBeforeTheNextTurnAndTheWaitSaysWhen) {
    CTokenBucket bucket;
    const Clock::time_point start = Clock::now();
    bucket.SetRate(100 * 1024, start); // 100 KiB/s: a turn of 2 KiB
    EXPECT_EQ(bucket.Turn(), 2048);
    EXPECT_TRUE(bucket.Ready(start));
    // A small file sent whole overshoots: 10 KiB out of 2.
    bucket.Take(10 * 1024);
    EXPECT_EQ(bucket.Available(start), 0);
    EXPECT_FALSE(bucket.Ready(start));
    // 8 KiB of debt and a turn of 2 KiB take 100 ms at 100 KiB/s.
    EXPECT_EQ(bucket.WaitMs(start), 100);
    EXPECT_FALSE(bucket.Ready(start + milliseconds(80)));
    EXPECT_TRUE(bucket.Ready(start + milliseconds(100)));
}

TEST(TokenBucketTest, SmallRatesKeepAWorthwhileTurnAndANewRateKeepsWhatFlowedIn) {
    CTokenBucket bucket;
    const Clock::time_point start = Clock::now();
    bucket.SetRate(1024, start); // 1 KiB/s
    EXPECT_EQ(bucket.Turn(), CTokenBucket::kMinTurn);
    EXPECT_EQ(bucket.Cap(), 2 * CTokenBucket::kMinTurn);
    bucket.Take(bucket.Available(start));
    EXPECT_EQ(bucket.WaitMs(start), 1000);
    // Half a second at 1 KiB/s, then twice the rate.
    bucket.SetRate(2048, start + milliseconds(500));
    EXPECT_EQ(bucket.Available(start + milliseconds(500)), 512);
    EXPECT_EQ(bucket.Available(start + milliseconds(750)), 1024);
}

TEST(RateLimiterTest, FairRateIsTheLowestShareThatApplies) {
    EXPECT_EQ(CRateLimiter::FairRate(0, 3, 0, 1), 0);
    EXPECT_EQ(CRateLimiter::FairRate(2048, 1, 0, 1), 2048 * 1024);
    EXPECT_EQ(CRateLimiter::FairRate(2048, 4, 0, 1), 512 * 1024);
    // The user's own limit, shared among its transfers, when lower.
    EXPECT_EQ(CRateLimiter::FairRate(2048, 2, 500, 2), 250 * 1024);
    EXPECT_EQ(CRateLimiter::FairRate(0, 5, 500, 1), 500 * 1024);
    // The server's share, when lower than the user's.
    EXPECT_EQ(CRateLimiter::FairRate(1000, 10, 500, 1), 100 * 1024);
    // The highest limit does not overflow; a share never rounds to none.
    EXPECT_EQ(CRateLimiter::FairRate(CLimitSettings::kMaxRate, 1, 0, 1),
              int64_t{CLimitSettings::kMaxRate} * 1024);
    EXPECT_EQ(CRateLimiter::FairRate(1, 100000, 0, 1), 1);
}

TEST(RateLimiterTest, RunningTransfersShareTheirLimitsAndFollowChanges) {
    CRateLimiter limiter;
    CLimitSettings limits;
    limits.m_nDownload = 3000;
    limits.SetUser("ana", {1000, 0});
    limiter.Apply(limits);
    CTransferPace ana1(&limiter, "ana", false), ana2(&limiter, "ana", false);
    CTransferPace bob(&limiter, "bob", false), upload(&limiter, "ana", true);
    CTransferPace listing(nullptr, "ana", false);
    for (CTransferPace* pPace : {&ana1, &ana2, &bob, &upload, &listing})
        pPace->Begin(nullptr);
    // Ana's 1000 KiB/s shared by her two; bob a third of the server's.
    EXPECT_EQ(ana1.Rate(), 500 * 1024);
    EXPECT_EQ(ana2.Rate(), 500 * 1024);
    EXPECT_EQ(bob.Rate(), 1000 * 1024);
    // Nothing limits uploads; a pace without the limiter is never limited.
    EXPECT_EQ(upload.Rate(), 0);
    EXPECT_EQ(upload.Allowance(), -1);
    EXPECT_EQ(listing.Rate(), 0);
    // A turn's worth (20 ms of the rate it began with, alone) to begin with;
    // never more than the bucket's quarter of a second.
    EXPECT_GE(ana1.Allowance(), 1000 * 1024 / 50);
    EXPECT_LT(ana1.Allowance(), 1000 * 1024 / 40);
    EXPECT_LE(ana1.Allowance(), ana1.Rate() / 4);

    // One of ana's ends: the other takes her whole limit, bob half the server's.
    ana2.End();
    EXPECT_EQ(ana1.Rate(), 1000 * 1024);
    EXPECT_EQ(bob.Rate(), 1500 * 1024);

    // New settings reach the running transfers.
    limits = CLimitSettings();
    limits.m_nUpload = 64;
    limiter.Apply(limits);
    EXPECT_EQ(ana1.Rate(), 0);
    EXPECT_EQ(bob.Rate(), 0);
    EXPECT_EQ(upload.Rate(), 64 * 1024);
    upload.End();
    EXPECT_EQ(upload.Rate(), 0);
}
