// "Seguridad": the accounts that may log in, with their permissions.
#pragma once

#include "config/UserRecord.h"
#include "ui/RecordListPage.h"

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

protected:
    std::string CellText(int nRow, int nColumn) const override;
    size_t RecordCount() const override { return m_users.size(); }
    void EraseRecord(size_t nRow) override;

private:
    CUserList m_users;
};
