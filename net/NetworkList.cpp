#include "net/NetworkList.h"

#include <algorithm>

namespace {
constexpr const char* kSpaces = " \t";
} // namespace

bool CNetworkList::Parse(const std::string& strText, CNetworkList& rList) {
    CNetworkList list;
    if (strText.find_first_not_of(kSpaces) == std::string::npos) {
        rList = list;
        return true;
    }
    size_t nStart = 0;
    while (nStart <= strText.size()) {
        size_t nComma = strText.find(',', nStart);
        if (nComma == std::string::npos)
            nComma = strText.size();
        std::string strItem = strText.substr(nStart, nComma - nStart);
        strItem.erase(0, strItem.find_first_not_of(kSpaces));
        strItem.erase(strItem.find_last_not_of(kSpaces) + 1);
        CNetwork network;
        if (!CNetwork::Parse(strItem, network))
            return false;
        list.m_networks.push_back(network);
        nStart = nComma + 1;
    }
    rList = std::move(list);
    return true;
}

bool CNetworkList::Contains(const CAddress& address) const {
    return std::any_of(m_networks.begin(), m_networks.end(),
                       [&](const CNetwork& network) { return network.Contains(address); });
}
