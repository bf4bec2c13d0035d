// The program's numbered string table: every text the administrator sees
// that does not come from a dialog template.
#pragma once

enum : int {
    IDS_ABOUTBOX = 101,
    IDS_START = 104,
    IDS_STOP = 105,
    IDS_SERVER_STARTED = 106,
    IDS_SERVER_START_FAILED = 107,
    IDS_SERVER_STOPPED = 108,
    IDS_CONNECTED = 109,
    IDS_CONNECTION_CLOSED = 110,
    IDS_USER_LOGGED_IN = 111,
    IDS_SENDING = 112,
    IDS_COLUMN_VIRTUAL = 113,
    IDS_COLUMN_ACTUAL = 114,
    IDS_OPTIONS = 115,
    IDS_PICK_FOLDER = 116,
    IDS_RECEIVING = 117,
    IDS_FOLDER_CREATED = 120,
    IDS_FOLDER_REMOVED = 121,
    IDS_FILE_DELETED = 122,
    IDS_USER_CONNECTING = 123,
    IDS_USERS_CONNECTED = 124,
    IDS_COLUMN_USER = 125,
    IDS_SECOND_ROOT = 126,
    // The headless server's reload of its settings file (SIGHUP).
    IDS_SETTINGS_RELOADED = 140,
    IDS_SETTINGS_RELOADED_DEFAULTS = 141,
    // TLS in the extended mode.
    IDS_TLS_FINGERPRINT = 142,
    IDS_TLS_FAILED = 143,
    // Password guessing: failed logins and the bans they bring.
    IDS_LOGIN_FAILED = 144,
    IDS_ADDRESS_BANNED = 145,
    IDS_ADDRESS_UNBANNED = 146,
    // The table of failed logins reached its bound.
    IDS_LOGIN_TABLE_FULL = 160,
    // Values of the settings file that could not be used, at start.
    IDS_SETTINGS_DEFAULTED = 147,
    // TLS settings that cannot be used as they stand.
    IDS_TLS_MODE_INVALID = 148,
    IDS_TLS_NEEDS_EXTENDED = 149,
    // A settings file the program may only read is not saved.
    IDS_SETTINGS_READ_ONLY = 150,
    // A protected data connection that did not resume its session.
    IDS_TLS_DATA_REFUSED = 151,
    // The extended mode's IPv6 listening, or why there is none.
    IDS_LISTENING_IPV6 = 152,
    IDS_IPV6_UNAVAILABLE = 153,
    // The control socket of the server without a window could not be made.
    IDS_CONTROL_UNAVAILABLE = 154,
    // A load balancer's connection closed for its PROXY header, a header
    // from an address that is not a balancer's, a list of balancers that
    // cannot be read.
    IDS_PROXY_BAD_HEADER = 155,
    IDS_PROXY_LATE = 156,
    IDS_PROXY_CLOSED = 157,
    IDS_PROXY_UNLISTED = 158,
    IDS_PROXY_FROM_INVALID = 159,
    // A connection closed by the Allow and Deny lists; a list that cannot
    // be read (its key and its text).
    IDS_ADDRESS_NOT_ADMITTED = 175,
    IDS_ADDRESS_LIST_INVALID = 176,
    // The listings' folder in a shared temporary folder was not the
    // server's own, and a listing that could not be written.
    IDS_LISTING_FOLDER_REPLACED = 180,
    IDS_LISTING_FAILED = 181,
    // A stored password hash that cannot be read (the user's name), and a
    // login that could not be checked (why no thread could start).
    IDS_HASH_UNREADABLE = 190,
    IDS_HASH_NO_THREAD = 191,
    // The user dialog: a name with a comma.
    IDS_NAME_HAS_COMMA = 192,
    // The implicit FTPS port: listening, a port that is the control port's,
    // a port that cannot be listened on (the port, the reason), a setting
    // that needs the extended mode, and a connection that did not begin
    // with TLS.
    IDS_IMPLICIT_TLS_LISTENING = 230,
    IDS_IMPLICIT_TLS_SAME_PORT = 231,
    IDS_IMPLICIT_TLS_PORT_FAILED = 232,
    IDS_IMPLICIT_TLS_NEEDS_EXTENDED = 233,
    IDS_IMPLICIT_TLS_NOT_TLS = 234,
};

// The text of a string resource; an empty text for an unknown number.
const char* LoadString(int nId);

#include <string>

// printf-style formatting of a table text into a new string.
std::string FormatString(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
