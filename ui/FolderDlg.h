// "Añadir/Editar Carpeta": one published folder, its virtual path and its
// permissions. Guards the root entry and ends the local path with the local
// separator.
#pragma once

#include <QDialog>
#include <QString>

#include <memory>

class CDialogLayout;

class CFolderDlg : public QDialog {
    Q_OBJECT

public:
    explicit CFolderDlg(QWidget* pParent = nullptr);
    ~CFolderDlg() override;

    QString m_strLocalPath;
    QString m_strVirtualPath;
    bool m_bDownload = false;
    bool m_bUpload = false;
    bool m_bAdding = false;

    static constexpr int kTextLimit = 256;

    int exec() override;
    void accept() override;
    void OnBrowse();
    const CDialogLayout& Layout() const { return *m_pLayout; }

private:
    void PutValues();
    void GetValues();

    std::unique_ptr<CDialogLayout> m_pLayout;
};
