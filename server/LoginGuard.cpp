#include "server/LoginGuard.h"

#include "net/Address.h"

#include <algorithm>

std::string CLoginGuard::KeyOf(const std::string& strAddress) {
    CAddress address;
    if (!CAddress::Parse(strAddress, 0, address))
        return strAddress;
    return address.ClientKey();
}

bool CLoginGuard::IsBanned(const std::string& strAddress, Clock::time_point now) const {
    auto it = m_entries.find(KeyOf(strAddress));
    return it != m_entries.end() && it->second.bBanned && now < it->second.bannedUntil;
}

int64_t CLoginGuard::SlotOf(Clock::time_point when) {
    return std::chrono::floor<std::chrono::seconds>(when.time_since_epoch()) / kSlot;
}

size_t CLoginGuard::RingIndex(int64_t nSlot) {
    return static_cast<size_t>(((nSlot % kSlots) + kSlots) % kSlots);
}

int CLoginGuard::Count(const SEntry& entry, int64_t nSlot) {
    // Slots older than kSlots before now have aged out; the ring holds the
    // rest, zeroed as time passed.
    const int64_t nAge = nSlot - entry.nLastSlot;
    if (nAge >= kSlots)
        return 0;
    int nCount = 0;
    for (int64_t n = nSlot - kSlots + 1; n <= entry.nLastSlot; ++n)
        nCount += entry.failures[RingIndex(n)];
    return nCount;
}

void CLoginGuard::Record(SEntry& rEntry, int64_t nSlot) {
    // The slots passed since the latest failure start empty.
    const int64_t nFrom = std::max(rEntry.nLastSlot + 1, nSlot - kSlots + 1);
    for (int64_t n = nFrom; n <= nSlot; ++n)
        rEntry.failures[RingIndex(n)] = 0;
    rEntry.nLastSlot = nSlot;
    uint16_t& rCount = rEntry.failures[RingIndex(nSlot)];
    if (rCount < UINT16_MAX)
        ++rCount;
}

void CLoginGuard::Prune(int64_t nSlot) {
    while (!m_order.empty()) {
        auto it = m_entries.find(m_order.front());
        if (nSlot - it->second.nLastSlot < kSlots)
            return;
        m_entries.erase(it);
        m_order.pop_front();
    }
}

CLoginGuard::SEntry* CLoginGuard::EntryFor(const std::string& strKey, int64_t nSlot) {
    auto it = m_entries.find(strKey);
    if (it != m_entries.end())
        return &it->second;
    Prune(nSlot);
    if (m_entries.size() < m_nMaxEntries) {
        m_bFull = false;
    } else {
        if (!m_bFull)
            m_bFullNotice = true;
        m_bFull = true;
        // The least recently failed address that is not banned makes room;
        // with bans only, the new address is not counted.
        if (m_order.empty())
            return nullptr;
        m_entries.erase(m_order.front());
        m_order.pop_front();
    }
    it = m_entries.emplace(strKey, SEntry{}).first;
    it->second.nLastSlot = nSlot;
    it->second.order = m_order.insert(m_order.end(), strKey);
    return &it->second;
}

bool CLoginGuard::Failed(const std::string& strAddress, Clock::time_point now, int nBanAfter,
                         Clock::duration banTime) {
    if (nBanAfter <= 0)
        return false;
    const std::string strKey = KeyOf(strAddress);
    SEntry* pEntry = EntryFor(strKey, SlotOf(now));
    if (!pEntry)
        return false;
    // Never behind the latest failure: the ring only moves forward.
    const int64_t nSlot = std::max(SlotOf(now), pEntry->nLastSlot);
    if (pEntry->bBanned) {
        if (now < pEntry->bannedUntil)
            return false;
        Lift(strKey, *pEntry);
        m_lifted.push_back(strKey);
    }
    m_order.splice(m_order.end(), m_order, pEntry->order);
    Record(*pEntry, nSlot);
    if (Count(*pEntry, nSlot) < nBanAfter)
        return false;
    Ban(strKey, *pEntry, now + banTime);
    return true;
}

void CLoginGuard::Ban(const std::string& strKey, SEntry& rEntry, Clock::time_point until) {
    // A ban leaves the eviction order: only addresses that are not banned
    // ever make room.
    m_order.erase(rEntry.order);
    rEntry.bBanned = true;
    rEntry.bannedUntil = until;
    m_bans.emplace(until, strKey);
}

void CLoginGuard::Lift(const std::string& strKey, SEntry& rEntry) {
    m_bans.erase({rEntry.bannedUntil, strKey});
    rEntry.bBanned = false;
    // Its failures are as old as the ban at least: among the first to go.
    rEntry.order = m_order.insert(m_order.begin(), strKey);
}

bool CLoginGuard::TakeFullNotice() {
    const bool bNotice = m_bFullNotice;
    m_bFullNotice = false;
    return bNotice;
}

bool CLoginGuard::Unban(const std::string& strKeyOrAddress) {
    auto it = m_entries.find(strKeyOrAddress);
    if (it == m_entries.end())
        it = m_entries.find(KeyOf(strKeyOrAddress));
    if (it == m_entries.end() || !it->second.bBanned)
        return false;
    // Lifted by hand, the address starts again from nothing.
    m_bans.erase({it->second.bannedUntil, it->first});
    m_entries.erase(it);
    return true;
}

std::vector<std::string> CLoginGuard::Expire(Clock::time_point now) {
    std::vector<std::string> ended;
    ended.swap(m_lifted);
    while (!m_bans.empty() && m_bans.begin()->first <= now) {
        const std::string strKey = m_bans.begin()->second;
        Lift(strKey, m_entries.at(strKey));
        ended.push_back(strKey);
    }
    std::sort(ended.begin(), ended.end());
    return ended;
}

std::vector<CLoginGuard::SBan> CLoginGuard::Bans(Clock::time_point now) const {
    std::vector<SBan> bans;
    for (const auto& [until, strKey] : m_bans)
        if (now < until)
            bans.push_back({strKey, until});
    return bans;
}

bool CLoginGuard::NextExpiry(Clock::time_point& rWhen) const {
    if (m_bans.empty())
        return false;
    rWhen = m_bans.begin()->first;
    return true;
}

void CLoginGuard::Clear() {
    m_entries.clear();
    m_order.clear();
    m_bans.clear();
    m_lifted.clear();
    m_bFull = false;
    m_bFullNotice = false;
}
