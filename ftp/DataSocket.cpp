#include "ftp/DataSocket.h"

#include "net/SocketDispatcher.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <unistd.h>

namespace {
int g_nConnectTimeoutMs = CDataSocket::kConnectTimeoutMs;
int g_nLingerMs = CDataSocket::kLingerMs;
int g_nHandshakeMs = CDataSocket::kHandshakeMs;
int g_nStallMs = CDataSocket::kStallMs;
} // namespace

void CDataSocket::SetTimeoutsForTests(int nConnectMs, int nLingerMs, int nHandshakeMs,
                                      int nStallMs) {
    g_nConnectTimeoutMs = nConnectMs;
    g_nLingerMs = nLingerMs;
    g_nHandshakeMs = nHandshakeMs;
    g_nStallMs = nStallMs;
}

int CDataSocket::HandshakeTimeoutMs() {
    return g_nHandshakeMs;
}

CDataSocket::CDataSocket(COwner& rOwner, STransfer transfer)
    : m_rOwner(rOwner), m_transfer(std::move(transfer)) {}

CDataSocket::~CDataSocket() = default;

void CDataSocket::StartPassive(std::unique_ptr<CPassiveSocket> pListener) {
    m_pListener = std::move(pListener);
    StartConnectTimer();
    ScheduleListingSlice();
    m_pListener->Attach(*this);
}

bool CDataSocket::StartActive(const CAddress& address) {
    // No address (no PORT given) is a connection that fails at once; else
    // a socket of the client's family on any local address.
    if (!address.IsValid())
        return false;
    CAddress local;
    CAddress::Parse(address.IsV4() ? "0.0.0.0" : "::", 0, local);
    if (!Create(local) || !Connect(address))
        return false;
    StartConnectTimer();
    ScheduleListingSlice();
    return true;
}

void CDataSocket::ScheduleListingSlice() {
    // Other events run before the next slice.
    if (m_transfer.pListing)
        m_sliceTimer.Start(0, [this] { BuildListingSlice(); });
}

void CDataSocket::BuildListingSlice() {
    if (!m_transfer.pListing->WriteSlice()) {
        ScheduleListingSlice();
        return;
    }
    const bool bOk = m_transfer.pListing->IsOk();
    if (!bOk)
        m_nError = EIO, m_nListingError = m_transfer.pListing->Error();
    m_transfer.pListing.reset();
    if (!m_bConnected)
        return;
    OpenFile();
    // The connection has been writable for a while: ask for the event that
    // starts the sending.
    if (m_pFile)
        RequestSend();
}

void CDataSocket::StartConnectTimer() {
    m_connectDeadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(g_nConnectTimeoutMs);
    m_timer.Start(g_nConnectTimeoutMs, [this] { Abort(); });
}

void CDataSocket::NoteProgress(int64_t nBytes) {
    m_lastProgress = std::chrono::steady_clock::now();
    m_nMoved += nBytes;
}

void CDataSocket::CheckStall() {
    if (m_bFinished)
        return;
    const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - m_lastProgress)
                          .count();
    if (idle < g_nStallMs) {
        m_stallTimer.Start(static_cast<int>(g_nStallMs - idle), [this] { CheckStall(); });
        return;
    }
    // Nothing moved for the whole time: the transfer fails and its socket
    // is given back.
    m_bStalled = true;
    Abort();
}

void CDataSocket::OnAccepted() {
    // A protected connection that must resume the control connection's own
    // session keeps the listener until its handshake shows whose it is;
    // any other has served the listener's one connection.
    if (!m_transfer.pTls || !m_transfer.bRequireReuse)
        ReleaseListener();
    OnConnect(0);
}

void CDataSocket::ReleaseListener() {
    // Closed at once, so that a further connection to the port is refused;
    // deleted after the current event.
    if (!m_pListener)
        return;
    m_pListener->Close();
    ReleaseAfterEvent(std::move(m_pListener));
    m_pListener.reset();
}

void CDataSocket::Refuse() {
    m_bSessionRefused = true;
    m_rOwner.OnDataConnectionRefused(*this);
    Abort();
}

void CDataSocket::TurnAway() {
    m_bSessionRefused = true;
    m_rOwner.OnDataConnectionRefused(*this);
    Close();
    // The transfer goes on waiting for its own client for what is left of
    // its connect time.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          m_connectDeadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
        Abort();
        return;
    }
    m_timer.Start(static_cast<int>(left), [this] { Abort(); });
    m_pListener->Attach(*this);
}

void CDataSocket::OnAcceptLost() {
    Abort();
}

void CDataSocket::End() {
    if (m_bEnded)
        return;
    // A held report goes out first: the client closed, or kept the
    // connection open past the linger time.
    ReportHeld();
    m_bEnded = true;
    m_timer.Stop();
    m_rOwner.OnDataSocketEnded(*this);
}

void CDataSocket::Abort() {
    m_nError = 1;
    FinishTransfer();
    End();
}

void CDataSocket::Fail(int nError) {
    m_nError = nError;
    FinishTransfer();
    if (m_transfer.bSending) {
        // The client reads to the end of what was sent, then closes.
        EndOurSide();
        return;
    }
    // An upload that cannot go on is closed at once: the client's sending
    // fails instead of stalling on a connection nobody reads.
    End();
}

void CDataSocket::DeleteListing() {
    if (m_transfer.bDeleteAfter && !m_transfer.file.Full().empty())
        ::unlink(m_transfer.file.Full().c_str());
    m_transfer.bDeleteAfter = false;
}

void CDataSocket::OnConnect(int nErrorCode) {
    m_timer.Stop();
    if (nErrorCode != 0) {
        // The active connection could not be made; no event will come.
        Abort();
        return;
    }
    m_rOwner.OnDataConnected(*this);
    // PROT P: the handshake comes first, bounded in time like the connection.
    if (m_transfer.pTls) {
        // No session tickets: the connection resumes the control
        // connection's session and is never resumed itself.
        if (!StartTls(*m_transfer.pTls, false)) {
            Abort();
            return;
        }
        m_timer.Start(g_nHandshakeMs, [this] { Abort(); });
        return;
    }
    BeginTransfer();
}

void CDataSocket::OnTlsHandshake(int nErrorCode) {
    m_timer.Stop();
    // A connection that could not be protected, or that did not resume the
    // control connection's own session where that is required, carries
    // nothing. One that resumed another session at a passive port is
    // someone else's (a second client on the same address): it is turned
    // away and the port waits for its own client. One that resumed nothing
    // is taken as the client's own, which does not resume: the transfer
    // fails.
    if (nErrorCode != 0) {
        Abort();
        return;
    }
    if (m_transfer.bRequireReuse && TlsSessionTag() != m_transfer.strTlsSessionTag) {
        if (TlsSessionReused() && m_pListener) {
            TurnAway();
            return;
        }
        Refuse();
        return;
    }
    if (m_transfer.bRequireReuse && !TlsSessionReused()) {
        Refuse();
        return;
    }
    m_bSessionRefused = false;
    ReleaseListener();
    BeginTransfer();
    // The first write event went to the handshake: ask for one.
    if (m_pFile && m_transfer.bSending)
        RequestSend();
}

void CDataSocket::BeginTransfer() {
    m_bConnected = true;
    m_started = std::chrono::steady_clock::now();
    // From now on a transfer that moves nothing for too long fails.
    NoteProgress(0);
    m_stallTimer.Start(g_nStallMs, [this] { CheckStall(); });
    // A listing still being written is opened once it is complete.
    if (m_transfer.pListing)
        return;
    OpenFile();
    // What a download hands the system is what its client is about to
    // get: its progress stays true, and a slow client does not have
    // megabytes queued for it. A file that fits within the limit needs none.
    if (m_transfer.bSending && (m_nTotal < 0 || m_nTotal > kUnsentLimit))
        SetUnsentLimit(kUnsentLimit);
    // A download starts at once: a new connection has room, and a small
    // file is then sent whole within the event of its command.
    if (m_pFile && m_transfer.bSending && !m_bOpenWaiting && !m_bFinished)
        SendFromFile();
}

void CDataSocket::OpenFile() {
    if (m_nError != 0) {
        // The listing could not be written.
        Fail(m_nError);
        return;
    }
    // Closing never waits for unsent bytes: the system delivers them in
    // the background, so no linger time is set.
    std::unique_ptr<CFileStream> pFile = std::move(m_transfer.pFile);
    const bool bText = m_transfer.nType != 1 && m_transfer.nType != 2;
    int nError = 0;
    if (!pFile)
        pFile.reset(new (std::nothrow) CFileStream);
    if (!pFile) {
        Fail(1);
        return;
    }
    CFileStream::Mode mode = m_transfer.bSending ? CFileStream::Mode::Read
                             : m_transfer.nRestart == 0 && !m_transfer.bAppend
                                 ? CFileStream::Mode::Truncate
                                 : CFileStream::Mode::Update;
    if (!pFile->IsOpen() && !pFile->Open(m_transfer.file, mode, bText, nError)) {
        if (!WaitForDescriptor(nError))
            Fail(nError);
        return;
    }
    m_retryTimer.Stop();
    m_bOpenWaiting = false;
    pFile->SetNetworkText(m_transfer.bNetworkText);
    m_pFile = std::move(pFile);
    // An append goes on from the end the file has now that it is locked.
    if (m_transfer.bAppend)
        m_transfer.nRestart = m_pFile->SizeAtOpen();
    // A raw download goes from the file to the socket without a copy, from
    // the restart offset on.
    m_bSendFile = m_transfer.bSending && !bText && m_transfer.nRestart >= 0 && !IsTls();
    m_nOffset = m_transfer.nRestart;
    // A binary download's size is known; a text one changes its line ends.
    if (m_transfer.bSending && !bText && !m_transfer.bDeleteAfter)
        m_nTotal = std::max<int64_t>(0, m_pFile->SizeAtOpen() - std::max<int64_t>(0, m_nOffset));
    if (!m_bSendFile && !m_pFile->Seek(m_transfer.nRestart, nError))
        Fail(nError);
}

CDataSocket::SProgress CDataSocket::Progress() const {
    SProgress progress;
    progress.strName = m_transfer.strShownName;
    progress.kind = m_transfer.bDeleteAfter ? SProgress::Kind::Listing
                    : m_transfer.bSending   ? SProgress::Kind::Download
                                            : SProgress::Kind::Upload;
    progress.nBytes = m_nMoved;
    progress.nTotal = m_nTotal;
    progress.bConnected = m_bConnected;
    progress.started = m_started;
    return progress;
}

bool CDataSocket::WaitForDescriptor(int nError) {
    // The connection took the last free descriptor: the file is opened as
    // soon as one comes free, within the time a connection may take.
    if (!IsDescriptorShortage(nError))
        return false;
    const auto now = std::chrono::steady_clock::now();
    if (!m_bOpenWaiting) {
        m_bOpenWaiting = true;
        m_openDeadline = now + std::chrono::milliseconds(g_nConnectTimeoutMs);
    } else if (now >= m_openDeadline) {
        m_bOpenWaiting = false;
        return false;
    }
    m_retryTimer.Start(kDescriptorRetryMs, [this] { RetryOpenFile(); });
    return true;
}

void CDataSocket::RetryOpenFile() {
    OpenFile();
    if (!m_pFile)
        return;
    // The events that came meanwhile were left unanswered: start moving.
    if (m_transfer.bSending)
        RequestSend();
    else
        ReceiveIntoFile();
}

void CDataSocket::OnClose(int nErrorCode) {
    if (m_pFile) {
        // A reset in the middle of a transfer is a failure, not an end; so
        // is a download the client closes before the end of the file: only
        // a whole file is complete.
        if ((nErrorCode != 0 || m_transfer.bSending) && m_nError == 0)
            m_nError = 1;
        FinishTransfer();
    } else if (!m_bFinished) {
        // Closed before its file was open (a listing still being written,
        // a descriptor still awaited): the client still gets its reply.
        m_retryTimer.Stop();
        m_bOpenWaiting = false;
        if (m_nError == 0)
            m_nError = 1;
        FinishTransfer();
    }
    End();
}

void CDataSocket::FinishTransfer() {
    EndFile();
    Report();
}

void CDataSocket::FinishSending() {
    if (m_transfer.bDeleteAfter) {
        FinishTransfer();
        EndOurSide();
        return;
    }
    EndOurSide();
    EndFile();
    m_bReportHeld = true;
    m_graceTimer.Start(m_transfer.nReplyGraceMs, [this] { ReportHeld(); });
}

void CDataSocket::EndFile() {
    m_bFinished = true;
    m_stallTimer.Stop();
    // A client that never closes its side does not hold the connection for ever.
    m_timer.Start(g_nLingerMs, [this] { End(); });
    m_bComplete = false;
    if (m_pFile) {
        // Everything is on disk (or the failure known) before the reply says so.
        int nError = 0;
        if (!m_pFile->Close(nError) && m_nError == 0)
            m_nError = nError;
        m_pFile.reset();
        m_bComplete = m_nError == 0;
    }
    m_pBuffer.reset();
    m_pPipe.reset();
}

void CDataSocket::ReportHeld() {
    if (!m_bReportHeld)
        return;
    m_bReportHeld = false;
    m_graceTimer.Stop();
    Report();
}

void CDataSocket::Report() {
    m_rOwner.OnTransferFinished(*this, m_bComplete);
    DeleteListing();
}

void CDataSocket::Abandon() {
    m_bReportHeld = false;
    m_graceTimer.Stop();
    m_timer.Stop();
    m_stallTimer.Stop();
    m_sliceTimer.Stop();
    m_retryTimer.Stop();
    m_transfer.pListing.reset();
    m_pFile.reset();
    m_pPipe.reset();
    m_pBuffer.reset();
    DeleteListing();
}
