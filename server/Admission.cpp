#include "server/Admission.h"

#include "config/ServerSettings.h"
#include "ftp/ClientSocket.h"
#include "res/Strings.h"

#include <algorithm>
#include <tuple>

CAdmission::CAdmission(const CServerSettings& rSettings, const Sessions& rSessions, LogFn log)
    : m_rSettings(rSettings), m_rSessions(rSessions), m_log(std::move(log)) {}

bool CAdmission::ReadAccessLists() {
    const CLoginSettings& logins = m_rSettings.m_logins;
    CNetworkList allow;
    CNetworkList deny;
    bool bRead = true;
    for (const auto& [pszKey, pText, pList] : {std::tuple{"Allow", &logins.m_strAllow, &allow},
                                               std::tuple{"Deny", &logins.m_strDeny, &deny}}) {
        if (CNetworkList::Parse(*pText, *pList))
            continue;
        m_log({FormatString(LoadString(IDS_ADDRESS_LIST_INVALID), pszKey, pText->c_str()), 0});
        bRead = false;
    }
    if (!bRead)
        return false;
    m_allow = std::move(allow);
    m_deny = std::move(deny);
    return true;
}

bool CAdmission::IsAdmitted(const CClientSocket& rSession) {
    if (m_allow.IsEmpty() && m_deny.IsEmpty())
        return true;
    // Behind a balancer this is the client its PROXY header named. An
    // address that cannot be known is in no list: outside a non-empty
    // Allow list.
    CAddress peer;
    rSession.GetPeerName(peer);
    if (!m_deny.Contains(peer) && (m_allow.IsEmpty() || m_allow.Contains(peer)))
        return true;
    m_log({FormatString(LoadString(IDS_ADDRESS_NOT_ADMITTED), peer.ToString().c_str()), 0,
           LogEvent::Refused, peer.ToString()});
    return false;
}

bool CAdmission::IsOverConnectionLimit() const {
    const CExtendedSettings& extended = m_rSettings.m_extended;
    return extended.m_bEnabled && extended.m_nMaxConnections > 0 &&
           m_rSessions.size() >= static_cast<size_t>(extended.m_nMaxConnections);
}

bool CAdmission::IsOverAddressLimit(const CClientSocket& rSession) const {
    const CExtendedSettings& extended = m_rSettings.m_extended;
    if (!extended.m_bEnabled || extended.m_nMaxPerAddress <= 0)
        return false;
    CAddress peer;
    if (!rSession.GetPeerName(peer))
        return false;
    // One client is one address, or one IPv6 /64.
    const std::string strKey = peer.ClientKey();
    const auto nSame = std::count_if(m_rSessions.begin(), m_rSessions.end(), [&](const auto& p) {
        return p->Peer().ClientKey() == strKey;
    });
    return nSame >= extended.m_nMaxPerAddress;
}
