// The receiving of an upload's bytes from its data connection into the
// file: in TYPE I from the socket through a pipe to the file without a copy
// (splice), else received into a block and written from it.
#pragma once

#include "ftp/ByteMover.h"

#include <memory>

class CFileStream;

class CUploadReceiver : public CByteMover {
public:
    // The pipe an upload in TYPE I goes through from the socket to the file
    // without a copy (where the system allows a pipe this large).
    static constexpr int kPipeSize = 1024 * 1024;
    // Tests only: uploads copied through the process, as where the socket
    // or the file system cannot splice.
    static void SetZeroCopyForTests(bool bZeroCopy);

    explicit CUploadReceiver(CAsyncSocket& rSocket) : CByteMover(rSocket) {}

    // Writes into rFile what the socket has; bytes still waiting when the
    // turn is over bring the next receive event (never TurnOver).
    SResult Receive(CFileStream& rFile);
    // Gives back the block and the pipe.
    void Release();

private:
    void ReceiveThroughBuffer(CFileStream& rFile, SResult& rResult);
    // Socket to pipe to file, without a copy.
    void ReceiveBySplice(CFileStream& rFile, SResult& rResult);
    bool OpenPipe();

    // The pipe (see kPipeSize), open only while the upload runs.
    struct SPipe {
        int hRead = -1;
        int hWrite = -1;
        int nSize = 0;
        ~SPipe();
    };
    std::unique_ptr<SPipe> m_pPipe;
    // The socket or the file cannot splice: the upload is copied.
    bool m_bCopy = false;
};
