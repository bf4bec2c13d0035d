// Logging in and out: USER, PASS (a failed login answered late; an address
// banned now refused and closed) and QUIT.
#pragma once

#include "ftp/CommandContext.h"

#include <string>

class CLoginCommands {
public:
    explicit CLoginCommands(const SCommandContext& context);

    void DoUser(const CCommandRow& rRow, const std::string& strParameter);
    void DoPass(const CCommandRow& rRow, const std::string& strParameter);
    void DoQuit(const CCommandRow& rRow, const std::string& strParameter);

private:
    bool CheckLogin(const std::string& strUser, const std::string& strPassword) const;
    // A USER or PASS from an address banned now: answered 421 and closed
    // (true; nothing of the session may be used then).
    bool RefusedWhileBanned(const std::string& strUser);

    CClientSocket& m_rSession;
    CSessionState& m_rState;
    CSessionHost& m_rHost;
};
