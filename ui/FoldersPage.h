// "Acceso": the published folders, each a local folder under a virtual path
// with its permissions. The root entry cannot be deleted.
#pragma once

#include "ui/RecordListPage.h"

class CFoldersPage : public CRecordListPage {
    Q_OBJECT

public:
    explicit CFoldersPage(CServerHost& rHost);

    void OnAdd() override;
    void OnEdit() override;
    QString HelpSection() const override { return QStringLiteral("acceso"); }

protected:
    std::string CellText(int nRow, int nColumn) const override;
    void UpdateButtons() override;
    std::vector<std::string>& OwnerList() override;
};
