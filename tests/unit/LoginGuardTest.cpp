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

TEST(LoginGuard, EachFailureAgesOutOfTheWindowByItself) {
    CLoginGuard guard;
    // A failure still counts ten minutes after it.
    EXPECT_FALSE(FailTimes(guard, "10.0.0.1", 2, kStart));
    EXPECT_TRUE(guard.Failed("10.0.0.1", kStart + minutes(10), 3, minutes(15)));
    // The window slides: the oldest failure leaves, the later ones stay.
    EXPECT_FALSE(guard.Failed("10.0.0.2", kStart, 3, minutes(15)));
    EXPECT_FALSE(guard.Failed("10.0.0.2", kStart + minutes(6), 3, minutes(15)));
    EXPECT_FALSE(guard.Failed("10.0.0.2", kStart + minutes(11), 3, minutes(15)));
    EXPECT_TRUE(guard.Failed("10.0.0.2", kStart + minutes(12), 3, minutes(15)));
    // The same on a clock that started moments ago (a server started soon
    // after the machine).
    const Clock::time_point early = Clock::time_point() + seconds(10);
    EXPECT_FALSE(FailTimes(guard, "10.0.0.4", 2, early));
    EXPECT_TRUE(guard.Failed("10.0.0.4", early + minutes(1), 3, minutes(15)));
    // Spread out enough, failures never add up.
    for (int i = 0; i < 20; ++i)
        EXPECT_FALSE(guard.Failed("10.0.0.3", kStart + minutes(6 * i), 3, minutes(15))) << i;
}

TEST(LoginGuard, OnlyAgeClearsTheCountAndZeroNeverBans) {
    CLoginGuard guard;
    // A short ban ends, but the failures that earned it still count: the
    // next failure within the window bans again.
    EXPECT_TRUE(FailTimes(guard, "10.0.0.1", 2, kStart, 2));
    EXPECT_FALSE(guard.Failed("10.0.0.1", kStart + seconds(30), 2, minutes(1)));
    EXPECT_EQ(guard.Expire(kStart + minutes(15)), std::vector<std::string>{"10.0.0.1"});
    EXPECT_FALSE(FailTimes(guard, "10.0.0.2", 1, kStart, 2));
    EXPECT_TRUE(guard.Failed("10.0.0.2", kStart + seconds(1), 2, minutes(1)));
    EXPECT_EQ(guard.Expire(kStart + minutes(2)), std::vector<std::string>{"10.0.0.2"});
    EXPECT_TRUE(guard.Failed("10.0.0.2", kStart + minutes(3), 2, minutes(1)));
    // A ban whose time has passed is lifted by the next failure too, and
    // reported once.
    EXPECT_TRUE(guard.Failed("10.0.0.2", kStart + minutes(5), 2, minutes(1)));
    EXPECT_EQ(guard.Expire(kStart + minutes(5)), std::vector<std::string>{"10.0.0.2"});
    EXPECT_TRUE(guard.Expire(kStart + minutes(5)).empty());
    EXPECT_TRUE(guard.IsBanned("10.0.0.2", kStart + minutes(5)));
    // Lifted by hand, an address starts again from nothing.
    EXPECT_TRUE(guard.Unban("10.0.0.2"));
    EXPECT_FALSE(guard.Failed("10.0.0.2", kStart + minutes(5), 2, minutes(1)));
    // No limit: nothing is kept.
    EXPECT_FALSE(FailTimes(guard, "10.0.0.9", 50, kStart, 0));
    EXPECT_FALSE(guard.IsBanned("10.0.0.9", kStart));
    EXPECT_EQ(guard.Size(), 2u);
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
    EXPECT_FALSE(guard.TakeFullNotice());
    // 10.0.0.1 fails again: it is now the most recent.
    guard.Failed("10.0.0.1", kStart + seconds(1), 3, minutes(15));
    guard.Failed("10.0.0.4", kStart + seconds(2), 3, minutes(15));
    EXPECT_EQ(guard.Size(), 3u);
    // Said once when the table fills, not for every address after.
    EXPECT_TRUE(guard.TakeFullNotice());
    EXPECT_FALSE(guard.TakeFullNotice());
    // 10.0.0.2 went: its count starts again; 10.0.0.1 kept its two.
    EXPECT_FALSE(FailTimes(guard, "10.0.0.2", 2, kStart + seconds(3)));
    EXPECT_TRUE(guard.Failed("10.0.0.1", kStart + seconds(4), 3, minutes(15)));
    EXPECT_EQ(guard.Size(), 3u);
    // Many addresses never grow it past its bound.
    for (int i = 0; i < 1000; ++i)
        guard.Failed("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256), kStart, 3,
                     minutes(15));
    EXPECT_EQ(guard.Size(), 3u);
    EXPECT_FALSE(guard.TakeFullNotice());
    // Once the failures have aged out, their addresses make room: the
    // table is no longer full, and the next filling is said again.
    guard.Unban("10.0.0.1");
    guard.Failed("10.2.0.1", kStart + minutes(11), 3, minutes(15));
    EXPECT_EQ(guard.Size(), 1u);
    EXPECT_FALSE(guard.TakeFullNotice());
    FailTimes(guard, "10.2.0.2", 1, kStart + minutes(11));
    FailTimes(guard, "10.2.0.3", 1, kStart + minutes(11));
    FailTimes(guard, "10.2.0.4", 1, kStart + minutes(11));
    EXPECT_TRUE(guard.TakeFullNotice());
    guard.Clear();
    EXPECT_EQ(guard.Size(), 0u);
}

TEST(LoginGuard, ActiveBansAreNeverEvicted) {
    CLoginGuard guard;
    guard.SetMaxEntriesForTests(3);
    EXPECT_TRUE(FailTimes(guard, "10.0.0.1", 3, kStart));
    EXPECT_TRUE(FailTimes(guard, "10.0.0.2", 3, kStart));
    // Newer addresses that are not banned make room for each other.
    for (int i = 0; i < 100; ++i)
        guard.Failed("10.1.0." + std::to_string(i), kStart + seconds(i), 3, minutes(15));
    EXPECT_TRUE(guard.TakeFullNotice());
    EXPECT_TRUE(guard.IsBanned("10.0.0.1", kStart + minutes(1)));
    EXPECT_TRUE(guard.IsBanned("10.0.0.2", kStart + minutes(1)));
    // The one address left that is not banned is counted as usual.
    EXPECT_FALSE(FailTimes(guard, "10.1.0.99", 1, kStart + minutes(2)));
    EXPECT_TRUE(FailTimes(guard, "10.1.0.99", 1, kStart + minutes(2)));
    // Bans only: a new address is not counted, and no ban goes.
    EXPECT_FALSE(FailTimes(guard, "10.3.0.1", 10, kStart + minutes(3)));
    EXPECT_FALSE(guard.IsBanned("10.3.0.1", kStart + minutes(3)));
    EXPECT_EQ(guard.Size(), 3u);
    EXPECT_EQ(guard.Bans(kStart + minutes(3)).size(), 3u);
    EXPECT_FALSE(guard.TakeFullNotice());
    // Ended bans whose failures have aged out make room again.
    EXPECT_EQ(guard.Expire(kStart + minutes(15)),
              (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
    EXPECT_TRUE(FailTimes(guard, "10.3.0.1", 3, kStart + minutes(16)));
    EXPECT_TRUE(guard.IsBanned("10.1.0.99", kStart + minutes(16)));
    EXPECT_EQ(guard.Size(), 2u);
}
