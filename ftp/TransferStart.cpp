#include "ftp/TransferStart.h"

#include "config/ServerSettings.h"
#include "ftp/ControlReplies.h"
#include "ftp/FtpTables.h"
#include "ftp/Protocol.h"
#include "ftp/SessionHost.h"
#include "ftp/SessionState.h"
#include "ftp/SessionTransfers.h"
#include "net/AsyncSocket.h"
#include "res/LogText.h"
#include "res/Strings.h"

#include <cstring>
#include <unistd.h>

CTransferStart::CTransferStart(CControlReplies& rSession, const CAsyncSocket& rControl,
                               CSessionState& rState, CSessionTransfers& rTransfers,
                               CSessionHost& rHost)
    : m_rSession(rSession), m_rControl(rControl), m_rState(rState), m_rTransfers(rTransfers),
      m_rHost(rHost) {}

void CTransferStart::Announce(const std::string& strWord, const std::string& strShownPath) {
    m_strAnnouncement =
        FormatString(ReplyText(REPLY_OPENING_DATA), strWord.c_str(), strShownPath.c_str());
}

int CTransferStart::Send(const CLocalPath& path, const std::string& strName, bool bDeleteAfter,
                         std::unique_ptr<CListingBuilder> pListing,
                         std::unique_ptr<CFileStream> pFile) {
    m_rSession.Log(LogEvent::Transfer,
                   FormatString(LoadString(IDS_SENDING), LogSafe(path.Full()).c_str()), 0);
    CDataSocket::STransfer transfer = NewTransfer(path, true);
    transfer.pFile = std::move(pFile);
    transfer.strShownName = strName;
    transfer.bDeleteAfter = bDeleteAfter;
    transfer.pListing = std::move(pListing);
    // Listings are not held to the speed limits: browsing stays quick.
    if (bDeleteAfter)
        transfer.pLimiter = nullptr;
    return Start(std::move(transfer));
}

int CTransferStart::Receive(const CLocalPath& path, const std::string& strName, bool bAppend) {
    m_rSession.Log(LogEvent::Transfer,
                   FormatString(LoadString(IDS_RECEIVING), LogSafe(path.Full()).c_str()), 0);
    CDataSocket::STransfer transfer = NewTransfer(path, false);
    transfer.strShownName = strName;
    transfer.bAppend = bAppend;
    return Start(std::move(transfer));
}

CDataSocket::STransfer CTransferStart::NewTransfer(const CLocalPath& path, bool bSending) {
    CDataSocket::STransfer transfer;
    transfer.file = path;
    transfer.bSending = bSending;
    transfer.nType = m_rState.Type();
    transfer.nRestart = m_rState.Restart();
    transfer.bNetworkText = m_rSession.Protocol().NetworkText();
    // Speed limits are the extended mode's.
    if (m_rSession.Protocol().IsExtended()) {
        transfer.pLimiter = &m_rHost.RateLimiter();
        transfer.strUser = m_rState.LoggedInUser();
    }
    if (m_rHost.Settings().m_nTestReplyGraceMs > 0)
        transfer.nReplyGraceMs = m_rHost.Settings().m_nTestReplyGraceMs;
    Protect(transfer);
    return transfer;
}

void CTransferStart::Protect(CDataSocket::STransfer& rTransfer) {
    if (!m_rState.ProtectsData() || !m_rControl.IsTls())
        return;
    rTransfer.tls.pTls = m_rHost.TlsContext();
    rTransfer.tls.bRequireReuse = m_rHost.Settings().m_extended.m_nTlsSessionReuse != 0;
    rTransfer.tls.strTlsSessionTag = m_rControl.TlsSessionTag();
}

int CTransferStart::Start(CDataSocket::STransfer transfer) {
    // The transfer that takes the offset uses it up.
    m_rState.ClearRestart();
    const std::string strListing = transfer.bDeleteAfter ? transfer.file.Full() : std::string();
    const bool bStarted = m_rTransfers.Start(std::move(transfer));
    SendAnnouncement();
    if (bStarted)
        return 0;
    // A refused transfer holds nothing: its listing, and the passive
    // listener it would have used, go with the refusal.
    if (!strListing.empty())
        ::unlink(strListing.c_str());
    m_rTransfers.SetPassive(nullptr);
    m_rSession.SendReply(ReplyText(REPLY_DATA_RESET));
    return -1;
}

void CTransferStart::SendExtended(int nReply) {
    m_rSession.SendReply(FormatString(ExtendedReplyText(nReply), ""));
}

void CTransferStart::SendAnnouncement() {
    if (m_strAnnouncement.empty())
        return;
    std::string strReply;
    strReply.swap(m_strAnnouncement);
    m_rSession.SendReply(strReply);
}

void CTransferStart::OnDataConnected(CDataSocket& /*rData*/) {
    // The transfer's 150 goes before its first byte, and before a TLS
    // handshake that the client starts only once it has read it.
    SendAnnouncement();
}

void CTransferStart::OnTransferFinished(CDataSocket& rData, bool bComplete) {
    // A transfer that fails as it starts still says it started first.
    SendAnnouncement();
    m_rHost.TransferEnded(rData.Progress(), bComplete);
    // A transfer ended for moving nothing: aborted, in the protocol's words.
    if (!bComplete && rData.IsStalled()) {
        if (const char* pszText = m_rSession.Protocol().Text(Say::TransferStalled))
            m_rSession.SendReply(FormatString(pszText, ""));
        return;
    }
    // No connection that resumed this session's TLS session came: refused
    // in RFC 4217's words.
    if (!bComplete && rData.IsSessionRefused()) {
        SendExtended(XREPLY_TLS_RESUME_REQUIRED);
        return;
    }
    // A listing that could not be written to its end: said in the log, and
    // to the client in the extended mode's words.
    if (!bComplete && rData.ListingError() != 0) {
        m_rHost.Log(FormatString(LoadString(IDS_LISTING_FAILED),
                                 LogSafe(rData.Progress().strName).c_str(),
                                 std::strerror(rData.ListingError())),
                    0);
        if (m_rSession.Protocol().IsExtended()) {
            SendExtended(XREPLY_LISTING_FAILED);
            return;
        }
    }
    m_rSession.SendReply(ReplyText(bComplete ? REPLY_TRANSFER_COMPLETE : REPLY_DATA_RESET));
}

void CTransferStart::OnDataConnectionRefused(CDataSocket& /*rData*/) {
    m_rSession.Log(LogEvent::Refused,
                   FormatString(LoadString(IDS_TLS_DATA_REFUSED), m_rSession.PeerAddress().c_str()),
                   0);
}

void CTransferStart::OnDataSocketEnded(CDataSocket& rData) {
    m_rTransfers.Release(rData);
}
