#include "ui/ServerPage.h"

#include "config/ServerSettings.h"
#include "res/Templates.h"
#include "ui/DialogLayout.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QSlider>

#include <algorithm>

CServerPage::CServerPage(CServerHost& rHost, CServerSettings& rSettings)
    : CPropertyPage(rHost, rSettings, IDD_SERVER_PAGE) {
    const CServerSettings& settings = rSettings;
    m_nPort = static_cast<unsigned>(settings.m_nPort);
    m_nTimeout = static_cast<unsigned>(settings.m_nTimeout);
    m_bHide = settings.HidesInTray();
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
    pSlider->setValue(std::clamp(m_rSettings.m_nLogLevel, 0, 2));
    // Typing in a box or clicking the check box marks the page modified;
    // moving the slider does not.
    connect(pPort, &QLineEdit::textEdited, this, [this] { SetModified(); });
    connect(pTimeout, &QLineEdit::textEdited, this, [this] { SetModified(); });
    connect(pHide, &QCheckBox::clicked, this, [this] { SetModified(); });
}

bool CServerPage::OnKillActive() {
    if (!IsBuilt())
        return true;
    if (!ReadBox(*m_pLayout->Get<QLineEdit>(IDC_PORT), 1, 65535, m_nPort) ||
        !ReadBox(*m_pLayout->Get<QLineEdit>(IDC_TIMEOUT), 1, 16383, m_nTimeout))
        return false;
    m_bHide = m_pLayout->Get<QCheckBox>(IDC_HIDE)->isChecked();
    return true;
}

bool CServerPage::OnApply() {
    m_rSettings.m_nLogLevel = m_pLayout->Get<QSlider>(IDC_LOG_LEVEL)->value();
    m_rSettings.m_nTimeout = static_cast<int>(m_nTimeout);
    m_rSettings.m_nHide = m_bHide ? 1 : 0;
    // A new port restarts a running server when the server takes it.
    m_rSettings.m_nPort = static_cast<int>(m_nPort);
    return true;
}
