// The speed limits of the extended mode: a ceiling for all downloads and
// one for all uploads of the server, and a pair for each user that has
// one. Rates are in KiB a second; 0 is no limit.
#pragma once

#include <map>
#include <string>

struct CLimitSettings {
    // A user's own limits.
    struct SPair {
        int nDownload = 0;
        int nUpload = 0;
        bool operator==(const SPair&) const = default;
    };
    int m_nDownload = 0;
    int m_nUpload = 0;
    std::map<std::string, SPair> m_users; // by user name
    // The highest rate a limit may be set to; anything above, below 0 or
    // not a number reads as no limit.
    static constexpr int kMaxRate = 10000000;

    // The user's own limits (none when it has no entry).
    SPair ForUser(const std::string& strUser) const {
        auto it = m_users.find(strUser);
        return it == m_users.end() ? SPair{} : it->second;
    }
    // Sets the user's own limits; an entry of two zeros is dropped.
    void SetUser(const std::string& strUser, SPair limits) {
        if (limits == SPair{})
            m_users.erase(strUser);
        else
            m_users[strUser] = limits;
    }
};
