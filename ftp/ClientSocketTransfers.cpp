// Data connections: where they go (PORT, EPRT, PASV, EPSV), what they carry
// (RETR, STOR, APPE with TYPE and REST), their start, their end and ABOR.
#include "ftp/ClientSocket.h"

#include "ftp/FtpTables.h"
#include "ftp/PassiveSocket.h"
#include "ftp/PathResolver.h"
#include "ftp/SessionHost.h"
#include "ftp/TransferArguments.h"
#include "ftp/VirtualPath.h"
#include "net/ProxyGate.h"
#include "net/SocketDispatcher.h"
#include "res/LogText.h"
#include "res/Strings.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>
#include <unistd.h>

void CClientSocket::DoPort(const CCommandRow&, const std::string& strParameter) {
    CAddress address;
    m_transfers.SetActiveAddress(CAddress());
    if (ParsePortArgument(strParameter, address) != 0) {
        SendReply(ReplyText(REPLY_BAD_PORT));
        return;
    }
    if (!MayConnectTo(address)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    m_transfers.SetActiveAddress(address);
    SendReply(ReplyText(REPLY_PORT_OK));
}

bool CClientSocket::MayConnectTo(const CAddress& address) const {
    // Data connections go only to the client itself, and never to a
    // privileged port: no bouncing to third parties.
    return address.SameHost(m_peer) && address.Port() >= 1024;
}

void CClientSocket::DoPasv(const CCommandRow&, const std::string&) {
    // A listener opened before is closed first: the new one may need its
    // port.
    m_transfers.SetPassive(nullptr);
    std::unique_ptr<CPassiveSocket> pPassive(new (std::nothrow) CPassiveSocket(m_peer));
    // A listener that cannot listen would never report a connection: it goes.
    if (!pPassive || !pPassive->Open()) {
        SendReply(ReplyText(REPLY_PASSIVE_FAILED));
        return;
    }
    m_transfers.SetPassive(std::move(pPassive));
    CAddress local;
    LocalAddress(local);
    SendPassiveReply(local.V4());
}

bool CClientSocket::LocalAddress(CAddress& rLocal) {
    if (!m_local.IsValid() && !GetSockName(m_local))
        return false;
    rLocal = m_local;
    return true;
}

void CClientSocket::SendPassiveReply(uint32_t nAddress) {
    unsigned nPort = m_transfers.Passive()->Port();
    SendReply(FormatString(ReplyText(REPLY_PASSIVE), static_cast<int>((nAddress >> 24) & 255),
                           static_cast<int>((nAddress >> 16) & 255),
                           static_cast<int>((nAddress >> 8) & 255),
                           static_cast<int>(nAddress & 255), static_cast<int>(nPort >> 8),
                           static_cast<int>(nPort & 255)));
}

bool CClientSocket::OpenPassive() {
    const CExtendedSettings& extended = Settings().m_extended;
    // The port is opened on the address the client reached the server at,
    // not on every address: a load balancer on the same host can then hold
    // the same port numbers on its own address.
    CAddress local;
    if (!LocalAddress(local))
        return false;
    m_transfers.SetPassive(nullptr);
    std::unique_ptr<CPassiveSocket> pPassive(new (std::nothrow) CPassiveSocket(m_peer));
    // A listener that cannot listen would never report a connection: it goes.
    if (!pPassive || !pPassive->Open(static_cast<unsigned>(extended.m_nPassivePortMin),
                                     static_cast<unsigned>(extended.m_nPassivePortMax), local))
        return false;
    // Behind a balancer its data connections bring a PROXY header too.
    if (std::shared_ptr<const CProxyPolicy> pPolicy = m_rHost.ProxyPolicy())
        pPassive->SetAcceptFilter(std::make_unique<CProxyGate>(
            std::move(pPolicy), [this](const CAddress& balancer, ProxyRefusal why) {
                m_rHost.ProxyRefused(balancer, why);
            }));
    m_transfers.SetPassive(std::move(pPassive));
    return true;
}

bool CClientSocket::RefusesIpv4Ports() {
    if (m_state.IsEpsvAll()) {
        SendExtended(XREPLY_ONLY_EPSV);
        return true;
    }
    // PASV and PORT carry IPv4 addresses only.
    if (!m_peer.IsV4()) {
        SendExtended(XREPLY_USE_EXTENDED_PORTS);
        return true;
    }
    return false;
}

void CClientSocket::DoExtendedPasv(const CCommandRow&, const std::string&) {
    if (RefusesIpv4Ports())
        return;
    if (!OpenPassive()) {
        SendReply(ReplyText(REPLY_PASSIVE_FAILED));
        return;
    }
    // The configured address is only what the reply advertises (a server
    // behind NAT); without one, the control connection's own address.
    CAddress advertised;
    if (!CAddress::Parse(Settings().m_extended.m_strPassiveAddress, 0, advertised) ||
        !advertised.IsV4())
        LocalAddress(advertised);
    SendPassiveReply(advertised.V4());
}

void CClientSocket::DoExtendedPort(const CCommandRow& rRow, const std::string& strParameter) {
    if (RefusesIpv4Ports())
        return;
    // The client has chosen an active connection: a passive port it opened
    // before is given back.
    m_transfers.SetPassive(nullptr);
    DoPort(rRow, strParameter);
}

void CClientSocket::DoEpsv(const CCommandRow&, const std::string& strParameter) {
    std::string strArgument = Trim(strParameter);
    for (char& ch : strArgument)
        ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    if (strArgument == "ALL") {
        m_state.SetEpsvAll();
        SendExtended(XREPLY_EPSV_ALL);
        return;
    }
    // The connection's own family, or none named.
    const bool bV4 = m_peer.IsV4();
    if (!strArgument.empty() && strArgument != (bV4 ? "1" : "2")) {
        SendExtended(bV4 ? XREPLY_BAD_PROTOCOL : XREPLY_BAD_PROTOCOL_V6);
        return;
    }
    if (!OpenPassive()) {
        SendReply(ReplyText(REPLY_PASSIVE_FAILED));
        return;
    }
    SendExtended(XREPLY_EXTENDED_PASSIVE, std::to_string(m_transfers.Passive()->Port()));
}

void CClientSocket::DoEprt(const CCommandRow&, const std::string& strParameter) {
    if (m_state.IsEpsvAll()) {
        SendExtended(XREPLY_ONLY_EPSV);
        return;
    }
    CAddress address;
    m_transfers.SetActiveAddress(CAddress());
    const bool bV4 = m_peer.IsV4();
    switch (ParseExtendedPortArgument(Trim(strParameter), bV4 ? 1 : 2, address)) {
    case EprtResult::OtherFamily:
        SendExtended(bV4 ? XREPLY_BAD_PROTOCOL : XREPLY_BAD_PROTOCOL_V6);
        return;
    case EprtResult::Malformed:
        SendExtended(XREPLY_BAD_EPRT);
        return;
    case EprtResult::Ok:
        break;
    }
    // As PORT: only to the client itself, never to a privileged port.
    if (!MayConnectTo(address)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    m_transfers.SetPassive(nullptr);
    m_transfers.SetActiveAddress(address);
    SendExtended(XREPLY_EPRT_OK);
}

void CClientSocket::DoRetr(const CCommandRow& rRow, const std::string& strParameter) {
    CPathResolver::STarget target;
    if (!CPathResolver(*this, m_state)
             .Resolve(rRow, strParameter, CPathResolver::PathForm::File, target))
        return;
    // The file is opened now, which also tells that it is there; one that
    // cannot be opened yet (no descriptor left, say) is tried again once
    // the connection is made, as long as it exists.
    std::unique_ptr<CFileStream> pFile(target.local.IsEmpty() ? nullptr
                                                              : new (std::nothrow) CFileStream);
    int nError = 0;
    if (pFile && !pFile->Open(target.local, CFileStream::Mode::Read, !m_state.IsBinary(), nError))
        pFile.reset();
    if (!pFile && (target.local.IsEmpty() || !target.local.Exists())) {
        SendFormatted(REPLY_CANT_READ, strParameter);
        return;
    }
    // A small file goes whole within this command when its connection is
    // already there, right behind its 150.
    m_strStartReply =
        FormatString(ReplyText(REPLY_OPENING_DATA), m_strWord.c_str(), target.strPath.c_str());
    StartSend(target.local, target.strPath, false, nullptr, std::move(pFile));
}

void CClientSocket::DoStor(const CCommandRow& rRow, const std::string& strParameter) {
    ReceiveUpload(rRow, strParameter, false);
}

void CClientSocket::DoExtendedStor(const CCommandRow& rRow, const std::string& strParameter) {
    // A restart beyond the end of the file would leave a hole of zeros.
    if (m_state.Restart() > 0) {
        CLocalPath local =
            MapToLocalPath(Settings().m_folderMap, ResolveFilePath(m_state.Folder(), strParameter));
        struct stat info {};
        if (local.IsEmpty() || !local.Stat(info) || m_state.Restart() > info.st_size) {
            m_state.ClearRestart();
            SendExtended(XREPLY_BAD_RESTART);
            return;
        }
    }
    DoStor(rRow, strParameter);
}

void CClientSocket::DoAppe(const CCommandRow& rRow, const std::string& strParameter) {
    // An append goes on from the end of the file: a restart offset has no part.
    m_state.ClearRestart();
    ReceiveUpload(rRow, strParameter, true);
}

void CClientSocket::ReceiveUpload(const CCommandRow& rRow, const std::string& strParameter,
                                  bool bAppend) {
    CPathResolver::STarget target;
    if (!CPathResolver(*this, m_state)
             .Resolve(rRow, strParameter, CPathResolver::PathForm::File, target))
        return;
    if (target.local.IsEmpty()) {
        SendFormatted(REPLY_CANT_CREATE, strParameter);
        return;
    }
    m_strStartReply =
        FormatString(ReplyText(REPLY_OPENING_DATA), m_strWord.c_str(), target.strPath.c_str());
    StartReceive(target.local, target.strPath, bAppend);
}

int CClientSocket::StartSend(const CLocalPath& path, const std::string& strName, bool bDeleteAfter,
                             std::unique_ptr<CListingBuilder> pListing,
                             std::unique_ptr<CFileStream> pFile) {
    Log(LogEvent::Transfer, FormatString(LoadString(IDS_SENDING), LogSafe(path.Full()).c_str()), 0);
    CDataSocket::STransfer transfer = NewTransfer(path, true);
    transfer.pFile = std::move(pFile);
    transfer.strShownName = strName;
    transfer.bDeleteAfter = bDeleteAfter;
    transfer.pListing = std::move(pListing);
    return StartData(std::move(transfer));
}

int CClientSocket::StartReceive(const CLocalPath& path, const std::string& strName, bool bAppend) {
    Log(LogEvent::Transfer, FormatString(LoadString(IDS_RECEIVING), LogSafe(path.Full()).c_str()),
        0);
    CDataSocket::STransfer transfer = NewTransfer(path, false);
    transfer.strShownName = strName;
    transfer.bAppend = bAppend;
    return StartData(std::move(transfer));
}

CDataSocket::STransfer CClientSocket::NewTransfer(const CLocalPath& path, bool bSending) {
    CDataSocket::STransfer transfer;
    transfer.file = path;
    transfer.bSending = bSending;
    transfer.nType = m_state.Type();
    transfer.nRestart = m_state.Restart();
    transfer.bNetworkText = m_pProtocol->NetworkText();
    if (Settings().m_nTestReplyGraceMs > 0)
        transfer.nReplyGraceMs = Settings().m_nTestReplyGraceMs;
    ProtectTransfer(transfer);
    return transfer;
}

int CClientSocket::StartData(CDataSocket::STransfer transfer) {
    // The transfer that takes the offset uses it up.
    m_state.ClearRestart();
    const std::string strListing = transfer.bDeleteAfter ? transfer.file.Full() : std::string();
    const bool bStarted = m_transfers.Start(std::move(transfer));
    SendStartReply();
    if (bStarted)
        return 0;
    // A refused transfer holds nothing: its listing, and the passive
    // listener it would have used, go with the refusal.
    if (!strListing.empty())
        ::unlink(strListing.c_str());
    m_transfers.SetPassive(nullptr);
    SendReply(ReplyText(REPLY_DATA_RESET));
    return -1;
}

void CClientSocket::SendStartReply() {
    if (m_strStartReply.empty())
        return;
    std::string strReply;
    strReply.swap(m_strStartReply);
    SendReply(strReply);
}

void CClientSocket::OnDataConnected(CDataSocket& /*rData*/) {
    // The transfer's 150 goes before its first byte, and before a TLS
    // handshake that the client starts only once it has read it.
    SendStartReply();
}

void CClientSocket::OnTransferFinished(CDataSocket& rData, bool bComplete) {
    // A transfer that fails as it starts still says it started first.
    SendStartReply();
    m_rHost.TransferEnded(rData.Progress(), bComplete);
    // A transfer ended for moving nothing: aborted, in the protocol's words.
    if (!bComplete && rData.IsStalled()) {
        SayReply(Say::TransferStalled);
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
        Log(FormatString(LoadString(IDS_LISTING_FAILED), LogSafe(rData.Progress().strName).c_str(),
                         std::strerror(rData.ListingError())),
            0);
        if (m_pProtocol->IsExtended()) {
            SendExtended(XREPLY_LISTING_FAILED);
            return;
        }
    }
    SendReply(ReplyText(bComplete ? REPLY_TRANSFER_COMPLETE : REPLY_DATA_RESET));
}

void CClientSocket::OnDataConnectionRefused(CDataSocket& /*rData*/) {
    Log(LogEvent::Refused, FormatString(LoadString(IDS_TLS_DATA_REFUSED), m_strPeerAddr.c_str()),
        0);
}

void CClientSocket::OnDataSocketEnded(CDataSocket& rData) {
    m_transfers.Release(rData);
}

void CClientSocket::AbandonDataConnections() {
    m_statTimer.Stop();
    m_stat.End();
    m_transfers.Abandon();
}

void CClientSocket::DoAbor(const CCommandRow&, const std::string&) {
    const bool bRunning = m_transfers.Running() > 0;
    // A finished transfer's connection counts while it is open: once its
    // client has closed it there is nothing left to abort, whether or not
    // that close has been read yet (it may come after this command).
    const bool bOpen = m_transfers.AnyOpen();
    const bool bAny = bRunning || bOpen || m_transfers.Passive();
    // The transfer ends at once, files closed, with no reply of its own.
    AbandonDataConnections();
    if (bRunning) {
        SendExtended(XREPLY_TRANSFER_ABORTED);
        SendExtended(XREPLY_ABORT_OK);
    } else {
        SendExtended(bAny ? XREPLY_ABORT_OK : XREPLY_NO_TRANSFER);
    }
}
