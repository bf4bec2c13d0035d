// A listener behind a load balancer: the gate is the listener's filter.
// Every connection from a balancer the policy lists must begin with a PROXY
// header naming the client it carries; the gate holds such a connection,
// reads its header without blocking and within the policy's time, and only
// then hands it back to the listener, whose Accept then gives it with the
// client the header named as its peer (the balancer's own address for a
// health check: LOCAL, UNKNOWN). A connection whose header is missing,
// malformed or late is closed, and its owner told why. Connections from
// other addresses pass as before.
//
// Ownership: a listening socket owns its gate; the gate owns the
// connections whose header it is reading (each a socket of its own), until
// it hands the descriptor back. What it still holds when it goes is closed.
#pragma once

#include "net/AcceptFilter.h"
#include "net/Address.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// Whom to believe.
struct CProxyPolicy {
    std::vector<CAddress> balancers;
    int nTimeoutMs = 5000;

    // The address is one of the balancers'.
    bool Lists(const CAddress& address) const;
    // "127.0.0.1, ::1": addresses separated by commas (spaces around them
    // ignored); false, and rList untouched, when an entry is not an address.
    static bool ParseList(const std::string& strText, std::vector<CAddress>& rList);
};

// Why a balancer's connection was closed.
enum class ProxyRefusal {
    BadHeader, // not a PROXY header, or a malformed one
    Late,      // no whole header within the policy's time
    Closed,    // the connection ended (or failed) before its header did
};

class CProxyGate : public CAcceptFilter {
public:
    using RefusalHandler = std::function<void(const CAddress& balancer, ProxyRefusal why)>;
    // Where the gate finds the policy in force when a connection arrives
    // (null: the PROXY protocol is off, and every connection passes).
    using PolicySource = std::function<std::shared_ptr<const CProxyPolicy>()>;

    // onRefused hears of each connection closed for a missing, malformed
    // or late header. A change of the policy reaches the connections
    // accepted afterwards: those held keep being read.
    CProxyGate(PolicySource policy, RefusalHandler onRefused);
    // A gate that follows one policy for good.
    CProxyGate(std::shared_ptr<const CProxyPolicy> pPolicy, RefusalHandler onRefused);
    ~CProxyGate() override;
    CProxyGate(const CProxyGate&) = delete;
    CProxyGate& operator=(const CProxyGate&) = delete;

    void SetReadyHandler(ReadyHandler onReady) override { m_onReady = std::move(onReady); }
    // A connection from a listed balancer is held while its header is read.
    AcceptVerdict Consider(int hSocket, const CAddress& peer) override;
    // Connections whose header is still being read.
    size_t HeldCount() const override { return m_waiting.size(); }

private:
    // One balancer's connection while its header is read.
    class CWait;

    // From a held connection: its header has been read (its descriptor goes
    // back to the listener with the client it names), or it was refused.
    void HeaderRead(CWait& rWait, const CAddress& client);
    void Refused(CWait& rWait, ProxyRefusal why);
    // Gives the held connection to the deferred release.
    void Release(CWait& rWait);

    PolicySource m_policy;
    RefusalHandler m_onRefused;
    ReadyHandler m_onReady;
    std::vector<std::unique_ptr<CWait>> m_waiting;
};
