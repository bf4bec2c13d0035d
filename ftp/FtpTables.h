// The fixed reply table, the command codes and the version text of the FTP
// side. The command words themselves are rows of the command table; the
// codes are those of the classic words and of the commands whose aliases
// share one or whose handler tells its words apart.
#pragma once

#include <string>

inline constexpr const char* kVersion = "0.7";

enum FtpCommand : int {
    CMD_USER = 0,
    CMD_PASS = 1,
    CMD_PORT = 2,
    CMD_QUIT = 3,
    CMD_TYPE = 4,
    CMD_MODE = 5,
    CMD_STRU = 6,
    CMD_RETR = 7,
    CMD_STOR = 8,
    CMD_NOOP = 9,
    CMD_PWD = 10,
    CMD_CWD = 11,
    CMD_CDUP = 12,
    CMD_LIST = 13,
    CMD_NLST = 14,
    CMD_DELE = 15,
    CMD_MKD = 16,
    CMD_RMD = 17,
    CMD_SYST = 18,
    CMD_PASV = 19,
    CMD_REST = 20,
    CMD_NAME = 21,
    // Commands of the extended mode.
    CMD_FEAT = 100,
    CMD_OPTS = 101,
    CMD_SIZE = 102,
    CMD_MDTM = 103,
    CMD_RNFR = 104,
    CMD_RNTO = 105,
    CMD_MFMT = 106,
    CMD_APPE = 107,
    CMD_EPSV = 108,
    CMD_EPRT = 109,
    CMD_MLSD = 110,
    CMD_MLST = 111,
    CMD_ABOR = 112,
    CMD_STAT = 113,
    CMD_HELP = 114,
    CMD_ALLO = 115,
    CMD_SITE = 116,
    CMD_AUTH = 117,
    CMD_PBSZ = 118,
    CMD_PROT = 119,
    CMD_CCC = 120,
    CMD_UNKNOWN = -1,
    // A command that nothing needs to tell apart by its code: a new command
    // needs no code of its own.
    CMD_NONE = -2,
};

enum FtpReply : int {
    REPLY_UNKNOWN_COMMAND = 0,
    REPLY_UNSUPPORTED = 1,
    REPLY_NOT_IMPLEMENTED = 2,
    REPLY_BAD_PARAMETERS = 3,
    REPLY_GREETING = 4,
    REPLY_LOG_IN_FIRST = 5,
    REPLY_ENTER_PASS = 6,
    REPLY_USER_FIRST = 7,
    REPLY_PERMISSION_DENIED = 8,
    REPLY_LOGGED_IN = 9,
    REPLY_GOODBYE = 10,
    REPLY_SYSTEM = 11,
    REPLY_OK = 12,
    REPLY_RESTARTING = 13,
    REPLY_TYPE_OK = 14,
    REPLY_UNKNOWN_TYPE = 15,
    REPLY_BYTESIZE = 16,
    REPLY_PORT_OK = 17,
    REPLY_PASSIVE = 18,
    REPLY_PASSIVE_FAILED = 19,
    REPLY_BAD_PORT = 20,
    REPLY_CURRENT_DIR = 21,
    REPLY_CANT_CHANGE_DIR = 22,
    REPLY_FILE_DELETED = 23,
    REPLY_DELETE_FAILED = 24,
    REPLY_MKD_OK = 25,
    REPLY_MKD_FAILED = 26,
    REPLY_RMD_OK = 27,
    REPLY_RMD_FAILED = 28,
    REPLY_OPENING_DATA = 29,
    REPLY_TRANSFER_COMPLETE = 30,
    REPLY_CANT_READ = 31,
    REPLY_CANT_CREATE = 32,
    REPLY_WRITE_ERROR = 33,
    REPLY_DATA_RESET = 34,
    REPLY_COUNT = 35,
};

// The reply format of an index (each ends in CR LF).
const char* ReplyText(int nReply);

// The replies of the extended mode: RFC 959 codes, texts in English like
// the classic ones.
enum FtpExtendedReply : int {
    XREPLY_CURRENT_DIR = 0,
    XREPLY_CANT_CHANGE_DIR = 1,
    XREPLY_MKD_OK = 2,
    XREPLY_RMD_OK = 3,
    XREPLY_SYSTEM = 4,
    XREPLY_FEATURES = 5,
    XREPLY_UTF8_ON = 6,
    XREPLY_BAD_OPTION = 7,
    XREPLY_STATUS_213 = 8,
    XREPLY_NO_FILE = 9,
    XREPLY_SIZE_IN_ASCII = 10,
    XREPLY_READY_FOR_RNTO = 11,
    XREPLY_RENAMED = 12,
    XREPLY_RNFR_FIRST = 13,
    XREPLY_RENAME_FAILED = 14,
    XREPLY_EXTENDED_PASSIVE = 15,
    XREPLY_EPSV_ALL = 16,
    XREPLY_ONLY_EPSV = 17,
    XREPLY_BAD_PROTOCOL = 18,
    XREPLY_BAD_EPRT = 19,
    XREPLY_EPRT_OK = 20,
    XREPLY_NO_TRANSFER = 21,
    XREPLY_TRANSFER_ABORTED = 22,
    XREPLY_ABORT_OK = 23,
    XREPLY_STATUS = 24,
    XREPLY_STATUS_OF = 25,
    XREPLY_HELP = 26,
    XREPLY_ALLO = 27,
    XREPLY_CHMOD_OK = 28,
    XREPLY_BAD_MODE = 29,
    XREPLY_UNKNOWN_SITE = 30,
    XREPLY_MODIFIED = 31,
    XREPLY_BAD_TIME = 32,
    XREPLY_MLST = 33,
    XREPLY_NOT_A_FOLDER = 34,
    XREPLY_TIMEOUT = 35,
    XREPLY_TOO_MANY = 36,
    XREPLY_BAD_RESTART = 37,
    XREPLY_NOT_FOUND = 38,
    XREPLY_AUTH_OK = 39,
    XREPLY_AUTH_UNSUPPORTED = 40,
    XREPLY_ALREADY_PROTECTED = 41,
    XREPLY_PBSZ_OK = 42,
    XREPLY_NEEDS_AUTH = 43,
    XREPLY_PROT_OK = 44,
    XREPLY_NEEDS_PBSZ = 45,
    XREPLY_PROT_UNSUPPORTED = 46,
    XREPLY_PROT_UNKNOWN = 47,
    XREPLY_CCC_REFUSED = 48,
    XREPLY_TLS_REQUIRED = 49,
    XREPLY_PROT_P_REQUIRED = 50,
    XREPLY_SITE_HELP = 51,
    XREPLY_MLST_OPTS = 52,
    XREPLY_TLS_RESUME_REQUIRED = 53,
    XREPLY_BAD_PROTOCOL_V6 = 54,
    XREPLY_USE_EXTENDED_PORTS = 55,
    XREPLY_TOO_MANY_IN_ALL = 56,
    XREPLY_LISTING_FAILED = 57,
    // Both modes: a USER or PASS from a banned address.
    XREPLY_BANNED = 58,
    // Both modes: a PASS against a stored hash that cannot be checked now
    // (too many waiting, or no thread to check it).
    XREPLY_LOGINS_WAITING = 59,
    XREPLY_LOGIN_UNCHECKED = 60,
    // AUTH on a connection to the implicit FTPS port.
    XREPLY_IMPLICIT_TLS = 61,
    XREPLY_COUNT = 62,
};
const char* ExtendedReplyText(int nReply);

// What a command needs of both the user and the folder that governs its
// path: nothing (moving around, listing, and commands without a path), the
// download permission (reading a file's content) or the upload permission
// (changing a file or folder).
enum class AccessClass { None, Download, Upload };

// Whether a command answers its empty parameter with "invalid number of
// parameters" instead of running.
enum class ParameterRule { Optional, Required };

// Splits a command line into its word (the leading run of letters, lower
// cased) and its parameter (the rest, leading white space removed).
void SplitCommandLine(const std::string& strLine, std::string& rWord, std::string& rParameter);

// Text with leading and trailing white space removed.
std::string Trim(const std::string& strText);

// The local host name, empty when it cannot be obtained.
std::string LocalHostName();
// The current local time as ctime lays it out, without the line end.
std::string TimeText();
