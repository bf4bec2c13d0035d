// "Avanzado": the extended mode for today's clients (off by default), the
// passive port range and advertised address, the load balancers whose
// connections bring a PROXY header, and TLS (its policy, certificate and
// key, session reuse on data connections, the fingerprint of the
// certificate in use, and the implicit FTPS port), and whether passwords
// are stored hashed. Its values
// reach every session at its next command.
#pragma once

#include "ui/PropertyPage.h"

#include <QString>

// The passive address box: empty, or an IPv4 address as the server reads it
// (CAddress::Parse).
bool IsPassiveAddress(const QString& strText);

class CAdvancedPage : public CPropertyPage {
    Q_OBJECT

public:
    CAdvancedPage(CServerHost& rHost, CServerSettings& rSettings);

    bool OnKillActive() override;
    bool OnApply() override;
    void OnApplied() override;
    QString HelpSection() const override { return QStringLiteral("avanzado"); }

    bool m_bExtended = false;
    unsigned m_nPassiveMin = 0;
    unsigned m_nPassiveMax = 0;
    QString m_strPassiveAddress;
    bool m_bProxyProtocol = false;
    QString m_strProxyFrom;
    int m_nTlsMode = 0;
    QString m_strTlsCertificate;
    QString m_strTlsKey;
    bool m_bTlsReuse = true;
    // The implicit FTPS port; 0: none.
    unsigned m_nImplicitTlsPort = 0;
    // Passwords stored as Argon2id hashes whenever the settings are saved.
    bool m_bHashPasswords = false;

    // Picks a PEM file into the certificate or the key box.
    void OnBrowse(int nBox);

protected:
    void OnInitPage() override;

private:
    // Takes the PROXY protocol's check box and the balancers' addresses;
    // false (refused) when the addresses are needed and are not addresses.
    bool ReadBalancers(bool bExtended);
    // Shows the fingerprint of the certificate the server uses now.
    void ShowFingerprint();
    // The TLS and PROXY controls are available only with the extended mode
    // on, the balancers' addresses only with the PROXY protocol on.
    void UpdateExtendedControls();
};
