// Non-blocking stream socket (IPv4 or IPv6) that reports readiness as events.
//
// Delivery rules: one event at a time; OnReceive only while bytes (or an
// error) wait, re-armed by Receive; OnSend once when the connection is
// established, then only after a Send that would have blocked; OnAccept once
// per waiting connection, re-armed by Accept, and once per connection the
// listener's filter held and has handed back; OnClose once, when the peer has
// closed and nothing is left to read or the connection was reset. A handler
// may delete its own object.
#pragma once

#include "net/Address.h"

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>

class CAcceptFilter;
class CSocketDispatcher;
class CTlsContext;
typedef struct ssl_st SSL;

// True for the errors that mean the system has no descriptor (or memory)
// left for a new socket: waiting, not retrying, is the cure.
bool IsDescriptorShortage(int nError);

class CAsyncSocket {
public:
    CAsyncSocket();
    virtual ~CAsyncSocket();
    CAsyncSocket(const CAsyncSocket&) = delete;
    CAsyncSocket& operator=(const CAsyncSocket&) = delete;

    // Opens an IPv4 stream socket bound to nPort (0: the system chooses) on
    // all local interfaces, or on pszAddress (IPv4 or IPv6) when given.
    bool Create(unsigned nPort = 0, const char* pszAddress = nullptr);
    // Opens a stream socket of local's family bound to local (its port 0:
    // the system chooses). An IPv6 socket is dual-stack: bound to "::" it
    // takes IPv4 connections too.
    bool Create(const CAddress& local);
    // Opens a local (UNIX domain) stream socket bound to strPath, with the
    // permission bits nMode; the path must not exist.
    bool CreateLocal(const std::string& strPath, unsigned nMode);
    // bReportAtOnce false: no OnAccept until the first Accept has found
    // nothing waiting (a listener whose owner takes its connection when it
    // is ready for it, and is not woken before).
    int Listen(int nBacklog = 5, bool bReportAtOnce = true);
    // Moves the waiting connection into rConnected, which gets its events;
    // pPeer, when given, receives the peer's address (for a connection
    // that came through a balancer, the client its header named).
    bool Accept(CAsyncSocket& rConnected, CAddress* pPeer = nullptr);
    // A listening socket's filter (see CAcceptFilter), which it owns and
    // which goes when it closes (null: none). Accept asks it about every
    // new connection; a connection it held and hands back is reported by
    // OnAccept, from the loop, and taken by the next Accept before any
    // other.
    void SetAcceptFilter(std::unique_ptr<CAcceptFilter> pFilter);
    // Connections the filter holds back now.
    size_t HeldConnections() const;
    // The connection came through a balancer: a listener's filter held it
    // and named its peer (the client the header named, or the balancer
    // itself for a health check).
    bool CameThroughBalancer() const { return m_pNamedPeer != nullptr; }
    // Starts a connection: true while it is under way; OnConnect then
    // reports the outcome (even of a connection made at once).
    bool Connect(const CAddress& address);
    int Send(const void* pBuffer, int nLength, int nFlags = 0);
    int Receive(void* pBuffer, int nLength, int nFlags = 0);
    // Sends up to nCount bytes of the file hFile from rOffset, without
    // copying them through the process (sendfile); rOffset moves past what
    // was sent. -1 on failure; "would block" brings OnSend as Send does.
    long SendFile(int hFile, int64_t& rOffset, size_t nCount);
    // Moves up to nCount received bytes into the pipe hPipe without copying
    // them through the process (splice): the count moved, 0 at the end of
    // the stream, -1 on failure (EINVAL where the socket cannot splice, as
    // under TLS). Re-arms receiving as Receive does.
    long ReceiveToPipe(int hPipe, size_t nCount);
    int ShutDown(int nHow = 1);
    // TLS, server side: the connection is upgraded in place and the
    // handshake runs inside the event loop; OnTlsHandshake reports its end.
    // Until then Send and Receive would block. Afterwards they carry
    // application data through TLS, SendFile refuses (EINVAL), data TLS has
    // already decrypted is delivered without waiting for the network, and
    // Close and ShutDown send close_notify without waiting. The socket keeps
    // what it needs of the context (OpenSSL counts its references), owns its
    // TLS state and frees it when it closes. bTickets: offer the client tickets to resume this
    // session later; a connection that only carries data to a client that
    // never reads from it must not, or the unread tickets make the client's
    // close a reset.
    bool StartTls(const CTlsContext& context, bool bTickets = true);
    bool IsTls() const { return m_pSsl != nullptr; }
    bool IsTlsHandshaking() const { return m_pSsl != nullptr && m_bTlsHandshaking; }
    // After the handshake: the client resumed an earlier session.
    bool TlsSessionReused() const;
    // What the TLS session descends from: a tag made for a new session and
    // carried inside every session resumed from it (in its tickets, and in
    // the server's session cache), so that two sessions can be told to be
    // one session's or not. Empty without TLS.
    std::string TlsSessionTag() const { return m_strTlsTag; }
    // After the handshake: "TLSv1.3" or "TLSv1.2".
    std::string TlsVersion() const;
    // Bytes the socket itself holds for reading (decrypted by TLS), which
    // no readiness of the network will announce.
    bool HasBufferedInput() const;

    // The peer has closed its side (or reset the connection), whether or
    // not that event has been delivered yet.
    bool PeerHasClosed() const;
    // Holds the socket's input (a transfer over its speed limit): no receive
    // event and no word of the peer's close while held, so that bytes stay
    // in the system and the peer's window fills. Released, the owner
    // receives again by itself (bytes already waiting bring no new event).
    void HoldInput(bool bHold);
    bool IsInputHeld() const { return m_bInputHeld; }
    // Sends small writes at once instead of holding them for coalescing.
    bool SetNoDelay();
    // Holds at most about nBytes sent but not yet on their way (on top of
    // what the peer's window lets go): beyond that a send would block. A
    // slow peer then no longer has megabytes queued for it in the system.
    bool SetUnsentLimit(int nBytes);
    void Close();

    bool GetSockName(CAddress& rAddress) const;
    // The peer: for a connection that came through a balancer, the client
    // its header named.
    bool GetPeerName(CAddress& rAddress) const;
    // A local socket's peer: the user id of the process at its other end.
    bool GetPeerUser(unsigned& rUid) const;

    int Handle() const { return m_hSocket; }
    // The errno of this socket's last failed operation.
    int LastError() const { return m_nLastError; }
    // The last operation failed only because it cannot complete now: wait
    // for the next event.
    bool WouldBlock() const { return m_nLastError == EAGAIN || m_nLastError == EWOULDBLOCK; }

    virtual void OnReceive(int /*nErrorCode*/) {}
    virtual void OnSend(int /*nErrorCode*/) {}
    virtual void OnOutOfBandData(int /*nErrorCode*/) {}
    virtual void OnAccept(int /*nErrorCode*/) {}
    virtual void OnConnect(int /*nErrorCode*/) {}
    virtual void OnClose(int /*nErrorCode*/) {}
    // The TLS handshake has ended: 0 on success, else an errno cause (the
    // connection is then of no further use).
    virtual void OnTlsHandshake(int /*nErrorCode*/) {}

protected:
    // Asks for an OnSend as soon as the socket can take more bytes, so that
    // a sender that stopped to give other connections their turn resumes.
    void RequestSend();
    // Takes a connected descriptor (one a listener's filter holds) and
    // delivers its events from now on.
    void AttachConnected(int hSocket) { Attach(hSocket, State::Connected); }
    // Gives the descriptor up without closing it: the socket is closed to
    // its events and its owner.
    int Detach();

private:
    friend class CSocketDispatcher;
    // What a listener keeps for its filter: the filter, and the held
    // connections it has handed back, oldest first.
    struct SFiltered;

    // Asks for OnSend once the socket can take more bytes.
    void WantSend();
    // Asks again for the receive (or urgent data) event rArmed stands for.
    void Arm(bool& rArmed);

    enum class State { Closed, Created, Listening, Connecting, Connected, Finished };
    using Handler = void (CAsyncSocket::*)(int);

    // From the dispatcher: turns the readiness nEvents into this socket's
    // events. The socket may be gone when it returns.
    void Deliver(uint32_t nEvents, CSocketDispatcher& rDispatcher);
    // From the dispatcher: delivers bytes the socket holds itself.
    void DeliverBufferedInput(CSocketDispatcher& rDispatcher);
    // A listener that waited for a descriptor asks for accepts again.
    void ResumeAccepting();
    void DeliverConnectOutcome(uint32_t nEvents, CSocketDispatcher& rDispatcher);
    void DeliverToConnected(uint32_t nEvents, CSocketDispatcher& rDispatcher);
    // The waits of TLS: a handshake under way takes every readiness; a read
    // that needs a write (or a write a read) is finished. False when
    // nothing more is to be delivered.
    bool DeliverTlsWaits(uint32_t nEvents, CSocketDispatcher& rDispatcher);
    // The peer has closed or reset: bytes still waiting, then OnClose.
    void DeliverPeerClosed(uint32_t nEvents, CSocketDispatcher& rDispatcher);
    // Runs a handler; true when the socket is still there and connected.
    bool Fire(Handler handler, CSocketDispatcher& rDispatcher);
    // pSocket, with this handle and registration, still exists and is
    // connected (static: no member of a deleted socket is called).
    static bool StillConnected(const CSocketDispatcher& rDispatcher, const CAsyncSocket* pSocket,
                               int hSocket, uint32_t nSerial);
    // Tells the dispatcher of bytes held for reading.
    void NoteBufferedInput(CSocketDispatcher& rDispatcher);

    void SetLastError(int nError) { m_nLastError = nError; }
    // Send and Receive through TLS.
    int SendTls(const void* pBuffer, int nLength);
    int ReceiveTls(void* pBuffer, int nLength);
    // close_notify, without waiting for the peer's (after the handshake).
    void SayTlsEnd();
    // Runs the handshake as far as the network allows.
    void ContinueTlsHandshake();
    // Maps a failed SSL call to an errno cause, arming what it waits for.
    int TlsFailure(int nResult, bool bReading);
    void EndTls();
    // After a handshake: the tag of the session now in use.
    void TakeTlsSessionTag();
    void Attach(int hSocket, State state);
    // From the filter: a held connection may go on. Reported by OnAccept
    // from the loop, not from inside the event that freed it.
    void HeldReady(int hSocket, const CAddress& peer);
    // Moves a connection the filter handed back into rConnected.
    bool TakeHeldReady(CAsyncSocket& rConnected, CAddress* pPeer);
    bool HasHeldReady() const;
    uint32_t WantedEvents() const;

    int m_hSocket = -1;
    // A listener's filter and the connections it handed back.
    std::unique_ptr<SFiltered> m_pFiltered;
    // A connection that came through a balancer: the client it carries.
    std::unique_ptr<CAddress> m_pNamedPeer;
    State m_state = State::Closed;
    uint32_t m_nSerial = 0;     // registration number, guards against handle reuse
    uint32_t m_nRegistered = 0; // events the epoll instance is watching
    bool m_bInEpoll = false;
    bool m_bInterestQueued = false; // an interest change waits for the delivery's end
    bool m_bReadArmed = false;
    bool m_bOobArmed = false;
    bool m_bAcceptArmed = false;
    bool m_bWriteWanted = false;
    bool m_bInputHeld = false;
    int m_nLastError = 0;
    SSL* m_pSsl = nullptr;
    // The session's tag (see TlsSessionTag); the SSL object's app data
    // points at it, so that tickets issued on this connection carry it.
    std::string m_strTlsTag;
    bool m_bTlsHandshaking = false;
    bool m_bTlsWantRead = false;       // the handshake waits for bytes
    bool m_bTlsWantWrite = false;      // the handshake waits for room
    bool m_bReceiveWantsWrite = false; // a read waits for room (TLS)
    bool m_bSendWantsRead = false;     // a write waits for bytes (TLS)
    bool m_bTlsReadStarved = false;    // the last read found no whole record
    uint64_t m_nBytesTaken = 0;        // bytes receives have given the owner
};
