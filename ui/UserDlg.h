// "Añadir/Editar Usuario": one account's name, password and permissions.
#pragma once

#include <QDialog>
#include <QString>

#include <memory>

class CDialogLayout;

class CUserDlg : public QDialog {
    Q_OBJECT

public:
    explicit CUserDlg(QWidget* pParent = nullptr);
    ~CUserDlg() override;

    // Values put into the controls when the dialog opens and read back at OK.
    bool m_bDownload = false;
    bool m_bUpload = false;
    QString m_strPassword;
    QString m_strName;

    static constexpr int kTextLimit = 128;

    int exec() override;
    void accept() override;
    const CDialogLayout& Layout() const { return *m_pLayout; }

private:
    std::unique_ptr<CDialogLayout> m_pLayout;
};
