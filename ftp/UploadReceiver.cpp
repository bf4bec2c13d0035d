#include "ftp/UploadReceiver.h"

#include "fs/FileStream.h"
#include "net/AsyncSocket.h"

#include <cerrno>
#include <fcntl.h>
#include <new>
#include <unistd.h>

namespace {
bool g_bZeroCopy = true;
} // namespace

void CUploadReceiver::SetZeroCopyForTests(bool bZeroCopy) {
    g_bZeroCopy = bZeroCopy;
}

CUploadReceiver::SPipe::~SPipe() {
    if (hRead >= 0)
        ::close(hRead);
    if (hWrite >= 0)
        ::close(hWrite);
}

void CUploadReceiver::Release() {
    CByteMover::Release();
    m_pPipe.reset();
}

CByteMover::SResult CUploadReceiver::Receive(CFileStream& rFile) {
    SResult result;
    // Nothing allowed now: the turn waits for the speed limit.
    if (m_nAllowance == 0)
        return result;
    if (g_bZeroCopy && !m_bCopy && !rFile.IsText() && !m_rSocket.IsTls())
        ReceiveBySplice(rFile, result);
    else
        ReceiveThroughBuffer(rFile, result);
    return result;
}

void CUploadReceiver::ReceiveThroughBuffer(CFileStream& rFile, SResult& rResult) {
    if (!AllocateBuffer(rResult))
        return;
    CTurn turn(m_rSocket, m_nAllowance);
    for (;;) {
        // A block at a time; through TLS, which gives one record (16 KiB)
        // per read, the block is filled from several before it is written.
        const int nRoom = static_cast<int>(turn.Room(kBlockSize));
        int nFilled = 0;
        int nLast = 0;
        while (nFilled < nRoom) {
            nLast = m_rSocket.Receive(m_pBuffer.get() + nFilled, nRoom - nFilled);
            if (nLast <= 0)
                break;
            nFilled += nLast;
            if (!m_rSocket.IsTls())
                break;
        }
        if (nLast < 0 && !m_rSocket.WouldBlock()) {
            rResult.Fail(1);
            return;
        }
        if (nFilled > 0) {
            rResult.nMoved += nFilled;
            int nError = 0;
            if (!rFile.Write(m_pBuffer.get(), nFilled, nError)) {
                rResult.Fail(nError);
                return;
            }
        }
        if (nLast == 0) {
            rResult.End(0);
            return;
        }
        // Bytes still waiting bring the next receive event.
        if (nLast < 0 || turn.Over(static_cast<size_t>(nFilled)))
            return;
    }
}

bool CUploadReceiver::OpenPipe() {
    auto pPipe = std::unique_ptr<SPipe>(new (std::nothrow) SPipe);
    int hPipe[2];
    if (!pPipe || ::pipe2(hPipe, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    pPipe->hRead = hPipe[0];
    pPipe->hWrite = hPipe[1];
    // A larger pipe takes more per call; the system may allow less.
    ::fcntl(pPipe->hWrite, F_SETPIPE_SZ, kPipeSize);
    pPipe->nSize = ::fcntl(pPipe->hWrite, F_GETPIPE_SZ);
    if (pPipe->nSize <= 0)
        return false;
    m_pPipe = std::move(pPipe);
    return true;
}

void CUploadReceiver::ReceiveBySplice(CFileStream& rFile, SResult& rResult) {
    if (!m_pPipe && !OpenPipe()) {
        // No pipe to be had (no descriptor left): copied, as before.
        m_bCopy = true;
        ReceiveThroughBuffer(rFile, rResult);
        return;
    }
    CTurn turn(m_rSocket, m_nAllowance);
    for (;;) {
        const long nMoved = m_rSocket.ReceiveToPipe(m_pPipe->hWrite,
                                                    turn.Room(static_cast<size_t>(m_pPipe->nSize)));
        if (nMoved > 0) {
            rResult.nMoved += nMoved;
            int nError = 0;
            if (!rFile.WriteFromPipe(m_pPipe->hRead, static_cast<size_t>(nMoved), m_bCopy,
                                     nError)) {
                rResult.Fail(nError);
                return;
            }
            // A file system that took a copy goes on with copies.
            if (turn.Over(static_cast<size_t>(nMoved)) || m_bCopy)
                return;
            continue;
        }
        if (nMoved == 0) {
            rResult.End(0);
            return;
        }
        if (m_rSocket.WouldBlock())
            return;
        if (m_rSocket.LastError() == EINVAL || m_rSocket.LastError() == ENOSYS) {
            // This socket cannot splice: its bytes are copied.
            m_bCopy = true;
            ReceiveThroughBuffer(rFile, rResult);
            return;
        }
        rResult.Fail(1);
        return;
    }
}
