#include "ftp/TransferArguments.h"

#include "ftp/FtpTables.h"

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

int ParsePortArgument(const std::string& strText, CAddress& rAddress) {
    rAddress = CAddress();
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
    rAddress = CAddress::FromV4(nHost, static_cast<uint16_t>(static_cast<unsigned>(nHigh) * 256u +
                                                             static_cast<unsigned>(nLow)));
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

EprtResult ParseExtendedPortArgument(const std::string& strText, int nFamily, CAddress& rAddress) {
    rAddress = CAddress();
    if (strText.size() < 4 || strText[0] < 33 || strText[0] > 126)
        return EprtResult::Malformed;
    const char chDelimiter = strText[0];
    // Three fields between four delimiters, the last one ending the text.
    std::string strFields[3];
    size_t nStart = 1;
    for (std::string& rField : strFields) {
        size_t nEnd = strText.find(chDelimiter, nStart);
        if (nEnd == std::string::npos)
            return EprtResult::Malformed;
        rField = strText.substr(nStart, nEnd - nStart);
        nStart = nEnd + 1;
    }
    if (nStart != strText.size())
        return EprtResult::Malformed;
    const std::string strOwn = nFamily == 2 ? "2" : "1";
    if (strFields[0] != strOwn)
        return strFields[0] == "1" || strFields[0] == "2" ? EprtResult::OtherFamily
                                                          : EprtResult::Malformed;
    // Family 1 is an IPv4 address as written, family 2 an IPv6 one; a zone
    // index names an interface of the client's host, not an address.
    const std::string& strAddress = strFields[1];
    const bool bColon = strAddress.find(':') != std::string::npos;
    CAddress address;
    if (bColon != (nFamily == 2) || strAddress.find('%') != std::string::npos ||
        !CAddress::Parse(strAddress, 0, address))
        return EprtResult::Malformed;
    const std::string& strPort = strFields[2];
    if (strPort.empty() || strPort.size() > 5 ||
        strPort.find_first_not_of("0123456789") != std::string::npos)
        return EprtResult::Malformed;
    unsigned long nPort = strtoul(strPort.c_str(), nullptr, 10);
    if (nPort == 0 || nPort > 65535)
        return EprtResult::Malformed;
    address.SetPort(static_cast<unsigned>(nPort));
    rAddress = address;
    return EprtResult::Ok;
}

bool ParseMachineTime(const std::string& strText, time_t& rWhen) {
    // Fourteen digits, then at most a fraction of a second, which is dropped.
    if (strText.size() < 14 || strText.find_first_not_of("0123456789") < 14)
        return false;
    if (strText.size() > 14 && (strText[14] != '.' || strText.size() == 15 ||
                                strText.find_first_not_of("0123456789", 15) != std::string::npos))
        return false;
    auto number = [&](size_t nAt, size_t nLength) {
        return atoi(strText.substr(nAt, nLength).c_str());
    };
    tm when{};
    when.tm_year = number(0, 4) - 1900;
    when.tm_mon = number(4, 2) - 1;
    when.tm_mday = number(6, 2);
    when.tm_hour = number(8, 2);
    when.tm_min = number(10, 2);
    when.tm_sec = number(12, 2);
    if (when.tm_year < 0 || when.tm_mon < 0 || when.tm_mon > 11 || when.tm_mday < 1 ||
        when.tm_mday > 31 || when.tm_hour > 23 || when.tm_min > 59 || when.tm_sec > 60)
        return false;
    const tm asGiven = when;
    rWhen = ::timegm(&when);
    // A day the month does not have (30 February) is not a time.
    return rWhen != static_cast<time_t>(-1) && when.tm_mday == asGiven.tm_mday &&
           when.tm_mon == asGiven.tm_mon;
}

bool ParseOctalMode(const std::string& strText, unsigned& rMode) {
    if (strText.empty() || strText.size() > 4 ||
        strText.find_first_not_of("01234567") != std::string::npos)
        return false;
    rMode = static_cast<unsigned>(strtoul(strText.c_str(), nullptr, 8));
    return true;
}
