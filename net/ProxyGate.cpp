#include "net/ProxyGate.h"

#include "net/AsyncSocket.h"
#include "net/ProxyHeader.h"
#include "net/SocketDispatcher.h"
#include "net/Timer.h"

#include <algorithm>
#include <new>
#include <sys/socket.h>
#include <unistd.h>

bool CProxyPolicy::Lists(const CAddress& address) const {
    return std::any_of(balancers.begin(), balancers.end(),
                       [&](const CAddress& balancer) { return balancer.SameHost(address); });
}

bool CProxyPolicy::ParseList(const std::string& strText, std::vector<CAddress>& rList) {
    std::vector<CAddress> list;
    size_t nStart = 0;
    while (nStart <= strText.size()) {
        size_t nComma = strText.find(',', nStart);
        if (nComma == std::string::npos)
            nComma = strText.size();
        std::string strEntry = strText.substr(nStart, nComma - nStart);
        strEntry.erase(0, strEntry.find_first_not_of(" \t"));
        strEntry.erase(strEntry.find_last_not_of(" \t") + 1);
        CAddress address;
        if (!CAddress::Parse(strEntry, 0, address))
            return false;
        list.push_back(address);
        nStart = nComma + 1;
    }
    rList = std::move(list);
    return true;
}

// One balancer's connection while its header is read. Bytes are first
// looked at, then taken only as far as they are the header's: whatever the
// client sent after it stays in the socket for the connection's owner.
class CProxyGate::CWait : public CAsyncSocket {
public:
    CWait(CProxyGate& rGate, const CAddress& balancer) : m_rGate(rGate), m_balancer(balancer) {}

    bool Start(int hSocket, int nTimeoutMs) {
        AttachConnected(hSocket);
        return m_deadline.Start(nTimeoutMs, [this] { m_rGate.Refused(*this, ProxyRefusal::Late); });
    }
    const CAddress& Balancer() const { return m_balancer; }
    // Released, it may outlive its gate until the current event ends: its
    // deadline must not call the gate any more.
    void StopDeadline() { m_deadline.Stop(); }
    // Its descriptor, for the connection's owner: this socket no longer
    // watches or closes it.
    int TakeDescriptor() {
        m_deadline.Stop();
        return Detach();
    }

    void OnReceive(int) override;
    void OnClose(int) override { m_rGate.Refused(*this, ProxyRefusal::Closed); }

private:
    // The longest header kept: a version 2 head and the most it may announce.
    static constexpr size_t kMaxHeader = 16 + 65535;

    CProxyGate& m_rGate;
    CAddress m_balancer;
    std::string m_strHead; // the header's bytes taken so far
    CTimer m_deadline;
};

void CProxyGate::CWait::OnReceive(int) {
    char buffer[4096];
    const int nSeen = Receive(buffer, sizeof buffer, MSG_PEEK);
    if (nSeen <= 0) {
        if (nSeen < 0 && WouldBlock())
            return;
        m_rGate.Refused(*this, ProxyRefusal::Closed);
        return;
    }
    std::string strCandidate = m_strHead;
    strCandidate.append(buffer, static_cast<size_t>(nSeen));
    SProxyHeader header;
    switch (ParseProxyHeader(strCandidate.data(), strCandidate.size(), header)) {
    case ProxyParse::Invalid:
        m_rGate.Refused(*this, ProxyRefusal::BadHeader);
        return;
    case ProxyParse::NeedMore:
        // Everything seen belongs to the header: it is taken, and the next
        // bytes announced.
        if (Receive(buffer, nSeen) != nSeen || m_strHead.size() + nSeen > kMaxHeader) {
            m_rGate.Refused(*this, ProxyRefusal::BadHeader);
            return;
        }
        m_strHead.append(buffer, static_cast<size_t>(nSeen));
        return;
    case ProxyParse::Done:
        break;
    }
    // Only the header's own bytes are taken.
    const int nRest = static_cast<int>(header.nLength - m_strHead.size());
    if (Receive(buffer, nRest) != nRest) {
        m_rGate.Refused(*this, ProxyRefusal::Closed);
        return;
    }
    // A health check (LOCAL, UNKNOWN) is the balancer's own connection.
    m_rGate.HeaderRead(*this, header.bLocal ? m_balancer : header.source);
}

CProxyGate::CProxyGate(PolicySource policy, RefusalHandler onRefused)
    : m_policy(std::move(policy)), m_onRefused(std::move(onRefused)) {}

CProxyGate::CProxyGate(std::shared_ptr<const CProxyPolicy> pPolicy, RefusalHandler onRefused)
    : CProxyGate([pPolicy] { return pPolicy; }, std::move(onRefused)) {}

CProxyGate::~CProxyGate() {
    // A held connection may be inside its own handler: released after it.
    while (!m_waiting.empty())
        Release(*m_waiting.back());
}

AcceptVerdict CProxyGate::Consider(int hSocket, const CAddress& peer) {
    const std::shared_ptr<const CProxyPolicy> pPolicy = m_policy ? m_policy() : nullptr;
    if (!pPolicy || !pPolicy->Lists(peer))
        return AcceptVerdict::Pass;
    std::unique_ptr<CWait> pWait(new (std::nothrow) CWait(*this, peer));
    if (!pWait)
        return AcceptVerdict::Drop;
    CWait& rWait = *pWait;
    m_waiting.push_back(std::move(pWait));
    // Without an event loop nothing could ever be read: refused at once.
    if (!rWait.Start(hSocket, pPolicy->nTimeoutMs))
        Refused(rWait, ProxyRefusal::Late);
    return AcceptVerdict::Hold;
}

void CProxyGate::HeaderRead(CWait& rWait, const CAddress& client) {
    const int hSocket = rWait.TakeDescriptor();
    Release(rWait);
    // The listener takes it and reports it from its own event.
    if (m_onReady)
        m_onReady(hSocket, client);
    else
        ::close(hSocket);
}

void CProxyGate::Refused(CWait& rWait, ProxyRefusal why) {
    const CAddress balancer = rWait.Balancer();
    Release(rWait);
    if (m_onRefused)
        m_onRefused(balancer, why);
}

void CProxyGate::Release(CWait& rWait) {
    auto it = std::find_if(m_waiting.begin(), m_waiting.end(),
                           [&](const auto& p) { return p.get() == &rWait; });
    if (it == m_waiting.end())
        return;
    rWait.StopDeadline();
    std::unique_ptr<CAsyncSocket> pReleased = std::move(*it);
    m_waiting.erase(it);
    ReleaseAfterEvent(std::move(pReleased));
}
