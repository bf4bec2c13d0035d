// What a control connection needs from the server that admitted it: the
// settings it reads at every command, the log, and the registry that lists
// it from its greeting until its removal.
#pragma once

#include "config/ServerSettings.h"
#include "ftp/DataSocket.h"
#include "ftp/LogRecord.h"
#include "ftp/RateLimiter.h"
#include "ftp/SessionCompletion.h"

#include <memory>
#include <string>

class CClientSocket;
class CPasswordChecks;
class CTlsContext;
struct CProxyPolicy;
enum class ProxyRefusal;

class CSessionHost {
public:
    virtual const CServerSettings& Settings() const = 0;
    // Shows the text when its level is at most the configured log level.
    virtual void Log(const std::string& strText, int nLevel) = 0;
    // The same with the record's fields (the text already fit for the log).
    virtual void Log(const SLogRecord& record) = 0;
    // The connection has greeted its client: list it under strLabel.
    virtual void AddClient(CClientSocket& rClient, const std::string& strLabel) = 0;
    virtual void RelabelClient(CClientSocket& rClient, const std::string& strLabel) = 0;
    // The client has closed the connection: the host ends it and releases
    // it after the current event. Nothing of it may be used after the call.
    virtual void RemoveClient(CClientSocket& rClient) = 0;
    // The TLS certificate the settings name, or null when it cannot be
    // used; asked only by a session whose TLS policy offers TLS. Shared: a data connection still
    // waiting for its client keeps the certificate its transfer was started with, even when the
    // settings replace it meanwhile.
    virtual std::shared_ptr<const CTlsContext> TlsContext() = 0;
    // Behind a load balancer: whose connections begin with a PROXY header;
    // null while the PROXY protocol is off.
    virtual std::shared_ptr<const CProxyPolicy> ProxyPolicy() const = 0;
    // A balancer's connection was closed for its header (logged).
    virtual void ProxyRefused(const CAddress& balancer, ProxyRefusal why) = 0;
    // A login failed: counted against the client's address and logged.
    // When that failure banned the address, every session of it that has
    // not logged in has been ended (released after the current event);
    // false when this one was among them: nothing of it may be used then.
    virtual bool LoginFailed(CClientSocket& rClient, const std::string& strUser) = 0;
    // A USER or PASS about to run: true when the client's address is banned
    // now. The attempt is then logged as a failed login of strUser, but not
    // counted against the address (no password was tried), and the session
    // is to close itself.
    virtual bool RefusesLogin(CClientSocket& rClient, const std::string& strUser) = 0;
    // A login succeeded (counted; it clears nothing of the address's count).
    virtual void LoginSucceeded(CClientSocket& rClient) = 0;
    // A transfer has ended, whole or not, having moved what it says.
    virtual void TransferEnded(const CDataSocket::SProgress& progress, bool bComplete) = 0;
    // The way back to the session of that identity for work handed to
    // another thread (see CSessionCompletion).
    virtual CSessionCompletion CompletionFor(uint64_t nSessionId) = 0;
    // The threads that check a PASS against a stored hash.
    virtual CPasswordChecks& PasswordChecks() = 0;
    // The speed limits every transfer of the extended mode shares; the
    // host puts its settings' limits in force here.
    CRateLimiter& RateLimiter() { return m_rateLimiter; }

protected:
    ~CSessionHost() = default;

private:
    CRateLimiter m_rateLimiter;
};
