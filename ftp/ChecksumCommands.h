// The checksum commands of the extended mode: HASH (the algorithm chosen by
// OPTS HASH, the range set by RANG), RANG, and the older XSHA256, XSHA1,
// XMD5 and XCRC ("XMD5 path [start [end]]", answered "250 HEX"). A checksum
// reads the file as RETR would and needs the same permission; the file is
// opened here and read on a worker thread (CChecksumWorkers) while the
// session waits for the answer (CSessionChecksums).
#pragma once

#include "ftp/Checksum.h"
#include "ftp/ChecksumRange.h"
#include "ftp/CommandContext.h"

#include <string>

class CChecksumCommands {
public:
    explicit CChecksumCommands(const SCommandContext& context);

    void DoHash(const CCommandRow& rRow, const std::string& strParameter);
    void DoRang(const CCommandRow& rRow, const std::string& strParameter);
    // XSHA256, XSHA1, XMD5, XCRC: the algorithm is the row's word and the
    // digits that follow it.
    void DoAlias(const CCommandRow& rRow, const std::string& strParameter);

private:
    // How the answer is written: HASH's 213 line, or an X word's 250.
    enum class Answer { Hash, Alias };
    void Start(const CCommandRow& rRow, const std::string& strPath, const SChecksumRange& range,
               ChecksumAlgorithm algorithm, Answer answer);

    CClientSocket& m_rSession;
    CSessionState& m_rState;
    CSessionHost& m_rHost;
    const std::string& m_strWord;
};
