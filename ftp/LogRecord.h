// One entry of the server's log: the text every view shows, and beside it
// what the entry is about, for a view that keeps fields of their own (the
// system journal). The fields say which client an entry concerns, whatever
// that client managed to put in the text.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

enum class LogEvent {
    None,        // a line without an event of its own
    Server,      // the server started, stopped, or could not start
    Connect,     // a client connected
    Disconnect,  // a connection ended
    Login,       // a user logged in
    LoginFailed, // a login failed
    Ban,         // an address was banned
    Unban,       // a ban ended or was lifted
    Transfer,    // a download or upload began
    File,        // a file was deleted, a folder made or removed
    Refused,     // a connection or data connection was refused
    Command,     // a command line as the client sent it (log level 2)
    Reply,       // a reply (log level 2)
};

// The event's name in the journal ("login-failed"); empty for None.
const char* LogEventName(LogEvent event);

struct SLogRecord {
    SLogRecord() = default;
    SLogRecord(std::string strLine, int nLineLevel, LogEvent what = LogEvent::None,
               std::string strAddress = {}, std::string strName = {}, uint64_t nId = 0)
        : strText(std::move(strLine)), nLevel(nLineLevel), event(what),
          strClient(std::move(strAddress)), strUser(std::move(strName)), nSession(nId) {}

    std::string strText; // as shown, line end included
    int nLevel = 0;      // shown when at most the configured log level
    LogEvent event = LogEvent::None;
    std::string strClient; // the client's address, empty when none
    std::string strUser;   // the user name (fit for the log), empty when none
    uint64_t nSession = 0; // the session's identity, 0 when none
};
