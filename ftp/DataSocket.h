// One data connection: sends a local file (a download, or a listing's
// temporary file) or receives into one (an upload), and reports the end of
// the transfer to the control connection that started it, which answers
// "226 Transfer complete" or "425 Data connection reset". A download whose
// bytes are all out reports its end once its client has closed the
// connection (or after a short grace, or at the client's next command): a
// client never reads that reply together with the transfer's 150.
//
// Ownership: the control connection owns it (in its m_dataSockets) and,
// once attached, it owns its passive listener. It never deletes itself:
// when it has nothing more to do (the client closed it, a failed connect,
// a failed upload, no connection within kConnectTimeoutMs, a finished
// transfer whose client keeps it open for kLingerMs) it tells its owner,
// which releases it after the current event.
//
// It is the socket and what its owner sees; the moving of the bytes is a
// CDownloadSender's or a CUploadReceiver's, its waits are CDataTimers', a
// listing still being written is a CListingWriter's, and its TLS side (PROT
// P: whether it is protected, and the verdict on whose connection it is once
// its handshake has ended) a CDataProtection's, which it owns and whose
// verdict it acts on: it starts the handshake, keeps the passive listener
// until the verdict, and accepts, turns away or refuses the connection.
#pragma once

#include "fs/FileStream.h"
#include "fs/LocalPath.h"
#include "ftp/DataProtection.h"
#include "ftp/DataTimers.h"
#include "ftp/DownloadSender.h"
#include "ftp/Listing.h"
#include "ftp/ListingWriter.h"
#include "ftp/PassiveSocket.h"
#include "ftp/TransferPace.h"
#include "ftp/UploadReceiver.h"
#include "net/AsyncSocket.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

class CDataSocket : public CAsyncSocket, private CPassiveSocket::CTarget {
public:
    // After a download's last byte its reply waits at most this long for
    // the client to close the connection (see STransfer::nReplyGraceMs).
    static constexpr int kDefaultReplyGraceMs = 200;

    // What a data connection reports to the control connection that owns it.
    class COwner {
    public:
        // The connection is made: the transfer's first byte may follow.
        virtual void OnDataConnected(CDataSocket& rData) = 0;
        // The transfer has ended, whole or not; the file is closed.
        virtual void OnTransferFinished(CDataSocket& rData, bool bComplete) = 0;
        // Nothing more will happen on this connection: release it.
        virtual void OnDataSocketEnded(CDataSocket& rData) = 0;
        // A protected connection did not resume the control connection's
        // own TLS session and carries nothing (one that resumed another
        // client's session at the passive port is turned away, and the
        // transfer goes on waiting).
        virtual void OnDataConnectionRefused(CDataSocket& rData) = 0;

    protected:
        ~COwner() = default;
    };

    // What to move: the file, its direction and the control connection's
    // transfer type and restart offset at the moment of the command.
    struct STransfer {
        CLocalPath file; // a listing's temporary file is unconfined
        bool bSending = true;
        bool bDeleteAfter = false; // a listing: deleted when the transfer ends
        int nType = 0;             // 0 ASCII (text), 1 local byte size 8, 2 image
        int64_t nRestart = 0;
        // A listing still being written into the file: sending waits for it.
        std::unique_ptr<CListingBuilder> pListing;
        // Type A as RFC 959 wants it (the extended mode), not the classic
        // platform text translation.
        bool bNetworkText = false;
        // An upload that adds to the end of the file (APPE).
        bool bAppend = false;
        // PROT P: the connection is a TLS server, and may have to resume
        // the control connection's own session (see CDataProtection).
        CDataProtection::SSettings tls;
        // What the server's views call it: the virtual path, or the listed
        // folder of a listing.
        std::string strShownName;
        // A download's file, opened at its command; null: opened once the
        // connection is made.
        std::unique_ptr<CFileStream> pFile;
        // A download's end is reported when its client closes the
        // connection, or this long after the last byte went out.
        int nReplyGraceMs = kDefaultReplyGraceMs;
        // The server's speed limits, and whose transfer it is for them;
        // null: never limited.
        CRateLimiter* pLimiter = nullptr;
        std::string strUser;
    };

    // How far a transfer has come, for the views: read when they look, kept
    // by the transfer at no cost beyond one addition per send or receive.
    struct SProgress {
        std::string strName;
        enum class Kind { Download, Upload, Listing } kind = Kind::Download;
        int64_t nBytes = 0;  // moved so far
        int64_t nTotal = -1; // bytes to move, -1 when not known
        bool bConnected = false;
        std::chrono::steady_clock::time_point started; // when bytes began to move
        int64_t nLimit = 0; // bytes a second a speed limit holds it to; 0: none
    };
    SProgress Progress() const;

    CDataSocket(COwner& rOwner, STransfer transfer);
    ~CDataSocket() override;

    // Waits for the client on the passive listener, which it now owns; the
    // transfer may start (and even end) before this returns.
    void StartPassive(std::unique_ptr<CPassiveSocket> pListener);
    // Connects to the client's PORT address; false when that fails at once.
    bool StartActive(const CAddress& address);
    // Ends without a reply: file closed, temporary listing deleted; used
    // when the control connection goes away.
    void Abandon();
    // True once the transfer has ended: its file is closed, and its end
    // reported or about to be (see HasHeldReport).
    bool IsFinished() const { return m_bFinished; }
    // A download whose bytes are all out and whose end is not reported yet:
    // its client has not closed the connection, and the grace runs.
    bool HasHeldReport() const { return m_bReportHeld; }
    // Reports a held end at once (the client has moved on to its next
    // command, whose reply must come after this one).
    void ReportHeld();
    // True when the transfer failed because nothing moved for kStallMs.
    bool IsStalled() const { return m_bStalled; }
    // True when a protected connection did not resume the control
    // connection's own TLS session (the transfer fails with 522 if no
    // connection that does comes).
    bool IsSessionRefused() const { return m_protection.IsRefused(); }
    // Why the listing it sends could not be written to its end (an errno);
    // 0 when it was, or when it sends no listing.
    int ListingError() const { return m_listing.Error(); }
    const CLocalPath& File() const { return m_transfer.file; }

    void OnReceive(int nErrorCode) override;
    void OnSend(int nErrorCode) override;
    void OnOutOfBandData(int nErrorCode) override;
    void OnConnect(int nErrorCode) override;
    void OnClose(int nErrorCode) override;
    void OnTlsHandshake(int nErrorCode) override;

    // The limits of the byte moving and of the waits, for those that know
    // them by the data connection's name (see ByteMover.h, DownloadSender.h,
    // UploadReceiver.h and DataTimers.h).
    static constexpr int kEventBudget = CByteMover::kEventBudget;
    static constexpr int kBlockSize = CByteMover::kBlockSize;
    static constexpr size_t kBurstLimit = CByteMover::kBurstLimit;
    static constexpr int kSmallFile = CDownloadSender::kSmallFile;
    static constexpr int kUnsentLimit = CDownloadSender::kUnsentLimit;
    static constexpr int kPipeSize = CUploadReceiver::kPipeSize;
    static constexpr int kConnectTimeoutMs = CDataTimers::kConnectTimeoutMs;
    static constexpr int kLingerMs = CDataTimers::kLingerMs;
    static constexpr int kDescriptorRetryMs = CDataTimers::kDescriptorRetryMs;
    static constexpr int kHandshakeMs = CDataTimers::kHandshakeMs;
    static constexpr int kStallMs = CDataTimers::kStallMs;
    // Tests only: uploads copied through the process, as where the socket
    // or the file system cannot splice.
    static void SetZeroCopyForTests(bool bZeroCopy) {
        CUploadReceiver::SetZeroCopyForTests(bZeroCopy);
    }
    // Tests only: shorter waits than the real ones.
    static void SetTimeoutsForTests(int nConnectMs, int nLingerMs, int nHandshakeMs = kHandshakeMs,
                                    int nStallMs = kStallMs) {
        CDataTimers::SetTimeoutsForTests(nConnectMs, nLingerMs, nHandshakeMs, nStallMs);
    }

private:
    // The passive listener's target.
    CAsyncSocket& AcceptTarget() override { return *this; }
    void OnAccepted() override;
    void OnAcceptLost() override;

    // Closes the passive listener: its one connection has been taken.
    void ReleaseListener();
    // Closes a connection that is not the client's own and attaches to the
    // listener again, for what is left of the connect time.
    void TurnAway();
    // The connection is made (and protected where asked): the transfer starts.
    void BeginTransfer();
    // The listing being written is complete: its sending may start.
    void ListingWritten(bool bOk);
    // Opens the file and starts moving bytes (the connection is made).
    void OpenFile();
    // Ends the sending side of the connection (once).
    void EndOurSide();
    // Reports the end of the transfer; the file is closed first.
    void FinishTransfer();
    // The file closed, the transfer marked finished; m_bComplete set.
    void EndFile();
    // Tells the owner how the transfer ended.
    void Report();
    // Records the error and ends the transfer; an upload is closed at once.
    void Fail(int nError);
    // Fails the transfer and asks the owner to release this connection.
    void Abort();
    // Asks the owner to release this connection; nothing of it is used after.
    void End();
    void DeleteListing();
    // Acts on how a turn of moving bytes went: bytes moved keep the
    // transfer alive; at the last byte a listing or an upload reports its
    // end and ends our side, while a download ends our side at once, closes
    // its file, and its report waits for the client's close or the grace: a
    // client that has all the bytes and closes gets the reply after that
    // close, never in the same read as the transfer's start.
    void AfterMove(const CByteMover::SResult& result);
    // One turn of moving bytes, in the transfer's direction, as far as its
    // speed limit allows; a transfer held by it moves nothing (an upload
    // leaves its bytes in the system) until its pace calls it back.
    void Move();

    COwner& m_rOwner;
    STransfer m_transfer;
    // The listing still being written into the transfer's file.
    CListingWriter m_listing;
    std::unique_ptr<CFileStream> m_pFile;
    std::unique_ptr<CPassiveSocket> m_pListener;
    int m_nError = 0; // 0, 1 for a socket error, else the file layer's cause
    bool m_bFinished = false;
    bool m_bEnded = false;
    bool m_bOurSideEnded = false;
    // How the ended transfer went, and whether saying so waits (see
    // AfterMove).
    bool m_bComplete = false;
    bool m_bReportHeld = false;
    CDownloadSender m_sender;
    CUploadReceiver m_receiver;
    CTransferPace m_pace;
    CDataTimers m_timers;
    bool m_bStalled = false;
    // PROT P, and whether the connection was refused for its TLS session.
    CDataProtection m_protection;
    // Bytes moved, the size to move (-1: not known), when moving began,
    // whether the connection is made; its name and kind are the transfer's.
    SProgress m_progress;
};
