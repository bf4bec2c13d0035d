#include "net/AsyncSocket.h"

#include "net/AcceptFilter.h"
#include "net/SocketDispatcher.h"

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

struct CAsyncSocket::SFiltered {
    struct SReady {
        int hSocket;
        CAddress peer;
    };
    explicit SFiltered(std::unique_ptr<CAcceptFilter> pFilterIn) : pFilter(std::move(pFilterIn)) {}
    // What it still holds goes with it.
    ~SFiltered() {
        pFilter.reset();
        for (const SReady& rReady : ready)
            ::close(rReady.hSocket);
    }
    SFiltered(const SFiltered&) = delete;
    SFiltered& operator=(const SFiltered&) = delete;

    std::unique_ptr<CAcceptFilter> pFilter;
    std::vector<SReady> ready;
};

CAsyncSocket::CAsyncSocket() = default;

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
    // An IPv6 socket takes IPv4 too (its peers then read as plain IPv4),
    // whatever the system's default.
    if (local.SystemFamily() == AF_INET6) {
        int nOff = 0;
        ::setsockopt(hSocket, IPPROTO_IPV6, IPV6_V6ONLY, &nOff, sizeof nOff);
    }
    if (::bind(hSocket, reinterpret_cast<sockaddr*>(&address), nLength) != 0) {
        SetLastError(errno);
        ::close(hSocket);
        return false;
    }
    m_hSocket = hSocket;
    m_state = State::Created;
    return true;
}

bool CAsyncSocket::CreateLocal(const std::string& strPath, unsigned nMode) {
    sockaddr_un address{};
    if (m_hSocket >= 0 || strPath.size() >= sizeof address.sun_path) {
        SetLastError(m_hSocket >= 0 ? EISCONN : ENAMETOOLONG);
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, strPath.c_str(), strPath.size() + 1);
    int hSocket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (hSocket < 0) {
        SetLastError(errno);
        return false;
    }
    // The bits hold from the moment the path exists: no one else can
    // connect in between.
    const mode_t nOld = ::umask(0777 & ~static_cast<mode_t>(nMode));
    const int nResult = ::bind(hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address);
    const int nError = errno;
    ::umask(nOld);
    if (nResult != 0) {
        SetLastError(nError);
        ::close(hSocket);
        return false;
    }
    m_hSocket = hSocket;
    m_state = State::Created;
    return true;
}

int CAsyncSocket::Listen(int nBacklog, bool bReportAtOnce) {
    if (m_hSocket < 0 || ::listen(m_hSocket, nBacklog) != 0) {
        SetLastError(m_hSocket < 0 ? ENOTSOCK : errno);
        return -1;
    }
    m_state = State::Listening;
    m_bAcceptArmed = bReportAtOnce;
    if (CSocketDispatcher* pDispatcher = CSocketDispatcher::Current())
        pDispatcher->Register(this);
    return 0;
}

bool CAsyncSocket::Accept(CAsyncSocket& rConnected, CAddress* pPeer) {
    if (m_hSocket < 0 || rConnected.m_hSocket >= 0) {
        SetLastError(EINVAL);
        return false;
    }
    // A connection the filter held back and has handed back comes first.
    // The report that led here may have been a new connection's readiness,
    // which disarmed the listener: it is armed again, or that connection
    // would wait in the backlog unheard.
    if (TakeHeldReady(rConnected, pPeer)) {
        if (!m_bAcceptArmed) {
            m_bAcceptArmed = true;
            if (CSocketDispatcher* pDispatcher = CSocketDispatcher::Current())
                pDispatcher->UpdateInterest(this);
        }
        return true;
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
    const CAddress from = CAddress::FromSystem(reinterpret_cast<sockaddr*>(&peer), nLen);
    const AcceptVerdict verdict =
        m_pFiltered ? m_pFiltered->pFilter->Consider(hSocket, from) : AcceptVerdict::Pass;
    if (verdict != AcceptVerdict::Pass) {
        // Held: offered once the filter hands it back.
        if (verdict == AcceptVerdict::Drop)
            ::close(hSocket);
        SetLastError(EWOULDBLOCK);
        return false;
    }
    if (pPeer)
        *pPeer = from;
    rConnected.Attach(hSocket, State::Connected);
    return true;
}

void CAsyncSocket::SetAcceptFilter(std::unique_ptr<CAcceptFilter> pFilter) {
    m_pFiltered.reset();
    if (!pFilter)
        return;
    m_pFiltered = std::make_unique<SFiltered>(std::move(pFilter));
    m_pFiltered->pFilter->SetReadyHandler(
        [this](int hSocket, const CAddress& peer) { HeldReady(hSocket, peer); });
}

size_t CAsyncSocket::HeldConnections() const {
    return m_pFiltered ? m_pFiltered->pFilter->HeldCount() : 0;
}

void CAsyncSocket::HeldReady(int hSocket, const CAddress& peer) {
    m_pFiltered->ready.push_back({hSocket, peer});
    // Reported as the listener's own event, once per connection, after the
    // event under way (the held connection's own) has returned.
    if (CSocketDispatcher* pDispatcher = CSocketDispatcher::Current())
        pDispatcher->NoteBufferedInput(this);
}

bool CAsyncSocket::HasHeldReady() const {
    return m_pFiltered && !m_pFiltered->ready.empty();
}

bool CAsyncSocket::TakeHeldReady(CAsyncSocket& rConnected, CAddress* pPeer) {
    if (!HasHeldReady())
        return false;
    const SFiltered::SReady ready = m_pFiltered->ready.front();
    m_pFiltered->ready.erase(m_pFiltered->ready.begin());
    if (pPeer)
        *pPeer = ready.peer;
    rConnected.Attach(ready.hSocket, State::Connected);
    rConnected.m_pNamedPeer = std::make_unique<CAddress>(ready.peer);
    return true;
}

int CAsyncSocket::Detach() {
    if (m_hSocket < 0)
        return -1;
    if (CSocketDispatcher* pDispatcher = CSocketDispatcher::Current())
        pDispatcher->Unregister(this, true);
    const int hSocket = m_hSocket;
    m_hSocket = -1;
    m_state = State::Closed;
    return hSocket;
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
    if (m_pSsl)
        return SendTls(pBuffer, nLength);
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

long CAsyncSocket::ReceiveToPipe(int hPipe, size_t nCount) {
    if (m_hSocket < 0) {
        SetLastError(ENOTSOCK);
        return -1;
    }
    Arm(m_bReadArmed);
    if (m_pSsl) {
        // The bytes must be decrypted: the caller receives them.
        SetLastError(EINVAL);
        return -1;
    }
    const ssize_t nMoved =
        ::splice(m_hSocket, nullptr, hPipe, nullptr, nCount, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (nMoved < 0) {
        SetLastError(errno);
        return -1;
    }
    m_nBytesTaken += static_cast<uint64_t>(nMoved);
    return static_cast<long>(nMoved);
}

void CAsyncSocket::WantSend() {
    if (!m_bWriteWanted) {
        m_bWriteWanted = true;
        if (CSocketDispatcher* pDispatcher = CSocketDispatcher::Current())
            pDispatcher->UpdateInterest(this);
    }
}

void CAsyncSocket::HoldInput(bool bHold) {
    if (m_bInputHeld == bHold)
        return;
    m_bInputHeld = bHold;
    if (CSocketDispatcher* pDispatcher = CSocketDispatcher::Current())
        pDispatcher->UpdateInterest(this);
}

void CAsyncSocket::RequestSend() {
    if (m_hSocket >= 0)
        WantSend();
}

void CAsyncSocket::Arm(bool& rArmed) {
    if (rArmed)
        return;
    rArmed = true;
    if (CSocketDispatcher* pDispatcher = CSocketDispatcher::Current())
        pDispatcher->UpdateInterest(this);
}

int CAsyncSocket::Receive(void* pBuffer, int nLength, int nFlags) {
    if (m_hSocket < 0) {
        SetLastError(ENOTSOCK);
        return -1;
    }
    Arm((nFlags & MSG_OOB) ? m_bOobArmed : m_bReadArmed);
    if (m_pSsl && !(nFlags & MSG_OOB))
        return ReceiveTls(pBuffer, nLength);
    ssize_t nRead = ::recv(m_hSocket, pBuffer, static_cast<size_t>(nLength), nFlags);
    int nError = errno;
    if (nRead < 0) {
        SetLastError(nError);
        return -1;
    }
    m_nBytesTaken += static_cast<uint64_t>(nRead);
    return static_cast<int>(nRead);
}

int CAsyncSocket::ShutDown(int nHow) {
    if (m_hSocket < 0)
        return -1;
    // The end of the data is said inside TLS first, without waiting for
    // the peer's answer.
    if (nHow != 0)
        SayTlsEnd();
    int nMode = nHow == 0 ? SHUT_RD : nHow == 1 ? SHUT_WR : SHUT_RDWR;
    if (::shutdown(m_hSocket, nMode) != 0)
        return -1;
    // Nothing can be sent any more: no OnSend to wait for.
    if (nHow != 0 && m_bWriteWanted) {
        m_bWriteWanted = false;
        if (CSocketDispatcher* pDispatcher = CSocketDispatcher::Current())
            pDispatcher->UpdateInterest(this);
    }
    return 0;
}

bool CAsyncSocket::PeerHasClosed() const {
    if (m_hSocket < 0)
        return true;
    pollfd state{m_hSocket, POLLRDHUP, 0};
    return ::poll(&state, 1, 0) > 0 && (state.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

bool CAsyncSocket::SetNoDelay() {
    int nOn = 1;
    return m_hSocket >= 0 &&
           ::setsockopt(m_hSocket, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn) == 0;
}

bool CAsyncSocket::SetUnsentLimit(int nBytes) {
    return m_hSocket >= 0 &&
           ::setsockopt(m_hSocket, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &nBytes, sizeof nBytes) == 0;
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
    // A listener's held connections go with it.
    m_pFiltered.reset();
    m_pNamedPeer.reset();
    if (pDispatcher)
        pDispatcher->DescriptorFreed();
}

bool IsDescriptorShortage(int nError) {
    return nError == EMFILE || nError == ENFILE || nError == ENOBUFS || nError == ENOMEM;
}

namespace {
// The local or the peer address of a socket.
bool AddressOf(int hSocket, bool bPeer, CAddress& rAddress) {
    sockaddr_storage address{};
    socklen_t nLen = sizeof address;
    rAddress = CAddress();
    if (hSocket < 0)
        return false;
    auto* pAddress = reinterpret_cast<sockaddr*>(&address);
    if ((bPeer ? ::getpeername(hSocket, pAddress, &nLen)
               : ::getsockname(hSocket, pAddress, &nLen)) != 0)
        return false;
    rAddress = CAddress::FromSystem(pAddress, nLen);
    return true;
}
} // namespace

bool CAsyncSocket::GetSockName(CAddress& rAddress) const {
    return AddressOf(m_hSocket, false, rAddress);
}

bool CAsyncSocket::GetPeerName(CAddress& rAddress) const {
    if (m_pNamedPeer && m_hSocket >= 0) {
        rAddress = *m_pNamedPeer;
        return true;
    }
    return AddressOf(m_hSocket, true, rAddress);
}

bool CAsyncSocket::GetPeerUser(unsigned& rUid) const {
    ucred credentials{};
    socklen_t nLen = sizeof credentials;
    if (m_hSocket < 0 || ::getsockopt(m_hSocket, SOL_SOCKET, SO_PEERCRED, &credentials, &nLen) != 0)
        return false;
    rUid = credentials.uid;
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
        // Held input: neither its bytes nor the peer's close are watched.
        if (m_bInputHeld)
            return (m_bOobArmed ? uint32_t{EPOLLPRI} : 0u) |
                   (m_bWriteWanted || m_bTlsWantWrite ? uint32_t{EPOLLOUT} : 0u);
        return uint32_t{EPOLLRDHUP} | (m_bReadArmed ? uint32_t{EPOLLIN} : 0u) |
               (m_bOobArmed ? uint32_t{EPOLLPRI} : 0u) |
               (m_bWriteWanted ? uint32_t{EPOLLOUT} : 0u) |
               (m_bTlsWantRead || m_bSendWantsRead ? uint32_t{EPOLLIN} : 0u) |
               (m_bTlsWantWrite || m_bReceiveWantsWrite ? uint32_t{EPOLLOUT} : 0u);
    default:
        return 0;
    }
}
