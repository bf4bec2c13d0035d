// Password guessing shut out: failed logins counted per client address,
// and the addresses banned after too many of them.
//
// An address counts its failures from the first one for kWindow; reaching
// the limit within that time bans it for the ban time. A successful login
// clears the count. An IPv6 address counts by its /64 (a host usually holds
// a whole /64), an IPv4 one by itself. The table is bounded: past kMaxEntries
// addresses, the one least recently failed goes first, so that many
// addresses cannot grow the memory. Times are given by the caller, which
// keeps the table free of clocks and timers.
#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

class CLoginGuard {
public:
    using Clock = std::chrono::steady_clock;

    struct SBan {
        std::string strKey; // the address, or an IPv6 /64 as "prefix::/64"
        Clock::time_point until;
    };

    // The key an address counts under: IPv4 and IPv4-mapped addresses as
    // plain IPv4, IPv6 by its /64, anything else as it is written.
    static std::string KeyOf(const std::string& strAddress);

    // True while the address is banned (a ban whose time has passed is not).
    bool IsBanned(const std::string& strAddress, Clock::time_point now) const;
    // One failed login; true when it bans the address (nBanAfter failures
    // within kWindow; 0 never bans) for banTime.
    bool Failed(const std::string& strAddress, Clock::time_point now, int nBanAfter,
                Clock::duration banTime);
    // A successful login clears the address's count.
    void Succeeded(const std::string& strAddress);
    // Lifts a ban (a key as Bans lists it, or an address); false if none.
    bool Unban(const std::string& strKeyOrAddress);
    // The bans whose time has come by now, removed from the table.
    std::vector<std::string> Expire(Clock::time_point now);
    // The bans in force, the soonest to end first.
    std::vector<SBan> Bans(Clock::time_point now) const;
    // When the next ban ends; false when there is none.
    bool NextExpiry(Clock::time_point& rWhen) const;
    void Clear();
    size_t Size() const { return m_entries.size(); }

    static constexpr std::chrono::minutes kWindow{10};
    static constexpr size_t kMaxEntries = 100000;

    // Tests only: a smaller bound.
    void SetMaxEntriesForTests(size_t nMax) { m_nMaxEntries = nMax; }

private:
    struct SEntry {
        int nFailures = 0;
        Clock::time_point firstFailure;
        bool bBanned = false;
        Clock::time_point bannedUntil;
        std::list<std::string>::iterator order; // place in m_order
    };
    // Marks the entry as the most recently used.
    void Touch(SEntry& rEntry);

    std::unordered_map<std::string, SEntry> m_entries;
    // Keys, least recently failed first.
    std::list<std::string> m_order;
    size_t m_nMaxEntries = kMaxEntries;
};
