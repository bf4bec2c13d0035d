#include "net/TlsContext.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The last error OpenSSL recorded, as text, and its queue emptied.
std::string OpenSslError(const char* pszWhat) {
    unsigned long nError = ERR_get_error();
    ERR_clear_error();
    std::string strText = pszWhat;
    if (nError != 0) {
        char szReason[256];
        ERR_error_string_n(nError, szReason, sizeof szReason);
        strText += ": ";
        strText += szReason;
    }
    return strText;
}

// A ticket about to be issued: it carries the tag of the session it
// continues. A resumed session already holds the tag it was given when new;
// a new one takes the connection's (the SSL object's app data points at it).
int AddSessionTag(SSL* pSsl, void*) {
    const auto* pTag = static_cast<const std::string*>(SSL_get_app_data(pSsl));
    SSL_SESSION* pSession = SSL_get_session(pSsl);
    void* pHeld = nullptr;
    size_t nHeld = 0;
    if (!pTag || !pSession ||
        (SSL_SESSION_get0_ticket_appdata(pSession, &pHeld, &nHeld) == 1 && pHeld && nHeld))
        return 1;
    return SSL_SESSION_set1_ticket_appdata(pSession, pTag->data(), pTag->size());
}

// A ticket presented by a client: used when it decrypts, ignored when it
// does not (a full handshake follows).
SSL_TICKET_RETURN UseTicket(SSL*, SSL_SESSION*, const unsigned char*, size_t,
                            SSL_TICKET_STATUS status, void*) {
    switch (status) {
    case SSL_TICKET_SUCCESS:
        return SSL_TICKET_RETURN_USE;
    case SSL_TICKET_SUCCESS_RENEW:
        return SSL_TICKET_RETURN_USE_RENEW;
    case SSL_TICKET_EMPTY:
    case SSL_TICKET_NO_DECRYPT:
        return SSL_TICKET_RETURN_IGNORE_RENEW;
    default:
        return SSL_TICKET_RETURN_ABORT;
    }
}

std::string FingerprintOf(X509* pCertificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int nLength = 0;
    if (!X509_digest(pCertificate, EVP_sha256(), digest, &nLength))
        return std::string();
    std::string strText;
    char szByte[4];
    for (unsigned int i = 0; i < nLength; ++i) {
        snprintf(szByte, sizeof szByte, i ? ":%02X" : "%02X", digest[i]);
        strText += szByte;
    }
    return strText;
}

// Writes text to a new file with the given mode, replacing the old one
// only once the new one is whole.
bool WriteFileAtomically(const std::string& strPath, const std::string& strText, unsigned nMode,
                         std::string& rError) {
    // A new file of a name no one can foresee (created exclusively, so a
    // link planted there is never followed), private from the start, then
    // renamed into place (which replaces a link rather than writing
    // through it).
    std::string strTemporary = strPath + ".new-XXXXXX";
    int hFile = ::mkostemp(strTemporary.data(), O_CLOEXEC);
    if (hFile < 0) {
        rError = strPath + ": " + strerror(errno);
        return false;
    }
    ::fchmod(hFile, nMode);
    size_t nDone = 0;
    while (nDone < strText.size()) {
        ssize_t nWritten = ::write(hFile, strText.data() + nDone, strText.size() - nDone);
        if (nWritten <= 0) {
            rError = strPath + ": " + strerror(errno ? errno : EIO);
            ::close(hFile);
            ::unlink(strTemporary.c_str());
            return false;
        }
        nDone += static_cast<size_t>(nWritten);
    }
    if (::fsync(hFile) != 0 || ::close(hFile) != 0 ||
        ::rename(strTemporary.c_str(), strPath.c_str()) != 0) {
        rError = strPath + ": " + strerror(errno ? errno : EIO);
        ::unlink(strTemporary.c_str());
        return false;
    }
    return true;
}

template <class T, void (*Free)(T*)> struct SFree {
    void operator()(T* p) const { Free(p); }
};
using X509Ptr = std::unique_ptr<X509, SFree<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, SFree<EVP_PKEY, EVP_PKEY_free>>;
using BioPtr = std::unique_ptr<BIO, SFree<BIO, BIO_free_all>>;

std::string BioText(BIO* pBio) {
    char* pData = nullptr;
    long nLength = BIO_get_mem_data(pBio, &pData);
    return nLength > 0 ? std::string(pData, static_cast<size_t>(nLength)) : std::string();
}

} // namespace

CTlsContext::~CTlsContext() {
    SSL_CTX_free(m_pContext);
}

std::unique_ptr<CTlsContext> CTlsContext::Load(const std::string& strCertificate,
                                               const std::string& strKey, std::string& rError) {
    std::unique_ptr<CTlsContext> pContext(new CTlsContext);
    SSL_CTX* pCtx = SSL_CTX_new(TLS_server_method());
    if (!pCtx) {
        rError = OpenSslError("TLS");
        return nullptr;
    }
    pContext->m_pContext = pCtx;
    SSL_CTX_set_min_proto_version(pCtx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(pCtx, TLS1_3_VERSION);
    // TLS 1.2 only with forward secrecy and authenticated encryption (no
    // CBC suites); TLS 1.3 has nothing else.
    SSL_CTX_set_cipher_list(pCtx, "ECDHE+AESGCM:ECDHE+CHACHA20:DHE+AESGCM:DHE+CHACHA20");
    SSL_CTX_set_options(pCtx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                  SSL_OP_CIPHER_SERVER_PREFERENCE);
    // A reply or block the socket takes only in part is finished later from
    // wherever its bytes then are; buffers are given back while idle.
    SSL_CTX_set_mode(pCtx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                               SSL_MODE_RELEASE_BUFFERS);
    // Data connections resume the control connection's session.
    SSL_CTX_set_session_cache_mode(pCtx, SSL_SESS_CACHE_SERVER);
    static const unsigned char kSessionContext[] = "skerrow";
    SSL_CTX_set_session_id_context(pCtx, kSessionContext, sizeof kSessionContext - 1);
    // Every ticket carries the tag of the session it continues.
    SSL_CTX_set_session_ticket_cb(pCtx, AddSessionTag, UseTicket, nullptr);
    if (SSL_CTX_use_certificate_chain_file(pCtx, strCertificate.c_str()) != 1) {
        rError = OpenSslError(("certificate " + strCertificate).c_str());
        return nullptr;
    }
    X509* pCertificateInUse = SSL_CTX_get0_certificate(pCtx);
    KeyPtr pKey;
    if (FILE* pFile = fopen(strKey.c_str(), "re")) {
        pKey.reset(PEM_read_PrivateKey(pFile, nullptr, nullptr, nullptr));
        fclose(pFile);
    }
    if (!pKey) {
        rError = OpenSslError(("key " + strKey).c_str());
        if (errno != 0 && rError == "key " + strKey)
            rError += std::string(": ") + strerror(errno);
        return nullptr;
    }
    if (X509_check_private_key(pCertificateInUse, pKey.get()) != 1 ||
        SSL_CTX_use_PrivateKey(pCtx, pKey.get()) != 1 || SSL_CTX_check_private_key(pCtx) != 1) {
        ERR_clear_error();
        rError = "the key " + strKey + " does not match the certificate " + strCertificate;
        return nullptr;
    }
    if (X509_cmp_current_time(X509_get0_notAfter(pCertificateInUse)) < 0) {
        rError = "the certificate " + strCertificate + " has expired";
        return nullptr;
    }
    if (X509_cmp_current_time(X509_get0_notBefore(pCertificateInUse)) > 0) {
        rError = "the certificate " + strCertificate + " is not valid yet";
        return nullptr;
    }
    pContext->m_strFingerprint = FingerprintOf(pCertificateInUse);
    return pContext;
}

namespace {

// A random serial number (certificates of the same name must differ) and
// ten years of validity, from an hour ago.
bool SetSerialAndValidity(X509* pCert, std::string& rError) {
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1) {
        rError = OpenSslError("random serial");
        return false;
    }
    serial[0] &= 0x7F;
    BIGNUM* pSerial = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(pSerial, X509_get_serialNumber(pCert));
    BN_free(pSerial);
    X509_gmtime_adj(X509_getm_notBefore(pCert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(pCert), 10L * 365 * 24 * 3600);
    return true;
}

// Subject and issuer (the same: self-signed), and the extensions clients
// check: the host name (and the loopback names) as alternative names.
bool SetNamesAndExtensions(X509* pCert, const std::string& strName, std::string& rError) {
    X509_NAME* pName = X509_get_subject_name(pCert);
    X509_NAME_add_entry_by_txt(pName, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(strName.c_str()), -1, -1, 0);
    X509_NAME_add_entry_by_txt(pName, "O", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Skerrow"), -1, -1, 0);
    X509_set_issuer_name(pCert, pName);
    X509V3_CTX extensionContext;
    X509V3_set_ctx_nodb(&extensionContext);
    X509V3_set_ctx(&extensionContext, pCert, pCert, nullptr, nullptr, 0);
    const std::string strAltNames = "DNS:" + strName + ",DNS:localhost,IP:127.0.0.1";
    for (const auto& [pszName, strValue] :
         {std::pair<const char*, std::string>{"subjectAltName", strAltNames},
          {"basicConstraints", "critical,CA:TRUE"},
          {"keyUsage", "critical,digitalSignature,keyCertSign"},
          {"extendedKeyUsage", "serverAuth"}}) {
        X509_EXTENSION* pExtension =
            X509V3_EXT_conf_nid(nullptr, &extensionContext, OBJ_txt2nid(pszName), strValue.c_str());
        if (!pExtension) {
            rError = OpenSslError("certificate extension");
            return false;
        }
        X509_add_ext(pCert, pExtension, -1);
        X509_EXTENSION_free(pExtension);
    }
    return true;
}

} // namespace

namespace {

// Step one: a new P-256 key and a certificate for strHost signed with it.
bool NewSignedCertificate(const std::string& strHost, KeyPtr& rKey, X509Ptr& rCertificate,
                          std::string& rError) {
    rKey.reset(EVP_EC_gen("P-256"));
    rCertificate.reset(X509_new());
    if (!rKey || !rCertificate) {
        rError = OpenSslError("key generation");
        return false;
    }
    X509* pCert = rCertificate.get();
    X509_set_version(pCert, 2);
    X509_set_pubkey(pCert, rKey.get());
    const std::string strName = strHost.empty() ? std::string("localhost") : strHost;
    if (!SetSerialAndValidity(pCert, rError) || !SetNamesAndExtensions(pCert, strName, rError))
        return false;
    if (!X509_sign(pCert, rKey.get(), EVP_sha256())) {
        rError = OpenSslError("certificate signature");
        return false;
    }
    return true;
}

// Step two: both as PEM text.
bool ToPem(EVP_PKEY* pKey, X509* pCertificate, std::string& rKeyText, std::string& rCertificateText,
           std::string& rError) {
    BioPtr pKeyText(BIO_new(BIO_s_mem()));
    BioPtr pCertificateText(BIO_new(BIO_s_mem()));
    if (!pKeyText || !pCertificateText ||
        !PEM_write_bio_PrivateKey(pKeyText.get(), pKey, nullptr, nullptr, 0, nullptr, nullptr) ||
        !PEM_write_bio_X509(pCertificateText.get(), pCertificate)) {
        rError = OpenSslError("PEM");
        return false;
    }
    rKeyText = BioText(pKeyText.get());
    rCertificateText = BioText(pCertificateText.get());
    return true;
}

} // namespace

bool CTlsContext::MakeSelfSigned(const std::string& strCertificate, const std::string& strKey,
                                 const std::string& strHost, std::string& rError) {
    KeyPtr pKey;
    X509Ptr pCertificate;
    std::string strKeyText;
    std::string strCertificateText;
    // Step three: the key first, private from the start, then the
    // certificate, each written whole or not at all.
    return NewSignedCertificate(strHost, pKey, pCertificate, rError) &&
           ToPem(pKey.get(), pCertificate.get(), strKeyText, strCertificateText, rError) &&
           WriteFileAtomically(strKey, strKeyText, 0600, rError) &&
           WriteFileAtomically(strCertificate, strCertificateText, 0644, rError);
}
