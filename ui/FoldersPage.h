// "Acceso": the published folders, each a local folder under a virtual path
// with its permissions. The root entry cannot be deleted.
#pragma once

#include "config/FolderRecord.h"
#include "ui/RecordListPage.h"

class CFoldersPage : public CRecordListPage {
    Q_OBJECT

public:
    CFoldersPage(CServerHost& rHost, CServerSettings& rSettings);

    void OnAdd() override;
    void OnEdit() override;
    bool OnApply() override;
    QString HelpSection() const override { return QStringLiteral("acceso"); }
    // The page's folders as they would be stored.
    std::vector<std::string> Records() const { return RecordTexts(m_folders); }

protected:
    std::string CellText(int nRow, int nColumn) const override;
    void UpdateButtons() override;
    size_t RecordCount() const override { return m_folders.size(); }
    void EraseRecord(size_t nRow) override;

private:
    CFolderMap m_folders;
};
