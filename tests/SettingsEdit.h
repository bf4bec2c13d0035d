// Changing a host's settings in a test the way the options sheet does: on
// a copy, handed to the host when the statement that changes it ends.
//     EditSettings(host)->m_nLogLevel = 2;
#pragma once

#include "server/ServerHost.h"

#include <utility>

class CSettingsEdit {
public:
    explicit CSettingsEdit(CServerHost& rHost) : m_rHost(rHost), m_settings(rHost.Settings()) {}
    ~CSettingsEdit() { m_rHost.TakeSettings(std::move(m_settings)); }
    CSettingsEdit(const CSettingsEdit&) = delete;
    CSettingsEdit& operator=(const CSettingsEdit&) = delete;

    CServerSettings* operator->() { return &m_settings; }

private:
    CServerHost& m_rHost;
    CServerSettings m_settings;
};

inline CSettingsEdit EditSettings(CServerHost& rHost) {
    return CSettingsEdit(rHost);
}
