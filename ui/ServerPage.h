// "Servidor": control port, time-out, log level and hiding into the
// notification area.
#pragma once

#include "ui/PropertyPage.h"

class CServerPage : public CPropertyPage {
    Q_OBJECT

public:
    CServerPage(CServerHost& rHost, CServerSettings& rSettings);

    bool OnKillActive() override;
    bool OnApply() override;
    QString HelpSection() const override { return QStringLiteral("servidor"); }

    unsigned m_nPort = 0;
    unsigned m_nTimeout = 0;
    bool m_bHide = false;

protected:
    void OnInitPage() override;
};
