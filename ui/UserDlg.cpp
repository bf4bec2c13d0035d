#include "ui/UserDlg.h"

#include "config/PasswordHash.h"
#include "res/Strings.h"
#include "res/Templates.h"
#include "ui/DialogLayout.h"
#include "ui/HashRequest.h"
#include "ui/LengthLimit.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>

CUserDlg::CUserDlg(QWidget* pParent) : QDialog(pParent) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowModality(Qt::WindowModal);
    m_pLayout = std::make_unique<CDialogLayout>(*this, IDD_USER);
    CLengthLimit::Apply(*m_pLayout->Get<QLineEdit>(IDC_USER_NAME), kTextLimit);
    CLengthLimit::Apply(*m_pLayout->Get<QLineEdit>(IDC_PASSWORD), kTextLimit);
    m_pLayout->Control(IDC_PASSWORD_NOTE)->hide();
    ShowLimits();
    connect(m_pLayout->Get<QPushButton>(IDOK), &QPushButton::clicked, this, &CUserDlg::accept);
    connect(m_pLayout->Get<QPushButton>(IDCANCEL), &QPushButton::clicked, this, &CUserDlg::reject);
}

CUserDlg::~CUserDlg() = default;

int CUserDlg::exec() {
    m_pLayout->Get<QCheckBox>(IDC_DOWNLOAD)->setChecked(m_bDownload);
    m_pLayout->Get<QCheckBox>(IDC_UPLOAD)->setChecked(m_bUpload);
    // A stored hash is not a password anyone could type: the box stays
    // empty, and the note (also told to assistive technology) says why.
    m_bStoredHash = CPasswordHash::IsHash(m_strPassword.toStdString());
    auto* pPassword = m_pLayout->Get<QLineEdit>(IDC_PASSWORD);
    auto* pNote = m_pLayout->Get<QLabel>(IDC_PASSWORD_NOTE);
    pPassword->setText(m_bStoredHash ? QString() : m_strPassword);
    pNote->setVisible(m_bStoredHash);
    pPassword->setAccessibleDescription(m_bStoredHash ? pNote->text() : QString());
    m_pLayout->Get<QLineEdit>(IDC_USER_NAME)->setText(m_strName);
    m_pLayout->Get<QLineEdit>(IDC_USER_NAME)->setFocus();
    ShowLimits();
    return QDialog::exec();
}

void CUserDlg::ShowLimits() {
    for (int nId :
         {IDC_LIMITS, IDC_LIMIT_DOWN_LABEL, IDC_LIMIT_DOWN, IDC_LIMIT_UP_LABEL, IDC_LIMIT_UP})
        m_pLayout->Control(nId)->setVisible(m_bLimits);
    if (!m_bLimits)
        return;
    // Wide enough for the group beside the account's fields.
    const QRect group = m_pLayout->Control(IDC_LIMITS)->geometry();
    setFixedWidth(group.right() + m_pLayout->Map(0, 0, 7, 0).width());
    const std::pair<int, int> values[] = {{IDC_LIMIT_DOWN, m_nLimitDown},
                                          {IDC_LIMIT_UP, m_nLimitUp}};
    for (const auto& [nId, nValue] : values)
        m_pLayout->Get<QSpinBox>(nId)->setValue(nValue);
    m_pLayout->Control(IDC_LIMIT_DOWN)
        ->setAccessibleName(QStringLiteral("L\u00edmite de bajada en KB/s (0: sin l\u00edmite)"));
    m_pLayout->Control(IDC_LIMIT_UP)
        ->setAccessibleName(QStringLiteral("L\u00edmite de subida en KB/s (0: sin l\u00edmite)"));
}

bool CUserDlg::IsHashing() const {
    return m_pRequest && m_pRequest->IsRunning();
}

void CUserDlg::accept() {
    if (IsHashing())
        return;
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
    const QString strTyped = pPassword->text();
    if (m_bStoredHash && strTyped.isEmpty())
        Finish(m_strPassword);
    else if (m_pHashing && !strTyped.isEmpty())
        StartHashing(strTyped);
    else
        Finish(strTyped);
}

void CUserDlg::reject() {
    if (!IsHashing())
        QDialog::reject();
}

void CUserDlg::StartHashing(const QString& strPassword) {
    // Nothing can change while the hash is made; the loop goes on serving.
    for (QWidget* pChild : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        pChild->setEnabled(false);
    setCursor(Qt::BusyCursor);
    if (!m_pRequest)
        m_pRequest = new CHashRequest(*m_pHashing, this);
    m_pRequest->Start({strPassword.toStdString()},
                      [this, strPassword](const std::vector<std::string>& hashes) {
                          for (QWidget* pChild : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                              pChild->setEnabled(true);
                          unsetCursor();
                          // No hash could be made (the threads were full, or
                          // stopped): the password is stored as typed, and
                          // hashed at the next save that can.
                          const std::string& strHash = hashes.front();
                          Finish(strHash.empty() ? strPassword : QString::fromStdString(strHash));
                      });
}

void CUserDlg::Finish(const QString& strPassword) {
    m_bDownload = m_pLayout->Get<QCheckBox>(IDC_DOWNLOAD)->isChecked();
    m_bUpload = m_pLayout->Get<QCheckBox>(IDC_UPLOAD)->isChecked();
    m_strPassword = strPassword;
    m_strName = m_pLayout->Get<QLineEdit>(IDC_USER_NAME)->text();
    if (m_bLimits) {
        m_nLimitDown = m_pLayout->Get<QSpinBox>(IDC_LIMIT_DOWN)->value();
        m_nLimitUp = m_pLayout->Get<QSpinBox>(IDC_LIMIT_UP)->value();
    }
    QDialog::accept();
}
