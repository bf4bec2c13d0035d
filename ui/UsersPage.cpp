#include "ui/UsersPage.h"

#include "res/Strings.h"
#include "res/Templates.h"
#include "server/ServerHost.h"
#include "ui/UserDlg.h"

#include <QPushButton>

CUsersPage::CUsersPage(CServerHost& rHost)
    : CRecordListPage(rHost, IDD_USERS_PAGE, IDC_ACCOUNT_LIST,
                      {{LoadString(IDS_COLUMN_USER), 75}, {"R", 25}, {"W", 25}},
                      rHost.Settings().m_users) {}

std::vector<std::string>& CUsersPage::OwnerList() {
    return m_rHost.Settings().m_users;
}

std::string CUsersPage::CellText(int nRow, int nColumn) const {
    CUserRecord user;
    ParseUserRecord(m_records[static_cast<size_t>(nRow)], user);
    if (nColumn == 0)
        return user.m_strName;
    if (nColumn == 1)
        return user.m_bDownload ? "Y" : "N";
    return user.m_bUpload ? "Y" : "N";
}

void CUsersPage::OnAdd() {
    CUserDlg dialog(this);
    dialog.m_strName = QStringLiteral("anonymous");
    dialog.m_strPassword.clear();
    dialog.m_bDownload = true;
    dialog.m_bUpload = false;
    if (dialog.exec() != QDialog::Accepted)
        return;
    AppendRecord(ComposeUserRecord(dialog.m_strName.toStdString(),
                                   dialog.m_strPassword.toStdString(), dialog.m_bUpload,
                                   dialog.m_bDownload));
}

void CUsersPage::OnEdit() {
    const int nRow = SelectedRow();
    if (nRow < 0 || nRow >= static_cast<int>(m_records.size()))
        return;
    CUserRecord user;
    ParseUserRecord(m_records[static_cast<size_t>(nRow)], user);
    CUserDlg dialog(this);
    dialog.m_strName = QString::fromStdString(user.m_strName);
    dialog.m_strPassword = QString::fromStdString(user.m_strPassword);
    dialog.m_bDownload = user.m_bDownload;
    dialog.m_bUpload = user.m_bUpload;
    if (dialog.exec() != QDialog::Accepted)
        return;
    ReplaceRecord(nRow, ComposeUserRecord(dialog.m_strName.toStdString(),
                                          dialog.m_strPassword.toStdString(), dialog.m_bUpload,
                                          dialog.m_bDownload));
}
