#include "ftp/TransferCommands.h"

#include "ftp/ClientSocket.h"
#include "ftp/FtpTables.h"
#include "ftp/SessionState.h"

CTransferCommands::CTransferCommands(const SCommandContext& context)
    : m_rSession(context.rSession), m_rState(context.rState) {}

void CTransferCommands::DoType(const CCommandRow&, const std::string& strParameter) {
    std::string strShown;
    const int nReply = m_rState.ApplyType(strParameter, strShown);
    if (nReply == REPLY_BYTESIZE)
        m_rSession.SendReply(ReplyText(nReply));
    else
        m_rSession.SendFormatted(nReply, strShown);
}

void CTransferCommands::DoMode(const CCommandRow&, const std::string& strParameter) {
    bool bStream = strParameter[0] == 'S' || strParameter[0] == 's';
    m_rSession.SendReply(ReplyText(bStream ? REPLY_OK : REPLY_UNSUPPORTED));
}

void CTransferCommands::DoStru(const CCommandRow&, const std::string& strParameter) {
    bool bFile = strParameter[0] == 'F' || strParameter[0] == 'f';
    m_rSession.SendReply(ReplyText(bFile ? REPLY_OK : REPLY_UNSUPPORTED));
}

void CTransferCommands::DoRest(const CCommandRow&, const std::string& strParameter) {
    const int64_t nRestart = m_rState.ApplyRestart(strParameter);
    // The offset is shown in full, whatever its size.
    std::string strReply = ReplyText(REPLY_RESTARTING);
    strReply.replace(strReply.find("%d"), 2, std::to_string(nRestart));
    m_rSession.SendReply(strReply);
}
