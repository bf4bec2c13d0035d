#include "server/TlsCertificate.h"

#include "config/ServerSettings.h"
#include "ftp/FtpTables.h"
#include "net/TlsContext.h"
#include "res/Strings.h"

#include <filesystem>
#include <unistd.h>

CTlsCertificate::CTlsCertificate(const CExtendedSettings& rSettings, LogFn log)
    : m_rSettings(rSettings), m_log(std::move(log)) {}

std::string CTlsCertificate::OwnCertificateFile() const {
    return (m_strFolder.empty() ? std::string(".") : m_strFolder) + "/skerrow-cert.pem";
}

std::string CTlsCertificate::OwnKeyFile() const {
    return (m_strFolder.empty() ? std::string(".") : m_strFolder) + "/skerrow-key.pem";
}

std::shared_ptr<const CTlsContext> CTlsCertificate::Context() {
    // Asked only where TLS is in force: a session keeps the policy it took
    // at its login, even when the settings have turned TLS off since.
    const std::string strFor = m_rSettings.m_strTlsCertificate + '\n' + m_rSettings.m_strTlsKey;
    if (strFor != m_strLoadedFor)
        Load();
    return m_pContext;
}

std::string CTlsCertificate::Fingerprint() {
    if (m_rSettings.TlsPolicy() == TlsMode::Off)
        return std::string();
    std::shared_ptr<const CTlsContext> pContext = Context();
    return pContext ? pContext->Fingerprint() : std::string();
}

void CTlsCertificate::Load() {
    m_strLoadedFor = m_rSettings.m_strTlsCertificate + '\n' + m_rSettings.m_strTlsKey;
    m_pContext.reset();
    std::string strCertificate = m_rSettings.m_strTlsCertificate;
    std::string strKey = m_rSettings.m_strTlsKey;
    std::string strError;
    if (strCertificate.empty() && strKey.empty()) {
        // Skerrow's own, made on first need and reused afterwards.
        strCertificate = OwnCertificateFile();
        strKey = OwnKeyFile();
        if (::access(strCertificate.c_str(), F_OK) != 0 || ::access(strKey.c_str(), F_OK) != 0) {
            std::error_code error;
            std::filesystem::create_directories(m_strFolder.empty() ? "." : m_strFolder, error);
            if (!CTlsContext::MakeSelfSigned(strCertificate, strKey, LocalHostName(), strError)) {
                m_log({FormatString(LoadString(IDS_TLS_FAILED), strError.c_str()), 0});
                return;
            }
        }
    }
    m_pContext = CTlsContext::Load(strCertificate, strKey, strError);
    if (!m_pContext) {
        m_log({FormatString(LoadString(IDS_TLS_FAILED), strError.c_str()), 0});
        return;
    }
    m_log({FormatString(LoadString(IDS_TLS_FINGERPRINT), m_pContext->Fingerprint().c_str()), 0});
}
