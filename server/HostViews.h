// What the server host tells whoever shows its state (the window, or
// standard output when headless): it reports what happened, and each view
// keeps what it shows. Sessions are named by the host's stable identities.
#pragma once

#include "ftp/LogRecord.h"

#include <cstdint>
#include <string>

class CHostViews {
public:
    using SessionId = uint64_t;

    virtual ~CHostViews() = default;

    // A text passed the log-level filter and was appended to the log.
    virtual void OnLogAppended(const std::string& strText) = 0;
    // The same text with its record's fields; a view that keeps only text
    // takes the text.
    virtual void OnLogRecord(const SLogRecord& record) { OnLogAppended(record.strText); }
    // The log grew past its limit and now holds only strKept.
    virtual void OnLogCut(const std::string& strKept) = 0;
    // A session greeted its client, listed under strLabel (after the others).
    virtual void OnSessionAdmitted(SessionId nId, const std::string& strLabel) = 0;
    // A session's label changed (its client logged in).
    virtual void OnSessionRelabelled(SessionId nId, const std::string& strLabel) = 0;
    virtual void OnSessionRemoved(SessionId nId) = 0;
    // The server started or stopped, or a start failed (false).
    virtual void OnRunningChanged(bool bRunning) = 0;
    // An address was banned or its ban ended or was lifted.
    virtual void OnBansChanged() {}
};
