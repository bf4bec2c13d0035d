// "Conexiones": who may connect and how many at once (the limit from one
// address and, in the extended mode, in all; the Allow and Deny lists of
// addresses and networks), and the guard against password guessing: after
// how many failed logins an address is banned and for how long, the
// addresses banned now and their unban. Limits reach new connections, the
// ban settings the next failed login. "Límites de velocidad": the
// server's download and upload limits (extended mode), which reach running
// transfers at Apply.
#pragma once

#include "ui/PropertyPage.h"

#include <QString>

class QStandardItemModel;

class CConnectionsPage : public CPropertyPage {
    Q_OBJECT

public:
    CConnectionsPage(CServerHost& rHost, CServerSettings& rSettings);

    bool OnKillActive() override;
    bool OnApply() override;
    QString HelpSection() const override { return QStringLiteral("conexiones"); }

    unsigned m_nMaxPerAddress = 0;
    unsigned m_nMaxConnections = 0;
    QString m_strAllow;
    QString m_strDeny;
    unsigned m_nBanAfter = 10;
    unsigned m_nBanMinutes = 15;
    int m_nLimitDown = 0; // KiB/s, 0: none
    int m_nLimitUp = 0;

    // "Desbloquear": lifts the ban of the selected address.
    void OnUnban();
    // Fills the list with the addresses banned now (once the page is built;
    // the sheet calls it whenever the bans change).
    void ShowBans();

protected:
    void OnInitPage() override;

private:
    // The unban button follows the selection.
    void UpdateUnban();
    // The speed limit boxes: their values, names and changes.
    void InitLimits();

    QStandardItemModel* m_pBans = nullptr;
};
