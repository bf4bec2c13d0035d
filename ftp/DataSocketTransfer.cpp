// The moving of a data connection's bytes: a download sent from its file
// (without copying through the process where it can be), an upload
// received into its file, each in turns of at most kEventBudget bytes so
// that every other connection is served meanwhile.
#include "ftp/DataSocket.h"

#include "net/SocketDispatcher.h"

#include <cstring>
#include <new>
#include <unistd.h>

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
        ShutDown(1);
        return;
    }
    if (m_transfer.bSending)
        SendFromFile();
}

void CDataSocket::SendFromFile() {
    if (m_bSendFile)
        SendWithoutCopy();
    else
        SendThroughBuffer();
}

void CDataSocket::SendWithoutCopy() {
    size_t nBudget = kEventBudget;
    while (nBudget > 0) {
        long nSent = SendFile(m_pFile->Handle(), m_nOffset, nBudget);
        if (nSent > 0) {
            NoteProgress(nSent);
            nBudget -= static_cast<size_t>(nSent);
            continue;
        }
        if (nSent == 0) {
            // The end of the file. Short of its size at the start, someone
            // cut it meanwhile: what was sent is not the file.
            if (m_nOffset < m_pFile->SizeAtOpen())
                m_nError = EIO;
            FinishTransfer();
            ShutDown(1);
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
    // Budget spent: let other connections have their turn.
    RequestSend();
}

void CDataSocket::SendThroughBuffer() {
    if (!AllocateBuffer())
        return;
    int nBudget = kEventBudget;
    for (;;) {
        if (m_nPending == 0) {
            if (nBudget <= 0) {
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
                FinishTransfer();
                ShutDown(1);
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
        nBudget -= nSent;
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
        ShutDown(1);
        return;
    }
    if (!m_transfer.bSending)
        ReceiveIntoFile();
}

void CDataSocket::ReceiveIntoFile() {
    if (!AllocateBuffer())
        return;
    int nBudget = kEventBudget;
    while (nBudget > 0) {
        int nReceived = Receive(m_pBuffer.get(), kBlockSize);
        if (nReceived > 0) {
            NoteProgress(nReceived);
            int nError = 0;
            if (!m_pFile->Write(m_pBuffer.get(), nReceived, nError)) {
                Fail(nError);
                return;
            }
            nBudget -= nReceived;
            continue;
        }
        if (nReceived == 0) {
            FinishTransfer();
            ShutDown(1);
        } else if (!WouldBlock()) {
            Fail(1);
        }
        return;
    }
    // Budget spent: bytes still waiting bring the next receive event.
}

void CDataSocket::OnOutOfBandData(int /*nErrorCode*/) {
    char scratch[1024];
    Receive(scratch, sizeof scratch, MSG_OOB);
}
