// The commands that set how the next transfer goes: TYPE, MODE, STRU and
// REST. They change only the session's state.
#pragma once

#include "ftp/CommandContext.h"

#include <string>

class CTransferCommands {
public:
    explicit CTransferCommands(const SCommandContext& context);

    void DoType(const CCommandRow& rRow, const std::string& strParameter);
    void DoMode(const CCommandRow& rRow, const std::string& strParameter);
    void DoStru(const CCommandRow& rRow, const std::string& strParameter);
    void DoRest(const CCommandRow& rRow, const std::string& strParameter);

private:
    CClientSocket& m_rSession;
    CSessionState& m_rState;
};
