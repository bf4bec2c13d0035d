#include "ftp/DownloadSender.h"

#include "fs/FileStream.h"
#include "net/AsyncSocket.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

void CDownloadSender::Start(int64_t nOffset, bool bWithoutCopy, int64_t nTotal) {
    m_nOffset = nOffset;
    m_bWithoutCopy = bWithoutCopy;
    m_nTotal = nTotal;
}

void CDownloadSender::LimitUnsent(int64_t nTotal) {
    if (nTotal < 0 || nTotal > kUnsentLimit)
        m_rSocket.SetUnsentLimit(kUnsentLimit);
}

bool CDownloadSender::Send(CFileStream& rFile) {
    return m_bWithoutCopy ? SendWithoutCopy(rFile) : SendThroughBuffer(rFile);
}

bool CDownloadSender::SendSmallFileWhole(CFileStream& rFile) {
    // Read into the stack and handed to the system as "more to come": the
    // shut-down that follows sends the bytes and the end in one segment,
    // and the client is woken once for both. A file found longer (it grew),
    // a send the socket took only in part, or a failure goes on by the
    // usual way from where this left off.
    char buffer[kSmallFile];
    const ssize_t nRead = ::pread(rFile.Handle(), buffer, sizeof buffer, m_nOffset);
    if (nRead < 0 || static_cast<size_t>(nRead) == sizeof buffer)
        return false;
    const int nSent = nRead == 0 ? 0 : m_rSocket.Send(buffer, static_cast<int>(nRead), MSG_MORE);
    if (nSent > 0) {
        m_nOffset += nSent;
        m_nSent += nSent;
        m_rHost.OnMoved(nSent);
    }
    if (nSent != nRead)
        return false;
    // Short of its size at the start, someone cut it meanwhile.
    m_rHost.OnMoveEnded(m_nOffset < rFile.SizeAtOpen() ? EIO : 0);
    return true;
}

bool CDownloadSender::SendWithoutCopy(CFileStream& rFile) {
    // A small file's first event sends it whole.
    if (m_nSent == 0 && m_nTotal >= 0 && m_nTotal < kSmallFile && SendSmallFileWhole(rFile))
        return false;
    CTurn turn(m_rSocket);
    for (;;) {
        long nSent = m_rSocket.SendFile(rFile.Handle(), m_nOffset, kEventBudget);
        if (nSent > 0) {
            m_nSent += nSent;
            m_rHost.OnMoved(nSent);
            // Another connection's turn; go on at the next write event.
            if (turn.Over(static_cast<size_t>(nSent)))
                return true;
            continue;
        }
        if (nSent == 0) {
            // The end of the file. Short of its size at the start, someone
            // cut it meanwhile: what was sent is not the file.
            m_rHost.OnMoveEnded(m_nOffset < rFile.SizeAtOpen() ? EIO : 0);
            return false;
        }
        if (m_rSocket.WouldBlock())
            return false;
        if (m_rSocket.LastError() == EINVAL || m_rSocket.LastError() == ENOSYS) {
            // This file cannot be sent without a copy: read it instead.
            int nError = 0;
            m_bWithoutCopy = false;
            if (rFile.Seek(m_nOffset, nError))
                return SendThroughBuffer(rFile);
            m_rHost.Fail(nError);
            return false;
        }
        m_rHost.Fail(1);
        return false;
    }
}

bool CDownloadSender::SendThroughBuffer(CFileStream& rFile) {
    if (!AllocateBuffer())
        return false;
    CTurn turn(m_rSocket);
    bool bTurnOver = false;
    for (;;) {
        if (m_nPending == 0) {
            // Let other connections have their turn; go on at the next
            // write event.
            if (bTurnOver)
                return true;
            int nError = 0;
            int nRead = rFile.Read(m_pBuffer.get(), kBlockSize, nError);
            if (nRead < 0) {
                m_rHost.Fail(nError);
                return false;
            }
            m_nStart = 0;
            m_nPending = nRead;
            if (m_nPending <= 0) {
                m_rHost.OnMoveEnded(0);
                return false;
            }
        }
        int nSent = m_rSocket.Send(m_pBuffer.get() + m_nStart, m_nPending);
        if (nSent < 0) {
            if (!m_rSocket.WouldBlock())
                m_rHost.Fail(1);
            return false;
        }
        m_nSent += nSent;
        m_rHost.OnMoved(nSent);
        m_nStart += nSent;
        m_nPending -= nSent;
        bTurnOver = turn.Over(static_cast<size_t>(nSent));
    }
}
