#include "ftp/TransferArguments.h"

#include "ftp/FtpTables.h"

#include <arpa/inet.h>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {
// The C integer value of a text: white space, sign, digits; 0 when there
// are none. Out-of-range values saturate instead of overflowing.
int CInt(const char* pText) {
    long nValue = strtol(pText, nullptr, 10);
    if (nValue > INT_MAX)
        return INT_MAX;
    if (nValue < INT_MIN)
        return INT_MIN;
    return static_cast<int>(nValue);
}
} // namespace

int ParsePortArgument(const std::string& strText, sockaddr_in& rAddress) {
    rAddress = sockaddr_in{};
    const char* pText = strText.c_str();
    uint32_t nHost = 0;
    for (int i = 0; i < 4; ++i) {
        nHost = nHost * 256 + static_cast<uint32_t>(CInt(pText));
        const char* pComma = strchr(pText, ',');
        if (!pComma)
            return -1;
        pText = pComma + 1;
    }
    int nHigh = CInt(pText);
    const char* pComma = strchr(pText, ',');
    if (!pComma)
        return -1;
    int nLow = CInt(pComma + 1);
    rAddress.sin_family = AF_INET;
    rAddress.sin_addr.s_addr = htonl(nHost);
    rAddress.sin_port = htons(
        static_cast<uint16_t>(static_cast<unsigned>(nHigh) * 256u + static_cast<unsigned>(nLow)));
    return 0;
}

int ParseTypeArgument(const std::string& strParameter, int& rType, std::string& rShown) {
    char chType = strParameter.empty() ? '\0' : strParameter[0];
    switch (chType) {
    case 'A':
    case 'a':
        rType = 0;
        rShown = strParameter;
        return REPLY_TYPE_OK;
    case 'I':
    case 'i':
    case 'B':
    case 'b':
        rType = 2;
        rShown = strParameter;
        return REPLY_TYPE_OK;
    case 'L':
    case 'l': {
        size_t nBlank = strParameter.find_first_of(" \t");
        std::string strRest =
            nBlank == std::string::npos ? std::string() : strParameter.substr(nBlank);
        if (CInt(strRest.c_str()) != 8)
            return REPLY_BYTESIZE;
        rType = 1;
        rShown = strRest;
        return REPLY_TYPE_OK;
    }
    default:
        rShown = strParameter;
        return REPLY_UNKNOWN_TYPE;
    }
}

int64_t ParseRestartArgument(const std::string& strParameter) {
    return static_cast<int64_t>(strtoll(strParameter.c_str(), nullptr, 10));
}
