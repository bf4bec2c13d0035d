// The command table: every command is one row holding its word, its code,
// its parameter rule, whether it runs before login, the permission it needs,
// whether it moves file data over a data connection, the handler that runs
// it, the line FEAT announces for it, and what it has to do with TLS. A
// command word reaches the first row whose word is a prefix of it ("mkdir"
// reaches "mkd", "xpwd" its own row). Adding a command is one row and one
// handler: a code is needed only where aliases share one or a handler tells
// its words apart, and FEAT is made from the rows.
#pragma once

#include "ftp/FtpTables.h"

#include <initializer_list>
#include <span>
#include <string>

struct SCommandContext;

// What a command has to do with TLS (the extended mode's policy).
enum class TlsRole {
    None,
    // The security exchange (AUTH, PBSZ, PROT, CCC): it exists only while
    // the session offers TLS; otherwise its word is answered as unknown,
    // before login too, and FEAT does not name it.
    Exchange,
    // Carries the login (USER, PASS): under "TLS required" it is refused
    // until AUTH TLS.
    Login,
};

struct CCommandRow {
    // Runs the command for its session (see RunHandler).
    using Handler = void (*)(SCommandContext& rContext, const CCommandRow& rRow,
                             const std::string& strParameter);

    constexpr CCommandRow(const char* pszWordIn, int nCodeIn, ParameterRule parameterIn,
                          bool bBeforeLoginIn, AccessClass accessIn, bool bMovesDataIn,
                          Handler pHandlerIn, const char* pszFeatureIn = nullptr,
                          TlsRole tlsIn = TlsRole::None)
        : pszWord(pszWordIn), nCode(nCodeIn), parameter(parameterIn), bBeforeLogin(bBeforeLoginIn),
          access(accessIn), bMovesData(bMovesDataIn), pHandler(pHandlerIn),
          pszFeature(pszFeatureIn), tls(tlsIn) {}
    // A command that nothing needs to tell apart by its code.
    constexpr CCommandRow(const char* pszWordIn, ParameterRule parameterIn, bool bBeforeLoginIn,
                          AccessClass accessIn, bool bMovesDataIn, Handler pHandlerIn,
                          const char* pszFeatureIn = nullptr, TlsRole tlsIn = TlsRole::None)
        : CCommandRow(pszWordIn, CMD_NONE, parameterIn, bBeforeLoginIn, accessIn, bMovesDataIn,
                      pHandlerIn, pszFeatureIn, tlsIn) {}

    const char* pszWord; // lower case
    int nCode;           // shared by aliases; CMD_NONE where nothing asks
    ParameterRule parameter;
    bool bBeforeLogin; // runs before the client has logged in
    AccessClass access;
    // Moves file data over a data connection: under "TLS required" it is
    // refused until the data connections are protected (PROT P).
    bool bMovesData;
    Handler pHandler;
    // Its line in the FEAT reply, or null; "%1$s" stands for the facts in
    // force (MLST), "%2$s" for the checksum algorithms (HASH).
    const char* pszFeature;
    TlsRole tls;
};

// The row a lower-case command word reaches, or null.
const CCommandRow* FindCommand(std::span<const CCommandRow> rows, const std::string& strWord);

// The FEAT reply of a mode that answers the rows of these tables: one line
// for each feature its rows name, each once and in alphabetical order; those
// of the security exchange only while TLS is offered. A format: its %1$s
// is for the facts in force, its %2$s for the checksum algorithms.
std::string FeatureReply(std::initializer_list<std::span<const CCommandRow>> tables,
                         bool bTlsOffered);
