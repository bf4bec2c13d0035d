#include "ui/PropertyPage.h"

#include "res/Templates.h"
#include "ui/DialogLayout.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>

#include <algorithm>

CPropertyPage::CPropertyPage(CServerHost& rHost, CServerSettings& rSettings, int nTemplateId)
    : m_rHost(rHost), m_rSettings(rSettings), m_nTemplateId(nTemplateId) {}

CPropertyPage::~CPropertyPage() = default;

void CPropertyPage::EnsureBuilt() {
    if (m_pLayout)
        return;
    m_pLayout = std::make_unique<CDialogLayout>(*this, m_nTemplateId);
    OnInitPage();
}

QString CPropertyPage::Caption() const {
    const SDialogTemplate* pTemplate = FindDialogTemplate(m_nTemplateId);
    return pTemplate ? QString::fromUtf8(pTemplate->pszCaption) : QString();
}

void CPropertyPage::SetModified(bool bModified) {
    if (m_bModified == bModified)
        return;
    m_bModified = bModified;
    emit modifiedChanged();
}

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

bool CPropertyPage::Refuse(QLineEdit& rBox, const QString& strMessage) {
    ShowFrameworkMessage(window(), strMessage);
    rBox.setFocus();
    rBox.selectAll();
    return false;
}

bool CPropertyPage::ReadBox(QLineEdit& rBox, unsigned nMin, unsigned nMax, unsigned& rValue) {
    const ENumberCheck result = ParseUnsigned(rBox.text(), nMin, nMax, rValue);
    if (result == ENumberCheck::Ok)
        return true;
    return Refuse(
        rBox,
        result == ENumberCheck::NotANumber
            ? QStringLiteral("Please enter a positive integer.")
            : QStringLiteral("Please enter an integer between %1 and %2.").arg(nMin).arg(nMax));
}

void ShowFrameworkMessage(QWidget* pParent, const QString& strText) {
    QMessageBox box(QMessageBox::Warning, QApplication::applicationName(), strText, QMessageBox::Ok,
                    pParent);
    box.setWindowModality(Qt::WindowModal);
    box.exec();
}
