#include "ui/AdvancedPage.h"

#include "res/Templates.h"
#include "ui/DialogLayout.h"
#include "ui/ServerDlg.h"
#include "ui/ServerPage.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QRegularExpression>

#include <algorithm>

namespace {
// The lowest port a passive range may use: the ports below are the system's.
constexpr unsigned kLowestPassivePort = 1024;
constexpr unsigned kMaxPerAddressLimit = 1000;
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

CAdvancedPage::CAdvancedPage(CServerDlg& rOwner) : CPropertyPage(rOwner, IDD_ADVANCED_PAGE) {
    const CExtendedSettings& extended = rOwner.Settings().m_extended;
    m_bExtended = extended.m_bEnabled;
    m_nPassiveMin = static_cast<unsigned>(std::max(extended.m_nPassivePortMin, 0));
    m_nPassiveMax = static_cast<unsigned>(std::max(extended.m_nPassivePortMax, 0));
    m_strPassiveAddress = QString::fromStdString(extended.m_strPassiveAddress);
    m_nMaxPerAddress = static_cast<unsigned>(std::max(extended.m_nMaxPerAddress, 0));
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
    connect(pExtended, &QCheckBox::clicked, this, [this] { SetModified(); });
    for (QLineEdit* pBox : {pMin, pMax, pAddress, pLimit})
        connect(pBox, &QLineEdit::textEdited, this, [this] { SetModified(); });
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
    m_bExtended = m_pLayout->Get<QCheckBox>(IDC_EXTENDED)->isChecked();
    m_nPassiveMin = nMin;
    m_nPassiveMax = nMax;
    m_strPassiveAddress = pAddress->text().trimmed();
    m_nMaxPerAddress = nLimit;
    return true;
}

bool CAdvancedPage::OnApply() {
    CExtendedSettings& extended = m_rOwner.Settings().m_extended;
    extended.m_bEnabled = m_bExtended;
    extended.m_nPassivePortMin = static_cast<int>(m_nPassiveMin);
    extended.m_nPassivePortMax = static_cast<int>(m_nPassiveMax);
    extended.m_strPassiveAddress = m_strPassiveAddress.toStdString();
    extended.m_nMaxPerAddress = static_cast<int>(m_nMaxPerAddress);
    return true;
}
