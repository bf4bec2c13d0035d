// The commands that say where the next data connection goes (PORT, EPRT,
// PASV, EPSV) and ABOR, which ends the running ones. They change the
// session's transfers.
#pragma once

#include "ftp/CommandContext.h"

#include <cstdint>
#include <string>

class CAddress;

class CDataCommands {
public:
    explicit CDataCommands(const SCommandContext& context);

    void DoPort(const CCommandRow& rRow, const std::string& strParameter);
    void DoPasv(const CCommandRow& rRow, const std::string& strParameter);
    // The extended mode's PASV and PORT: refused after EPSV ALL or on an
    // IPv6 connection; its listener on the configured port range.
    void DoExtendedPasv(const CCommandRow& rRow, const std::string& strParameter);
    void DoExtendedPort(const CCommandRow& rRow, const std::string& strParameter);
    void DoEpsv(const CCommandRow& rRow, const std::string& strParameter);
    void DoEprt(const CCommandRow& rRow, const std::string& strParameter);
    void DoAbor(const CCommandRow& rRow, const std::string& strParameter);

private:
    // The extended PASV and PORT after EPSV ALL, or on an IPv6 connection:
    // true once the refusal is sent.
    bool RefusesIpv4Ports();
    // PORT and EPRT: the data connection may go to this address.
    bool MayConnectTo(const CAddress& address) const;
    // The 227 reply for the listener just opened, advertising nAddress.
    void SendPassiveReply(uint32_t nAddress);
    // Opens a passive listener in the configured port range; false (and no
    // listener) when none can be opened.
    bool OpenPassive();
    // The control connection's local address (asked of the system once).
    bool LocalAddress(CAddress& rLocal);

    CClientSocket& m_rSession;
    CSessionState& m_rState;
    CSessionTransfers& m_rTransfers;
    CSessionHost& m_rHost;
};
