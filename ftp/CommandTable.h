// The command table: every command is one row holding its word, its code,
// its parameter rule, whether it runs before login, the permission it needs,
// whether it moves file data over a data connection, and the handler that
// runs it. A command word reaches the first row whose
// word is a prefix of it ("mkdir" reaches "mkd", "xpwd" its own row).
// Adding a command is one row and one handler.
#pragma once

#include "ftp/FtpTables.h"

#include <span>
#include <string>

class CClientSocket;

struct CCommandRow {
    using Handler = void (CClientSocket::*)(const CCommandRow& rRow,
                                            const std::string& strParameter);

    const char* pszWord; // lower case
    int nCode;
    ParameterRule parameter;
    bool bBeforeLogin; // runs before the client has logged in
    AccessClass access;
    // Moves file data over a data connection: under "TLS required" it is
    // refused until the data connections are protected (PROT P).
    bool bMovesData;
    Handler pHandler;
};

// The row a lower-case command word reaches, or null.
const CCommandRow* FindCommand(std::span<const CCommandRow> rows, const std::string& strWord);
