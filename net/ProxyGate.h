// A listener behind a load balancer. Every connection from a balancer the
// policy lists must begin with a PROXY header naming the client it carries;
// the gate holds such a connection, reads its header without blocking and
// within the policy's time, and only then offers it to the listener's
// Accept, whose peer is the client the header named (the balancer's own
// address for a health check: LOCAL, UNKNOWN). A connection whose header is
// missing, malformed or late is closed, and its owner told why.
// Connections from other addresses pass as before.
//
// Ownership: a listening socket owns its gate; the gate owns the
// connections it holds (each a socket of its own while its header is read,
// then a bare descriptor until Accept takes it). What it still holds when
// it goes is closed.
#pragma once

#include "net/Address.h"
#include "net/AsyncSocket.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class CProxyWait;

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

// Gives the listener a gate that follows this policy (a null policy: no
// connection is held from now on), or gives its gate the new policy:
// connections already held keep being read. onRefused hears of each
// connection closed for a missing, malformed or late header.
void SetProxyPolicy(CAsyncSocket& rListener, std::shared_ptr<const CProxyPolicy> pPolicy,
                    std::function<void(const CAddress& balancer, ProxyRefusal why)> onRefused);

class CProxyGate : public CAcceptGate {
public:
    using RefusalHandler = std::function<void(const CAddress& balancer, ProxyRefusal why)>;

    CProxyGate(CAsyncSocket& rListener, std::shared_ptr<const CProxyPolicy> pPolicy,
               RefusalHandler onRefused);
    ~CProxyGate() override;
    CProxyGate(const CProxyGate&) = delete;
    CProxyGate& operator=(const CProxyGate&) = delete;

    // Connections accepted from now on follow this policy.
    void SetPolicy(std::shared_ptr<const CProxyPolicy> pPolicy) { m_pPolicy = std::move(pPolicy); }
    // A connection from this peer must bring a header.
    bool Holds(const CAddress& peer) const override { return m_pPolicy && m_pPolicy->Lists(peer); }
    // Takes a just-accepted connection from a balancer and reads its header.
    void Hold(int hSocket, const CAddress& balancer) override;
    // A connection whose header has been read, oldest first: its
    // descriptor and the client it carries. False when none is ready.
    bool TakeReady(int& rSocket, CAddress& rClient) override;
    // Connections whose header is still being read.
    size_t HeldCount() const override { return m_waiting.size(); }

private:
    friend class CProxyWait;
    struct SReady {
        int hSocket;
        CAddress client;
    };
    // From a held connection: its header has been read (it is released and
    // the listener told), or it was refused.
    void HeaderRead(CProxyWait& rWait, const CAddress& client);
    void Refused(CProxyWait& rWait, ProxyRefusal why);
    // Gives the held connection to the deferred release.
    void Release(CProxyWait& rWait);

    CAsyncSocket& m_rListener;
    std::shared_ptr<const CProxyPolicy> m_pPolicy;
    RefusalHandler m_onRefused;
    std::vector<std::unique_ptr<CProxyWait>> m_waiting;
    std::vector<SReady> m_ready;
};
