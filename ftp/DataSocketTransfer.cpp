// The data connection's side of moving its bytes: its socket's events
// handed to the download's sender or the upload's receiver, and what it
// does with how their turn went (see ByteMover.h).
#include "ftp/DataSocket.h"

#include <sys/socket.h>

void CDataSocket::OnSend(int nErrorCode) {
    if (nErrorCode != 0) {
        Fail(1);
        return;
    }
    if (m_timers.IsWaitingForDescriptor())
        return;
    if (!m_pFile) {
        // A listing still being written: sending starts once it is done.
        if (m_listing.IsWriting())
            return;
        // Nothing to send (the file failed to open, or the transfer has
        // ended and its reply is out): just end our side.
        EndOurSide();
        return;
    }
    if (m_transfer.bSending)
        Move();
}

void CDataSocket::OnReceive(int nErrorCode) {
    if (nErrorCode != 0) {
        Fail(1);
        return;
    }
    // Bytes wait in the socket until the file is open.
    if (m_timers.IsWaitingForDescriptor())
        return;
    if (!m_pFile) {
        EndOurSide();
        return;
    }
    if (!m_transfer.bSending)
        Move();
}

void CDataSocket::Move() {
    const int64_t nAllowed = m_pace.Allowance();
    if (nAllowed == 0) {
        if (!m_transfer.bSending)
            HoldInput(true);
        return;
    }
    CByteMover::SResult result;
    if (m_transfer.bSending) {
        m_sender.SetAllowance(nAllowed);
        result = m_pace.Charge(m_sender.Send(*m_pFile));
    } else {
        m_receiver.SetAllowance(nAllowed);
        result = m_pace.Charge(m_receiver.Receive(*m_pFile));
        if (m_pace.IsHeld())
            HoldInput(true);
    }
    AfterMove(result);
}

void CDataSocket::OnOutOfBandData(int /*nErrorCode*/) {
    char scratch[1024];
    Receive(scratch, sizeof scratch, MSG_OOB);
}

void CDataSocket::EndOurSide() {
    // Said once: the client reads to the end of what was sent.
    if (m_bOurSideEnded)
        return;
    m_bOurSideEnded = true;
    ShutDown(1);
}

void CDataSocket::AfterMove(const CByteMover::SResult& result) {
    if (result.nMoved > 0) {
        m_timers.NoteProgress();
        m_progress.nBytes += result.nMoved;
    }
    switch (result.next) {
    case CByteMover::SResult::Next::Wait:
        return;
    case CByteMover::SResult::Next::TurnOver:
        RequestSend();
        return;
    case CByteMover::SResult::Next::Failed:
        Fail(result.nError);
        return;
    case CByteMover::SResult::Next::Ended:
        break;
    }
    if (result.nError != 0)
        m_nError = result.nError;
    if (!m_transfer.bSending || m_transfer.bDeleteAfter) {
        FinishTransfer();
        EndOurSide();
        return;
    }
    EndOurSide();
    EndFile();
    m_bReportHeld = true;
    m_timers.StartGrace(m_transfer.nReplyGraceMs, [this] { ReportHeld(); });
}
