// The commands that name a path and change what is there or where the
// session is: PWD, CWD, CDUP, DELE, MKD, RMD, RNFR, RNTO, SITE, MFMT.
#pragma once

#include "ftp/CommandContext.h"
#include "ftp/PathResolver.h"

#include <string>

class CPathCommands {
public:
    explicit CPathCommands(const SCommandContext& context);

    void DoPwd(const CCommandRow& rRow, const std::string& strParameter);
    void DoCwd(const CCommandRow& rRow, const std::string& strParameter);
    void DoCdup(const CCommandRow& rRow, const std::string& strParameter);
    void DoDele(const CCommandRow& rRow, const std::string& strParameter);
    // MKD and RMD, told apart by the row's code.
    void DoMkdRmd(const CCommandRow& rRow, const std::string& strParameter);
    void DoRnfr(const CCommandRow& rRow, const std::string& strParameter);
    void DoRnto(const CCommandRow& rRow, const std::string& strParameter);
    void DoSite(const CCommandRow& rRow, const std::string& strParameter);
    void DoMfmt(const CCommandRow& rRow, const std::string& strParameter);

private:
    CClientSocket& m_rSession;
    CSessionState& m_rState;
    CPathResolver m_resolver;
};
