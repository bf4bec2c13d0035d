// The implicit FTPS port: a second control listener, open while the server
// runs in the extended mode with ImplicitTlsPort set, whose connections
// begin with the TLS handshake before their greeting. It listens as the
// control port does (IPv6 and IPv4 on one dual-stack socket where the system
// has one), and tells its owner of each waiting connection; the owner admits
// it (the same lists, limits and bans as the control port's) and gives the
// listener its PROXY gate.
//
// Ownership: the server host owns it; it owns its listening socket.
#pragma once

#include "ftp/LogRecord.h"

#include <functional>
#include <memory>

class CListeningSocket;
class CServerSettings;
class CTlsCertificate;

class CImplicitTlsListener {
public:
    using LogFn = std::function<void(const SLogRecord&)>;

    // onConnectionWaiting: a connection waits at the port; rCertificate:
    // the certificate its connections are to use.
    CImplicitTlsListener(std::function<void()> onConnectionWaiting, CTlsCertificate& rCertificate,
                         LogFn log);
    ~CImplicitTlsListener();
    CImplicitTlsListener(const CImplicitTlsListener&) = delete;
    CImplicitTlsListener& operator=(const CImplicitTlsListener&) = delete;

    // The port the settings put in force: ImplicitTlsPort in the extended
    // mode, 0 (none) otherwise.
    static int PortInForce(const CServerSettings& settings);
    // Opens the port the settings ask for, if any (the reason logged when
    // the setting waits for the extended mode). False, logged, when the
    // port is the control port's or cannot be listened on, or when the
    // certificate cannot be used (the reason logged where it is loaded).
    bool Open(const CServerSettings& settings);
    void Close();
    // The listening socket, null while closed.
    CListeningSocket* Socket() const { return m_pSocket.get(); }
    // Logs the port it listens on, when it is open.
    void LogListening() const;

private:
    // Listens on nPort for the extended mode; the system's error otherwise.
    int Listen(unsigned nPort);

    std::function<void()> m_onConnectionWaiting;
    CTlsCertificate& m_rCertificate;
    LogFn m_log;
    std::unique_ptr<CListeningSocket> m_pSocket;
    int m_nPort = 0;
};
