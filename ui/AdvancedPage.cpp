#include "ui/AdvancedPage.h"

#include "net/Address.h"
#include "net/ProxyGate.h"
#include "res/Templates.h"
#include "server/ServerHost.h"
#include "ui/DialogLayout.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

namespace {
// The lowest port a passive range may use: the ports below are the system's.
constexpr unsigned kLowestPassivePort = 1024;
} // namespace

bool IsPassiveAddress(const QString& strText) {
    const std::string strTrimmed = strText.trimmed().toStdString();
    if (strTrimmed.empty())
        return true;
    // Read as the server reads it for its passive replies, which carry an
    // IPv4 address only.
    CAddress address;
    return CAddress::Parse(strTrimmed, 0, address) && address.IsV4();
}

CAdvancedPage::CAdvancedPage(CServerHost& rHost, CServerSettings& rSettings)
    : CPropertyPage(rHost, rSettings, IDD_ADVANCED_PAGE) {
    const CExtendedSettings& extended = rSettings.m_extended;
    m_bExtended = extended.m_bEnabled;
    m_nPassiveMin = static_cast<unsigned>(std::max(extended.m_nPassivePortMin, 0));
    m_nPassiveMax = static_cast<unsigned>(std::max(extended.m_nPassivePortMax, 0));
    m_strPassiveAddress = QString::fromStdString(extended.m_strPassiveAddress);
    m_bProxyProtocol = extended.m_bProxyProtocol;
    m_strProxyFrom = QString::fromStdString(extended.m_strProxyFrom);
    m_nTlsMode = static_cast<int>(extended.StoredTlsMode());
    m_strTlsCertificate = QString::fromStdString(extended.m_strTlsCertificate);
    m_strTlsKey = QString::fromStdString(extended.m_strTlsKey);
    m_bTlsReuse = extended.RequiresSessionReuse();
    m_nImplicitTlsPort = static_cast<unsigned>(std::max(extended.m_nImplicitTlsPort, 0));
    m_bHashPasswords = rSettings.m_logins.m_bHashPasswords;
}

void CAdvancedPage::OnInitPage() {
    auto* pExtended = m_pLayout->Get<QCheckBox>(IDC_EXTENDED);
    auto* pMin = m_pLayout->Get<QLineEdit>(IDC_PASSIVE_MIN);
    auto* pMax = m_pLayout->Get<QLineEdit>(IDC_PASSIVE_MAX);
    auto* pAddress = m_pLayout->Get<QLineEdit>(IDC_PASSIVE_ADDRESS);
    pExtended->setChecked(m_bExtended);
    pMin->setText(QString::number(m_nPassiveMin));
    pMax->setText(QString::number(m_nPassiveMax));
    pAddress->setText(m_strPassiveAddress);
    pAddress->setMaxLength(15);
    auto* pProxy = m_pLayout->Get<QCheckBox>(IDC_PROXY_PROTOCOL);
    auto* pProxyFrom = m_pLayout->Get<QLineEdit>(IDC_PROXY_FROM);
    pProxy->setChecked(m_bProxyProtocol);
    pProxyFrom->setText(m_strProxyFrom);
    connect(pProxy, &QCheckBox::clicked, this, [this] { SetModified(); });
    connect(pProxy, &QCheckBox::toggled, this, [this] { UpdateExtendedControls(); });
    auto* pMode = m_pLayout->Get<QComboBox>(IDC_TLS_MODE);
    auto* pCertificate = m_pLayout->Get<QLineEdit>(IDC_TLS_CERTIFICATE);
    auto* pKey = m_pLayout->Get<QLineEdit>(IDC_TLS_KEY);
    auto* pReuse = m_pLayout->Get<QCheckBox>(IDC_TLS_REUSE);
    pMode->setCurrentIndex(m_nTlsMode);
    pCertificate->setText(m_strTlsCertificate);
    pKey->setText(m_strTlsKey);
    pReuse->setChecked(m_bTlsReuse);
    auto* pImplicit = m_pLayout->Get<QLineEdit>(IDC_IMPLICIT_TLS_PORT);
    pImplicit->setText(QString::number(m_nImplicitTlsPort));
    // Empty boxes: Skerrow's own certificate, made on first need.
    pCertificate->setPlaceholderText(QStringLiteral("(propio de Skerrow)"));
    pKey->setPlaceholderText(QStringLiteral("(propia de Skerrow)"));
    ShowFingerprint();
    connect(pExtended, &QCheckBox::clicked, this, [this] { SetModified(); });
    connect(pExtended, &QCheckBox::toggled, this, [this] { UpdateExtendedControls(); });
    UpdateExtendedControls();
    connect(pReuse, &QCheckBox::clicked, this, [this] { SetModified(); });
    connect(pMode, &QComboBox::activated, this, [this] { SetModified(); });
    for (QLineEdit* pBox : {pMin, pMax, pAddress, pProxyFrom, pCertificate, pKey, pImplicit})
        connect(pBox, &QLineEdit::textEdited, this, [this] { SetModified(); });
    // Stored hashes are not part of the extended mode: always available.
    auto* pHash = m_pLayout->Get<QCheckBox>(IDC_HASH_PASSWORDS);
    pHash->setChecked(m_bHashPasswords);
    connect(pHash, &QCheckBox::clicked, this, [this] { SetModified(); });
    connect(m_pLayout->Get<QPushButton>(IDC_TLS_CERTIFICATE_BROWSE), &QPushButton::clicked, this,
            [this] { OnBrowse(IDC_TLS_CERTIFICATE); });
    connect(m_pLayout->Get<QPushButton>(IDC_TLS_KEY_BROWSE), &QPushButton::clicked, this,
            [this] { OnBrowse(IDC_TLS_KEY); });
}

void CAdvancedPage::UpdateExtendedControls() {
    // TLS is part of the extended mode: without it its controls do nothing.
    const bool bExtended = m_pLayout->Get<QCheckBox>(IDC_EXTENDED)->isChecked();
    for (int nId : {IDC_TLS_MODE, IDC_TLS_CERTIFICATE, IDC_TLS_CERTIFICATE_BROWSE, IDC_TLS_KEY,
                    IDC_TLS_KEY_BROWSE, IDC_TLS_REUSE, IDC_IMPLICIT_TLS_PORT, IDC_PROXY_PROTOCOL})
        m_pLayout->Control(nId)->setEnabled(bExtended);
    m_pLayout->Control(IDC_PROXY_FROM)
        ->setEnabled(bExtended && m_pLayout->Get<QCheckBox>(IDC_PROXY_PROTOCOL)->isChecked());
}

void CAdvancedPage::OnBrowse(int nBox) {
    auto* pBox = m_pLayout->Get<QLineEdit>(nBox);
    const QString strStart = pBox->text().isEmpty() ? QDir::homePath() : pBox->text();
    QFileDialog picker(window(),
                       nBox == IDC_TLS_CERTIFICATE ? QStringLiteral("Certificado TLS (PEM)")
                                                   : QStringLiteral("Clave privada TLS (PEM)"),
                       strStart);
    picker.setFileMode(QFileDialog::ExistingFile);
    picker.setNameFilters({QStringLiteral("PEM (*.pem *.crt *.key)"), QStringLiteral("* (*)")});
    picker.setWindowModality(Qt::WindowModal);
    if (picker.exec() != QDialog::Accepted || picker.selectedFiles().isEmpty())
        return;
    pBox->setText(picker.selectedFiles().first());
    SetModified();
}

void CAdvancedPage::ShowFingerprint() {
    if (!IsBuilt())
        return;
    m_pLayout->Get<QLineEdit>(IDC_TLS_FINGERPRINT)
        ->setText(QString::fromStdString(m_rHost.Certificate().Fingerprint()));
}

bool CAdvancedPage::ReadBalancers(bool bExtended) {
    // The balancers are believed about whom they carry: their addresses
    // must be addresses.
    const bool bProxy = m_pLayout->Get<QCheckBox>(IDC_PROXY_PROTOCOL)->isChecked();
    auto* pProxyFrom = m_pLayout->Get<QLineEdit>(IDC_PROXY_FROM);
    std::vector<CAddress> balancers;
    if (bExtended && bProxy &&
        !CProxyPolicy::ParseList(pProxyFrom->text().trimmed().toStdString(), balancers))
        return Refuse(*pProxyFrom,
                      QStringLiteral("Please enter IP addresses separated by commas."));
    m_bProxyProtocol = bProxy;
    m_strProxyFrom = pProxyFrom->text().trimmed();
    return true;
}

bool CAdvancedPage::OnKillActive() {
    if (!IsBuilt())
        return true;
    auto* pMin = m_pLayout->Get<QLineEdit>(IDC_PASSIVE_MIN);
    auto* pMax = m_pLayout->Get<QLineEdit>(IDC_PASSIVE_MAX);
    auto* pAddress = m_pLayout->Get<QLineEdit>(IDC_PASSIVE_ADDRESS);
    unsigned nMin = 0;
    unsigned nMax = 0;
    // Both 0: any port the system chooses. Otherwise a range of the ports
    // from 1024 up, its first port not above its last.
    if (!ReadBox(*pMin, 0, 65535, nMin) || !ReadBox(*pMax, 0, 65535, nMax))
        return false;
    if (nMin != 0 || nMax != 0) {
        if (!ReadBox(*pMin, kLowestPassivePort, 65535, nMin) ||
            !ReadBox(*pMax, kLowestPassivePort, 65535, nMax) ||
            !ReadBox(*pMin, kLowestPassivePort, nMax, nMin))
            return false;
    }
    if (!IsPassiveAddress(pAddress->text()))
        return Refuse(*pAddress, QStringLiteral("Please enter a valid IPv4 address."));
    // A certificate comes with its key: both files, or neither (Skerrow's own).
    auto* pCertificate = m_pLayout->Get<QLineEdit>(IDC_TLS_CERTIFICATE);
    auto* pKey = m_pLayout->Get<QLineEdit>(IDC_TLS_KEY);
    const QString strCertificate = pCertificate->text().trimmed();
    const QString strKey = pKey->text().trimmed();
    // Checked only where they can be changed: with the extended mode on.
    const bool bExtended = m_pLayout->Get<QCheckBox>(IDC_EXTENDED)->isChecked();
    if (bExtended && strCertificate.isEmpty() != strKey.isEmpty())
        return Refuse(strCertificate.isEmpty() ? *pCertificate : *pKey,
                      QStringLiteral("Please enter both the certificate and the key, or neither."));
    if (!ReadBalancers(bExtended))
        return false;
    // The implicit FTPS port: 0 (none) or a TCP port; the server refuses
    // the control port's own when it starts.
    unsigned nImplicit = m_nImplicitTlsPort;
    if (bExtended &&
        !ReadBox(*m_pLayout->Get<QLineEdit>(IDC_IMPLICIT_TLS_PORT), 0, 65535, nImplicit))
        return false;
    m_nImplicitTlsPort = nImplicit;
    m_nTlsMode = m_pLayout->Get<QComboBox>(IDC_TLS_MODE)->currentIndex();
    m_strTlsCertificate = strCertificate;
    m_strTlsKey = strKey;
    m_bTlsReuse = m_pLayout->Get<QCheckBox>(IDC_TLS_REUSE)->isChecked();
    m_bHashPasswords = m_pLayout->Get<QCheckBox>(IDC_HASH_PASSWORDS)->isChecked();
    m_bExtended = m_pLayout->Get<QCheckBox>(IDC_EXTENDED)->isChecked();
    m_nPassiveMin = nMin;
    m_nPassiveMax = nMax;
    m_strPassiveAddress = pAddress->text().trimmed();
    return true;
}

bool CAdvancedPage::OnApply() {
    CExtendedSettings& extended = m_rSettings.m_extended;
    extended.m_bEnabled = m_bExtended;
    extended.m_nPassivePortMin = static_cast<int>(m_nPassiveMin);
    extended.m_nPassivePortMax = static_cast<int>(m_nPassiveMax);
    extended.m_strPassiveAddress = m_strPassiveAddress.toStdString();
    extended.m_bProxyProtocol = m_bProxyProtocol;
    extended.m_strProxyFrom = m_strProxyFrom.toStdString();
    extended.m_nTlsMode = m_nTlsMode;
    extended.m_strTlsCertificate = m_strTlsCertificate.toStdString();
    extended.m_strTlsKey = m_strTlsKey.toStdString();
    extended.m_nTlsSessionReuse = m_bTlsReuse ? 1 : 0;
    extended.m_nImplicitTlsPort = static_cast<int>(m_nImplicitTlsPort);
    m_rSettings.m_logins.m_bHashPasswords = m_bHashPasswords;
    return true;
}

void CAdvancedPage::OnApplied() {
    // The certificate now in force (made or loaded on first need).
    ShowFingerprint();
}
