// What the server says of itself: SYST, FEAT, OPTS, HELP and ALLO.
#include "ftp/ClientSocket.h"

#include "ftp/FtpTables.h"
#include "ftp/Listing.h"
#include "ftp/SessionHost.h"
#include "res/Strings.h"

#include <cctype>

void CClientSocket::DoSyst(const CCommandRow&, const std::string&) {
    SayReply(Say::System, kVersion);
}

void CClientSocket::DoFeat(const CCommandRow&, const std::string&) {
    // The MLST line marks the facts in force (OPTS MLST chooses them).
    SendReply(FormatString(m_pProtocol->FeatureReply(TlsOffered()).c_str(),
                           FeatureFacts(m_state.Facts()).c_str()));
}

void CClientSocket::DoOpts(const CCommandRow&, const std::string& strParameter) {
    std::string strOption = Trim(strParameter);
    std::string strWord;
    std::string strValue;
    SplitCommandLine(strOption, strWord, strValue);
    if (strWord == "mlst") {
        // The facts MLSD and MLST show from now on; the names not known are
        // left out, and the reply names the ones in force.
        m_state.ApplyFacts(Trim(strValue));
        const std::string strNames = FactNames(m_state.Facts());
        SendReply(strNames.empty()
                      ? std::string("200 MLST OPTS\r\n")
                      : FormatString(ExtendedReplyText(XREPLY_MLST_OPTS), strNames.c_str()));
        return;
    }
    for (char& ch : strOption)
        ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    SendExtended(strOption == "UTF8 ON" || strOption == "UTF8" ? XREPLY_UTF8_ON
                                                               : XREPLY_BAD_OPTION);
}

void CClientSocket::DoHelp(const CCommandRow&, const std::string&) {
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
    for (const CCommandRow& rRow : ClassicCommands())
        add(rRow);
    for (const CCommandRow& rRow : ExtendedCommands())
        add(rRow);
    if (nOnLine != 0)
        strLines += "\r\n";
    SendReply(FormatString(ExtendedReplyText(XREPLY_HELP), strLines.c_str()));
}

void CClientSocket::DoAllo(const CCommandRow&, const std::string&) {
    SendExtended(XREPLY_ALLO);
}
