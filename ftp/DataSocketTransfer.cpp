// The moving of a data connection's bytes: a download sent from its file
// and an upload received into it, without copying through the process
// where the system allows (sendfile, splice). Each event moves bytes until
// the socket has no more room or bytes, in turns: after each kEventBudget
// bytes it looks whether another connection waits, and if one does (or the
// burst limit is reached) leaves it its turn.
#include "ftp/DataSocket.h"

#include "net/SocketDispatcher.h"

#include <cstring>
#include <fcntl.h>
#include <new>
#include <unistd.h>

namespace {

bool g_bZeroCopy = true;

// The bytes one event has moved, and whether its turn is over.
class CTurn {
public:
    explicit CTurn(const CAsyncSocket& rSelf) : m_rSelf(rSelf) {}
    bool Over(size_t nMoved) {
        m_nMoved += nMoved;
        if (m_nMoved < m_nNextLook)
            return false;
        m_nNextLook = m_nMoved + CDataSocket::kEventBudget;
        if (m_nMoved >= CDataSocket::kBurstLimit)
            return true;
        CSocketDispatcher* pDispatcher = CSocketDispatcher::Current();
        return !pDispatcher || pDispatcher->OthersWaiting(&m_rSelf);
    }

private:
    const CAsyncSocket& m_rSelf;
    size_t m_nMoved = 0;
    size_t m_nNextLook = CDataSocket::kEventBudget;
};

} // namespace

void CDataSocket::SetZeroCopyForTests(bool bZeroCopy) {
    g_bZeroCopy = bZeroCopy;
}

CDataSocket::SPipe::~SPipe() {
    if (hRead >= 0)
        ::close(hRead);
    if (hWrite >= 0)
        ::close(hWrite);
}

void CDataSocket::OnSend(int nErrorCode) {
    if (nErrorCode != 0) {
        Fail(1);
        return;
    }
    if (m_bOpenWaiting)
        return;
    if (!m_pFile) {
        // A listing still being written: sending starts once it is done.
        if (m_transfer.pListing)
            return;
        // Nothing to send (the file failed to open, or the transfer has
        // ended and its reply is out): just end our side.
        EndOurSide();
        return;
    }
    if (m_transfer.bSending)
        SendFromFile();
}

void CDataSocket::EndOurSide() {
    // Said once: the client reads to the end of what was sent.
    if (m_bOurSideEnded)
        return;
    m_bOurSideEnded = true;
    ShutDown(1);
}

void CDataSocket::SendFromFile() {
    if (m_bSendFile)
        SendWithoutCopy();
    else
        SendThroughBuffer();
}

bool CDataSocket::SendSmallFileWhole() {
    // Read into the stack and handed to the system as "more to come": the
    // shut-down that follows sends the bytes and the end in one segment,
    // and the client is woken once for both. A file found longer (it grew),
    // a send the socket took only in part, or a failure goes on by the
    // usual way from where this left off.
    char buffer[kSmallFile];
    const ssize_t nRead = ::pread(m_pFile->Handle(), buffer, sizeof buffer, m_nOffset);
    if (nRead < 0 || static_cast<size_t>(nRead) == sizeof buffer)
        return false;
    const int nSent = nRead == 0 ? 0 : Send(buffer, static_cast<int>(nRead), MSG_MORE);
    if (nSent > 0) {
        m_nOffset += nSent;
        NoteProgress(nSent);
    }
    if (nSent != nRead)
        return false;
    // Short of its size at the start, someone cut it meanwhile.
    if (m_nOffset < m_pFile->SizeAtOpen())
        m_nError = EIO;
    FinishSending();
    return true;
}

void CDataSocket::SendWithoutCopy() {
    // A small file's first event sends it whole.
    if (m_nMoved == 0 && m_nTotal >= 0 && m_nTotal < kSmallFile && SendSmallFileWhole())
        return;
    CTurn turn(*this);
    for (;;) {
        long nSent = SendFile(m_pFile->Handle(), m_nOffset, kEventBudget);
        if (nSent > 0) {
            NoteProgress(nSent);
            if (turn.Over(static_cast<size_t>(nSent))) {
                // Another connection's turn; go on at the next write event.
                RequestSend();
                return;
            }
            continue;
        }
        if (nSent == 0) {
            // The end of the file. Short of its size at the start, someone
            // cut it meanwhile: what was sent is not the file.
            if (m_nOffset < m_pFile->SizeAtOpen())
                m_nError = EIO;
            FinishSending();
            return;
        }
        if (WouldBlock())
            return;
        if (LastError() == EINVAL || LastError() == ENOSYS) {
            // This file cannot be sent without a copy: read it instead.
            int nError = 0;
            m_bSendFile = false;
            if (!m_pFile->Seek(m_nOffset, nError))
                Fail(nError);
            else
                SendThroughBuffer();
            return;
        }
        Fail(1);
        return;
    }
}

void CDataSocket::SendThroughBuffer() {
    if (!AllocateBuffer())
        return;
    CTurn turn(*this);
    bool bTurnOver = false;
    for (;;) {
        if (m_nPending == 0) {
            if (bTurnOver) {
                // Let other connections have their turn; go on at the
                // next write event.
                RequestSend();
                return;
            }
            int nError = 0;
            int nRead = m_pFile->Read(m_pBuffer.get(), kBlockSize, nError);
            if (nRead < 0) {
                Fail(nError);
                return;
            }
            m_nStart = 0;
            m_nPending = nRead;
            if (m_nPending <= 0) {
                FinishSending();
                return;
            }
        }
        int nSent = Send(m_pBuffer.get() + m_nStart, m_nPending);
        if (nSent < 0) {
            if (!WouldBlock())
                Fail(1);
            return;
        }
        NoteProgress(nSent);
        m_nStart += nSent;
        m_nPending -= nSent;
        bTurnOver = turn.Over(static_cast<size_t>(nSent));
    }
}

bool CDataSocket::AllocateBuffer() {
    if (!m_pBuffer)
        m_pBuffer.reset(new (std::nothrow) char[kBlockSize]);
    if (!m_pBuffer)
        Fail(ENOMEM);
    return m_pBuffer != nullptr;
}

void CDataSocket::OnReceive(int nErrorCode) {
    if (nErrorCode != 0) {
        Fail(1);
        return;
    }
    // Bytes wait in the socket until the file is open.
    if (m_bOpenWaiting)
        return;
    if (!m_pFile) {
        EndOurSide();
        return;
    }
    if (!m_transfer.bSending)
        ReceiveIntoFile();
}

void CDataSocket::ReceiveIntoFile() {
    if (g_bZeroCopy && !m_bCopyUpload && !m_pFile->IsText() && !IsTls()) {
        ReceiveBySplice();
        return;
    }
    if (!AllocateBuffer())
        return;
    CTurn turn(*this);
    for (;;) {
        // A block at a time; through TLS, which gives one record (16 KiB)
        // per read, the block is filled from several before it is written.
        int nFilled = 0;
        int nLast = 0;
        while (nFilled < kBlockSize) {
            nLast = Receive(m_pBuffer.get() + nFilled, kBlockSize - nFilled);
            if (nLast <= 0)
                break;
            nFilled += nLast;
            if (!IsTls())
                break;
        }
        if (nLast < 0 && !WouldBlock()) {
            Fail(1);
            return;
        }
        if (nFilled > 0) {
            NoteProgress(nFilled);
            int nError = 0;
            if (!m_pFile->Write(m_pBuffer.get(), nFilled, nError)) {
                Fail(nError);
                return;
            }
        }
        if (nLast == 0) {
            FinishTransfer();
            EndOurSide();
            return;
        }
        // Bytes still waiting bring the next receive event.
        if (nLast < 0 || turn.Over(static_cast<size_t>(nFilled)))
            return;
    }
}

bool CDataSocket::OpenPipe() {
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

void CDataSocket::ReceiveBySplice() {
    if (!m_pPipe && !OpenPipe()) {
        // No pipe to be had (no descriptor left): copied, as before.
        m_bCopyUpload = true;
        ReceiveIntoFile();
        return;
    }
    CTurn turn(*this);
    for (;;) {
        const long nMoved = ReceiveToPipe(m_pPipe->hWrite, static_cast<size_t>(m_pPipe->nSize));
        if (nMoved > 0) {
            NoteProgress(nMoved);
            int nError = 0;
            if (!m_pFile->WriteFromPipe(m_pPipe->hRead, static_cast<size_t>(nMoved), m_bCopyUpload,
                                        nError)) {
                Fail(nError);
                return;
            }
            // A file system that took a copy goes on with copies.
            if (turn.Over(static_cast<size_t>(nMoved)) || m_bCopyUpload)
                return;
            continue;
        }
        if (nMoved == 0) {
            FinishTransfer();
            EndOurSide();
            return;
        }
        if (WouldBlock())
            return;
        if (LastError() == EINVAL || LastError() == ENOSYS) {
            // This socket cannot splice: its bytes are copied.
            m_bCopyUpload = true;
            ReceiveIntoFile();
            return;
        }
        Fail(1);
        return;
    }
}

void CDataSocket::OnOutOfBandData(int /*nErrorCode*/) {
    char scratch[1024];
    Receive(scratch, sizeof scratch, MSG_OOB);
}
