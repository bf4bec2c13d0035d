#include "ftp/InfoCommands.h"

#include "ftp/ClientSocket.h"
#include "ftp/FtpTables.h"
#include "ftp/Listing.h"
#include "ftp/PathResolver.h"
#include "ftp/Protocol.h"
#include "ftp/SessionState.h"
#include "ftp/VirtualPath.h"
#include "res/Strings.h"

#include <cctype>
#include <ctime>

CInfoCommands::CInfoCommands(const SCommandContext& context)
    : m_rSession(context.rSession), m_rState(context.rState), m_strWord(context.strWord) {}

void CInfoCommands::DoNoop(const CCommandRow&, const std::string&) {
    m_rSession.SendReply(ReplyText(REPLY_OK));
}

void CInfoCommands::DoUnknown(const CCommandRow&, const std::string&) {
    m_rSession.SendFormatted(REPLY_UNKNOWN_COMMAND, m_strWord);
}

void CInfoCommands::DoSyst(const CCommandRow&, const std::string&) {
    m_rSession.SayReply(Say::System, kVersion);
}

void CInfoCommands::DoFeat(const CCommandRow&, const std::string&) {
    // The MLST line marks the facts in force (OPTS MLST chooses them), the
    // HASH line the algorithm in force (OPTS HASH).
    m_rSession.SendReply(FormatString(
        m_rSession.Protocol().FeatureReply(m_rSession.TlsOffered()).c_str(),
        FeatureFacts(m_rState.Facts()).c_str(), m_rSession.Checksums().FeatureLine().c_str()));
}

void CInfoCommands::DoOpts(const CCommandRow&, const std::string& strParameter) {
    std::string strOption = Trim(strParameter);
    std::string strWord;
    std::string strValue;
    SplitCommandLine(strOption, strWord, strValue);
    if (strWord == "mlst") {
        // The facts MLSD and MLST show from now on; the names not known are
        // left out, and the reply names the ones in force.
        m_rState.ApplyFacts(Trim(strValue));
        const std::string strNames = FactNames(m_rState.Facts());
        m_rSession.SendReply(
            strNames.empty() ? std::string("200 MLST OPTS\r\n")
                             : FormatString(ExtendedReplyText(XREPLY_MLST_OPTS), strNames.c_str()));
        return;
    }
    if (strWord == "hash") {
        // The algorithm HASH uses from now on; without one, the one in force.
        m_rSession.SendReply(m_rSession.Checksums().ApplyOption(Trim(strValue)));
        return;
    }
    for (char& ch : strOption)
        ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    m_rSession.SendExtended(strOption == "UTF8 ON" || strOption == "UTF8" ? XREPLY_UTF8_ON
                                                                          : XREPLY_BAD_OPTION);
}

void CInfoCommands::DoHelp(const CCommandRow&, const std::string&) {
    // Every word either table answers, eight to a line.
    std::string strLines;
    int nOnLine = 0;
    auto add = [&](const CCommandRow& rRow) {
        if (rRow.nCode == CMD_NAME)
            return;
        std::string strWord = rRow.pszWord;
        for (char& ch : strWord)
            ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
        if (strLines.find(" " + strWord + " ") != std::string::npos ||
            strLines.find(" " + strWord + "\r") != std::string::npos)
            return;
        strLines += " " + strWord;
        if (++nOnLine == 8) {
            strLines += "\r\n";
            nOnLine = 0;
        }
    };
    for (const CCommandRow& rRow : CProtocol::Classic().OwnCommands())
        add(rRow);
    for (const CCommandRow& rRow : CProtocol::Extended().OwnCommands())
        add(rRow);
    if (nOnLine != 0)
        strLines += "\r\n";
    m_rSession.SendReply(FormatString(ExtendedReplyText(XREPLY_HELP), strLines.c_str()));
}

void CInfoCommands::DoAllo(const CCommandRow&, const std::string&) {
    m_rSession.SendExtended(XREPLY_ALLO);
}

bool CInfoCommands::StatFile(const std::string& strParameter, struct stat& rInfo) const {
    CLocalPath local = MapToLocalPath(CPathResolver::SessionMap(m_rSession, m_rState),
                                      ResolveFilePath(m_rState.Folder(), strParameter));
    return !local.IsEmpty() && local.Stat(rInfo) && S_ISREG(rInfo.st_mode);
}

void CInfoCommands::DoSize(const CCommandRow&, const std::string& strParameter) {
    // The size of a converted file is not known without reading it.
    if (m_rState.Type() == 0) {
        m_rSession.SendExtended(XREPLY_SIZE_IN_ASCII);
        return;
    }
    struct stat info {};
    if (!StatFile(strParameter, info)) {
        m_rSession.SendExtended(XREPLY_NO_FILE);
        return;
    }
    m_rSession.SendExtended(XREPLY_STATUS_213,
                            std::to_string(static_cast<long long>(info.st_size)));
}

void CInfoCommands::DoMdtm(const CCommandRow&, const std::string& strParameter) {
    struct stat info {};
    tm when{};
    char szTime[32] = "";
    if (!StatFile(strParameter, info) || !::gmtime_r(&info.st_mtime, &when) ||
        strftime(szTime, sizeof szTime, "%Y%m%d%H%M%S", &when) == 0) {
        m_rSession.SendExtended(XREPLY_NO_FILE);
        return;
    }
    m_rSession.SendExtended(XREPLY_STATUS_213, szTime);
}
