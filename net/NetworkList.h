// A list of networks as the administrator writes it: addresses and
// networks separated by commas ("192.0.2.0/24, 2001:db8::/32, 198.51.100.7").
// An address matches the list when it lies in any of its networks.
#pragma once

#include "net/Address.h"

#include <string>
#include <vector>

class CNetworkList {
public:
    // Spaces around each item are ignored and a text of spaces alone is the
    // empty list. False, and rList untouched, when an item is not a network
    // (CNetwork::Parse) or is empty: "a,,b" or a trailing comma most likely
    // lost an address, which a list deciding who may connect must not guess.
    static bool Parse(const std::string& strText, CNetworkList& rList);

    bool IsEmpty() const { return m_networks.empty(); }
    const std::vector<CNetwork>& Networks() const { return m_networks; }
    bool Contains(const CAddress& address) const;

private:
    std::vector<CNetwork> m_networks;
};
