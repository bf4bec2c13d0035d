// "Seguridad": the accounts that may log in, with their permissions.
#pragma once

#include "ui/RecordListPage.h"

class CUsersPage : public CRecordListPage {
    Q_OBJECT

public:
    explicit CUsersPage(CServerHost& rHost);

    void OnAdd() override;
    void OnEdit() override;
    QString HelpSection() const override { return QStringLiteral("seguridad"); }

protected:
    std::string CellText(int nRow, int nColumn) const override;
    std::vector<std::string>& OwnerList() override;
};
