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
#pragma once

#include "fs/FileStream.h"
#include "fs/LocalPath.h"
#include "ftp/Listing.h"
#include "ftp/PassiveSocket.h"
#include "net/AsyncSocket.h"
#include "net/Timer.h"

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
        // PROT P: the connection is a TLS server with this certificate;
        // with bRequireReuse it must resume the control connection's session.
        std::shared_ptr<const CTlsContext> pTls;
        bool bRequireReuse = false;
        // The control connection's TLS session tag that must be resumed.
        std::string strTlsSessionTag;
        // What the server's views call it: the virtual path, or the listed
        // folder of a listing.
        std::string strShownName;
        // A download's file, opened at its command; null: opened once the
        // connection is made.
        std::unique_ptr<CFileStream> pFile;
        // A download's end is reported when its client closes the
        // connection, or this long after the last byte went out.
        int nReplyGraceMs = kDefaultReplyGraceMs;
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
    bool IsSessionRefused() const { return m_bSessionRefused; }
    // Why the listing it sends could not be written to its end (an errno);
    // 0 when it was, or when it sends no listing.
    int ListingError() const { return m_nListingError; }
    const CLocalPath& File() const { return m_transfer.file; }

    void OnReceive(int nErrorCode) override;
    void OnSend(int nErrorCode) override;
    void OnOutOfBandData(int nErrorCode) override;
    void OnConnect(int nErrorCode) override;
    void OnClose(int nErrorCode) override;
    void OnTlsHandshake(int nErrorCode) override;

    // Bytes moved per event before other connections get their turn. At
    // loopback speed 256 KiB take well under a millisecond, which keeps
    // every other session's reply within a millisecond while transfers run,
    // and is large enough that the per-event cost is lost in the copy.
    static constexpr int kEventBudget = 256 * 1024;
    // The block of a download in text mode and of an upload, allocated only
    // while the transfer runs.
    static constexpr int kBlockSize = 128 * 1024;
    // While no other connection waits, a transfer goes on past its fair
    // share, looking again after each kEventBudget bytes, up to this much
    // per event.
    static constexpr size_t kBurstLimit = 8 * 1024 * 1024;
    // A binary download smaller than this is read and sent with its end in
    // one piece (see SendSmallFileWhole).
    static constexpr int kSmallFile = 16 * 1024;
    // Bytes of a download the system may hold not yet on their way.
    static constexpr int kUnsentLimit = 512 * 1024;
    // The pipe an upload in TYPE I goes through from the socket to the file
    // without a copy (where the system allows a pipe this large).
    static constexpr int kPipeSize = 1024 * 1024;
    // Tests only: uploads copied through the process, as where the socket
    // or the file system cannot splice.
    static void SetZeroCopyForTests(bool bZeroCopy);
    // A connection not established this long after its transfer command
    // fails, giving back its listener, its port and its listing file.
    static constexpr int kConnectTimeoutMs = 60 * 1000;
    // A finished transfer whose client keeps the connection open is closed
    // after this long.
    static constexpr int kLingerMs = 60 * 1000;
    // How often a file that could not be opened for want of a descriptor
    // is tried again.
    static constexpr int kDescriptorRetryMs = 100;
    // A TLS handshake that has not ended this long after it began fails.
    static constexpr int kHandshakeMs = 30 * 1000;
    // A transfer that moves no byte this long fails and gives back its socket.
    static constexpr int kStallMs = 5 * 60 * 1000;
    // Tests only: shorter waits than the real ones.
    static void SetTimeoutsForTests(int nConnectMs, int nLingerMs, int nHandshakeMs = kHandshakeMs,
                                    int nStallMs = kStallMs);
    // The limit of a TLS handshake in force (kHandshakeMs but in tests).
    static int HandshakeTimeoutMs();

private:
    // The passive listener's target.
    CAsyncSocket& AcceptTarget() override { return *this; }
    void OnAccepted() override;
    void OnAcceptLost() override;

    void StartConnectTimer();
    // Closes the passive listener: its one connection has been taken.
    void ReleaseListener();
    // Fails the transfer: its connection did not resume the session.
    void Refuse();
    // Closes a connection that is not the client's own and attaches to the
    // listener again, for what is left of the connect time.
    void TurnAway();
    // A byte moved: the transfer is alive.
    void NoteProgress(int64_t nBytes);
    // Fails the transfer when nothing has moved for the stall time.
    void CheckStall();
    // The connection is made (and protected where asked): the transfer starts.
    void BeginTransfer();
    // Writes the next slice of a listing that is still being built.
    void ScheduleListingSlice();
    void BuildListingSlice();
    // Opens the file and starts moving bytes (the connection is made).
    void OpenFile();
    // After a failed open: true when it failed for want of a descriptor and
    // a retry is scheduled (at most kConnectTimeoutMs of them in all).
    bool WaitForDescriptor(int nError);
    void RetryOpenFile();
    void SendFromFile();
    // Ends the sending side of the connection (once).
    void EndOurSide();
    void SendWithoutCopy();
    // A small binary download sent in one go; false when the usual way
    // must go on (from m_nOffset).
    bool SendSmallFileWhole();
    void SendThroughBuffer();
    bool AllocateBuffer();
    void ReceiveIntoFile();
    // An upload in TYPE I: socket to pipe to file, without a copy.
    void ReceiveBySplice();
    bool OpenPipe();
    // Reports the end of the transfer; the file is closed first.
    void FinishTransfer();
    // The last byte is out. A listing reports its end and ends our side. A
    // download ends our side at once, closes its file, and its report
    // waits for the client's close or the grace: a client that has all the
    // bytes and closes gets the reply after that close, never in the same
    // read as the transfer's start.
    void FinishSending();
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

    COwner& m_rOwner;
    STransfer m_transfer;
    std::unique_ptr<CFileStream> m_pFile;
    std::unique_ptr<CPassiveSocket> m_pListener;
    int m_nError = 0; // 0, 1 for a socket error, else the file layer's cause
    bool m_bFinished = false;
    bool m_bEnded = false;
    bool m_bConnected = false;
    bool m_bOurSideEnded = false;
    // How the ended transfer went, and whether saying so waits (see
    // FinishSending).
    bool m_bComplete = false;
    bool m_bReportHeld = false;
    CTimer m_graceTimer;
    CTimer m_sliceTimer;
    std::unique_ptr<char[]> m_pBuffer;
    // An upload's pipe (see kPipeSize), open only while it runs.
    struct SPipe {
        int hRead = -1;
        int hWrite = -1;
        int nSize = 0;
        ~SPipe();
    };
    std::unique_ptr<SPipe> m_pPipe;
    // The socket or the file cannot splice: the upload is copied.
    bool m_bCopyUpload = false;
    int m_nStart = 0;   // sending: first byte of m_pBuffer not yet sent
    int m_nPending = 0; // sending: bytes from m_nStart not yet sent
    bool m_bSendFile = false;
    int64_t m_nOffset = 0; // the next byte of a download without copy
    CTimer m_timer;
    // The end of the wait for the connection.
    std::chrono::steady_clock::time_point m_connectDeadline;
    // Waiting for a descriptor to open the file, until m_openDeadline.
    bool m_bOpenWaiting = false;
    std::chrono::steady_clock::time_point m_openDeadline;
    CTimer m_retryTimer;
    // The last time a byte moved, and the timer that looks at it.
    std::chrono::steady_clock::time_point m_lastProgress;
    CTimer m_stallTimer;
    bool m_bStalled = false;
    bool m_bSessionRefused = false;
    int m_nListingError = 0;
    // Bytes moved, the size to move (-1: not known), when moving began.
    int64_t m_nMoved = 0;
    int64_t m_nTotal = -1;
    std::chrono::steady_clock::time_point m_started;
};
