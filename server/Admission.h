// Whether a new connection is let in: the Allow and Deny lists of the
// settings, and the extended mode's limits of connections in all and from
// one address (counted over the host's sessions).
#pragma once

#include "ftp/LogRecord.h"
#include "net/NetworkList.h"

#include <functional>
#include <memory>
#include <vector>

class CClientSocket;
class CServerSettings;

class CAdmission {
public:
    using LogFn = std::function<void(const SLogRecord&)>;
    using Sessions = std::vector<std::unique_ptr<CClientSocket>>;

    // rSettings: the settings in force, read at each use; rSessions: the
    // sessions admitted so far.
    CAdmission(const CServerSettings& rSettings, const Sessions& rSessions, LogFn log);

    // Puts the Allow and Deny lists of the settings in force; when one
    // cannot be read, the log names it and the lists in force stay (false).
    bool ReadAccessLists();
    // The Allow and Deny lists let the new session's address in; when they
    // do not, the log says so.
    bool IsAdmitted(const CClientSocket& rSession);
    // The extended mode's limit of connections in all has been reached.
    bool IsOverConnectionLimit() const;
    // The extended mode's limit of connections from one address: true when
    // the new session's address already has that many.
    bool IsOverAddressLimit(const CClientSocket& rSession) const;

private:
    const CServerSettings& m_rSettings;
    const Sessions& m_rSessions;
    LogFn m_log;
    // Who may connect: the Allow and Deny lists in force.
    CNetworkList m_allow;
    CNetworkList m_deny;
};
