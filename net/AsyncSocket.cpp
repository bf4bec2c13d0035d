#include "net/AsyncSocket.h"

#include "net/TlsContext.h"

#include "net/SocketDispatcher.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

CAsyncSocket::~CAsyncSocket() {
    Close();
}

bool CAsyncSocket::Create(unsigned nPort, const char* pszAddress) {
    CAddress local = CAddress::FromV4(INADDR_ANY, nPort);
    if (pszAddress && !CAddress::Parse(pszAddress, nPort, local)) {
        SetLastError(EINVAL);
        return false;
    }
    return Create(local);
}

bool CAsyncSocket::Create(const CAddress& local) {
    if (m_hSocket >= 0) {
        SetLastError(EISCONN);
        return false;
    }
    sockaddr_storage address{};
    const socklen_t nLength = local.ToSystem(address);
    if (nLength == 0) {
        SetLastError(EINVAL);
        return false;
    }
    int hSocket = ::socket(local.SystemFamily(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (hSocket < 0) {
        SetLastError(errno);
        return false;
    }
    // Lets a port whose old connections linger in TIME_WAIT be listened on
    // again; a second listener on a port in use still fails.
    int nOn = 1;
    ::setsockopt(hSocket, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
    if (::bind(hSocket, reinterpret_cast<sockaddr*>(&address), nLength) != 0) {
        SetLastError(errno);
        ::close(hSocket);
        return false;
    }
    m_hSocket = hSocket;
    m_state = State::Created;
    return true;
}

int CAsyncSocket::Listen(int nBacklog) {
    if (m_hSocket < 0 || ::listen(m_hSocket, nBacklog) != 0) {
        SetLastError(m_hSocket < 0 ? ENOTSOCK : errno);
        return -1;
    }
    m_state = State::Listening;
    m_bAcceptArmed = true;
    if (CSocketDispatcher* pDispatcher = CSocketDispatcher::Current())
        pDispatcher->Register(this);
    return 0;
}

bool CAsyncSocket::Accept(CAsyncSocket& rConnected, CAddress* pPeer) {
    if (m_hSocket < 0 || rConnected.m_hSocket >= 0) {
        SetLastError(EINVAL);
        return false;
    }
    sockaddr_storage peer{};
    socklen_t nLen = sizeof peer;
    int hSocket = ::accept4(m_hSocket, reinterpret_cast<sockaddr*>(&peer), &nLen,
                            SOCK_NONBLOCK | SOCK_CLOEXEC);
    int nError = errno;
    CSocketDispatcher* pDispatcher = CSocketDispatcher::Current();
    if (hSocket < 0 && IsDescriptorShortage(nError)) {
        // The connection stays in the backlog. Asking again at once would
        // only spin: wait until a socket closes, or a short while.
        m_bAcceptArmed = false;
        if (pDispatcher) {
            pDispatcher->UpdateInterest(this);
            pDispatcher->WaitForDescriptor(this);
        }
        SetLastError(nError);
        return false;
    }
    // The next waiting connection may be reported again.
    m_bAcceptArmed = true;
    if (pDispatcher)
        pDispatcher->UpdateInterest(this);
    if (hSocket < 0) {
        SetLastError(nError);
        return false;
    }
    if (pPeer)
        *pPeer = CAddress::FromSystem(reinterpret_cast<sockaddr*>(&peer), nLen);
    rConnected.Attach(hSocket, State::Connected);
    return true;
}

void CAsyncSocket::Attach(int hSocket, State state) {
    m_hSocket = hSocket;
    m_state = state;
    m_bReadArmed = true;
    m_bOobArmed = true;
    // One OnSend when the connection is established.
    m_bWriteWanted = true;
    if (CSocketDispatcher* pDispatcher = CSocketDispatcher::Current())
        pDispatcher->Register(this);
}

bool CAsyncSocket::Connect(const CAddress& target) {
    if (m_hSocket < 0) {
        SetLastError(ENOTSOCK);
        return false;
    }
    sockaddr_storage address{};
    const socklen_t nLength = target.ToSystem(address);
    int nResult = ::connect(m_hSocket, reinterpret_cast<const sockaddr*>(&address), nLength);
    if (nResult != 0 && errno != EINPROGRESS) {
        SetLastError(errno);
        return false;
    }
    // Even a connection made at once reports its outcome through OnConnect.
    m_state = State::Connecting;
    if (CSocketDispatcher* pDispatcher = CSocketDispatcher::Current())
        pDispatcher->Register(this);
    return true;
}

int CAsyncSocket::Send(const void* pBuffer, int nLength, int nFlags) {
    if (m_hSocket < 0) {
        SetLastError(ENOTSOCK);
        return -1;
    }
    if (m_pSsl) {
        if (m_bTlsHandshaking || nLength <= 0) {
            SetLastError(m_bTlsHandshaking ? EAGAIN : 0);
            return m_bTlsHandshaking ? -1 : 0;
        }
        ERR_clear_error();
        int nWritten = SSL_write(m_pSsl, pBuffer, nLength);
        if (nWritten > 0)
            return nWritten;
        SetLastError(TlsFailure(nWritten, false));
        return -1;
    }
    ssize_t nSent = ::send(m_hSocket, pBuffer, static_cast<size_t>(nLength), nFlags | MSG_NOSIGNAL);
    if (nSent < 0) {
        SetLastError(errno);
        if (WouldBlock())
            WantSend();
        return -1;
    }
    return static_cast<int>(nSent);
}

long CAsyncSocket::SendFile(int hFile, int64_t& rOffset, size_t nCount) {
    if (m_hSocket < 0) {
        SetLastError(ENOTSOCK);
        return -1;
    }
    if (m_pSsl) {
        // The bytes must go through TLS: the caller reads and sends them.
        SetLastError(EINVAL);
        return -1;
    }
    off_t nOffset = static_cast<off_t>(rOffset);
    ssize_t nSent = ::sendfile(m_hSocket, hFile, &nOffset, nCount);
    if (nSent < 0) {
        SetLastError(errno);
        if (WouldBlock())
            WantSend();
        return -1;
    }
    rOffset = static_cast<int64_t>(nOffset);
    return static_cast<long>(nSent);
}

void CAsyncSocket::WantSend() {
    if (!m_bWriteWanted) {
        m_bWriteWanted = true;
        if (CSocketDispatcher* pDispatcher = CSocketDispatcher::Current())
            pDispatcher->UpdateInterest(this);
    }
}

void CAsyncSocket::RequestSend() {
    if (m_hSocket >= 0)
        WantSend();
}

int CAsyncSocket::Receive(void* pBuffer, int nLength, int nFlags) {
    if (m_hSocket < 0) {
        SetLastError(ENOTSOCK);
        return -1;
    }
    bool& rArmed = (nFlags & MSG_OOB) ? m_bOobArmed : m_bReadArmed;
    if (!rArmed) {
        rArmed = true;
        if (CSocketDispatcher* pDispatcher = CSocketDispatcher::Current())
            pDispatcher->UpdateInterest(this);
    }
    if (m_pSsl && !(nFlags & MSG_OOB)) {
        if (m_bTlsHandshaking) {
            SetLastError(EAGAIN);
            return -1;
        }
        ERR_clear_error();
        int nDecrypted = SSL_read(m_pSsl, pBuffer, nLength);
        if (nDecrypted > 0)
            return nDecrypted;
        int nError = TlsFailure(nDecrypted, true);
        // The peer's close_notify, or its plain end of the connection.
        if (nError == 0)
            return 0;
        SetLastError(nError);
        return -1;
    }
    ssize_t nRead = ::recv(m_hSocket, pBuffer, static_cast<size_t>(nLength), nFlags);
    int nError = errno;
    if (nRead < 0) {
        SetLastError(nError);
        return -1;
    }
    return static_cast<int>(nRead);
}

int CAsyncSocket::ShutDown(int nHow) {
    if (m_hSocket < 0)
        return -1;
    // The end of the data is said inside TLS first, without waiting for
    // the peer's answer.
    if (m_pSsl && !m_bTlsHandshaking && nHow != 0) {
        ERR_clear_error();
        SSL_shutdown(m_pSsl);
        ERR_clear_error();
    }
    int nMode = nHow == 0 ? SHUT_RD : nHow == 1 ? SHUT_WR : SHUT_RDWR;
    return ::shutdown(m_hSocket, nMode) == 0 ? 0 : -1;
}

bool CAsyncSocket::SetNoDelay() {
    int nOn = 1;
    return m_hSocket >= 0 &&
           ::setsockopt(m_hSocket, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn) == 0;
}

void CAsyncSocket::Close() {
    if (m_hSocket < 0)
        return;
    CSocketDispatcher* pDispatcher = CSocketDispatcher::Current();
    if (pDispatcher)
        pDispatcher->Unregister(this);
    EndTls();
    ::close(m_hSocket);
    m_hSocket = -1;
    m_state = State::Closed;
    if (pDispatcher)
        pDispatcher->DescriptorFreed();
}

bool IsDescriptorShortage(int nError) {
    return nError == EMFILE || nError == ENFILE || nError == ENOBUFS || nError == ENOMEM;
}

bool CAsyncSocket::GetSockName(CAddress& rAddress) const {
    sockaddr_storage address{};
    socklen_t nLen = sizeof address;
    rAddress = CAddress();
    if (m_hSocket < 0 ||
        ::getsockname(m_hSocket, reinterpret_cast<sockaddr*>(&address), &nLen) != 0)
        return false;
    rAddress = CAddress::FromSystem(reinterpret_cast<sockaddr*>(&address), nLen);
    return true;
}

bool CAsyncSocket::GetPeerName(CAddress& rAddress) const {
    sockaddr_storage address{};
    socklen_t nLen = sizeof address;
    rAddress = CAddress();
    if (m_hSocket < 0 ||
        ::getpeername(m_hSocket, reinterpret_cast<sockaddr*>(&address), &nLen) != 0)
        return false;
    rAddress = CAddress::FromSystem(reinterpret_cast<sockaddr*>(&address), nLen);
    return true;
}

uint32_t CAsyncSocket::WantedEvents() const {
    switch (m_state) {
    case State::Listening:
        return m_bAcceptArmed ? uint32_t{EPOLLIN} : 0u;
    case State::Connecting:
        return EPOLLOUT;
    case State::Connected:
        // During a TLS handshake only what the handshake waits for.
        if (m_pSsl && m_bTlsHandshaking)
            return uint32_t{EPOLLRDHUP} | (m_bTlsWantRead ? uint32_t{EPOLLIN} : 0u) |
                   (m_bTlsWantWrite ? uint32_t{EPOLLOUT} : 0u);
        return uint32_t{EPOLLRDHUP} | (m_bReadArmed ? uint32_t{EPOLLIN} : 0u) |
               (m_bOobArmed ? uint32_t{EPOLLPRI} : 0u) |
               (m_bWriteWanted ? uint32_t{EPOLLOUT} : 0u) |
               (m_bTlsWantRead || m_bSendWantsRead ? uint32_t{EPOLLIN} : 0u) |
               (m_bTlsWantWrite || m_bReceiveWantsWrite ? uint32_t{EPOLLOUT} : 0u);
    default:
        return 0;
    }
}

bool CAsyncSocket::StartTls(const CTlsContext& context, bool bTickets) {
    if (m_hSocket < 0 || m_pSsl || m_state != State::Connected) {
        SetLastError(EINVAL);
        return false;
    }
    m_pSsl = SSL_new(context.Handle());
    if (!m_pSsl || SSL_set_fd(m_pSsl, m_hSocket) != 1) {
        EndTls();
        SetLastError(ENOMEM);
        return false;
    }
    SSL_set_accept_state(m_pSsl);
    if (!bTickets)
        SSL_set_num_tickets(m_pSsl, 0);
    // A new session's tag, unless the handshake resumes one.
    unsigned char tag[16];
    if (RAND_bytes(tag, sizeof tag) != 1) {
        EndTls();
        SetLastError(EIO);
        return false;
    }
    m_strTlsTag.assign(reinterpret_cast<const char*>(tag), sizeof tag);
    SSL_set_app_data(m_pSsl, &m_strTlsTag);
    m_bTlsHandshaking = true;
    // The client speaks first: wait for its hello.
    m_bTlsWantRead = true;
    m_bTlsWantWrite = false;
    if (CSocketDispatcher* pDispatcher = CSocketDispatcher::Current())
        pDispatcher->UpdateInterest(this);
    return true;
}

void CAsyncSocket::ContinueTlsHandshake() {
    ERR_clear_error();
    int nResult = SSL_do_handshake(m_pSsl);
    m_bTlsWantRead = m_bTlsWantWrite = false;
    if (nResult == 1) {
        m_bTlsHandshaking = false;
        TakeTlsSessionTag();
        OnTlsHandshake(0);
        return;
    }
    switch (SSL_get_error(m_pSsl, nResult)) {
    case SSL_ERROR_WANT_READ:
        m_bTlsWantRead = true;
        return;
    case SSL_ERROR_WANT_WRITE:
        m_bTlsWantWrite = true;
        return;
    default:
        // Not TLS, a version or cipher refused, or the peer went away.
        ERR_clear_error();
        OnTlsHandshake(ECONNRESET);
        return;
    }
}

int CAsyncSocket::TlsFailure(int nResult, bool bReading) {
    const int nCode = SSL_get_error(m_pSsl, nResult);
    CSocketDispatcher* pDispatcher = CSocketDispatcher::Current();
    switch (nCode) {
    case SSL_ERROR_WANT_READ:
        if (!bReading) {
            // A write that needs the peer's bytes first: OnSend comes when
            // they arrive.
            m_bSendWantsRead = true;
            if (pDispatcher)
                pDispatcher->UpdateInterest(this);
        }
        return EAGAIN;
    case SSL_ERROR_WANT_WRITE:
        if (bReading) {
            // A read that must send first: OnReceive comes when there is room.
            m_bReceiveWantsWrite = true;
            if (pDispatcher)
                pDispatcher->UpdateInterest(this);
        } else {
            WantSend();
        }
        return EAGAIN;
    case SSL_ERROR_ZERO_RETURN:
        return 0;
    case SSL_ERROR_SYSCALL: {
        const int nErrno = errno;
        ERR_clear_error();
        // A plain end of the connection where close_notify was due.
        if (nResult == 0 || nErrno == 0)
            return bReading ? 0 : EPIPE;
        return nErrno;
    }
    default:
        ERR_clear_error();
        return ECONNRESET;
    }
}

void CAsyncSocket::EndTls() {
    if (!m_pSsl)
        return;
    if (!m_bTlsHandshaking && m_hSocket >= 0) {
        // close_notify, once, without waiting for the peer's.
        ERR_clear_error();
        SSL_shutdown(m_pSsl);
    }
    ERR_clear_error();
    SSL_free(m_pSsl);
    m_pSsl = nullptr;
    m_strTlsTag.clear();
    m_bTlsHandshaking = m_bTlsWantRead = m_bTlsWantWrite = false;
    m_bReceiveWantsWrite = m_bSendWantsRead = false;
}

void CAsyncSocket::TakeTlsSessionTag() {
    SSL_SESSION* pSession = SSL_get_session(m_pSsl);
    if (!pSession)
        return;
    if (SSL_session_reused(m_pSsl) == 1) {
        // Resumed: the tag the session was given when it was new (none, for
        // a session that carries no tag: it matches nothing).
        void* pData = nullptr;
        size_t nLength = 0;
        if (SSL_SESSION_get0_ticket_appdata(pSession, &pData, &nLength) == 1 && pData)
            m_strTlsTag.assign(static_cast<const char*>(pData), nLength);
        else
            m_strTlsTag.clear();
        return;
    }
    // New: the session kept in the server's cache carries its tag too.
    SSL_SESSION_set1_ticket_appdata(pSession, m_strTlsTag.data(), m_strTlsTag.size());
}

bool CAsyncSocket::TlsSessionReused() const {
    return m_pSsl && !m_bTlsHandshaking && SSL_session_reused(m_pSsl) == 1;
}

std::string CAsyncSocket::TlsVersion() const {
    return m_pSsl ? SSL_get_version(m_pSsl) : "";
}

bool CAsyncSocket::HasTlsPending() const {
    return m_pSsl && !m_bTlsHandshaking && SSL_pending(m_pSsl) > 0;
}
