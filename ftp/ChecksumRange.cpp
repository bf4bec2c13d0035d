#include "ftp/ChecksumRange.h"

#include <charconv>
#include <vector>

namespace {

// A file offset: decimal digits only (no sign, no blanks), within int64.
bool ParseOffset(const std::string& strText, int64_t& rValue) {
    if (strText.empty() || strText.size() > 19)
        return false;
    for (char ch : strText)
        if (ch < '0' || ch > '9')
            return false;
    const char* pEnd = strText.data() + strText.size();
    const auto result = std::from_chars(strText.data(), pEnd, rValue);
    return result.ec == std::errc() && result.ptr == pEnd;
}

// The words of strText, split at runs of blanks.
std::vector<std::string> Words(const std::string& strText) {
    std::vector<std::string> words;
    size_t nPos = 0;
    while (nPos < strText.size()) {
        const size_t nStart = strText.find_first_not_of(" \t", nPos);
        if (nStart == std::string::npos)
            break;
        nPos = strText.find_first_of(" \t", nStart);
        words.push_back(strText.substr(nStart, nPos == std::string::npos ? nPos : nPos - nStart));
    }
    return words;
}

// One or two offsets, the start first; false when they are not offsets or
// are reversed.
bool ParseOffsets(const std::vector<std::string>& words, SChecksumRange& rRange) {
    if (words.empty() || words.size() > 2 || !ParseOffset(words[0], rRange.nStart))
        return false;
    rRange.nEnd = -1;
    if (words.size() == 2 && !ParseOffset(words[1], rRange.nEnd))
        return false;
    return rRange.nEnd < 0 || rRange.nEnd >= rRange.nStart;
}

} // namespace

SChecksumRange::Rang SChecksumRange::FromRang(const std::string& strArgument,
                                              SChecksumRange& rRange) {
    const std::vector<std::string> words = Words(strArgument);
    SChecksumRange range;
    if (words.size() != 2 || !ParseOffset(words[0], range.nStart) ||
        !ParseOffset(words[1], range.nEnd))
        return Rang::Bad;
    if (range.nStart == 1 && range.nEnd == 0) {
        rRange = SChecksumRange();
        return Rang::Reset;
    }
    if (range.nEnd < range.nStart)
        return Rang::Bad;
    rRange = range;
    return Rang::Set;
}

bool SChecksumRange::FromAlias(const std::string& strArgument, std::string& rPath,
                               SChecksumRange& rRange) {
    rRange = SChecksumRange();
    if (!strArgument.empty() && strArgument[0] == '"') {
        const size_t nClose = strArgument.find('"', 1);
        if (nClose == std::string::npos) {
            rPath = strArgument;
            return true;
        }
        rPath = strArgument.substr(1, nClose - 1);
        const std::vector<std::string> words = Words(strArgument.substr(nClose + 1));
        return words.empty() || ParseOffsets(words, rRange);
    }
    // Trailing words of digits, as many as two, after a path of at least
    // one word.
    std::vector<std::string> words = Words(strArgument);
    size_t nOffsets = 0;
    int64_t nValue = 0;
    while (nOffsets < 2 && nOffsets + 1 < words.size() &&
           ParseOffset(words[words.size() - 1 - nOffsets], nValue))
        ++nOffsets;
    if (nOffsets == 0) {
        rPath = strArgument;
        return true;
    }
    // The path as sent, without the offset words and the blanks before them.
    std::string strPath = strArgument;
    for (size_t i = 0; i < nOffsets; ++i) {
        strPath.resize(strPath.find_last_not_of(" \t") + 1);
        strPath.resize(strPath.find_last_of(" \t") + 1);
    }
    strPath.resize(strPath.find_last_not_of(" \t") + 1);
    rPath = strPath;
    return ParseOffsets(
        std::vector<std::string>(words.end() - static_cast<long>(nOffsets), words.end()), rRange);
}

bool SChecksumRange::Fits(int64_t nSize, int64_t& rEnd) const {
    rEnd = nEnd < 0 ? nSize : nEnd;
    return nStart <= rEnd && rEnd <= nSize;
}
