// The security exchange of explicit TLS (the extended mode, RFC 4217):
// AUTH TLS protects the control connection, PBSZ and PROT the data
// connections; CCC is refused. They exist only while the session offers TLS
// (the command table's TLS column).
#pragma once

#include "ftp/CommandContext.h"

#include <string>

class CTlsCommands {
public:
    explicit CTlsCommands(const SCommandContext& context);

    void DoAuth(const CCommandRow& rRow, const std::string& strParameter);
    void DoPbsz(const CCommandRow& rRow, const std::string& strParameter);
    void DoProt(const CCommandRow& rRow, const std::string& strParameter);
    void DoCcc(const CCommandRow& rRow, const std::string& strParameter);

private:
    CClientSocket& m_rSession;
    CSessionState& m_rState;
    CSessionHost& m_rHost;
};
