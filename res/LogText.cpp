#include "res/LogText.h"

#include <algorithm>

namespace {

constexpr std::string_view kEllipsis = "\xE2\x80\xA6";

bool IsContinuation(std::string_view text, size_t nPos, unsigned char nLow = 0x80,
                    unsigned char nHigh = 0xBF) {
    if (nPos >= text.size())
        return false;
    const unsigned char c = static_cast<unsigned char>(text[nPos]);
    return c >= nLow && c <= nHigh;
}

// The length of the valid UTF-8 character at nPos, or 0 where its bytes are
// not one (a stray continuation byte, a truncated or overlong sequence, a
// surrogate, a code point beyond U+10FFFF).
size_t CharacterLength(std::string_view text, size_t nPos) {
    const unsigned char c = static_cast<unsigned char>(text[nPos]);
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF)
        return IsContinuation(text, nPos + 1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        const unsigned char nLow = c == 0xE0 ? 0xA0 : 0x80;
        const unsigned char nHigh = c == 0xED ? 0x9F : 0xBF;
        return IsContinuation(text, nPos + 1, nLow, nHigh) && IsContinuation(text, nPos + 2) ? 3
                                                                                             : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        const unsigned char nLow = c == 0xF0 ? 0x90 : 0x80;
        const unsigned char nHigh = c == 0xF4 ? 0x8F : 0xBF;
        return IsContinuation(text, nPos + 1, nLow, nHigh) && IsContinuation(text, nPos + 2) &&
                       IsContinuation(text, nPos + 3)
                   ? 4
                   : 0;
    }
    return 0;
}

void AppendEscaped(std::string& rOut, std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (const char ch : bytes) {
        const unsigned char c = static_cast<unsigned char>(ch);
        rOut += "\\x";
        rOut += kDigits[c >> 4];
        rOut += kDigits[c & 0x0F];
    }
}

// Where the final line end (LF or CR LF) of the text begins; its size when
// it has none.
size_t LineEndStart(std::string_view text) {
    if (text.empty() || text.back() != '\n')
        return text.size();
    return text.size() >= 2 && text[text.size() - 2] == '\r' ? text.size() - 2 : text.size() - 1;
}

// The code point of a valid character of nLength bytes at nPos.
uint32_t CodePoint(std::string_view text, size_t nPos, size_t nLength) {
    const unsigned char c = static_cast<unsigned char>(text[nPos]);
    uint32_t nCode = nLength == 1   ? c
                     : nLength == 2 ? c & 0x1F
                     : nLength == 3 ? c & 0x0F
                                    : c & 0x07;
    for (size_t i = 1; i < nLength; ++i)
        nCode = (nCode << 6) | (static_cast<unsigned char>(text[nPos + i]) & 0x3F);
    return nCode;
}

bool IsControlCharacter(std::string_view text, size_t nPos, size_t nLength) {
    const uint32_t nCode = CodePoint(text, nPos, nLength);
    // C0 controls, DEL, and U+0080 to U+009F, which some terminals take as
    // controls too.
    return nCode < 0x20 || (nCode >= 0x7F && nCode <= 0x9F) || IsLayoutControl(nCode);
}

} // namespace

bool IsLayoutControl(uint32_t nCode) {
    return nCode == 0x061C || nCode == 0x200E || nCode == 0x200F ||
           (nCode >= 0x2028 && nCode <= 0x202E) || (nCode >= 0x2066 && nCode <= 0x2069);
}

std::string LogSafe(std::string_view text, size_t nLimit) {
    std::string strOut;
    strOut.reserve(std::min(text.size(), nLimit) + kEllipsis.size());
    std::string strPiece;
    for (size_t nPos = 0; nPos < text.size();) {
        const size_t nLength = CharacterLength(text, nPos);
        const std::string_view character = text.substr(nPos, nLength ? nLength : 1);
        const bool bControl = nLength != 0 && IsControlCharacter(text, nPos, nLength);
        strPiece.clear();
        if (nLength == 0 || bControl)
            AppendEscaped(strPiece, character);
        else
            strPiece.assign(character);
        if (strOut.size() + strPiece.size() > nLimit) {
            strOut += kEllipsis;
            return strOut;
        }
        strOut += strPiece;
        nPos += character.size();
    }
    return strOut;
}

namespace {

// The line LogSafe, with its final line end (LF or CR LF) as it came.
std::string LogSafeKeepingEnd(std::string_view text, size_t nLimit) {
    const size_t nEnd = LineEndStart(text);
    std::string strOut = LogSafe(text.substr(0, nEnd), nLimit);
    strOut += text.substr(nEnd);
    return strOut;
}

} // namespace

std::string LogSafeLine(std::string_view text, size_t nLimit) {
    if (!text.empty() && text.back() == '\n')
        return LogSafeKeepingEnd(text, nLimit);
    if (!text.empty() && text.back() == '\r')
        text.remove_suffix(1);
    std::string strOut = LogSafe(text, nLimit);
    strOut += "\r\n";
    return strOut;
}

std::string LogSafeLines(std::string_view text, size_t nLimit) {
    std::string strOut;
    size_t nStart = 0;
    while (nStart < text.size()) {
        const size_t nNewLine = text.find('\n', nStart);
        const size_t nNext = nNewLine == std::string_view::npos ? text.size() : nNewLine + 1;
        strOut += LogSafeKeepingEnd(text.substr(nStart, nNext - nStart), nLimit);
        nStart = nNext;
    }
    return strOut;
}
