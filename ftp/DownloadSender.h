// The sending of a download's bytes (a file, or a listing's temporary
// file) over its data connection: from the file to the socket without a
// copy where the system allows (sendfile), else read into a block and sent
// from it; a small binary file is sent whole with its end in one piece.
#pragma once

#include "ftp/ByteMover.h"

#include <cstdint>

class CFileStream;

class CDownloadSender : public CByteMover {
public:
    // A binary download smaller than this is read and sent with its end in
    // one piece (see SendSmallFileWhole).
    static constexpr int kSmallFile = 16 * 1024;
    // Bytes of a download the system may hold not yet on their way.
    static constexpr int kUnsentLimit = 512 * 1024;

    explicit CDownloadSender(CAsyncSocket& rSocket) : CByteMover(rSocket) {}

    // The file is open: sending goes on from nOffset, without a copy when
    // bWithoutCopy (else the file is already there), nTotal bytes to go (-1
    // when not known).
    void Start(int64_t nOffset, bool bWithoutCopy, int64_t nTotal);
    // What the system holds for the client is what it is about to get: the
    // progress stays true, and a slow client does not have megabytes queued
    // for it. A download of nTotal bytes within the limit needs none.
    void LimitUnsent(int64_t nTotal);
    // Sends from rFile what the socket takes, up to the end of the turn.
    SResult Send(CFileStream& rFile);

private:
    void SendWithoutCopy(CFileStream& rFile, SResult& rResult);
    // A small binary download sent in one go; false when the usual way
    // must go on (from m_nOffset).
    bool SendSmallFileWhole(CFileStream& rFile, SResult& rResult);
    void SendThroughBuffer(CFileStream& rFile, SResult& rResult);

    bool m_bWithoutCopy = false;
    int64_t m_nOffset = 0; // the next byte of a download without copy
    int64_t m_nTotal = -1;
    int64_t m_nSent = 0;
    int m_nStart = 0;   // first byte of m_pBuffer not yet sent
    int m_nPending = 0; // bytes from m_nStart not yet sent
};
