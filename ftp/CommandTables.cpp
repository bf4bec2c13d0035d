// The session's command tables: every command is one row and one handler.
// A row says what the command moves: file data over a data connection
// (protected under "TLS required"), or nothing but the control line; the
// line FEAT announces for it, if any; and its part in TLS.
#include "ftp/CommandTables.h"

#include "config/ServerSettings.h"
#include "ftp/ChecksumCommands.h"
#include "ftp/CommandContext.h"
#include "ftp/DataCommands.h"
#include "ftp/FileCommands.h"
#include "ftp/FtpTables.h"
#include "ftp/InfoCommands.h"
#include "ftp/ListingCommands.h"
#include "ftp/LoginCommands.h"
#include "ftp/PathCommands.h"
#include "ftp/Protocol.h"
#include "ftp/TlsCommands.h"
#include "ftp/TransferCommands.h"

namespace {
using P = ParameterRule;
using A = AccessClass;
using T = TlsRole;
constexpr bool kData = true;     // moves file data over a data connection
constexpr bool kControl = false; // the control line only
} // namespace

// The classic 23 words in their fixed order: the order decides which row
// a word reaches by the prefix rule.
const CCommandRow kClassicCommands[] = {
    {"user", CMD_USER, P::Optional, true, A::None, kControl, RunHandler<&CLoginCommands::DoUser>,
     nullptr, T::Login},
    {"pass", CMD_PASS, P::Optional, true, A::None, kControl, RunHandler<&CLoginCommands::DoPass>,
     nullptr, T::Login},
    {"port", CMD_PORT, P::Optional, false, A::None, kControl, RunHandler<&CDataCommands::DoPort>},
    {"quit", CMD_QUIT, P::Optional, true, A::None, kControl, RunHandler<&CLoginCommands::DoQuit>},
    {"type", CMD_TYPE, P::Required, false, A::None, kControl,
     RunHandler<&CTransferCommands::DoType>},
    {"mode", CMD_MODE, P::Required, false, A::None, kControl,
     RunHandler<&CTransferCommands::DoMode>},
    {"stru", CMD_STRU, P::Required, false, A::None, kControl,
     RunHandler<&CTransferCommands::DoStru>},
    {"retr", CMD_RETR, P::Required, false, A::Download, kData, RunHandler<&CFileCommands::DoRetr>},
    {"stor", CMD_STOR, P::Required, false, A::Upload, kData, RunHandler<&CFileCommands::DoStor>},
    {"noop", CMD_NOOP, P::Optional, false, A::None, kControl, RunHandler<&CInfoCommands::DoNoop>},
    {"pwd", CMD_PWD, P::Optional, false, A::None, kControl, RunHandler<&CPathCommands::DoPwd>},
    {"xpwd", CMD_PWD, P::Optional, false, A::None, kControl, RunHandler<&CPathCommands::DoPwd>},
    // Paths, here and everywhere, are those of the trivial virtual file store.
    {"cwd", CMD_CWD, P::Required, false, A::None, kControl, RunHandler<&CPathCommands::DoCwd>,
     "TVFS"},
    {"cdup", CMD_CDUP, P::Optional, false, A::None, kControl, RunHandler<&CPathCommands::DoCdup>},
    {"list", CMD_LIST, P::Optional, false, A::None, kData, RunHandler<&CListingCommands::DoList>},
    {"nlst", CMD_NLST, P::Optional, false, A::None, kData, RunHandler<&CListingCommands::DoList>},
    {"dele", CMD_DELE, P::Required, false, A::Upload, kControl, RunHandler<&CPathCommands::DoDele>},
    {"mkd", CMD_MKD, P::Required, false, A::Upload, kControl, RunHandler<&CPathCommands::DoMkdRmd>},
    {"rmd", CMD_RMD, P::Required, false, A::Upload, kControl, RunHandler<&CPathCommands::DoMkdRmd>},
    {"syst", CMD_SYST, P::Optional, false, A::None, kControl, RunHandler<&CInfoCommands::DoSyst>},
    {"pasv", CMD_PASV, P::Optional, false, A::None, kControl, RunHandler<&CDataCommands::DoPasv>},
    {"rest", CMD_REST, P::Required, false, A::None, kControl,
     RunHandler<&CTransferCommands::DoRest>, "REST STREAM"},
    // A word with a code but no command: answered as unknown.
    {"name", CMD_NAME, P::Optional, false, A::None, kControl,
     RunHandler<&CInfoCommands::DoUnknown>},
};

std::span<const CCommandRow> ClassicCommands() {
    return kClassicCommands;
}

// The extended rows, consulted before the classic table. A word reaches
// the first row whose word is a prefix of it, as in the classic table. The
// classic words CWD, CDUP, MKD, RMD and SYST keep their classic rows: their
// handlers answer in the session's protocol's words.
const CCommandRow kExtendedCommands[] = {
    {"feat", CMD_FEAT, P::Optional, true, A::None, kControl, RunHandler<&CInfoCommands::DoFeat>},
    {"opts", CMD_OPTS, P::Required, true, A::None, kControl, RunHandler<&CInfoCommands::DoOpts>,
     "UTF8"},
    {"size", CMD_SIZE, P::Required, false, A::None, kControl, RunHandler<&CInfoCommands::DoSize>,
     "SIZE"},
    {"mdtm", CMD_MDTM, P::Required, false, A::None, kControl, RunHandler<&CInfoCommands::DoMdtm>,
     "MDTM"},
    {"mfmt", CMD_MFMT, P::Required, false, A::Upload, kControl, RunHandler<&CPathCommands::DoMfmt>,
     "MFMT"},
    {"rnfr", CMD_RNFR, P::Required, false, A::Upload, kControl, RunHandler<&CPathCommands::DoRnfr>},
    {"rnto", CMD_RNTO, P::Required, false, A::Upload, kControl, RunHandler<&CPathCommands::DoRnto>},
    {"xcwd", CMD_CWD, P::Required, false, A::None, kControl, RunHandler<&CPathCommands::DoCwd>},
    {"xcup", CMD_CDUP, P::Optional, false, A::None, kControl, RunHandler<&CPathCommands::DoCdup>},
    {"xmkd", CMD_MKD, P::Required, false, A::Upload, kControl,
     RunHandler<&CPathCommands::DoMkdRmd>},
    {"xrmd", CMD_RMD, P::Required, false, A::Upload, kControl,
     RunHandler<&CPathCommands::DoMkdRmd>},
    {"list", CMD_LIST, P::Optional, false, A::None, kData,
     RunHandler<&CListingCommands::DoExtendedList>},
    {"nlst", CMD_NLST, P::Optional, false, A::None, kData,
     RunHandler<&CListingCommands::DoExtendedList>},
    {"mlsd", CMD_MLSD, P::Optional, false, A::None, kData, RunHandler<&CListingCommands::DoMlsd>},
    {"mlst", CMD_MLST, P::Optional, false, A::None, kControl, RunHandler<&CListingCommands::DoMlst>,
     "MLST %1$s"},
    {"stor", CMD_STOR, P::Required, false, A::Upload, kData,
     RunHandler<&CFileCommands::DoExtendedStor>},
    {"appe", CMD_APPE, P::Required, false, A::Upload, kData, RunHandler<&CFileCommands::DoAppe>},
    {"pasv", CMD_PASV, P::Optional, false, A::None, kControl,
     RunHandler<&CDataCommands::DoExtendedPasv>},
    {"port", CMD_PORT, P::Optional, false, A::None, kControl,
     RunHandler<&CDataCommands::DoExtendedPort>},
    {"epsv", CMD_EPSV, P::Optional, false, A::None, kControl, RunHandler<&CDataCommands::DoEpsv>,
     "EPSV"},
    {"eprt", CMD_EPRT, P::Required, false, A::None, kControl, RunHandler<&CDataCommands::DoEprt>,
     "EPRT"},
    {"abor", CMD_ABOR, P::Optional, false, A::None, kControl, RunHandler<&CDataCommands::DoAbor>},
    {"stat", CMD_STAT, P::Optional, false, A::None, kControl,
     RunHandler<&CListingCommands::DoStat>},
    {"help", CMD_HELP, P::Optional, true, A::None, kControl, RunHandler<&CInfoCommands::DoHelp>},
    {"allo", CMD_ALLO, P::Optional, false, A::None, kControl, RunHandler<&CInfoCommands::DoAllo>},
    {"site", CMD_SITE, P::Required, false, A::Upload, kControl, RunHandler<&CPathCommands::DoSite>},
    {"auth", CMD_AUTH, P::Required, true, A::None, kControl, RunHandler<&CTlsCommands::DoAuth>,
     "AUTH TLS", T::Exchange},
    {"pbsz", CMD_PBSZ, P::Required, true, A::None, kControl, RunHandler<&CTlsCommands::DoPbsz>,
     "PBSZ", T::Exchange},
    {"prot", CMD_PROT, P::Required, true, A::None, kControl, RunHandler<&CTlsCommands::DoProt>,
     "PROT", T::Exchange},
    {"ccc", CMD_CCC, P::Optional, true, A::None, kControl, RunHandler<&CTlsCommands::DoCcc>,
     nullptr, T::Exchange},
    // Checksums read a file's content: the download permission, as RETR.
    // FEAT's HASH line names the session's algorithms (its %2$s).
    {"hash", P::Required, false, A::Download, kControl, RunHandler<&CChecksumCommands::DoHash>,
     "HASH %2$s"},
    {"rang", P::Required, false, A::None, kControl, RunHandler<&CChecksumCommands::DoRang>,
     "RANG STREAM"},
    // A word is its letters: XSHA256 and XSHA1 reach "xsha", XMD5 "xmd",
    // and the handler reads the digits (any other word there stays unknown).
    {"xsha", P::Optional, false, A::Download, kControl, RunHandler<&CChecksumCommands::DoAlias>},
    {"xmd", P::Optional, false, A::Download, kControl, RunHandler<&CChecksumCommands::DoAlias>},
    {"xcrc", P::Optional, false, A::Download, kControl, RunHandler<&CChecksumCommands::DoAlias>},
};

std::span<const CCommandRow> ExtendedCommands() {
    return kExtendedCommands;
}

const CProtocol& CProtocol::Classic() {
    static const std::unique_ptr<CProtocol> s_pClassic = MakeClassicProtocol(ClassicCommands());
    return *s_pClassic;
}

const CProtocol& CProtocol::Extended(TlsMode tlsPolicy) {
    auto make = [](TlsMode policy) {
        return MakeExtendedProtocol(ExtendedCommands(), ClassicCommands(), policy);
    };
    static const std::unique_ptr<CProtocol> s_pExtended[] = {
        make(TlsMode::Off), make(TlsMode::Allowed), make(TlsMode::Required)};
    return *s_pExtended[static_cast<int>(tlsPolicy)];
}

const CProtocol& CProtocol::For(const CServerSettings& settings) {
    return settings.m_extended.m_bEnabled ? Extended(settings.m_extended.TlsPolicy()) : Classic();
}
