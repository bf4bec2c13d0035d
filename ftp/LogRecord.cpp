#include "ftp/LogRecord.h"

const char* LogEventName(LogEvent event) {
    switch (event) {
    case LogEvent::None:
        return "";
    case LogEvent::Server:
        return "server";
    case LogEvent::Connect:
        return "connect";
    case LogEvent::Disconnect:
        return "disconnect";
    case LogEvent::Login:
        return "login";
    case LogEvent::LoginFailed:
        return "login-failed";
    case LogEvent::Ban:
        return "ban";
    case LogEvent::Unban:
        return "unban";
    case LogEvent::Transfer:
        return "transfer";
    case LogEvent::File:
        return "file";
    case LogEvent::Refused:
        return "refused";
    case LogEvent::Command:
        return "command";
    case LogEvent::Reply:
        return "reply";
    }
    return "";
}
