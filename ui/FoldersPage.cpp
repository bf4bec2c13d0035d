#include "ui/FoldersPage.h"

#include "res/Strings.h"
#include "res/Templates.h"
#include "server/ServerHost.h"
#include "ui/FolderDlg.h"

#include <QPushButton>

CFoldersPage::CFoldersPage(CServerHost& rHost)
    : CRecordListPage(rHost, IDD_FOLDERS_PAGE, IDC_FOLDER_LIST,
                      {{LoadString(IDS_COLUMN_VIRTUAL), 75},
                       {LoadString(IDS_COLUMN_ACTUAL), 100},
                       {"R", 25},
                       {"W", 25}},
                      rHost.Settings().m_folderMap) {}

std::vector<std::string>& CFoldersPage::OwnerList() {
    return m_rHost.Settings().m_folderMap;
}

std::string CFoldersPage::CellText(int nRow, int nColumn) const {
    CFolderRecord folder;
    ParseFolderRecord(m_records[static_cast<size_t>(nRow)], folder);
    switch (nColumn) {
    case 0:
        return folder.m_strVirtualPath;
    case 1:
        return folder.m_strRealPath;
    case 2:
        return folder.m_bDownload ? "Y" : "N";
    default:
        return folder.m_bUpload ? "Y" : "N";
    }
}

void CFoldersPage::UpdateButtons() {
    if (!HasRowsToShow())
        return;
    // The root entry cannot be deleted.
    const int nSelected = SelectedRow();
    bool bRoot = false;
    if (nSelected >= 0 && nSelected < static_cast<int>(m_records.size())) {
        CFolderRecord selected;
        ParseFolderRecord(m_records[static_cast<size_t>(nSelected)], selected);
        bRoot = selected.m_strVirtualPath == "/";
    }
    m_pEdit->setEnabled(nSelected >= 0);
    m_pDelete->setEnabled(nSelected >= 0 && !bRoot);
}

void CFoldersPage::OnAdd() {
    CFolderDlg dialog(this);
    dialog.m_strLocalPath.clear();
    dialog.m_strVirtualPath = QStringLiteral("/");
    dialog.m_bDownload = true;
    dialog.m_bUpload = false;
    dialog.m_bAdding = true;
    if (dialog.exec() != QDialog::Accepted)
        return;
    AppendRecord(ComposeFolderRecord(dialog.m_strVirtualPath.toStdString(),
                                     dialog.m_strLocalPath.toStdString(), dialog.m_bUpload,
                                     dialog.m_bDownload));
}

void CFoldersPage::OnEdit() {
    const int nRow = SelectedRow();
    if (nRow < 0 || nRow >= static_cast<int>(m_records.size()))
        return;
    CFolderRecord folder;
    ParseFolderRecord(m_records[static_cast<size_t>(nRow)], folder);
    CFolderDlg dialog(this);
    dialog.m_strLocalPath = QString::fromStdString(folder.m_strRealPath);
    dialog.m_strVirtualPath = QString::fromStdString(folder.m_strVirtualPath);
    dialog.m_bDownload = folder.m_bDownload;
    dialog.m_bUpload = folder.m_bUpload;
    dialog.m_bAdding = false;
    if (dialog.exec() != QDialog::Accepted)
        return;
    ReplaceRecord(nRow, ComposeFolderRecord(dialog.m_strVirtualPath.toStdString(),
                                            dialog.m_strLocalPath.toStdString(), dialog.m_bUpload,
                                            dialog.m_bDownload));
}
