// What the long-lived parts of a session say on its control connection:
// replies (each logged at level 2), lines about the session in the log, and
// the protocol whose words they use. The session is one; its parts hold it
// by this face so that they need not know the session itself.
#pragma once

#include "ftp/LogRecord.h"

#include <string>

class CProtocol;

class CControlReplies {
public:
    virtual void SendReply(const std::string& strText) = 0;
    // A line about the session: its client, identity and user beside the
    // text. Client text in strText must already be fit for the log.
    virtual void Log(LogEvent event, const std::string& strText, int nLevel) const = 0;
    // The protocol the session speaks now.
    virtual const CProtocol& Protocol() const = 0;
    // The client's address as the log shows it.
    virtual const std::string& PeerAddress() const = 0;

protected:
    ~CControlReplies() = default;
};
