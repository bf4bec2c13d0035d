#include "ui/UsersPage.h"

#include "config/ServerSettings.h"
#include "res/Strings.h"
#include "res/Templates.h"
#include "server/ServerHost.h"
#include "ui/UserDlg.h"

#include <QPushButton>

CUsersPage::CUsersPage(CServerHost& rHost, CServerSettings& rSettings)
    : CRecordListPage(rHost, rSettings, IDD_USERS_PAGE, IDC_ACCOUNT_LIST,
                      {{LoadString(IDS_COLUMN_USER), 75}, {"R", 25}, {"W", 25}}),
      m_users(rSettings.m_users), m_limits(rSettings.m_limits) {}

bool CUsersPage::OnApply() {
    m_rSettings.m_users = m_users;
    m_rSettings.m_limits.m_users = m_limits.m_users;
    return true;
}

bool CUsersPage::EditInDialog(CUserDlg& rDialog, const std::string& strUser) {
    rDialog.m_pHashing = Hashing();
    rDialog.m_bLimits = m_rSettings.m_extended.m_bEnabled;
    const CLimitSettings::SPair own =
        strUser.empty() ? CLimitSettings::SPair{} : m_limits.ForUser(strUser);
    rDialog.m_nLimitDown = own.nDownload;
    rDialog.m_nLimitUp = own.nUpload;
    return rDialog.exec() == QDialog::Accepted;
}

void CUsersPage::KeepLimits(const std::string& strOldName, const CUserDlg& dialog) {
    if (!dialog.m_bLimits)
        return;
    if (!strOldName.empty())
        m_limits.SetUser(strOldName, {});
    m_limits.SetUser(dialog.m_strName.toStdString(), {dialog.m_nLimitDown, dialog.m_nLimitUp});
}

void CUsersPage::TakeHashes(const CUserList& users) {
    // Names and permissions are as shown: only passwords changed.
    m_users = users;
}

CPasswordChecks* CUsersPage::Hashing() const {
    return m_rSettings.m_logins.m_bHashPasswords ? &m_rHost.PasswordChecks() : nullptr;
}

void CUsersPage::EraseRecord(size_t nRow) {
    m_limits.SetUser(m_users[nRow].Name(), {});
    m_users.erase(m_users.begin() + static_cast<std::ptrdiff_t>(nRow));
}

std::string CUsersPage::CellText(int nRow, int nColumn) const {
    const CUserRecord& user = m_users[static_cast<size_t>(nRow)];
    if (nColumn == 0)
        return user.Name();
    if (nColumn == 1)
        return user.MayDownload() ? "Y" : "N";
    return user.MayUpload() ? "Y" : "N";
}

void CUsersPage::OnAdd() {
    CUserDlg dialog(this);
    dialog.m_strName = QStringLiteral("anonymous");
    dialog.m_strPassword.clear();
    dialog.m_bDownload = true;
    dialog.m_bUpload = false;
    if (!EditInDialog(dialog, std::string()))
        return;
    KeepLimits(std::string(), dialog);
    m_users.push_back(CUserRecord::Make(dialog.m_strName.toStdString(),
                                        dialog.m_strPassword.toStdString(), dialog.m_bUpload,
                                        dialog.m_bDownload));
    RecordAppended();
}

void CUsersPage::OnEdit() {
    const int nRow = SelectedRow();
    if (nRow < 0 || nRow >= static_cast<int>(m_users.size()))
        return;
    const CUserRecord user = m_users[static_cast<size_t>(nRow)];
    CUserDlg dialog(this);
    dialog.m_strName = QString::fromStdString(user.Name());
    dialog.m_strPassword = QString::fromStdString(user.Password());
    dialog.m_bDownload = user.MayDownload();
    dialog.m_bUpload = user.MayUpload();
    if (!EditInDialog(dialog, user.Name()))
        return;
    KeepLimits(user.Name(), dialog);
    m_users[static_cast<size_t>(nRow)] =
        CUserRecord::Make(dialog.m_strName.toStdString(), dialog.m_strPassword.toStdString(),
                          dialog.m_bUpload, dialog.m_bDownload);
    RecordReplaced();
}
