// "Añadir/Editar Usuario": one account's name, password and permissions,
// and in the extended mode its own speed limits (the dialog widens for
// them; the classic dialog is as it always was).
//
// A password stored as a hash is never shown: the box stays empty with a
// note under it, and left empty it keeps the stored hash. With a hashing
// pool given, a password typed is hashed on OK by the server's hashing
// threads: the dialog waits for the hash with its controls disabled, the
// window's loop (and every client) going on meanwhile, and closes when the
// hash has come back.
#pragma once

#include <QDialog>
#include <QString>

#include <memory>

class CDialogLayout;
class CHashRequest;
class CPasswordChecks;

class CUserDlg : public QDialog {
    Q_OBJECT

public:
    explicit CUserDlg(QWidget* pParent = nullptr);
    ~CUserDlg() override;

    // Values put into the controls when the dialog opens and read back at
    // OK. m_strPassword is the stored password, plain or hashed.
    bool m_bDownload = false;
    bool m_bUpload = false;
    QString m_strPassword;
    QString m_strName;
    // Where a new password is hashed; null: it is stored as typed.
    CPasswordChecks* m_pHashing = nullptr;
    // The speed limit fields are shown (the extended mode), and their
    // values in KiB/s (0: none).
    bool m_bLimits = false;
    int m_nLimitDown = 0;
    int m_nLimitUp = 0;

    static constexpr int kTextLimit = 128;

    int exec() override;
    void accept() override;
    // Ignored while a hash is being made: the dialog closes when it arrives.
    void reject() override;
    const CDialogLayout& Layout() const { return *m_pLayout; }
    // OK has been pressed and the new password's hash has not come back yet.
    bool IsHashing() const;

private:
    // Reads the controls back with the password to store, and closes.
    void Finish(const QString& strPassword);
    void StartHashing(const QString& strPassword);
    // Shows the speed limit fields with their values, or hides them.
    void ShowLimits();

    std::unique_ptr<CDialogLayout> m_pLayout;
    CHashRequest* m_pRequest = nullptr;
    // The password opened with is a hash, kept while the box stays empty.
    bool m_bStoredHash = false;
};
