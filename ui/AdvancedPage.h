// "Avanzado": the extended mode for today's clients (off by default), the
// passive port range and advertised address, the limit of connections from
// one address, the load balancers whose connections bring a PROXY header,
// and TLS (its policy, certificate and key, session reuse on
// data connections, and the fingerprint of the certificate in use), and the
// guard against password guessing: after how many failed logins an address
// is banned and for how long, the addresses banned now and their unban. Its
// values reach every session at its next command.
#pragma once

#include "ui/PropertyPage.h"

#include <QString>

class QLineEdit;
class QStandardItemModel;

// The passive address box: empty, or an IPv4 address in dotted form.
bool IsPassiveAddress(const QString& strText);

class CAdvancedPage : public CPropertyPage {
    Q_OBJECT

public:
    explicit CAdvancedPage(CServerHost& rHost);

    bool OnKillActive() override;
    bool OnApply() override;
    QString HelpSection() const override { return QStringLiteral("avanzado"); }

    bool m_bExtended = false;
    unsigned m_nPassiveMin = 0;
    unsigned m_nPassiveMax = 0;
    QString m_strPassiveAddress;
    unsigned m_nMaxPerAddress = 0;
    bool m_bProxyProtocol = false;
    QString m_strProxyFrom;
    int m_nTlsMode = 0;
    QString m_strTlsCertificate;
    QString m_strTlsKey;
    bool m_bTlsReuse = true;
    unsigned m_nBanAfter = 10;
    unsigned m_nBanMinutes = 15;

    // Picks a PEM file into the certificate or the key box.
    void OnBrowse(int nBox);
    // "Desbloquear": lifts the ban of the selected address.
    void OnUnban();
    // Fills the list with the addresses banned now (once the page is built;
    // the sheet calls it whenever the bans change).
    void ShowBans();

protected:
    void OnInitPage() override;

private:
    // Reads a number box in nMin..nMax; false, with the framework's message
    // and the box selected, when it does not pass.
    bool ReadBox(QLineEdit& rBox, unsigned nMin, unsigned nMax, unsigned& rValue);
    bool Refuse(QLineEdit& rBox, const QString& strMessage);
    // Takes the PROXY protocol's check box and the balancers' addresses;
    // false (refused) when the addresses are needed and are not addresses.
    bool ReadBalancers(bool bExtended);
    // Shows the fingerprint of the certificate the server uses now.
    void ShowFingerprint();
    // The unban button follows the selection.
    void UpdateUnban();
    // The TLS and PROXY controls are available only with the extended mode
    // on, the balancers' addresses only with the PROXY protocol on.
    void UpdateExtendedControls();

    QStandardItemModel* m_pBans = nullptr;
};
