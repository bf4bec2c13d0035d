// The table of failed logins and bans, on a clock the tests move by hand.
#include "server/LoginGuard.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Clock = CLoginGuard::Clock;
using std::chrono::minutes;
using std::chrono::seconds;

const Clock::time_point kStart = Clock::time_point() + std::chrono::hours(1000);

// nCount failures from the address at the given time; true when the last bans.
bool FailTimes(CLoginGuard& rGuard, const std::string& strAddress, int nCount,
               Clock::time_point when, int nBanAfter = 3) {
    bool bBanned = false;
    for (int i = 0; i < nCount; ++i)
        bBanned = rGuard.Failed(strAddress, when, nBanAfter, minutes(15));
    return bBanned;
}

} // namespace

TEST(LoginGuard, TheLimitWithinTheWindowBansForTheBanTime) {
    CLoginGuard guard;
    EXPECT_FALSE(FailTimes(guard, "10.0.0.1", 2, kStart));
    EXPECT_FALSE(guard.IsBanned("10.0.0.1", kStart));
    // The third within ten minutes bans.
    EXPECT_TRUE(guard.Failed("10.0.0.1", kStart + minutes(9), 3, minutes(15)));
    EXPECT_TRUE(guard.IsBanned("10.0.0.1", kStart + minutes(9)));
    EXPECT_TRUE(guard.IsBanned("10.0.0.1", kStart + minutes(23)));
    // Failures while banned neither extend nor repeat the ban.
    EXPECT_FALSE(guard.Failed("10.0.0.1", kStart + minutes(10), 3, minutes(15)));
    // Other addresses are not touched.
    EXPECT_FALSE(guard.IsBanned("10.0.0.2", kStart + minutes(9)));
    ASSERT_EQ(guard.Bans(kStart + minutes(10)).size(), 1u);
    EXPECT_EQ(guard.Bans(kStart + minutes(10))[0].strKey, "10.0.0.1");
    EXPECT_EQ(guard.Bans(kStart + minutes(10))[0].until, kStart + minutes(24));
    Clock::time_point next;
    ASSERT_TRUE(guard.NextExpiry(next));
    EXPECT_EQ(next, kStart + minutes(24));
    // The ban ends at its time, once.
    EXPECT_TRUE(guard.Expire(kStart + minutes(23)).empty());
    EXPECT_FALSE(guard.IsBanned("10.0.0.1", kStart + minutes(24)));
    EXPECT_EQ(guard.Expire(kStart + minutes(24)), std::vector<std::string>{"10.0.0.1"});
    EXPECT_TRUE(guard.Expire(kStart + minutes(25)).empty());
    EXPECT_FALSE(guard.NextExpiry(next));
    // Counting starts again from nothing.
    EXPECT_FALSE(FailTimes(guard, "10.0.0.1", 2, kStart + minutes(25)));
}

TEST(LoginGuard, FailuresOlderThanTheWindowDoNotCount) {
    CLoginGuard guard;
    EXPECT_FALSE(FailTimes(guard, "10.0.0.1", 2, kStart));
    EXPECT_FALSE(guard.Failed("10.0.0.1", kStart + minutes(10), 3, minutes(15)));
    EXPECT_FALSE(guard.Failed("10.0.0.1", kStart + minutes(11), 3, minutes(15)));
    EXPECT_TRUE(guard.Failed("10.0.0.1", kStart + minutes(12), 3, minutes(15)));
}

TEST(LoginGuard, ASuccessClearsTheCountAndZeroNeverBans) {
    CLoginGuard guard;
    EXPECT_FALSE(FailTimes(guard, "10.0.0.1", 2, kStart));
    guard.Succeeded("10.0.0.1");
    EXPECT_EQ(guard.Size(), 0u);
    EXPECT_FALSE(FailTimes(guard, "10.0.0.1", 2, kStart));
    EXPECT_FALSE(FailTimes(guard, "10.0.0.9", 50, kStart, 0));
    EXPECT_FALSE(guard.IsBanned("10.0.0.9", kStart));
    // A success does not lift a ban.
    EXPECT_TRUE(FailTimes(guard, "10.0.0.1", 1, kStart));
    guard.Succeeded("10.0.0.1");
    EXPECT_TRUE(guard.IsBanned("10.0.0.1", kStart));
}

TEST(LoginGuard, Ipv6CountsByItsSlash64AndMappedIpv4AsIpv4) {
    EXPECT_EQ(CLoginGuard::KeyOf("192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(CLoginGuard::KeyOf("::ffff:192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(CLoginGuard::KeyOf("2001:db8:1:2:aaaa:bbbb:cccc:dddd"), "2001:db8:1:2::/64");
    EXPECT_EQ(CLoginGuard::KeyOf("::1"), "::/64");
    EXPECT_EQ(CLoginGuard::KeyOf("not an address"), "not an address");
    CLoginGuard guard;
    EXPECT_FALSE(guard.Failed("2001:db8:1:2::1", kStart, 3, minutes(15)));
    EXPECT_FALSE(guard.Failed("2001:db8:1:2::2", kStart, 3, minutes(15)));
    EXPECT_TRUE(guard.Failed("2001:db8:1:2:ffff::3", kStart, 3, minutes(15)));
    EXPECT_TRUE(guard.IsBanned("2001:db8:1:2::99", kStart));
    EXPECT_FALSE(guard.IsBanned("2001:db8:1:3::1", kStart));
    // Either form lifts the ban: the /64 as listed, or an address in it.
    EXPECT_TRUE(guard.Unban("2001:db8:1:2::5"));
    EXPECT_FALSE(guard.IsBanned("2001:db8:1:2::99", kStart));
    EXPECT_TRUE(FailTimes(guard, "::ffff:10.1.1.1", 3, kStart));
    EXPECT_TRUE(guard.IsBanned("10.1.1.1", kStart));
    EXPECT_TRUE(guard.Unban("10.1.1.1"));
    EXPECT_FALSE(guard.Unban("10.1.1.1"));
}

TEST(LoginGuard, TheTableIsBoundedAndTheLeastRecentGoesFirst) {
    CLoginGuard guard;
    guard.SetMaxEntriesForTests(3);
    guard.Failed("10.0.0.1", kStart, 3, minutes(15));
    guard.Failed("10.0.0.2", kStart, 3, minutes(15));
    guard.Failed("10.0.0.3", kStart, 3, minutes(15));
    // 10.0.0.1 fails again: it is now the most recent.
    guard.Failed("10.0.0.1", kStart + seconds(1), 3, minutes(15));
    guard.Failed("10.0.0.4", kStart + seconds(2), 3, minutes(15));
    EXPECT_EQ(guard.Size(), 3u);
    // 10.0.0.2 went: its count starts again; 10.0.0.1 kept its two.
    EXPECT_FALSE(FailTimes(guard, "10.0.0.2", 2, kStart + seconds(3)));
    EXPECT_TRUE(guard.Failed("10.0.0.1", kStart + seconds(4), 3, minutes(15)));
    EXPECT_EQ(guard.Size(), 3u);
    // Many addresses never grow it past its bound.
    for (int i = 0; i < 1000; ++i)
        guard.Failed("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256), kStart, 3,
                     minutes(15));
    EXPECT_EQ(guard.Size(), 3u);
    guard.Clear();
    EXPECT_EQ(guard.Size(), 0u);
}
