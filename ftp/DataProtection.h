// The TLS side of one data connection (PROT P): whether the connection is
// protected and with which certificate, whether it must resume the control
// connection's own TLS session, and, once its handshake has ended, the
// verdict on whose connection it is. It knows no socket: the data
// connection starts the handshake and acts on the verdict.
//
// Ownership: the data connection owns it, with the settings it was given.
#pragma once

#include <memory>
#include <string>
#include <utility>

class CTlsContext;

class CDataProtection {
public:
    // What the control connection asks of its data connection. PROT P: the
    // connection is a TLS server with this certificate (null: PROT C, no
    // TLS); with bRequireReuse it must resume the control connection's
    // session, the one tagged strTlsSessionTag.
    struct SSettings {
        std::shared_ptr<const CTlsContext> pTls;
        bool bRequireReuse = false;
        std::string strTlsSessionTag;
    };

    // What becomes of a connection whose handshake has ended.
    enum class Verdict {
        // The client's own (or any, when no resumption is required): the
        // transfer starts.
        Accept,
        // It resumed another client's session at a passive port (a second
        // client on the same address): it is closed, and the port waits on
        // for its own client for what is left of the connect time.
        TurnAway,
        // It did not resume the control connection's session (and no port
        // waits for another): it carries nothing and the transfer fails.
        Refuse,
        // The handshake failed: nothing could be protected.
        Fail,
    };

    explicit CDataProtection(SSettings settings) : m_settings(std::move(settings)) {}

    // True for PROT P: the connection begins with a handshake, and its bytes
    // go through TLS, never straight from the file to the socket.
    bool IsOn() const { return m_settings.pTls != nullptr; }
    // The certificate the handshake is made with (only when IsOn).
    const CTlsContext& Context() const { return *m_settings.pTls; }
    // True when a connection taken at the passive port may still be someone
    // else's until its handshake shows whose it is: the port stays open.
    bool KeepsListener() const { return IsOn() && m_settings.bRequireReuse; }

    // The verdict on a connection whose handshake has ended: bHandshakeOk
    // whether it succeeded, strSessionTag the tag of the session it has and
    // bReused whether it resumed it, bAtPassivePort whether a passive port
    // still waits for the transfer's client.
    Verdict Judge(bool bHandshakeOk, const std::string& strSessionTag, bool bReused,
                  bool bAtPassivePort) const;
    // Keeps what a verdict says of the control connection's own session: a
    // refused (or turned away) connection marks the transfer refused until
    // one is accepted; a failed handshake changes nothing.
    void Record(Verdict verdict);
    // True when the last connection judged did not resume the control
    // connection's own session (the transfer fails with 522 if no connection
    // that does comes).
    bool IsRefused() const { return m_bRefused; }

private:
    SSettings m_settings;
    bool m_bRefused = false;
};
