// What a session knows of its client between commands: who is logging in
// and whether they have, the current virtual folder, the settings the next
// transfer takes (type, restart offset), a rename half done, the facts the
// machine listings show, the idle time-out and where TLS stands. Plain
// state: nothing here sends, logs or touches a socket.
#pragma once

#include "ftp/Listing.h"

#include <cstdint>
#include <string>

class CSessionState {
public:
    // USER: the name to log in as; a login so far ends.
    void NameUser(const std::string& strUser);
    const std::string& User() const { return m_strUser; }
    // A PASS that logs in: the session starts at the root...
    void EnterRoot() { m_strFolder.assign(1, '/'); }
    // ... and is logged in once its reply is out.
    void SetLoggedIn() { m_bLoggedIn = true; }
    bool IsLoggedIn() const { return m_bLoggedIn; }
    // The user the views and the log name: none before login.
    std::string LoggedInUser() const { return m_bLoggedIn ? m_strUser : std::string(); }

    // The current virtual folder (ends in "/").
    const std::string& Folder() const { return m_strFolder; }
    void SetFolder(const std::string& strFolder) { m_strFolder = strFolder; }

    // TYPE: the reply index of its argument; the type changes only when the
    // argument is accepted. rShown: the text the reply carries.
    int ApplyType(const std::string& strParameter, std::string& rShown);
    // 0 ASCII, 1 local byte size 8, 2 image.
    int Type() const { return m_nType; }
    // The file's bytes go as they are (no text conversion).
    bool IsBinary() const { return m_nType == 1 || m_nType == 2; }

    // REST: the offset the next transfer starts at (taken by it).
    int64_t ApplyRestart(const std::string& strParameter);
    int64_t Restart() const { return m_nRestart; }
    void ClearRestart() { m_nRestart = 0; }

    // The path RNFR named, waiting for RNTO; it lasts only until the next
    // command.
    void SetRenameFrom(const std::string& strPath) { m_strRenameFrom = strPath; }
    std::string TakeRenameFrom();
    void ForgetRename() { m_strRenameFrom.clear(); }

    // The facts MLSD and MLST show (OPTS MLST).
    unsigned Facts() const { return m_nFacts; }
    // OPTS MLST: the facts named in strList, of those known.
    void ApplyFacts(const std::string& strList);

    // EPSV ALL was given: only EPSV opens data connections from now on.
    bool IsEpsvAll() const { return m_bEpsvAll; }
    void SetEpsvAll() { m_bEpsvAll = true; }

    // The time-out stored when the session was admitted.
    int Timeout() const { return m_nTimeout; }
    void SetTimeout(int nTimeout) { m_nTimeout = nTimeout; }

    // TLS: AUTH TLS has been accepted (the handshake may still run), PBSZ
    // has been given, PROT P is in force. A new AUTH starts over.
    void BeginTls();
    bool IsTlsRequested() const { return m_bTlsRequested; }
    void SetPbszGiven() { m_bPbsz = true; }
    bool IsPbszGiven() const { return m_bPbsz; }
    void SetProtectData(bool bProtect) { m_bProtectData = bProtect; }
    bool ProtectsData() const { return m_bProtectData; }
    // A connection to the implicit FTPS port: TLS from its first byte, and
    // its data protected from the start (as after PBSZ 0 and PROT P). AUTH
    // cannot begin TLS again; PBSZ and PROT work as usual.
    void BeginImplicitTls();
    bool IsImplicitTls() const { return m_bImplicitTls; }

private:
    std::string m_strUser;
    bool m_bLoggedIn = false;
    std::string m_strFolder;
    int m_nType = 0;
    int64_t m_nRestart = 0;
    std::string m_strRenameFrom;
    unsigned m_nFacts = kAllFacts;
    bool m_bEpsvAll = false;
    int m_nTimeout = 0;
    bool m_bTlsRequested = false;
    bool m_bPbsz = false;
    bool m_bProtectData = false;
    bool m_bImplicitTls = false;
};
