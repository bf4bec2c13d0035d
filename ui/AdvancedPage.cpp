#include "ui/AdvancedPage.h"

#include "net/ProxyGate.h"
#include "res/Templates.h"
#include "server/ServerHost.h"
#include "ui/DialogLayout.h"
#include "ui/ServerPage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardItemModel>
#include <QTreeView>

#include <algorithm>
#include <chrono>

namespace {
// The lowest port a passive range may use: the ports below are the system's.
constexpr unsigned kLowestPassivePort = 1024;
constexpr unsigned kMaxPerAddressLimit = 1000;
constexpr int kMaxBanValue = CLoginSettings::kMaxValue;

// When a ban ends, as the administrator reads it: the local time of day,
// with the date when it is not today.
QString BanEndText(CLoginGuard::Clock::time_point until) {
    const auto left =
        std::chrono::duration_cast<std::chrono::seconds>(until - CLoginGuard::Clock::now());
    const QDateTime end = QDateTime::currentDateTime().addSecs(left.count());
    return end.date() == QDate::currentDate() ? end.toString(QStringLiteral("HH:mm:ss"))
                                              : end.toString(QStringLiteral("dd/MM HH:mm"));
}
} // namespace

bool IsPassiveAddress(const QString& strText) {
    const QString strTrimmed = strText.trimmed();
    if (strTrimmed.isEmpty())
        return true;
    // Four decimal numbers from 0 to 255, nothing else (no "10.1", no hex).
    static const QRegularExpression dotted(QStringLiteral("^\\d{1,3}(\\.\\d{1,3}){3}$"));
    if (!dotted.match(strTrimmed).hasMatch())
        return false;
    for (const QString& strPart : strTrimmed.split(u'.'))
        if (strPart.toInt() > 255)
            return false;
    return true;
}

CAdvancedPage::CAdvancedPage(CServerHost& rHost) : CPropertyPage(rHost, IDD_ADVANCED_PAGE) {
    const CExtendedSettings& extended = rHost.Settings().m_extended;
    m_bExtended = extended.m_bEnabled;
    m_nPassiveMin = static_cast<unsigned>(std::max(extended.m_nPassivePortMin, 0));
    m_nPassiveMax = static_cast<unsigned>(std::max(extended.m_nPassivePortMax, 0));
    m_strPassiveAddress = QString::fromStdString(extended.m_strPassiveAddress);
    m_nMaxPerAddress = static_cast<unsigned>(std::max(extended.m_nMaxPerAddress, 0));
    m_bProxyProtocol = extended.m_bProxyProtocol;
    m_strProxyFrom = QString::fromStdString(extended.m_strProxyFrom);
    m_nTlsMode = static_cast<int>(extended.StoredTlsMode());
    m_strTlsCertificate = QString::fromStdString(extended.m_strTlsCertificate);
    m_strTlsKey = QString::fromStdString(extended.m_strTlsKey);
    m_bTlsReuse = extended.m_nTlsSessionReuse != 0;
    const CLoginSettings& logins = rHost.Settings().m_logins;
    m_nBanAfter = static_cast<unsigned>(std::clamp(logins.m_nBanAfter, 0, kMaxBanValue));
    m_nBanMinutes = static_cast<unsigned>(std::clamp(logins.m_nBanMinutes, 0, kMaxBanValue));
}

void CAdvancedPage::OnInitPage() {
    auto* pExtended = m_pLayout->Get<QCheckBox>(IDC_EXTENDED);
    auto* pMin = m_pLayout->Get<QLineEdit>(IDC_PASSIVE_MIN);
    auto* pMax = m_pLayout->Get<QLineEdit>(IDC_PASSIVE_MAX);
    auto* pAddress = m_pLayout->Get<QLineEdit>(IDC_PASSIVE_ADDRESS);
    auto* pLimit = m_pLayout->Get<QLineEdit>(IDC_MAX_PER_ADDRESS);
    pExtended->setChecked(m_bExtended);
    pMin->setText(QString::number(m_nPassiveMin));
    pMax->setText(QString::number(m_nPassiveMax));
    pAddress->setText(m_strPassiveAddress);
    pLimit->setText(QString::number(m_nMaxPerAddress));
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
    // Empty boxes: Skerrow's own certificate, made on first need.
    pCertificate->setPlaceholderText(QStringLiteral("(propio de Skerrow)"));
    pKey->setPlaceholderText(QStringLiteral("(propia de Skerrow)"));
    ShowFingerprint();
    connect(pExtended, &QCheckBox::clicked, this, [this] { SetModified(); });
    connect(pExtended, &QCheckBox::toggled, this, [this] { UpdateExtendedControls(); });
    UpdateExtendedControls();
    connect(pReuse, &QCheckBox::clicked, this, [this] { SetModified(); });
    connect(pMode, &QComboBox::activated, this, [this] { SetModified(); });
    for (QLineEdit* pBox : {pMin, pMax, pAddress, pLimit, pProxyFrom, pCertificate, pKey})
        connect(pBox, &QLineEdit::textEdited, this, [this] { SetModified(); });
    connect(m_pLayout->Get<QPushButton>(IDC_TLS_CERTIFICATE_BROWSE), &QPushButton::clicked, this,
            [this] { OnBrowse(IDC_TLS_CERTIFICATE); });
    connect(m_pLayout->Get<QPushButton>(IDC_TLS_KEY_BROWSE), &QPushButton::clicked, this,
            [this] { OnBrowse(IDC_TLS_KEY); });

    auto* pBanAfter = m_pLayout->Get<QLineEdit>(IDC_BAN_AFTER);
    auto* pBanMinutes = m_pLayout->Get<QLineEdit>(IDC_BAN_MINUTES);
    pBanAfter->setText(QString::number(m_nBanAfter));
    pBanMinutes->setText(QString::number(m_nBanMinutes));
    for (QLineEdit* pBox : {pBanAfter, pBanMinutes}) {
        pBox->setMaxLength(5);
        connect(pBox, &QLineEdit::textEdited, this, [this] { SetModified(); });
    }
    auto* pList = m_pLayout->Get<QTreeView>(IDC_BAN_LIST);
    m_pBans = new QStandardItemModel(0, 2, this);
    m_pBans->setHorizontalHeaderLabels({QStringLiteral("Direcci\u00f3n"), QStringLiteral("Hasta")});
    pList->setModel(m_pBans);
    connect(pList->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { UpdateUnban(); });
    connect(m_pLayout->Get<QPushButton>(IDC_UNBAN), &QPushButton::clicked, this,
            [this] { OnUnban(); });
    ShowBans();
}

void CAdvancedPage::UpdateExtendedControls() {
    // TLS is part of the extended mode: without it its controls do nothing.
    const bool bExtended = m_pLayout->Get<QCheckBox>(IDC_EXTENDED)->isChecked();
    for (int nId : {IDC_TLS_MODE, IDC_TLS_CERTIFICATE, IDC_TLS_CERTIFICATE_BROWSE, IDC_TLS_KEY,
                    IDC_TLS_KEY_BROWSE, IDC_TLS_REUSE, IDC_PROXY_PROTOCOL})
        m_pLayout->Control(nId)->setEnabled(bExtended);
    m_pLayout->Control(IDC_PROXY_FROM)
        ->setEnabled(bExtended && m_pLayout->Get<QCheckBox>(IDC_PROXY_PROTOCOL)->isChecked());
}

void CAdvancedPage::ShowBans() {
    if (!IsBuilt())
        return;
    if (!IsBuilt() || !m_pBans)
        return;
    auto* pList = m_pLayout->Get<QTreeView>(IDC_BAN_LIST);
    // The selection follows its address through the refresh.
    QString strSelected;
    const QModelIndexList selected = pList->selectionModel()->selectedRows();
    if (!selected.isEmpty())
        strSelected = m_pBans->item(selected.first().row(), 0)->text();
    m_pBans->removeRows(0, m_pBans->rowCount());
    for (const CLoginGuard::SBan& ban : m_rHost.Bans()) {
        auto* pAddress = new QStandardItem(QString::fromStdString(ban.strKey));
        auto* pUntil = new QStandardItem(BanEndText(ban.until));
        pAddress->setData(QString::fromStdString(ban.strKey), Qt::AccessibleTextRole);
        pUntil->setData(QStringLiteral("Hasta ") + pUntil->text(), Qt::AccessibleTextRole);
        m_pBans->appendRow({pAddress, pUntil});
        if (pAddress->text() == strSelected)
            pList->selectionModel()->select(pAddress->index(), QItemSelectionModel::ClearAndSelect |
                                                                   QItemSelectionModel::Rows);
    }
    pList->resizeColumnToContents(0);
    UpdateUnban();
}

void CAdvancedPage::UpdateUnban() {
    auto* pList = m_pLayout->Get<QTreeView>(IDC_BAN_LIST);
    m_pLayout->Get<QPushButton>(IDC_UNBAN)->setEnabled(pList->selectionModel()->hasSelection());
}

void CAdvancedPage::OnUnban() {
    auto* pList = m_pLayout->Get<QTreeView>(IDC_BAN_LIST);
    const QModelIndexList selected = pList->selectionModel()->selectedRows();
    if (selected.isEmpty())
        return;
    const QString strKey = m_pBans->item(selected.first().row(), 0)->text();
    // The host reports the change, which refreshes the list.
    if (!m_rHost.Unban(strKey.toStdString()))
        ShowBans();
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
        ->setText(QString::fromStdString(m_rHost.TlsFingerprint()));
}

bool CAdvancedPage::Refuse(QLineEdit& rBox, const QString& strMessage) {
    ShowFrameworkMessage(window(), strMessage);
    rBox.setFocus();
    rBox.selectAll();
    return false;
}

bool CAdvancedPage::ReadBox(QLineEdit& rBox, unsigned nMin, unsigned nMax, unsigned& rValue) {
    const ENumberCheck result = ParseUnsigned(rBox.text(), nMin, nMax, rValue);
    if (result == ENumberCheck::Ok)
        return true;
    return Refuse(
        rBox,
        result == ENumberCheck::NotANumber
            ? QStringLiteral("Please enter a positive integer.")
            : QStringLiteral("Please enter an integer between %1 and %2.").arg(nMin).arg(nMax));
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
    unsigned nLimit = 0;
    if (!ReadBox(*m_pLayout->Get<QLineEdit>(IDC_MAX_PER_ADDRESS), 0, kMaxPerAddressLimit, nLimit))
        return false;
    unsigned nBanAfter = 0;
    unsigned nBanMinutes = 0;
    if (!ReadBox(*m_pLayout->Get<QLineEdit>(IDC_BAN_AFTER), 0, kMaxBanValue, nBanAfter) ||
        !ReadBox(*m_pLayout->Get<QLineEdit>(IDC_BAN_MINUTES), 0, kMaxBanValue, nBanMinutes))
        return false;
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
    m_nTlsMode = m_pLayout->Get<QComboBox>(IDC_TLS_MODE)->currentIndex();
    m_strTlsCertificate = strCertificate;
    m_strTlsKey = strKey;
    m_bTlsReuse = m_pLayout->Get<QCheckBox>(IDC_TLS_REUSE)->isChecked();
    m_bExtended = m_pLayout->Get<QCheckBox>(IDC_EXTENDED)->isChecked();
    m_nPassiveMin = nMin;
    m_nPassiveMax = nMax;
    m_strPassiveAddress = pAddress->text().trimmed();
    m_nMaxPerAddress = nLimit;
    m_nBanAfter = nBanAfter;
    m_nBanMinutes = nBanMinutes;
    return true;
}

bool CAdvancedPage::OnApply() {
    CExtendedSettings& extended = m_rHost.Settings().m_extended;
    extended.m_bEnabled = m_bExtended;
    extended.m_nPassivePortMin = static_cast<int>(m_nPassiveMin);
    extended.m_nPassivePortMax = static_cast<int>(m_nPassiveMax);
    extended.m_strPassiveAddress = m_strPassiveAddress.toStdString();
    extended.m_nMaxPerAddress = static_cast<int>(m_nMaxPerAddress);
    extended.m_bProxyProtocol = m_bProxyProtocol;
    extended.m_strProxyFrom = m_strProxyFrom.toStdString();
    extended.m_nTlsMode = m_nTlsMode;
    extended.m_strTlsCertificate = m_strTlsCertificate.toStdString();
    extended.m_strTlsKey = m_strTlsKey.toStdString();
    extended.m_nTlsSessionReuse = m_bTlsReuse ? 1 : 0;
    CLoginSettings& logins = m_rHost.Settings().m_logins;
    logins.m_nBanAfter = static_cast<int>(m_nBanAfter);
    logins.m_nBanMinutes = static_cast<int>(m_nBanMinutes);
    // The certificate now in force (made or loaded on first need).
    ShowFingerprint();
    return true;
}
