// The certificate the host's TLS uses: made once in its folder and reused,
// loaded again only when the settings name other files, and a certificate
// that cannot be used reported once however often it is asked for.
#include "server/TlsCertificate.h"
#include "config/ServerSettings.h"
#include "net/TlsContext.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

class TlsCertificateTest : public ::testing::Test {
protected:
    TlsCertificateTest()
        : m_folder(fs::temp_directory_path() /
                   ("skerrow-certificate-" + std::to_string(getpid()))) {
        fs::remove_all(m_folder);
        m_settings.m_bEnabled = true;
        m_settings.m_nTlsMode = 1;
    }
    ~TlsCertificateTest() override { fs::remove_all(m_folder); }

    CTlsCertificate MakeCertificate() {
        CTlsCertificate certificate(m_settings,
                                    [this](const SLogRecord& record) { m_log.push_back(record); });
        // Made in a folder not there yet: it is created.
        certificate.SetFolder((m_folder / "own").string());
        return certificate;
    }
    // The log lines that contain strPart.
    size_t Lines(const std::string& strPart) const {
        size_t nCount = 0;
        for (const SLogRecord& record : m_log)
            nCount += record.strText.find(strPart) != std::string::npos ? 1 : 0;
        return nCount;
    }

    fs::path m_folder;
    CExtendedSettings m_settings;
    std::vector<SLogRecord> m_log;
};

TEST_F(TlsCertificateTest, OwnCertificateIsMadeOnceAndReusedByTheNextStart) {
    CTlsCertificate first = MakeCertificate();
    std::shared_ptr<const CTlsContext> pContext = first.Context();
    ASSERT_NE(pContext, nullptr);
    EXPECT_TRUE(fs::exists(first.OwnCertificateFile()));
    EXPECT_TRUE(fs::exists(first.OwnKeyFile()));
    // Asked again with the same settings: the same context, nothing logged.
    EXPECT_EQ(first.Context(), pContext);
    ASSERT_EQ(Lines("huella SHA-256: " + pContext->Fingerprint()), 1u);
    EXPECT_EQ(m_log.size(), 1u);
    EXPECT_EQ(first.Fingerprint(), pContext->Fingerprint());

    // Another run over the same folder loads the files made, not new ones.
    CTlsCertificate second = MakeCertificate();
    EXPECT_EQ(second.Fingerprint(), pContext->Fingerprint());

    // With TLS off there is no fingerprint to show.
    m_settings.m_bEnabled = false;
    EXPECT_EQ(first.Fingerprint(), "");
}

TEST_F(TlsCertificateTest, AnUnusableCertificateIsReportedOnceUntilTheSettingsChange) {
    CTlsCertificate certificate = MakeCertificate();
    m_settings.m_strTlsCertificate = (m_folder / "missing-cert.pem").string();
    m_settings.m_strTlsKey = (m_folder / "missing-key.pem").string();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(certificate.Context(), nullptr);
        EXPECT_EQ(certificate.Fingerprint(), "");
    }
    EXPECT_EQ(Lines("Error TLS: "), 1u);
    EXPECT_EQ(m_log.size(), 1u);
    // Named files are never replaced by Skerrow's own.
    EXPECT_FALSE(fs::exists(certificate.OwnCertificateFile()));

    // Back to Skerrow's own: loaded (made) at the next use, and logged.
    m_settings.m_strTlsCertificate.clear();
    m_settings.m_strTlsKey.clear();
    ASSERT_NE(certificate.Context(), nullptr);
    EXPECT_EQ(Lines("huella SHA-256: "), 1u);
    // The same files named again are a change too: read (the reason gone).
    m_settings.m_strTlsCertificate = certificate.OwnCertificateFile();
    m_settings.m_strTlsKey = certificate.OwnKeyFile();
    ASSERT_NE(certificate.Context(), nullptr);
    EXPECT_EQ(Lines("huella SHA-256: "), 2u);
    EXPECT_EQ(Lines("Error TLS: "), 1u);
}

} // namespace
