// Password guessing shut out: failed logins counted per client address,
// and the addresses banned after too many of them.
//
// A failure counts for kWindow and then ages out; nothing else takes it
// off the count (a successful login clears nothing: an account that takes
// any password would otherwise reset the count between guesses). Reaching
// the limit within the window bans the address for the ban time. An IPv6
// address counts by its /64 (a host usually holds a whole /64), an IPv4 one
// by itself.
//
// Failures are kept by slots of kSlot, so that an address costs the same
// memory whatever the limit: a failure counts from its slot until kWindow
// after the slot ends, at least kWindow and at most kWindow + kSlot.
//
// The table is bounded (kMaxEntries addresses). When it is full, the
// addresses that are not banned make room, the least recently failed
// first; an active ban is never evicted. A table holding nothing but bans
// counts no new address until a ban ends. Times are given by the caller,
// which keeps the table free of clocks and timers.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
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
    // within kWindow; 0 never bans) for banTime. A failure from an address
    // banned now is not counted: the ban is in force already.
    bool Failed(const std::string& strAddress, Clock::time_point now, int nBanAfter,
                Clock::duration banTime);
    // True once each time the table has filled up (a new address found it
    // at its bound) since the last call; again only after it had room.
    bool TakeFullNotice();
    // Lifts a ban and forgets the address's failures (a key as Bans lists
    // it, or an address); false if it is not banned.
    bool Unban(const std::string& strKeyOrAddress);
    // The bans whose time has come by now, lifted; the failures that are
    // still within the window keep counting.
    std::vector<std::string> Expire(Clock::time_point now);
    // The bans in force, the soonest to end first.
    std::vector<SBan> Bans(Clock::time_point now) const;
    // When the next ban ends; false when there is none.
    bool NextExpiry(Clock::time_point& rWhen) const;
    void Clear();
    size_t Size() const { return m_entries.size(); }

    static constexpr std::chrono::minutes kWindow{10};
    static constexpr std::chrono::seconds kSlot{30};
    static constexpr size_t kMaxEntries = 100000;

    // Tests only: a smaller bound.
    void SetMaxEntriesForTests(size_t nMax) { m_nMaxEntries = nMax; }

private:
    // The slots a failure counts in: its own and those of the window after.
    static constexpr int kSlots = static_cast<int>(kWindow / kSlot) + 1;
    using BanKey = std::pair<Clock::time_point, std::string>;

    struct SEntry {
        // Failures by slot, a ring indexed by slot number modulo kSlots.
        std::array<uint16_t, kSlots> failures{};
        int64_t nLastSlot = 0; // the slot of the latest failure
        bool bBanned = false;
        Clock::time_point bannedUntil;
        // Place in m_order while not banned.
        std::list<std::string>::iterator order;
    };

    static int64_t SlotOf(Clock::time_point when);
    static size_t RingIndex(int64_t nSlot);
    // The failures still counted in the slot nSlot (not before the latest).
    static int Count(const SEntry& entry, int64_t nSlot);
    // One more failure in the slot nSlot (not before the latest).
    static void Record(SEntry& rEntry, int64_t nSlot);
    // Finds or makes the entry of a key; null when the table holds only
    // bans and has no room.
    SEntry* EntryFor(const std::string& strKey, int64_t nSlot);
    // Drops the least recently failed addresses whose failures have aged out.
    void Prune(int64_t nSlot);
    void Ban(const std::string& strKey, SEntry& rEntry, Clock::time_point until);
    void Lift(const std::string& strKey, SEntry& rEntry);

    std::unordered_map<std::string, SEntry> m_entries;
    // Keys of the addresses that are not banned, least recently failed first.
    std::list<std::string> m_order;
    // Keys of the bans in force, the soonest to end first.
    std::set<BanKey> m_bans;
    // Bans lifted by a failure that came after their time, for Expire to report.
    std::vector<std::string> m_lifted;
    size_t m_nMaxEntries = kMaxEntries;
    bool m_bFull = false;
    bool m_bFullNotice = false;
};
