#include "ui/ServerPage.h"

#include "res/Templates.h"
#include "server/ServerHost.h"
#include "ui/DialogLayout.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QSlider>

#include <algorithm>

ENumberCheck ParseUnsigned(const QString& strText, unsigned nMin, unsigned nMax, unsigned& rValue) {
    const QString strTrimmed = strText.trimmed();
    if (strTrimmed.isEmpty())
        return ENumberCheck::NotANumber;
    unsigned long long nValue = 0;
    for (QChar ch : strTrimmed) {
        if (ch < u'0' || ch > u'9')
            return ENumberCheck::NotANumber;
        nValue = std::min<unsigned long long>(
            nValue * 10 + static_cast<unsigned>(ch.unicode() - u'0'), 0xFFFFFFFFFFull);
    }
    if (nValue < nMin || nValue > nMax)
        return ENumberCheck::OutOfRange;
    rValue = static_cast<unsigned>(nValue);
    return ENumberCheck::Ok;
}

CServerPage::CServerPage(CServerHost& rHost) : CPropertyPage(rHost, IDD_SERVER_PAGE) {
    const CServerSettings& settings = rHost.Settings();
    m_nPort = static_cast<unsigned>(settings.m_nPort);
    m_nTimeout = static_cast<unsigned>(settings.m_nTimeout);
    m_bHide = settings.m_nHide != 0;
}

void CServerPage::OnInitPage() {
    auto* pPort = m_pLayout->Get<QLineEdit>(IDC_PORT);
    auto* pTimeout = m_pLayout->Get<QLineEdit>(IDC_TIMEOUT);
    auto* pHide = m_pLayout->Get<QCheckBox>(IDC_HIDE);
    pPort->setText(QString::number(m_nPort));
    pTimeout->setText(QString::number(m_nTimeout));
    pHide->setChecked(m_bHide);
    auto* pSlider = m_pLayout->Get<QSlider>(IDC_LOG_LEVEL);
    pSlider->setRange(0, 2);
    pSlider->setTickInterval(1);
    pSlider->setValue(std::clamp(m_rHost.Settings().m_nLogLevel, 0, 2));
    // Typing in a box or clicking the check box marks the page modified;
    // moving the slider does not.
    connect(pPort, &QLineEdit::textEdited, this, [this] { SetModified(); });
    connect(pTimeout, &QLineEdit::textEdited, this, [this] { SetModified(); });
    connect(pHide, &QCheckBox::clicked, this, [this] { SetModified(); });
}

bool CServerPage::ReadBox(QLineEdit& rBox, unsigned nMax, unsigned& rValue) {
    const ENumberCheck result = ParseUnsigned(rBox.text(), 1, nMax, rValue);
    if (result == ENumberCheck::Ok)
        return true;
    ShowFrameworkMessage(
        window(),
        result == ENumberCheck::NotANumber
            ? QStringLiteral("Please enter a positive integer.")
            : QStringLiteral("Please enter an integer between %1 and %2.").arg(1).arg(nMax));
    rBox.setFocus();
    rBox.selectAll();
    return false;
}

bool CServerPage::OnKillActive() {
    if (!IsBuilt())
        return true;
    if (!ReadBox(*m_pLayout->Get<QLineEdit>(IDC_PORT), 65535, m_nPort) ||
        !ReadBox(*m_pLayout->Get<QLineEdit>(IDC_TIMEOUT), 16383, m_nTimeout))
        return false;
    m_bHide = m_pLayout->Get<QCheckBox>(IDC_HIDE)->isChecked();
    return true;
}

bool CServerPage::OnApply() {
    CServerSettings& settings = m_rHost.Settings();
    settings.m_nLogLevel = m_pLayout->Get<QSlider>(IDC_LOG_LEVEL)->value();
    settings.m_nTimeout = static_cast<int>(m_nTimeout);
    settings.m_nHide = m_bHide ? 1 : 0;
    if (static_cast<int>(m_nPort) != settings.m_nPort) {
        if (m_rHost.IsRunning()) {
            m_rHost.StopServer();
            settings.m_nPort = static_cast<int>(m_nPort);
            m_rHost.StartServer();
        } else {
            // Stored for the next start.
            settings.m_nPort = static_cast<int>(m_nPort);
        }
    }
    return true;
}
