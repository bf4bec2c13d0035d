// The commands that ask what the server says of itself or of a file: SYST,
// FEAT, OPTS, HELP, ALLO, SIZE and MDTM; NOOP, and the words known but
// answered as unknown. They change nothing but the facts the machine
// listings show (OPTS MLST).
#pragma once

#include "ftp/CommandContext.h"

#include <string>
#include <sys/stat.h>

class CInfoCommands {
public:
    explicit CInfoCommands(const SCommandContext& context);

    void DoSyst(const CCommandRow& rRow, const std::string& strParameter);
    void DoFeat(const CCommandRow& rRow, const std::string& strParameter);
    void DoOpts(const CCommandRow& rRow, const std::string& strParameter);
    void DoHelp(const CCommandRow& rRow, const std::string& strParameter);
    void DoAllo(const CCommandRow& rRow, const std::string& strParameter);
    void DoSize(const CCommandRow& rRow, const std::string& strParameter);
    void DoMdtm(const CCommandRow& rRow, const std::string& strParameter);
    void DoNoop(const CCommandRow& rRow, const std::string& strParameter);
    void DoUnknown(const CCommandRow& rRow, const std::string& strParameter);

private:
    // The local file a SIZE or MDTM names, when it is a plain file.
    bool StatFile(const std::string& strParameter, struct stat& rInfo) const;

    CClientSocket& m_rSession;
    CSessionState& m_rState;
    const std::string& m_strWord;
};
