// The protocol a session speaks: the classic one (byte for byte the
// original server's) or the extended one, under one of the three TLS
// policies. A session takes its protocol when it starts and again at each
// login, never in the middle of a command; everything that differs between
// the modes is asked of it: the command table, the replies where the modes
// answer differently, the features, the TLS policy, how lines are read
// from the connection and logged, how text is converted and whether idle
// sessions time out.
#pragma once

#include "config/ServerSettings.h"
#include "ftp/CommandTable.h"

#include <cstddef>
#include <memory>
#include <span>
#include <string>

// What a reply says where the two modes answer differently. Each mode has
// a format for each, or none when it answers nothing.
enum class Say {
    CwdDone,         // the new current folder
    CwdFailed,       // the parameter
    CwdDenied,       // the parameter
    CwdBadPath,      // the parameter
    MkdDone,         // the new folder's virtual path
    RmdDone,         //
    System,          // the version
    TransferStalled, //
};

// One line taken from what a connection received.
struct SReceivedLine {
    std::string strLine; // the command line, without its end
    std::string strRaw;  // what the log shows of it, line end included
};

class CProtocol {
public:
    virtual ~CProtocol() = default;

    // The protocol the settings ask for.
    static const CProtocol& For(const CServerSettings& settings);
    // The protocols, made once over the session's command tables (where
    // the tables are): the classic one, and the extended one under each TLS
    // policy.
    static const CProtocol& Classic();
    static const CProtocol& Extended(TlsMode tlsPolicy = TlsMode::Off);
    // The protocol of a connection to the implicit FTPS port: the extended
    // one, with TLS offered even where the settings leave it off (the port
    // itself asks for TLS), and required where they require it.
    static const CProtocol& ImplicitTls(const CServerSettings& settings);

    virtual bool IsExtended() const = 0;
    // What TLS is to this mode: off, allowed or required.
    virtual TlsMode TlsPolicy() const = 0;
    // The row a lower-case word reaches in this mode, or null.
    virtual const CCommandRow* FindCommand(const std::string& strWord) const = 0;
    // Every row this mode answers, its own first.
    virtual std::span<const CCommandRow> OwnCommands() const = 0;
    // The TLS policy: the reply that refuses the command where TLS is
    // required and the client has not protected what it would send
    // (bTlsRequested: AUTH TLS accepted; bProtectsData: PROT P in force), or
    // null.
    const char* TlsRefusal(const CCommandRow& rRow, bool bTlsRequested, bool bProtectsData) const;
    // The FEAT reply, as a format whose %s is for the facts in force; it
    // names the security exchange when TLS is offered (the policy lets it
    // and the certificate can be used).
    virtual const std::string& FeatureReply(bool bTlsOffered) const = 0;
    // The format of a reply (one %s for its argument, if any); null where
    // this mode says nothing.
    virtual const char* Text(Say say) const = 0;
    // Takes the next complete line of rInput from rPos (whose line ends were
    // searched from nSearched on); rPos moves past what was taken (and
    // dropped). False when no complete line is left.
    virtual bool NextLine(const std::string& rInput, size_t& rPos, size_t nSearched,
                          SReceivedLine& rLine) const = 0;
    // What the log shows of a received line at level 2.
    virtual std::string LoggedLine(const std::string& strRaw) const = 0;
    // Type A as RFC 959 has it (CR LF on the network) instead of the
    // platform's own text translation.
    virtual bool NetworkText() const = 0;
    // A session that sends no command for the time-out is closed.
    virtual bool IdleTimesOut() const = 0;
};

// The protocols over their command tables: the classic one, and the
// extended one whose rows come before the classic ones.
std::unique_ptr<CProtocol> MakeClassicProtocol(std::span<const CCommandRow> rows);
std::unique_ptr<CProtocol> MakeExtendedProtocol(std::span<const CCommandRow> rows,
                                                std::span<const CCommandRow> classicRows,
                                                TlsMode tlsPolicy);
