#include "ftp/DataCommands.h"

#include "config/ServerSettings.h"
#include "ftp/ClientSocket.h"
#include "ftp/FtpTables.h"
#include "ftp/PassiveSocket.h"
#include "ftp/SessionHost.h"
#include "ftp/SessionState.h"
#include "ftp/SessionTransfers.h"
#include "ftp/TransferArguments.h"
#include "ftp/VirtualPath.h"
#include "net/ProxyGate.h"
#include "res/Strings.h"

#include <cctype>
#include <new>

CDataCommands::CDataCommands(const SCommandContext& context)
    : m_rSession(context.rSession), m_rState(context.rState), m_rTransfers(context.rTransfers),
      m_rHost(context.rHost) {}

void CDataCommands::DoPort(const CCommandRow&, const std::string& strParameter) {
    CAddress address;
    m_rTransfers.SetActiveAddress(CAddress());
    if (ParsePortArgument(strParameter, address) != 0) {
        m_rSession.SendReply(ReplyText(REPLY_BAD_PORT));
        return;
    }
    if (!MayConnectTo(address)) {
        m_rSession.SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    m_rTransfers.SetActiveAddress(address);
    m_rSession.SendReply(ReplyText(REPLY_PORT_OK));
}

bool CDataCommands::MayConnectTo(const CAddress& address) const {
    // Data connections go only to the client itself, and never to a
    // privileged port: no bouncing to third parties.
    return address.SameHost(m_rSession.Peer()) && address.Port() >= 1024;
}

void CDataCommands::DoPasv(const CCommandRow&, const std::string&) {
    // A listener opened before is closed first: the new one may need its
    // port.
    m_rTransfers.SetPassive(nullptr);
    std::unique_ptr<CPassiveSocket> pPassive(new (std::nothrow) CPassiveSocket(m_rSession.Peer()));
    // A listener that cannot listen would never report a connection: it goes.
    if (!pPassive || !pPassive->Open()) {
        m_rSession.SendReply(ReplyText(REPLY_PASSIVE_FAILED));
        return;
    }
    m_rTransfers.SetPassive(std::move(pPassive));
    CAddress local;
    LocalAddress(local);
    SendPassiveReply(local.V4());
}

bool CDataCommands::LocalAddress(CAddress& rLocal) {
    if (!m_rTransfers.Local().IsValid()) {
        CAddress local;
        if (!m_rSession.GetSockName(local))
            return false;
        m_rTransfers.SetLocal(local);
    }
    rLocal = m_rTransfers.Local();
    return true;
}

void CDataCommands::SendPassiveReply(uint32_t nAddress) {
    unsigned nPort = m_rTransfers.Passive()->Port();
    m_rSession.SendReply(
        FormatString(ReplyText(REPLY_PASSIVE), static_cast<int>((nAddress >> 24) & 255),
                     static_cast<int>((nAddress >> 16) & 255),
                     static_cast<int>((nAddress >> 8) & 255), static_cast<int>(nAddress & 255),
                     static_cast<int>(nPort >> 8), static_cast<int>(nPort & 255)));
}

bool CDataCommands::OpenPassive() {
    const CExtendedSettings& extended = m_rSession.Settings().m_extended;
    // The port is opened on the address the client reached the server at,
    // not on every address: a load balancer on the same host can then hold
    // the same port numbers on its own address.
    CAddress local;
    if (!LocalAddress(local))
        return false;
    m_rTransfers.SetPassive(nullptr);
    std::unique_ptr<CPassiveSocket> pPassive(new (std::nothrow) CPassiveSocket(m_rSession.Peer()));
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
    m_rTransfers.SetPassive(std::move(pPassive));
    return true;
}

bool CDataCommands::RefusesIpv4Ports() {
    if (m_rState.IsEpsvAll()) {
        m_rSession.SendExtended(XREPLY_ONLY_EPSV);
        return true;
    }
    // PASV and PORT carry IPv4 addresses only.
    if (!m_rSession.Peer().IsV4()) {
        m_rSession.SendExtended(XREPLY_USE_EXTENDED_PORTS);
        return true;
    }
    return false;
}

void CDataCommands::DoExtendedPasv(const CCommandRow&, const std::string&) {
    if (RefusesIpv4Ports())
        return;
    if (!OpenPassive()) {
        m_rSession.SendReply(ReplyText(REPLY_PASSIVE_FAILED));
        return;
    }
    // The configured address is only what the reply advertises (a server
    // behind NAT); without one, the control connection's own address.
    CAddress advertised;
    if (!CAddress::Parse(m_rSession.Settings().m_extended.m_strPassiveAddress, 0, advertised) ||
        !advertised.IsV4())
        LocalAddress(advertised);
    SendPassiveReply(advertised.V4());
}

void CDataCommands::DoExtendedPort(const CCommandRow& rRow, const std::string& strParameter) {
    if (RefusesIpv4Ports())
        return;
    // The client has chosen an active connection: a passive port it opened
    // before is given back.
    m_rTransfers.SetPassive(nullptr);
    DoPort(rRow, strParameter);
}

void CDataCommands::DoEpsv(const CCommandRow&, const std::string& strParameter) {
    std::string strArgument = Trim(strParameter);
    for (char& ch : strArgument)
        ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    if (strArgument == "ALL") {
        m_rState.SetEpsvAll();
        m_rSession.SendExtended(XREPLY_EPSV_ALL);
        return;
    }
    // The connection's own family, or none named.
    const bool bV4 = m_rSession.Peer().IsV4();
    if (!strArgument.empty() && strArgument != (bV4 ? "1" : "2")) {
        m_rSession.SendExtended(bV4 ? XREPLY_BAD_PROTOCOL : XREPLY_BAD_PROTOCOL_V6);
        return;
    }
    if (!OpenPassive()) {
        m_rSession.SendReply(ReplyText(REPLY_PASSIVE_FAILED));
        return;
    }
    m_rSession.SendExtended(XREPLY_EXTENDED_PASSIVE,
                            std::to_string(m_rTransfers.Passive()->Port()));
}

void CDataCommands::DoEprt(const CCommandRow&, const std::string& strParameter) {
    if (m_rState.IsEpsvAll()) {
        m_rSession.SendExtended(XREPLY_ONLY_EPSV);
        return;
    }
    CAddress address;
    m_rTransfers.SetActiveAddress(CAddress());
    const bool bV4 = m_rSession.Peer().IsV4();
    switch (ParseExtendedPortArgument(Trim(strParameter), bV4 ? 1 : 2, address)) {
    case EprtResult::OtherFamily:
        m_rSession.SendExtended(bV4 ? XREPLY_BAD_PROTOCOL : XREPLY_BAD_PROTOCOL_V6);
        return;
    case EprtResult::Malformed:
        m_rSession.SendExtended(XREPLY_BAD_EPRT);
        return;
    case EprtResult::Ok:
        break;
    }
    // As PORT: only to the client itself, never to a privileged port.
    if (!MayConnectTo(address)) {
        m_rSession.SendReply(ReplyText(REPLY_PERMISSION_DENIED));
        return;
    }
    m_rTransfers.SetPassive(nullptr);
    m_rTransfers.SetActiveAddress(address);
    m_rSession.SendExtended(XREPLY_EPRT_OK);
}

void CDataCommands::DoAbor(const CCommandRow&, const std::string&) {
    const bool bRunning = m_rTransfers.Running() > 0;
    // A finished transfer's connection counts while it is open: once its
    // client has closed it there is nothing left to abort, whether or not
    // that close has been read yet (it may come after this command).
    const bool bOpen = m_rTransfers.AnyOpen();
    // A checksum it cancelled (answered 426 already) counts as aborted.
    const bool bAny =
        bRunning || bOpen || m_rTransfers.Passive() || m_rSession.Checksums().TakeAborted();
    // The transfer ends at once, files closed, with no reply of its own.
    m_rSession.AbandonDataConnections();
    if (bRunning) {
        m_rSession.SendExtended(XREPLY_TRANSFER_ABORTED);
        m_rSession.SendExtended(XREPLY_ABORT_OK);
    } else {
        m_rSession.SendExtended(bAny ? XREPLY_ABORT_OK : XREPLY_NO_TRANSFER);
    }
}
