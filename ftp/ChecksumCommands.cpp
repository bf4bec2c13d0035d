#include "ftp/ChecksumCommands.h"

#include "fs/FileStream.h"
#include "ftp/ChecksumWorkers.h"
#include "ftp/ClientSocket.h"
#include "ftp/FtpTables.h"
#include "ftp/PathResolver.h"
#include "ftp/SessionChecksums.h"
#include "ftp/SessionHost.h"
#include "res/LogText.h"
#include "res/Strings.h"

#include <cctype>
#include <cstring>
#include <memory>
#include <utility>

namespace {

const char kNoFile[] = "550 File unavailable\r\n";
const char kBadRange[] = "501 Bad range\r\n";

// The X words. A command's word is its letters, so "XSHA256 f" reaches the
// row "xsha" with "256 f": the digits that follow tell the algorithm.
struct SAlias {
    const char* pszWord;
    const char* pszDigits;
    ChecksumAlgorithm algorithm;
};
const SAlias kAliases[] = {
    {"xsha", "256", ChecksumAlgorithm::Sha256},
    {"xsha", "1", ChecksumAlgorithm::Sha1},
    {"xmd", "5", ChecksumAlgorithm::Md5},
    {"xcrc", "", ChecksumAlgorithm::Crc32},
};

// The alias the row's word and the parameter's leading digits name (the
// path after them in rRest), or null.
const SAlias* FindAlias(const char* pszWord, const std::string& strParameter, std::string& rRest) {
    size_t nDigits = 0;
    while (nDigits < strParameter.size() &&
           isdigit(static_cast<unsigned char>(strParameter[nDigits])))
        ++nDigits;
    // The digits belong to the word: a blank or the end follows them.
    if (nDigits > 0 && nDigits < strParameter.size() && strParameter[nDigits] != ' ' &&
        strParameter[nDigits] != '\t')
        return nullptr;
    const std::string strDigits = strParameter.substr(0, nDigits);
    for (const SAlias& alias : kAliases)
        if (std::strcmp(alias.pszWord, pszWord) == 0 && strDigits == alias.pszDigits) {
            rRest = Trim(strParameter.substr(nDigits));
            return &alias;
        }
    return nullptr;
}

std::string Upper(std::string strText) {
    for (char& ch : strText)
        ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    return strText;
}

} // namespace

CChecksumCommands::CChecksumCommands(const SCommandContext& context)
    : m_rSession(context.rSession), m_rState(context.rState), m_rHost(context.rHost),
      m_strWord(context.strWord) {}

void CChecksumCommands::DoHash(const CCommandRow& rRow, const std::string& strParameter) {
    // The range RANG set serves this HASH only, whatever its answer.
    const SChecksumRange range = m_rSession.Checksums().TakeRange();
    Start(rRow, strParameter, range, m_rSession.Checksums().Chosen(), Answer::Hash);
}

void CChecksumCommands::DoRang(const CCommandRow&, const std::string& strParameter) {
    SChecksumRange range;
    switch (SChecksumRange::FromRang(strParameter, range)) {
    case SChecksumRange::Rang::Set:
        m_rSession.Checksums().SetRange(range);
        m_rSession.SendReply(FormatString("350 Restarting at %lld. Ending byte %lld\r\n",
                                          static_cast<long long>(range.nStart),
                                          static_cast<long long>(range.nEnd)));
        return;
    case SChecksumRange::Rang::Reset:
        m_rSession.Checksums().SetRange(range);
        m_rSession.SendReply("350 Restarting at 0. Ending byte EOF\r\n");
        return;
    case SChecksumRange::Rang::Bad:
        // A range that did not take leaves none behind.
        m_rSession.Checksums().SetRange(SChecksumRange());
        m_rSession.SendReply(kBadRange);
        return;
    }
}

void CChecksumCommands::DoAlias(const CCommandRow& rRow, const std::string& strParameter) {
    std::string strArgument;
    const SAlias* pAlias = FindAlias(rRow.pszWord, strParameter, strArgument);
    // Any other word that reaches the row ("XSHA3") stays unknown.
    if (!pAlias) {
        m_rSession.SendFormatted(REPLY_UNKNOWN_COMMAND, m_strWord);
        return;
    }
    std::string strPath;
    SChecksumRange range;
    if (strArgument.empty()) {
        m_rSession.SendFormatted(REPLY_BAD_PARAMETERS, m_strWord);
        return;
    }
    if (!SChecksumRange::FromAlias(strArgument, strPath, range) || strPath.empty()) {
        m_rSession.SendReply(kBadRange);
        return;
    }
    Start(rRow, strPath, range, pAlias->algorithm, Answer::Alias);
}

void CChecksumCommands::Start(const CCommandRow& rRow, const std::string& strPath,
                              const SChecksumRange& range, ChecksumAlgorithm algorithm,
                              Answer answer) {
    CPathResolver::STarget target;
    if (!CPathResolver(m_rSession, m_rState)
             .Resolve(rRow, strPath, CPathResolver::PathForm::File, target))
        return;
    // Opened as RETR opens it (beneath its folder, a plain file, shared lock):
    // a folder, a missing file or one being written is refused here.
    auto pFile = std::make_shared<CFileStream>();
    int nError = 0;
    if (target.local.IsEmpty() ||
        !pFile->Open(target.local, CFileStream::Mode::Read, false, nError)) {
        m_rSession.SendReply(kNoFile);
        return;
    }
    CChecksumWorkers::SJob job;
    job.pFile = pFile;
    job.nStart = range.nStart;
    job.algorithm = algorithm;
    if (!range.Fits(pFile->SizeAtOpen(), job.nEnd)) {
        m_rSession.SendReply(kBadRange);
        return;
    }
    std::string strHead =
        FormatString("213 %s %lld-%lld ", CChecksum::Name(algorithm),
                     static_cast<long long>(job.nStart), static_cast<long long>(job.nEnd));
    auto reply = [answer, strHead, strPath](const std::string& strHex) {
        return answer == Answer::Hash ? strHead + strHex + " " + strPath + "\r\n"
                                      : "250 " + Upper(strHex) + "\r\n";
    };
    CSessionChecksums::SStarted started = m_rSession.Checksums().Begin(reply);
    job.pCancel = started.pCancel;
    std::string strWhy;
    const CChecksumWorkers::Result result = CChecksumWorkers::Shared().Submit(
        std::move(job), m_rHost.CompletionFor(m_rSession.Id()),
        [nSerial = started.nSerial](CClientSocket& rSession, CChecksum::Outcome outcome,
                                    const std::string& strHex) {
            rSession.Checksums().Finish(nSerial, outcome, strHex);
        },
        &strWhy);
    if (result == CChecksumWorkers::Result::Queued)
        return;
    m_rSession.Checksums().Drop();
    if (result == CChecksumWorkers::Result::NoThread)
        m_rSession.Log(FormatString("Suma de comprobación no calculada: %s", strWhy.c_str()), 0);
    m_rSession.SendReply(result == CChecksumWorkers::Result::Full
                             ? "450 Too many checksums waiting; try again later\r\n"
                             : "451 Checksum not computed\r\n");
}
