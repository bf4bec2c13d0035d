#include "ftp/DataSocket.h"

#include "net/SocketDispatcher.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>
#include <unistd.h>

CDataSocket::CDataSocket(COwner& rOwner, STransfer transfer)
    : m_rOwner(rOwner), m_transfer(std::move(transfer)), m_listing(std::move(m_transfer.pListing)),
      m_sender(*this), m_receiver(*this),
      m_pace(m_transfer.pLimiter, m_transfer.strUser, !m_transfer.bSending),
      m_protection(std::move(m_transfer.tls)) {}

CDataSocket::~CDataSocket() = default;

void CDataSocket::StartPassive(std::unique_ptr<CPassiveSocket> pListener) {
    m_pListener = std::move(pListener);
    m_timers.StartConnect([this] { Abort(); });
    m_listing.Start([this](bool bOk) { ListingWritten(bOk); });
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
    m_timers.StartConnect([this] { Abort(); });
    m_listing.Start([this](bool bOk) { ListingWritten(bOk); });
    return true;
}

void CDataSocket::ListingWritten(bool bOk) {
    if (!bOk)
        m_nError = EIO;
    if (!m_progress.bConnected)
        return;
    OpenFile();
    // The connection has been writable for a while: ask for the event that
    // starts the sending.
    if (m_pFile)
        RequestSend();
}

void CDataSocket::OnAccepted() {
    // A protected connection that must resume the control connection's own
    // session keeps the listener until its handshake shows whose it is;
    // any other has served the listener's one connection.
    if (!m_protection.KeepsListener())
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

void CDataSocket::TurnAway() {
    Close();
    // The transfer goes on waiting for its own client for what is left of
    // its connect time.
    if (!m_timers.ResumeConnect([this] { Abort(); })) {
        Abort();
        return;
    }
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
    m_timers.StopWait();
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
    m_timers.StopWait();
    if (nErrorCode != 0) {
        // The active connection could not be made; no event will come.
        Abort();
        return;
    }
    m_rOwner.OnDataConnected(*this);
    // PROT P: the handshake comes first, bounded in time like the connection.
    if (m_protection.IsOn()) {
        // No session tickets: the connection resumes the control
        // connection's session and is never resumed itself.
        if (!StartTls(m_protection.Context(), false)) {
            Abort();
            return;
        }
        m_timers.StartHandshake([this] { Abort(); });
        return;
    }
    BeginTransfer();
}

void CDataSocket::OnTlsHandshake(int nErrorCode) {
    m_timers.StopWait();
    // Whose connection it is (see CDataProtection::Verdict): a refused one
    // is told to the owner, then turned away (the port waits on) or closed
    // with the transfer; a failed handshake just ends the transfer.
    const CDataProtection::Verdict verdict = m_protection.Judge(
        nErrorCode == 0, TlsSessionTag(), TlsSessionReused(), m_pListener != nullptr);
    m_protection.Record(verdict);
    if (verdict != CDataProtection::Verdict::Accept) {
        if (verdict != CDataProtection::Verdict::Fail)
            m_rOwner.OnDataConnectionRefused(*this);
        if (verdict == CDataProtection::Verdict::TurnAway)
            TurnAway();
        else
            Abort();
        return;
    }
    ReleaseListener();
    BeginTransfer();
    // The first write event went to the handshake: ask for one.
    if (m_pFile && m_transfer.bSending)
        RequestSend();
}

void CDataSocket::BeginTransfer() {
    m_progress.bConnected = true;
    m_progress.started = std::chrono::steady_clock::now();
    // From now on a transfer that moves nothing for too long fails and
    // gives back its socket.
    m_timers.StartStallWatch([this] {
        if (m_bFinished)
            return;
        m_bStalled = true;
        Abort();
    });
    // A listing still being written is opened once it is complete.
    if (m_listing.IsWriting())
        return;
    OpenFile();
    if (m_transfer.bSending)
        m_sender.LimitUnsent(m_progress.nTotal);
    // A download starts at once: a new connection has room, and a small
    // file is then sent whole within the event of its command.
    if (m_pFile && m_transfer.bSending && !m_timers.IsWaitingForDescriptor() && !m_bFinished)
        Move();
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
        // The connection took the last free descriptor: the file is tried
        // again, and the events that come meanwhile are answered once it is
        // open.
        if (!m_timers.WaitForDescriptor(nError, [this] {
                OpenFile();
                if (m_pFile && m_transfer.bSending)
                    RequestSend();
                else if (m_pFile)
                    Move();
            }))
            Fail(nError);
        return;
    }
    m_timers.StopDescriptorWait();
    pFile->SetNetworkText(m_transfer.bNetworkText);
    m_pFile = std::move(pFile);
    // An append goes on from the end the file has now that it is locked.
    if (m_transfer.bAppend)
        m_transfer.nRestart = m_pFile->SizeAtOpen();
    // A raw download goes from the file to the socket without a copy, from
    // the restart offset on.
    const bool bWithoutCopy =
        m_transfer.bSending && !bText && m_transfer.nRestart >= 0 && !m_protection.IsOn();
    // A binary download's size is known; a text one changes its line ends.
    if (m_transfer.bSending && !bText && !m_transfer.bDeleteAfter)
        m_progress.nTotal =
            std::max<int64_t>(0, m_pFile->SizeAtOpen() - std::max<int64_t>(0, m_transfer.nRestart));
    m_sender.Start(m_transfer.nRestart, bWithoutCopy, m_progress.nTotal);
    // Under a speed limit, a held transfer goes on here when its pace says.
    m_pace.Begin([this] {
        if (m_transfer.bSending)
            return RequestSend();
        HoldInput(false);
        Move();
    });
    if (!bWithoutCopy && !m_pFile->Seek(m_transfer.nRestart, nError))
        Fail(nError);
}

CDataSocket::SProgress CDataSocket::Progress() const {
    SProgress progress = m_progress;
    progress.strName = m_transfer.strShownName;
    progress.kind = m_transfer.bDeleteAfter ? SProgress::Kind::Listing
                    : m_transfer.bSending   ? SProgress::Kind::Download
                                            : SProgress::Kind::Upload;
    progress.nLimit = m_pace.Rate();
    return progress;
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
        m_timers.StopDescriptorWait();
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

void CDataSocket::EndFile() {
    m_bFinished = true;
    m_timers.StopStallWatch();
    // A client that never closes its side does not hold the connection for ever.
    m_timers.StartLinger([this] { End(); });
    m_bComplete = false;
    if (m_pFile) {
        // Everything is on disk (or the failure known) before the reply says so.
        int nError = 0;
        if (!m_pFile->Close(nError) && m_nError == 0)
            m_nError = nError;
        m_pFile.reset();
        m_bComplete = m_nError == 0;
    }
    m_sender.Release();
    m_receiver.Release();
    m_pace.End();
}

void CDataSocket::ReportHeld() {
    if (!m_bReportHeld)
        return;
    m_bReportHeld = false;
    m_timers.StopGrace();
    Report();
}

void CDataSocket::Report() {
    m_rOwner.OnTransferFinished(*this, m_bComplete);
    DeleteListing();
}

void CDataSocket::Abandon() {
    m_bReportHeld = false;
    m_timers.StopAll();
    m_listing.Stop();
    m_pFile.reset();
    m_sender.Release();
    m_receiver.Release();
    m_pace.End();
    DeleteListing();
}
