// The certificate TLS uses: the one the settings name, or Skerrow's own,
// made in the settings folder on first need and reused afterwards. It is
// loaded when first asked for and again once the settings name other
// files; its fingerprint is logged, and so, once, is the reason it cannot
// be used.
#pragma once

#include "ftp/LogRecord.h"

#include <functional>
#include <memory>
#include <string>

struct CExtendedSettings;
class CTlsContext;

class CTlsCertificate {
public:
    using LogFn = std::function<void(const SLogRecord&)>;

    // rSettings: the extended settings in force, read at each use.
    CTlsCertificate(const CExtendedSettings& rSettings, LogFn log);

    // Where Skerrow's own certificate and key live (the settings folder),
    // used when no certificate is configured.
    void SetFolder(const std::string& strFolder) { m_strFolder = strFolder; }
    // The files of Skerrow's own certificate and key.
    std::string OwnCertificateFile() const;
    std::string OwnKeyFile() const;
    // The certificate in use now, loaded (or made) when the settings name
    // other files than last time; null when it cannot be used.
    std::shared_ptr<const CTlsContext> Context();
    // The fingerprint of the certificate in use, empty when TLS is off or
    // none can be used.
    std::string Fingerprint();

private:
    // Loads (or first makes) the certificate the settings name.
    void Load();

    const CExtendedSettings& m_rSettings;
    LogFn m_log;
    std::string m_strFolder;
    std::shared_ptr<const CTlsContext> m_pContext;
    // The certificate and key files the loaded (or failed) context is for.
    std::string m_strLoadedFor;
};
