// The TLS side of a socket (server side only): the handshake inside the
// event loop, the session's tag that tells a resumed session's origin, and
// the mapping of OpenSSL's waits and failures to the socket's own.
#include "net/AsyncSocket.h"

#include <malloc.h>

#include "net/SocketDispatcher.h"
#include "net/TlsContext.h"

#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

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
    if (!bTickets) {
        SSL_set_num_tickets(m_pSsl, 0);
        // A connection that only carries data (it never goes back to clear
        // text) reads ahead: as many records as have come in one receive,
        // not each record's head and body apart.
        SSL_set_read_ahead(m_pSsl, 1);
    }
    m_bTlsReadStarved = false;
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

namespace {

// A handshake leaves behind freed memory scattered between the connections
// that live on (its keys, its transcript, its record buffers); after a
// burst of them the process would keep twice what its connections hold.
// Once a second at most, after handshakes, the free pages inside the heap
// are given back to the system.
bool g_bTrimScheduled = false;

void ScheduleTrim() {
    CSocketDispatcher* pDispatcher = CSocketDispatcher::Current();
    if (g_bTrimScheduled || !pDispatcher)
        return;
    g_bTrimScheduled = true;
    pDispatcher->SetTimer(1000, [] {
        g_bTrimScheduled = false;
        ::malloc_trim(0);
    });
}

} // namespace

void CAsyncSocket::ContinueTlsHandshake() {
    ERR_clear_error();
    int nResult = SSL_do_handshake(m_pSsl);
    m_bTlsWantRead = m_bTlsWantWrite = false;
    if (nResult == 1) {
        m_bTlsHandshaking = false;
        ScheduleTrim();
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

bool CAsyncSocket::HasBufferedInput() const {
    if (!m_pSsl || m_bTlsHandshaking)
        return false;
    // Bytes decrypted and not taken, or (reading ahead) whole records
    // received and not yet decrypted; not the start of a record that a
    // read has just found incomplete.
    return SSL_pending(m_pSsl) > 0 || (!m_bTlsReadStarved && SSL_has_pending(m_pSsl) == 1);
}

int CAsyncSocket::SendTls(const void* pBuffer, int nLength) {
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

int CAsyncSocket::ReceiveTls(void* pBuffer, int nLength) {
    if (m_bTlsHandshaking) {
        SetLastError(EAGAIN);
        return -1;
    }
    ERR_clear_error();
    int nDecrypted = SSL_read(m_pSsl, pBuffer, nLength);
    m_bTlsReadStarved = false;
    if (nDecrypted > 0) {
        m_nBytesTaken += static_cast<uint64_t>(nDecrypted);
        return nDecrypted;
    }
    int nError = TlsFailure(nDecrypted, true);
    // What TLS still holds is part of a record whose rest is on its way:
    // the network will say when it has come.
    m_bTlsReadStarved = nError == EAGAIN;
    // The peer's close_notify, or its plain end of the connection.
    if (nError == 0)
        return 0;
    SetLastError(nError);
    return -1;
}

void CAsyncSocket::SayTlsEnd() {
    if (!m_pSsl || m_bTlsHandshaking)
        return;
    ERR_clear_error();
    SSL_shutdown(m_pSsl);
    ERR_clear_error();
}
