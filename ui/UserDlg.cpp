#include "ui/UserDlg.h"

#include "res/Strings.h"
#include "res/Templates.h"
#include "ui/DialogLayout.h"
#include "ui/LengthLimit.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

CUserDlg::CUserDlg(QWidget* pParent) : QDialog(pParent) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowModality(Qt::WindowModal);
    m_pLayout = std::make_unique<CDialogLayout>(*this, IDD_USER);
    CLengthLimit::Apply(*m_pLayout->Get<QLineEdit>(IDC_USER_NAME), kTextLimit);
    CLengthLimit::Apply(*m_pLayout->Get<QLineEdit>(IDC_PASSWORD), kTextLimit);
    connect(m_pLayout->Get<QPushButton>(IDOK), &QPushButton::clicked, this, &CUserDlg::accept);
    connect(m_pLayout->Get<QPushButton>(IDCANCEL), &QPushButton::clicked, this, &QDialog::reject);
}

CUserDlg::~CUserDlg() = default;

int CUserDlg::exec() {
    m_pLayout->Get<QCheckBox>(IDC_DOWNLOAD)->setChecked(m_bDownload);
    m_pLayout->Get<QCheckBox>(IDC_UPLOAD)->setChecked(m_bUpload);
    m_pLayout->Get<QLineEdit>(IDC_PASSWORD)->setText(m_strPassword);
    m_pLayout->Get<QLineEdit>(IDC_USER_NAME)->setText(m_strName);
    m_pLayout->Get<QLineEdit>(IDC_USER_NAME)->setFocus();
    return QDialog::exec();
}

void CUserDlg::accept() {
    // Read back in the order the values are exchanged; a text over its
    // limit keeps the dialog open with that box focused.
    QLineEdit* pPassword = m_pLayout->Get<QLineEdit>(IDC_PASSWORD);
    QLineEdit* pName = m_pLayout->Get<QLineEdit>(IDC_USER_NAME);
    if (!CLengthLimit::Check(*pPassword, kTextLimit) || !CLengthLimit::Check(*pName, kTextLimit))
        return;
    // The stored record ends the name at its first comma.
    if (pName->text().contains(QLatin1Char(','))) {
        QMessageBox box(QMessageBox::Warning, QApplication::applicationName(),
                        QString::fromUtf8(LoadString(IDS_NAME_HAS_COMMA)), QMessageBox::Ok, this);
        box.setWindowModality(Qt::WindowModal);
        box.exec();
        pName->setFocus();
        return;
    }
    m_bDownload = m_pLayout->Get<QCheckBox>(IDC_DOWNLOAD)->isChecked();
    m_bUpload = m_pLayout->Get<QCheckBox>(IDC_UPLOAD)->isChecked();
    m_strPassword = pPassword->text();
    m_strName = pName->text();
    QDialog::accept();
}
