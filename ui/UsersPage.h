// "Seguridad": the accounts that may log in, with their permissions.
#pragma once

#include "config/LimitSettings.h"
#include "config/UserRecord.h"
#include "ui/RecordListPage.h"

class CPasswordChecks;
class CUserDlg;

class CUsersPage : public CRecordListPage {
    Q_OBJECT

public:
    CUsersPage(CServerHost& rHost, CServerSettings& rSettings);

    void OnAdd() override;
    void OnEdit() override;
    bool OnApply() override;
    QString HelpSection() const override { return QStringLiteral("seguridad"); }
    // The page's accounts as they would be stored.
    std::vector<std::string> Records() const { return RecordTexts(m_users); }
    // The accounts as applied, with their passwords hashed since.
    void TakeHashes(const CUserList& users);

protected:
    std::string CellText(int nRow, int nColumn) const override;
    size_t RecordCount() const override { return m_users.size(); }
    void EraseRecord(size_t nRow) override;

private:
    // Where the user dialog hashes a new password: the server's hashing
    // threads while the settings say passwords are stored hashed, else
    // none (stored as typed).
    CPasswordChecks* Hashing() const;

    // Opens the user dialog on its fields, with the speed limits of
    // strUser (none for a new account) in the extended mode; true at OK.
    bool EditInDialog(CUserDlg& rDialog, const std::string& strUser);
    // The user's speed limits as the dialog left them, under its new name.
    void KeepLimits(const std::string& strOldName, const CUserDlg& dialog);

    CUserList m_users;
    // The users' own speed limits as the page has them.
    CLimitSettings m_limits;
};
