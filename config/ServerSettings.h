// The whole configuration: the numbers of the server, its two ordered
// lists of records (users and published folders) and the groups of the
// extended mode and of logins. Everything is read once, when the settings
// are read; the options sheet edits a copy and hands it to the server.
#pragma once

#include "config/FolderRecord.h"
#include "config/LimitSettings.h"
#include "config/UserRecord.h"

#include <string>
#include <vector>

// The TLS policy of the extended mode.
enum class TlsMode { Off = 0, Allowed = 1, Required = 2 };

// The extended mode for today's clients, off by default: with it off,
// nothing of it is active and the server speaks the classic protocol.
struct CExtendedSettings {
    bool m_bEnabled = false;
    int m_nPassivePortMin = 0; // 0 and 0: any port the system chooses
    int m_nPassivePortMax = 0;
    std::string m_strPassiveAddress; // empty: the control connection's address
    // As stored: 0 off, 1 allowed, 2 required; any other value fails the
    // start. Read through the functions below.
    int m_nTlsMode = 0;
    std::string m_strTlsCertificate;
    std::string m_strTlsKey;
    int m_nTlsSessionReuse = 1; // as stored: 0 off, any other value on
    int m_nMaxPerAddress = 0;   // 0: unlimited
    int m_nMaxConnections = 0;  // connections in all; 0: unlimited
    // Behind a load balancer: connections from the addresses of
    // m_strProxyFrom (a comma list) begin with a PROXY header naming the client.
    bool m_bProxyProtocol = false;
    std::string m_strProxyFrom = "127.0.0.1";
    // A second control port whose connections begin with TLS (implicit
    // FTPS, 990 by custom); 0: none.
    int m_nImplicitTlsPort = 0;
    // A user's missing folder ("%u" in a local path) is made at login.
    bool m_bMakeUserFolders = false;

    // The stored TlsMode is one of its three values.
    bool IsTlsModeValid() const { return m_nTlsMode >= 0 && m_nTlsMode <= 2; }
    // The stored TlsMode (Off when it is not valid).
    TlsMode StoredTlsMode() const {
        return IsTlsModeValid() ? static_cast<TlsMode>(m_nTlsMode) : TlsMode::Off;
    }
    // The policy in force: TLS is part of the extended mode.
    TlsMode TlsPolicy() const { return m_bEnabled ? StoredTlsMode() : TlsMode::Off; }
    // A data connection must resume the control connection's TLS session.
    bool RequiresSessionReuse() const { return m_nTlsSessionReuse != 0; }
    // The PROXY protocol is part of the extended mode.
    bool ProxyProtocolOn() const { return m_bEnabled && m_bProxyProtocol; }
};

// Password guessing: after m_nBanAfter failed logins from one address within
// ten minutes (0: never), the address is banned for m_nBanMinutes. Who may
// connect at all: m_strAllow and m_strDeny are comma lists of addresses and
// networks; a connection from a denied address, or from one outside a
// non-empty allow list, is closed without a greeting.
struct CLoginSettings {
    int m_nBanAfter = 10;
    int m_nBanMinutes = 15;
    std::string m_strAllow; // empty: everyone
    std::string m_strDeny;  // empty: no one
    // Every plain password is replaced by its hash when the settings are
    // saved. Off for a file that does not say (one written by hand, or by
    // an older version, is never rewritten behind its owner's back); on in
    // the file the server makes on its first start.
    bool m_bHashPasswords = false;
    // Tests only (never written): a ban of this many seconds instead.
    int m_nTestBanSeconds = 0;
    // The values a setting may take; others read as the default.
    static constexpr int kMaxValue = 10000;
};

class CServerSettings {
public:
    int m_nPort = 21;
    int m_nTimeout = 100;
    int m_nLogLevel = 1;
    int m_nHide = 0; // as stored: 0 off, any other value on
    CFolderMap m_folderMap;
    CUserList m_users;
    CExtendedSettings m_extended;
    CLoginSettings m_logins;
    CLimitSettings m_limits; // speed limits (extended mode)
    // The window hides into the notification area.
    bool HidesInTray() const { return m_nHide != 0; }
    // Tests only (never written): a download's end waits this long, not
    // the usual grace, for its client to close the data connection.
    int m_nTestReplyGraceMs = 0;
};
