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

void CLoginGuard::Touch(SEntry& rEntry) {
    m_order.splice(m_order.end(), m_order, rEntry.order);
}

bool CLoginGuard::Failed(const std::string& strAddress, Clock::time_point now, int nBanAfter,
                         Clock::duration banTime) {
    const std::string strKey = KeyOf(strAddress);
    auto it = m_entries.find(strKey);
    if (it == m_entries.end()) {
        // Full: the address least recently failed makes room.
        while (m_entries.size() >= m_nMaxEntries && !m_order.empty()) {
            m_entries.erase(m_order.front());
            m_order.pop_front();
        }
        it = m_entries.emplace(strKey, SEntry{}).first;
        it->second.order = m_order.insert(m_order.end(), strKey);
    } else {
        Touch(it->second);
    }
    SEntry& rEntry = it->second;
    if (rEntry.bBanned && now < rEntry.bannedUntil)
        return false;
    rEntry.bBanned = false;
    if (rEntry.nFailures == 0 || now - rEntry.firstFailure >= kWindow) {
        rEntry.nFailures = 0;
        rEntry.firstFailure = now;
    }
    ++rEntry.nFailures;
    if (nBanAfter <= 0 || rEntry.nFailures < nBanAfter)
        return false;
    rEntry.bBanned = true;
    rEntry.bannedUntil = now + banTime;
    rEntry.nFailures = 0;
    return true;
}

void CLoginGuard::Succeeded(const std::string& strAddress) {
    auto it = m_entries.find(KeyOf(strAddress));
    if (it == m_entries.end() || it->second.bBanned)
        return;
    m_order.erase(it->second.order);
    m_entries.erase(it);
}

bool CLoginGuard::Unban(const std::string& strKeyOrAddress) {
    auto it = m_entries.find(strKeyOrAddress);
    if (it == m_entries.end())
        it = m_entries.find(KeyOf(strKeyOrAddress));
    if (it == m_entries.end() || !it->second.bBanned)
        return false;
    m_order.erase(it->second.order);
    m_entries.erase(it);
    return true;
}

std::vector<std::string> CLoginGuard::Expire(Clock::time_point now) {
    std::vector<std::string> ended;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (it->second.bBanned && now >= it->second.bannedUntil) {
            ended.push_back(it->first);
            m_order.erase(it->second.order);
            it = m_entries.erase(it);
        } else {
            ++it;
        }
    }
    std::sort(ended.begin(), ended.end());
    return ended;
}

std::vector<CLoginGuard::SBan> CLoginGuard::Bans(Clock::time_point now) const {
    std::vector<SBan> bans;
    for (const auto& [strKey, entry] : m_entries)
        if (entry.bBanned && now < entry.bannedUntil)
            bans.push_back({strKey, entry.bannedUntil});
    std::sort(bans.begin(), bans.end(), [](const SBan& a, const SBan& b) {
        return a.until != b.until ? a.until < b.until : a.strKey < b.strKey;
    });
    return bans;
}

bool CLoginGuard::NextExpiry(Clock::time_point& rWhen) const {
    bool bAny = false;
    for (const auto& [strKey, entry] : m_entries) {
        if (entry.bBanned && (!bAny || entry.bannedUntil < rWhen)) {
            rWhen = entry.bannedUntil;
            bAny = true;
        }
    }
    return bAny;
}

void CLoginGuard::Clear() {
    m_entries.clear();
    m_order.clear();
}
