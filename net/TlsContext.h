// The server side of TLS: one certificate and key, the protocol versions
// and options every TLS connection of the process uses (TLS 1.2 and 1.3,
// OpenSSL's default secure ciphers, no compression, no renegotiation) and
// the session cache that lets a second connection resume the first one's
// session.
//
// Ownership: whoever makes it owns it (the host shares it with the data
// connections that wait to use it); a socket already upgraded with it keeps
// OpenSSL's counted reference to what it needs, so it may go first.
#pragma once

#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;

class CTlsContext {
public:
    ~CTlsContext();
    CTlsContext(const CTlsContext&) = delete;
    CTlsContext& operator=(const CTlsContext&) = delete;

    // Loads a PEM certificate and its key. Null, with the reason in rError,
    // when either cannot be read, they do not match, or the certificate has
    // expired or is not yet valid.
    static std::unique_ptr<CTlsContext> Load(const std::string& strCertificate,
                                             const std::string& strKey, std::string& rError);

    // Writes a self-signed certificate for strHost (ECDSA P-256, valid ten
    // years) and its key (mode 0600) to the two files. False, with the
    // reason, when that fails; nothing half-written is left.
    static bool MakeSelfSigned(const std::string& strCertificate, const std::string& strKey,
                               const std::string& strHost, std::string& rError);

    // The certificate's SHA-256 fingerprint, as "AB:CD:...".
    const std::string& Fingerprint() const { return m_strFingerprint; }
    SSL_CTX* Handle() const { return m_pContext; }

private:
    CTlsContext() = default;

    SSL_CTX* m_pContext = nullptr;
    std::string m_strFingerprint;
};
