// The bytes of a file a checksum covers: RANG's "start end" for the next
// HASH, or the optional "start [end]" after the path of XSHA256, XSHA1,
// XMD5 and XCRC. Offsets count from 0; the end is the offset just past the
// last byte (a whole file of SIZE bytes is 0-SIZE).
#pragma once

#include <cstdint>
#include <string>

struct SChecksumRange {
    int64_t nStart = 0;
    // -1: to the end of the file.
    int64_t nEnd = -1;

    // RANG's argument: two offsets, start not after end; "1 0" (the form
    // clients send to drop a range) resets.
    enum class Rang { Set, Reset, Bad };
    static Rang FromRang(const std::string& strArgument, SChecksumRange& rRange);
    // The argument of an X checksum word: the path, then at most two
    // offsets. A path in double quotes may end in digits; otherwise one or
    // two trailing words of digits are the offsets. False when what follows
    // a quoted path is not offsets, or the offsets are reversed.
    static bool FromAlias(const std::string& strArgument, std::string& rPath,
                          SChecksumRange& rRange);
    // The range laid on a file of nSize bytes: false when it reaches past
    // the end; rEnd then is its end.
    bool Fits(int64_t nSize, int64_t& rEnd) const;
};
