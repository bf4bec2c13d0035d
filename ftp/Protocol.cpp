#include "ftp/Protocol.h"

#include "ftp/FtpTables.h"

#include <algorithm>
#include <array>

namespace {

class CClassicProtocol : public CProtocol {
public:
    explicit CClassicProtocol(std::span<const CCommandRow> rows)
        : m_rows(rows), m_strFeatures{::FeatureReply({rows}, false), ::FeatureReply({rows}, true)} {
    }
    bool IsExtended() const override { return false; }
    TlsMode TlsPolicy() const override { return TlsMode::Off; }
    const std::string& FeatureReply(bool bTlsOffered) const override {
        return m_strFeatures[bTlsOffered ? 1 : 0];
    }
    const CCommandRow* FindCommand(const std::string& strWord) const override {
        return ::FindCommand(m_rows, strWord);
    }
    std::span<const CCommandRow> OwnCommands() const override { return m_rows; }
    const char* Text(Say say) const override {
        switch (say) {
        case Say::CwdDone:
            return ReplyText(REPLY_CURRENT_DIR);
        case Say::CwdFailed:
            return ReplyText(REPLY_CANT_CHANGE_DIR);
        case Say::CwdDenied:
            return ReplyText(REPLY_PERMISSION_DENIED);
        case Say::CwdBadPath:
            // A path that cannot be resolved gets no reply at all.
            return nullptr;
        case Say::MkdDone:
            return ReplyText(REPLY_MKD_OK);
        case Say::RmdDone:
            return ReplyText(REPLY_RMD_OK);
        case Say::System:
            return ReplyText(REPLY_SYSTEM);
        case Say::TransferStalled:
            return ReplyText(REPLY_DATA_RESET);
        }
        return nullptr;
    }
    bool NextLine(const std::string& rInput, size_t& rPos, size_t nSearched,
                  SReceivedLine& rLine) const override {
        if (rPos != 0)
            return false;
        const size_t nEnd = rInput.find_first_of("\r\n", nSearched);
        if (nEnd == std::string::npos)
            return false;
        // The log shows the whole read; deliberately, whatever followed the
        // first line end in it is dropped: classic clients wait for each
        // reply before the next command.
        rLine.strRaw = rInput;
        rLine.strLine = Trim(CutAtZero(rInput.substr(0, nEnd)));
        rPos = rInput.size();
        return true;
    }
    std::string LoggedLine(const std::string& strRaw) const override { return strRaw; }
    bool NetworkText() const override { return false; }
    bool IdleTimesOut() const override { return false; }

    // A command line ends at its first zero byte.
    static std::string CutAtZero(std::string strLine) {
        const size_t nZero = strLine.find('\0');
        if (nZero != std::string::npos)
            strLine.resize(nZero);
        return strLine;
    }

protected:
    // The FEAT replies without and with the security exchange.
    using Features = std::array<std::string, 2>;
    CClassicProtocol(std::span<const CCommandRow> rows, Features features)
        : m_rows(rows), m_strFeatures(std::move(features)) {}

private:
    std::span<const CCommandRow> m_rows;
    Features m_strFeatures;
};

class CExtendedProtocol : public CClassicProtocol {
public:
    CExtendedProtocol(std::span<const CCommandRow> rows, std::span<const CCommandRow> classicRows,
                      TlsMode tlsPolicy)
        : CClassicProtocol(classicRows, {::FeatureReply({rows, classicRows}, false),
                                         ::FeatureReply({rows, classicRows}, true)}),
          m_rows(rows), m_tlsPolicy(tlsPolicy) {}
    bool IsExtended() const override { return true; }
    TlsMode TlsPolicy() const override { return m_tlsPolicy; }
    // The extended rows come first; the classic table answers the rest.
    const CCommandRow* FindCommand(const std::string& strWord) const override {
        const CCommandRow* pRow = ::FindCommand(m_rows, strWord);
        return pRow ? pRow : CClassicProtocol::FindCommand(strWord);
    }
    std::span<const CCommandRow> OwnCommands() const override { return m_rows; }
    const char* Text(Say say) const override {
        switch (say) {
        case Say::CwdDone:
            return ExtendedReplyText(XREPLY_CURRENT_DIR);
        case Say::CwdFailed:
        case Say::CwdDenied:
        case Say::CwdBadPath:
            return ExtendedReplyText(XREPLY_CANT_CHANGE_DIR);
        case Say::MkdDone:
            return ExtendedReplyText(XREPLY_MKD_OK);
        case Say::RmdDone:
            return ExtendedReplyText(XREPLY_RMD_OK);
        case Say::System:
            return ExtendedReplyText(XREPLY_SYSTEM);
        case Say::TransferStalled:
            return ExtendedReplyText(XREPLY_TRANSFER_ABORTED);
        }
        return nullptr;
    }
    // Every complete line runs, in order (pipelining).
    bool NextLine(const std::string& rInput, size_t& rPos, size_t nSearched,
                  SReceivedLine& rLine) const override {
        size_t nEnd = rInput.find_first_of("\r\n", std::max(rPos, nSearched));
        if (nEnd == std::string::npos)
            return false;
        // A CR LF pair ends one line.
        const size_t nLineEnd = nEnd;
        if (rInput[nEnd] == '\r' && nEnd + 1 < rInput.size() && rInput[nEnd + 1] == '\n')
            ++nEnd;
        rLine.strRaw = rInput.substr(rPos, nEnd + 1 - rPos);
        std::string strLine = CutAtZero(rInput.substr(rPos, nLineEnd - rPos));
        rPos = nEnd + 1;
        // Telnet commands before the word (the "interrupt process" and
        // "data mark" that clients send with ABOR) are no part of it.
        size_t nWord = 0;
        while (nWord < strLine.size() && static_cast<unsigned char>(strLine[nWord]) >= 0xF0)
            ++nWord;
        rLine.strLine = Trim(strLine.substr(nWord));
        return true;
    }
    std::string LoggedLine(const std::string& strRaw) const override {
        if (strRaw == "\n" || strRaw == "\r")
            return std::string();
        std::string strWord;
        std::string strParameter;
        SplitCommandLine(Trim(strRaw), strWord, strParameter);
        // A password never reaches the log.
        if (strWord == "pass")
            return "PASS ****" + strRaw.substr(strRaw.find_first_of("\r\n"));
        return strRaw;
    }
    bool NetworkText() const override { return true; }
    bool IdleTimesOut() const override { return true; }

private:
    std::span<const CCommandRow> m_rows;
    TlsMode m_tlsPolicy;
};

} // namespace

std::unique_ptr<CProtocol> MakeClassicProtocol(std::span<const CCommandRow> rows) {
    return std::make_unique<CClassicProtocol>(rows);
}

std::unique_ptr<CProtocol> MakeExtendedProtocol(std::span<const CCommandRow> rows,
                                                std::span<const CCommandRow> classicRows,
                                                TlsMode tlsPolicy) {
    return std::make_unique<CExtendedProtocol>(rows, classicRows, tlsPolicy);
}

const char* CProtocol::TlsRefusal(const CCommandRow& rRow, bool bTlsRequested,
                                  bool bProtectsData) const {
    if (TlsPolicy() != TlsMode::Required)
        return nullptr;
    // TLS required: nothing of the password crosses in clear, ...
    if (rRow.tls == TlsRole::Login && !bTlsRequested)
        return ExtendedReplyText(XREPLY_TLS_REQUIRED);
    // ... and nothing of the files.
    if (rRow.bMovesData && !bProtectsData)
        return ExtendedReplyText(XREPLY_PROT_P_REQUIRED);
    return nullptr;
}

const CProtocol& CProtocol::ImplicitTls(const CServerSettings& settings) {
    // The session keeps to the extended protocol even if the mode is turned
    // off while it lasts: its connection is TLS whatever the settings say.
    const bool bRequired = settings.m_extended.StoredTlsMode() == TlsMode::Required;
    return Extended(bRequired ? TlsMode::Required : TlsMode::Allowed);
}
