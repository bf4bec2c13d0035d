// Data connections: where they go (PORT, EPRT, PASV, EPSV), what they carry
// (RETR, STOR, APPE with TYPE and REST), their start, their end and ABOR.
#include "ftp/ClientSocket.h"

#include "ftp/FtpTables.h"
#include "ftp/PassiveSocket.h"
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
    m_dataAddr = CAddress();
    if (ParsePortArgument(strParameter, address) != 0) {
        SendReply(ReplyText(REPLY_BAD_PORT));
        return;
    }
    if (!MayConnectTo(address)) {
        SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    m_dataAddr = address;
    SendReply(ReplyText(REPLY_PORT_OK));
}

bool CClientSocket::MayConnectTo(const CAddress& address) const {
    // Data connections go only to the client itself, and never to a
    // privileged port: no bouncing to third parties.
    return address.SameHost(m_peer) && address.Port() >= 1024;
}

void CClientSocket::DoPasv(const CCommandRow&, const std::string&) {
    m_pPassive.reset(new (std::nothrow) CPassiveSocket(m_peer));
    // A listener that cannot listen would never report a connection: it goes.
    if (!m_pPassive || !m_pPassive->Open()) {
        m_pPassive.reset();
        SendReply(ReplyText(REPLY_PASSIVE_FAILED));
        return;
    }
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
    unsigned nPort = m_pPassive->Port();
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
    m_pPassive.reset(new (std::nothrow) CPassiveSocket(m_peer));
    // A listener that cannot listen would never report a connection: it goes.
    if (!m_pPassive ||
        !m_pPassive->Open(static_cast<unsigned>(extended.m_nPassivePortMin),
                          static_cast<unsigned>(extended.m_nPassivePortMax), local)) {
        m_pPassive.reset();
        return false;
    }
    // Behind a balancer its data connections bring a PROXY header too.
    if (std::shared_ptr<const CProxyPolicy> pPolicy = m_rHost.ProxyPolicy())
        m_pPassive->SetAcceptFilter(std::make_unique<CProxyGate>(
            std::move(pPolicy), [this](const CAddress& balancer, ProxyRefusal why) {
                m_rHost.ProxyRefused(balancer, why);
            }));
    return true;
}

bool CClientSocket::RefusesIpv4Ports() {
    if (m_bEpsvAll) {
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
    m_pPassive.reset();
    DoPort(rRow, strParameter);
}

void CClientSocket::DoEpsv(const CCommandRow&, const std::string& strParameter) {
    std::string strArgument = Trim(strParameter);
    for (char& ch : strArgument)
        ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    if (strArgument == "ALL") {
        m_bEpsvAll = true;
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
    SendExtended(XREPLY_EXTENDED_PASSIVE, std::to_string(m_pPassive->Port()));
}

void CClientSocket::DoEprt(const CCommandRow&, const std::string& strParameter) {
    if (m_bEpsvAll) {
        SendExtended(XREPLY_ONLY_EPSV);
        return;
    }
    CAddress address;
    m_dataAddr = CAddress();
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
    m_pPassive.reset();
    m_dataAddr = address;
    SendExtended(XREPLY_EPRT_OK);
}

void CClientSocket::DoType(const CCommandRow&, const std::string& strParameter) {
    int nType = m_nType;
    std::string strShown;
    int nReply = ParseTypeArgument(strParameter, nType, strShown);
    if (nReply == REPLY_TYPE_OK)
        m_nType = nType;
    if (nReply == REPLY_BYTESIZE)
        SendReply(ReplyText(nReply));
    else
        SendFormatted(nReply, strShown);
}

void CClientSocket::DoMode(const CCommandRow&, const std::string& strParameter) {
    bool bStream = strParameter[0] == 'S' || strParameter[0] == 's';
    SendReply(ReplyText(bStream ? REPLY_OK : REPLY_UNSUPPORTED));
}

void CClientSocket::DoStru(const CCommandRow&, const std::string& strParameter) {
    bool bFile = strParameter[0] == 'F' || strParameter[0] == 'f';
    SendReply(ReplyText(bFile ? REPLY_OK : REPLY_UNSUPPORTED));
}

void CClientSocket::DoRest(const CCommandRow&, const std::string& strParameter) {
    m_nRestart = ParseRestartArgument(strParameter);
    // The offset is shown in full, whatever its size.
    std::string strReply = ReplyText(REPLY_RESTARTING);
    strReply.replace(strReply.find("%d"), 2, std::to_string(m_nRestart));
    SendReply(strReply);
}

void CClientSocket::DoRetr(const CCommandRow& rRow, const std::string& strParameter) {
    STarget target;
    if (!ResolveTarget(rRow, strParameter, PathForm::File, target))
        return;
    // The file is opened now, which also tells that it is there; one that
    // cannot be opened yet (no descriptor left, say) is tried again once
    // the connection is made, as long as it exists.
    std::unique_ptr<CFileStream> pFile(target.local.IsEmpty() ? nullptr
                                                              : new (std::nothrow) CFileStream);
    int nError = 0;
    if (pFile &&
        !pFile->Open(target.local, CFileStream::Mode::Read, m_nType != 1 && m_nType != 2, nError))
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
    if (m_nRestart > 0) {
        CLocalPath local = MapToLocalPath(Settings().m_folderMap, ResolveFilePath(strParameter));
        struct stat info {};
        if (local.IsEmpty() || !local.Stat(info) || m_nRestart > info.st_size) {
            m_nRestart = 0;
            SendExtended(XREPLY_BAD_RESTART);
            return;
        }
    }
    DoStor(rRow, strParameter);
}

void CClientSocket::DoAppe(const CCommandRow& rRow, const std::string& strParameter) {
    // An append goes on from the end of the file: a restart offset has no part.
    m_nRestart = 0;
    ReceiveUpload(rRow, strParameter, true);
}

void CClientSocket::ReceiveUpload(const CCommandRow& rRow, const std::string& strParameter,
                                  bool bAppend) {
    STarget target;
    if (!ResolveTarget(rRow, strParameter, PathForm::File, target))
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
    transfer.nType = m_nType;
    transfer.nRestart = m_nRestart;
    transfer.bNetworkText = m_pProtocol->NetworkText();
    if (Settings().m_nTestReplyGraceMs > 0)
        transfer.nReplyGraceMs = Settings().m_nTestReplyGraceMs;
    ProtectTransfer(transfer);
    return transfer;
}

size_t CClientSocket::RunningDataConnections() const {
    return static_cast<size_t>(
        std::count_if(m_dataSockets.begin(), m_dataSockets.end(),
                      [](const std::unique_ptr<CDataSocket>& p) { return !p->IsFinished(); }));
}

int CClientSocket::StartData(CDataSocket::STransfer transfer) {
    // The transfer that takes the offset uses it up.
    m_nRestart = 0;
    const std::string strListing = transfer.bDeleteAfter ? transfer.file.Full() : std::string();
    // A client gets a bounded number of transfers at once; one more is
    // refused as a data connection that cannot be started.
    std::unique_ptr<CDataSocket> pData(RunningDataConnections() < kMaxDataConnections
                                           ? new (std::nothrow)
                                                 CDataSocket(*this, std::move(transfer))
                                           : nullptr);
    bool bStarted = false;
    if (pData) {
        CDataSocket& rData = *pData;
        // Listed before it starts: the start may already end it.
        m_dataSockets.push_back(std::move(pData));
        if (m_pPassive) {
            rData.StartPassive(std::move(m_pPassive));
            SendStartReply();
            return 0;
        }
        bStarted = rData.StartActive(m_dataAddr);
        if (!bStarted)
            m_dataSockets.pop_back();
    }
    SendStartReply();
    if (bStarted)
        return 0;
    // A refused transfer holds nothing: its listing, and the passive
    // listener it would have used, go with the refusal.
    if (!strListing.empty())
        ::unlink(strListing.c_str());
    m_pPassive.reset();
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

void CClientSocket::ReportHeldTransfers() {
    // A reply the client does not read may end the session, and with it
    // the list: it is looked at again after each report.
    for (size_t k = 0; k < m_dataSockets.size(); ++k)
        if (m_dataSockets[k]->HasHeldReport())
            m_dataSockets[k]->ReportHeld();
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
    auto it = std::find_if(m_dataSockets.begin(), m_dataSockets.end(),
                           [&rData](const auto& p) { return p.get() == &rData; });
    if (it == m_dataSockets.end())
        return;
    std::unique_ptr<CDataSocket> pEnded = std::move(*it);
    m_dataSockets.erase(it);
    if (CSocketDispatcher* pDispatcher = CSocketDispatcher::Current())
        pDispatcher->ReleaseLater(std::move(pEnded));
}

void CClientSocket::AbandonDataConnections() {
    EndStat();
    std::vector<std::unique_ptr<CDataSocket>> dataSockets;
    dataSockets.swap(m_dataSockets);
    CSocketDispatcher* pDispatcher = CSocketDispatcher::Current();
    for (std::unique_ptr<CDataSocket>& pData : dataSockets) {
        pData->ShutDown(1);
        pData->Close();
        pData->Abandon();
        // One of them may be inside its own handler (its end removed this
        // session): released after the current event.
        if (pDispatcher)
            pDispatcher->ReleaseLater(std::move(pData));
    }
    m_pPassive.reset();
}

void CClientSocket::DoAbor(const CCommandRow&, const std::string&) {
    const bool bRunning = RunningDataConnections() > 0;
    // A finished transfer's connection counts while it is open: once its
    // client has closed it there is nothing left to abort, whether or not
    // that close has been read yet (it may come after this command).
    const bool bOpen = std::any_of(m_dataSockets.begin(), m_dataSockets.end(),
                                   [](const auto& p) { return !p->PeerHasClosed(); });
    const bool bAny = bRunning || bOpen || m_pPassive;
    // The transfer ends at once, files closed, with no reply of its own.
    AbandonDataConnections();
    if (bRunning) {
        SendExtended(XREPLY_TRANSFER_ABORTED);
        SendExtended(XREPLY_ABORT_OK);
    } else {
        SendExtended(bAny ? XREPLY_ABORT_OK : XREPLY_NO_TRANSFER);
    }
}
