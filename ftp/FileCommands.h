// The commands that move a file over a data connection: RETR, STOR, APPE
// (and the extended mode's STOR, which refuses a restart beyond the end of
// the file). Each checks its path and starts the transfer.
#pragma once

#include "ftp/CommandContext.h"

#include <string>

class CFileCommands {
public:
    explicit CFileCommands(const SCommandContext& context);

    void DoRetr(const CCommandRow& rRow, const std::string& strParameter);
    void DoStor(const CCommandRow& rRow, const std::string& strParameter);
    void DoExtendedStor(const CCommandRow& rRow, const std::string& strParameter);
    void DoAppe(const CCommandRow& rRow, const std::string& strParameter);

private:
    // STOR and APPE: the permission test, the reply, the data connection.
    void ReceiveUpload(const CCommandRow& rRow, const std::string& strParameter, bool bAppend);

    CClientSocket& m_rSession;
    CSessionState& m_rState;
    CTransferStart& m_rStart;
    const std::string& m_strWord;
};
