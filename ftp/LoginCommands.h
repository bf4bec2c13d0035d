// Logging in and out: USER, PASS (a failed login answered late; an address
// banned now refused and closed; a stored hash checked on another thread)
// and QUIT.
#pragma once

#include "ftp/CommandContext.h"

#include <chrono>
#include <string>

class CUserRecord;

class CLoginCommands {
public:
    explicit CLoginCommands(const SCommandContext& context);

    void DoUser(const CCommandRow& rRow, const std::string& strParameter);
    void DoPass(const CCommandRow& rRow, const std::string& strParameter);
    void DoQuit(const CCommandRow& rRow, const std::string& strParameter);

private:
    // The record found for the name is that user's.
    static bool IsKnown(const CUserRecord& record, const std::string& strUser);
    // A plain (or empty) password: compared at once.
    static bool CheckLogin(const CUserRecord& record, const std::string& strUser,
                           const std::string& strPassword);
    // A password against a stored hash: checked by the host's hashing
    // threads while the session reads nothing more; too many waiting, or no
    // thread to check it, answers 421 and closes the session.
    void CheckHash(const std::string& strHash, const std::string& strPassword, bool bKnown);
    // The check's answer, back on the loop (false: the session has ended).
    bool AnswerCheck(bool bMatch, std::chrono::steady_clock::time_point asked);
    // The user is let in (a failed login's reply nWaitedMs into its delay
    // when their name cannot stand for their own folder).
    void LogIn(int nWaitedMs);
    // Where the extended mode gives each user a folder of their own: false
    // (logged) when the name could lead out of its parent; the missing
    // folders made when the settings ask.
    bool OpensUserFolders();
    // A failed login, its reply nWaitedMs into its delay already (false:
    // that failure banned the address and ended the session).
    bool Refuse(int nWaitedMs);
    // A USER or PASS from an address banned now: answered 421 and closed
    // (true; nothing of the session may be used then).
    bool RefusedWhileBanned(const std::string& strUser);

    CClientSocket& m_rSession;
    CSessionState& m_rState;
    CSessionHost& m_rHost;
};
