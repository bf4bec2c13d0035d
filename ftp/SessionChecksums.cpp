#include "ftp/SessionChecksums.h"

#include "ftp/ControlReplies.h"
#include "ftp/FtpTables.h"
#include "ftp/Protocol.h"

#include <utility>

namespace {

// The algorithms HASH offers, in the order FEAT lists them.
const ChecksumAlgorithm kOffered[] = {ChecksumAlgorithm::Sha1, ChecksumAlgorithm::Sha256,
                                      ChecksumAlgorithm::Sha512, ChecksumAlgorithm::Md5};

} // namespace

CSessionChecksums::CSessionChecksums(CControlReplies& rReplies, CBufferedConnection& rConnection)
    : m_rReplies(rReplies), m_rConnection(rConnection) {}

CSessionChecksums::~CSessionChecksums() {
    // The worker stops at its next block; its result, if any, finds no one.
    if (m_pCancel)
        m_pCancel->store(true);
}

std::string CSessionChecksums::ApplyOption(const std::string& strName) {
    if (!strName.empty() && !CChecksum::FromName(strName, m_chosen))
        return "501 Unknown algorithm\r\n";
    return std::string("200 ") + CChecksum::Name(m_chosen) + "\r\n";
}

std::string CSessionChecksums::FeatureLine() const {
    std::string strLine;
    for (ChecksumAlgorithm algorithm : kOffered) {
        if (!strLine.empty())
            strLine += ';';
        strLine += CChecksum::Name(algorithm);
        if (algorithm == m_chosen)
            strLine += '*';
    }
    return strLine;
}

SChecksumRange CSessionChecksums::TakeRange() {
    return std::exchange(m_range, SChecksumRange());
}

CSessionChecksums::SStarted
CSessionChecksums::Begin(std::function<std::string(const std::string&)> reply) {
    Stop();
    m_pCancel = std::make_shared<std::atomic<bool>>(false);
    m_reply = std::move(reply);
    m_nScanned = 0;
    m_bAborted = false;
    m_rConnection.SetHeldInputWatcher(this);
    return {m_pCancel, ++m_nSerial};
}

void CSessionChecksums::Finish(uint64_t nSerial, CChecksum::Outcome outcome,
                               const std::string& strHex) {
    if (!m_pCancel || nSerial != m_nSerial)
        return;
    const std::string strReply = outcome == CChecksum::Outcome::Done
                                     ? m_reply(strHex)
                                     : std::string("451 Checksum failed: read error\r\n");
    Stop();
    m_rReplies.SendReply(strReply);
    m_rConnection.ResumeInput();
}

void CSessionChecksums::Drop() {
    Stop();
}

bool CSessionChecksums::TakeAborted() {
    return std::exchange(m_bAborted, false);
}

void CSessionChecksums::Stop() {
    if (m_pCancel)
        m_pCancel->store(true);
    m_pCancel.reset();
    m_reply = nullptr;
    m_rConnection.SetHeldInputWatcher(nullptr);
}

void CSessionChecksums::OnHeldInput(const std::string& rPending) {
    // Only whole lines count, each looked at once; an ABOR among them (by
    // the prefix rule, as it would run) cancels the checksum.
    const CProtocol& protocol = m_rReplies.Protocol();
    size_t nPos = m_nScanned;
    SReceivedLine line;
    while (m_pCancel && protocol.NextLine(rPending, nPos, nPos, line)) {
        m_nScanned = nPos;
        std::string strWord;
        std::string strParameter;
        SplitCommandLine(line.strLine, strWord, strParameter);
        const CCommandRow* pRow = protocol.FindCommand(strWord);
        if (!pRow || pRow->nCode != CMD_ABOR)
            continue;
        Stop();
        m_bAborted = true;
        m_rReplies.SendReply("426 Checksum aborted\r\n");
    }
}
