#include "ui/FoldersPage.h"

#include "config/ServerSettings.h"
#include "res/Strings.h"
#include "res/Templates.h"
#include "ui/FolderDlg.h"

#include <QPushButton>

CFoldersPage::CFoldersPage(CServerHost& rHost, CServerSettings& rSettings)
    : CRecordListPage(rHost, rSettings, IDD_FOLDERS_PAGE, IDC_FOLDER_LIST,
                      {{LoadString(IDS_COLUMN_VIRTUAL), 75},
                       {LoadString(IDS_COLUMN_ACTUAL), 100},
                       {"R", 25},
                       {"W", 25}}),
      m_folders(rSettings.m_folderMap) {}

bool CFoldersPage::OnApply() {
    m_rSettings.m_folderMap = m_folders;
    return true;
}

void CFoldersPage::EraseRecord(size_t nRow) {
    m_folders.erase(m_folders.begin() + static_cast<std::ptrdiff_t>(nRow));
}

std::string CFoldersPage::CellText(int nRow, int nColumn) const {
    const CFolderRecord& folder = m_folders[static_cast<size_t>(nRow)];
    switch (nColumn) {
    case 0:
        return folder.VirtualPath();
    case 1:
        return folder.RealPath();
    case 2:
        return folder.MayDownload() ? "Y" : "N";
    default:
        return folder.MayUpload() ? "Y" : "N";
    }
}

void CFoldersPage::UpdateButtons() {
    if (!HasRowsToShow())
        return;
    // The root entry cannot be deleted.
    const int nSelected = SelectedRow();
    const bool bRoot = nSelected >= 0 && nSelected < static_cast<int>(m_folders.size()) &&
                       m_folders[static_cast<size_t>(nSelected)].VirtualPath() == "/";
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
    m_folders.push_back(CFolderRecord::Make(dialog.m_strVirtualPath.toStdString(),
                                            dialog.m_strLocalPath.toStdString(), dialog.m_bUpload,
                                            dialog.m_bDownload));
    RecordAppended();
}

void CFoldersPage::OnEdit() {
    const int nRow = SelectedRow();
    if (nRow < 0 || nRow >= static_cast<int>(m_folders.size()))
        return;
    const CFolderRecord folder = m_folders[static_cast<size_t>(nRow)];
    CFolderDlg dialog(this);
    dialog.m_strLocalPath = QString::fromStdString(folder.RealPath());
    dialog.m_strVirtualPath = QString::fromStdString(folder.VirtualPath());
    dialog.m_bDownload = folder.MayDownload();
    dialog.m_bUpload = folder.MayUpload();
    dialog.m_bAdding = false;
    if (dialog.exec() != QDialog::Accepted)
        return;
    m_folders[static_cast<size_t>(nRow)] = CFolderRecord::Make(
        dialog.m_strVirtualPath.toStdString(), dialog.m_strLocalPath.toStdString(),
        dialog.m_bUpload, dialog.m_bDownload);
    RecordReplaced();
}
