// "Opciones": the five option pages in tabs, with OK, Cancel, Apply and
// Help. The sheet holds a copy of the server's settings: the pages put
// their values into it at OK or Apply, and the sheet then hands it to the
// server; Cancel leaves the server's settings as they were.
#pragma once

#include "config/ServerSettings.h"

#include <QDialog>

#include <functional>
#include <vector>

class CAdvancedPage;
class CConnectionsPage;
class CFoldersPage;
class CHashRequest;
class CPropertyPage;
class CServerHost;
class CServerPage;
class CUsersPage;
class QDialogButtonBox;
class QTabWidget;

class COptionsSheet : public QDialog {
    Q_OBJECT

public:
    // rParent: the window it is modal to; rHost: the server whose settings
    // it shows; showHelp: opens the help at a section.
    COptionsSheet(QWidget& rParent, CServerHost& rHost,
                  std::function<void(const QString&)> showHelp);
    ~COptionsSheet() override;

    CUsersPage& UsersPage() const { return *m_pUsers; }
    CFoldersPage& FoldersPage() const { return *m_pFolders; }
    CServerPage& ServerPage() const { return *m_pServer; }
    CAdvancedPage& AdvancedPage() const { return *m_pAdvanced; }
    CConnectionsPage& ConnectionsPage() const { return *m_pConnections; }
    QTabWidget& Tabs() const { return *m_pTabs; }
    QDialogButtonBox& Buttons() const { return *m_pButtons; }
    CPropertyPage* ActivePage() const;
    // The settings as the pages have applied them (the server's when the
    // sheet opened, with every Apply since).
    const CServerSettings& Settings() const { return m_settings; }

    // Brings a page to the front, as a click on its tab does.
    void SetActivePage(int nIndex);
    // OK and Apply: false when the page in front does not pass its checks
    // (or passwords are still being hashed). With passwords stored hashed,
    // the plain ones are first hashed by the server's hashing threads: the
    // sheet waits for them, disabled, and puts the settings in force (and
    // closes, for OK) when they have come back.
    bool Apply();
    void accept() override;
    // Ignored while passwords are being hashed.
    void reject() override;
    bool IsHashing() const;
    // The server's bans have changed: the connections page shows them anew.
    void OnBansChanged();

signals:
    // OK or Apply has put the pages' values in force.
    void applied();

private:
    void OnTabChanged(int nIndex);
    void UpdateApply();
    // Hashes the passwords of these users, then puts the settings in force.
    void HashPasswords(const std::vector<size_t>& plain);
    // Hands the applied settings to the server.
    void PutInForce();

    CServerHost& m_rHost;
    CServerSettings m_settings;
    std::function<void(const QString&)> m_showHelp;
    QTabWidget* m_pTabs = nullptr;
    QDialogButtonBox* m_pButtons = nullptr;
    CUsersPage* m_pUsers = nullptr;
    CFoldersPage* m_pFolders = nullptr;
    CServerPage* m_pServer = nullptr;
    CAdvancedPage* m_pAdvanced = nullptr;
    CConnectionsPage* m_pConnections = nullptr;
    std::vector<CPropertyPage*> m_pages;
    int m_nActive = 0;
    bool m_bSwitching = false;
    CHashRequest* m_pHashing = nullptr;
    bool m_bCloseWhenHashed = false;
};
