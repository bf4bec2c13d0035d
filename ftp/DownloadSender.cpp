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

CByteMover::SResult CDownloadSender::Send(CFileStream& rFile) {
    SResult result;
    // Nothing allowed now: the turn waits for the speed limit.
    if (m_nAllowance == 0)
        return result;
    if (m_bWithoutCopy)
        SendWithoutCopy(rFile, result);
    else
        SendThroughBuffer(rFile, result);
    return result;
}

bool CDownloadSender::SendSmallFileWhole(CFileStream& rFile, SResult& rResult) {
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
        rResult.nMoved += nSent;
    }
    if (nSent != nRead)
        return false;
    // Short of its size at the start, someone cut it meanwhile.
    rResult.End(m_nOffset < rFile.SizeAtOpen() ? EIO : 0);
    return true;
}

void CDownloadSender::SendWithoutCopy(CFileStream& rFile, SResult& rResult) {
    // A small file's first event sends it whole.
    if (m_nSent == 0 && m_nTotal >= 0 && m_nTotal < kSmallFile &&
        SendSmallFileWhole(rFile, rResult))
        return;
    CTurn turn(m_rSocket, m_nAllowance);
    for (;;) {
        long nSent = m_rSocket.SendFile(rFile.Handle(), m_nOffset, turn.Room(kEventBudget));
        if (nSent > 0) {
            m_nSent += nSent;
            rResult.nMoved += nSent;
            // Another connection's turn; go on at the next write event.
            if (turn.Over(static_cast<size_t>(nSent))) {
                rResult.next = SResult::Next::TurnOver;
                return;
            }
            continue;
        }
        if (nSent == 0) {
            // The end of the file. Short of its size at the start, someone
            // cut it meanwhile: what was sent is not the file.
            rResult.End(m_nOffset < rFile.SizeAtOpen() ? EIO : 0);
            return;
        }
        if (m_rSocket.WouldBlock())
            return;
        if (m_rSocket.LastError() == EINVAL || m_rSocket.LastError() == ENOSYS) {
            // This file cannot be sent without a copy: read it instead.
            int nError = 0;
            m_bWithoutCopy = false;
            if (rFile.Seek(m_nOffset, nError))
                SendThroughBuffer(rFile, rResult);
            else
                rResult.Fail(nError);
            return;
        }
        rResult.Fail(1);
        return;
    }
}

void CDownloadSender::SendThroughBuffer(CFileStream& rFile, SResult& rResult) {
    if (!AllocateBuffer(rResult))
        return;
    CTurn turn(m_rSocket, m_nAllowance);
    bool bTurnOver = false;
    for (;;) {
        // Let other connections have their turn (or the speed limit have
        // its way, even with bytes in hand); go on at the next write event.
        if (bTurnOver && (m_nPending == 0 || turn.Spent())) {
            rResult.next = SResult::Next::TurnOver;
            return;
        }
        if (m_nPending == 0) {
            int nError = 0;
            int nRead = rFile.Read(m_pBuffer.get(), kBlockSize, nError);
            if (nRead < 0) {
                rResult.Fail(nError);
                return;
            }
            m_nStart = 0;
            m_nPending = nRead;
            if (m_nPending <= 0) {
                rResult.End(0);
                return;
            }
        }
        int nSent = m_rSocket.Send(m_pBuffer.get() + m_nStart,
                                   static_cast<int>(turn.Room(static_cast<size_t>(m_nPending))));
        if (nSent < 0) {
            if (!m_rSocket.WouldBlock())
                rResult.Fail(1);
            return;
        }
        m_nSent += nSent;
        rResult.nMoved += nSent;
        m_nStart += nSent;
        m_nPending -= nSent;
        bTurnOver = turn.Over(static_cast<size_t>(nSent));
    }
}
