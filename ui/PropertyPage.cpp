#include "ui/PropertyPage.h"

#include "res/Templates.h"
#include "ui/DialogLayout.h"
#include "ui/ServerPage.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>

CPropertyPage::CPropertyPage(CServerHost& rHost, int nTemplateId)
    : m_rHost(rHost), m_nTemplateId(nTemplateId) {}

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
