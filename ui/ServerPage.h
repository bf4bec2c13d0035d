// "Servidor": control port, time-out, log level and hiding into the
// notification area.
#pragma once

#include "ui/PropertyPage.h"

class QLineEdit;

// Reads an edit box's text as an unsigned decimal number in nMin..nMax,
// as the framework's exchange does: false, with its message, when the text
// is not a number or out of range.
enum class ENumberCheck { Ok, NotANumber, OutOfRange };
ENumberCheck ParseUnsigned(const QString& strText, unsigned nMin, unsigned nMax, unsigned& rValue);

class CServerPage : public CPropertyPage {
    Q_OBJECT

public:
    explicit CServerPage(CServerHost& rHost);

    bool OnKillActive() override;
    bool OnApply() override;
    QString HelpSection() const override { return QStringLiteral("servidor"); }

    unsigned m_nPort = 0;
    unsigned m_nTimeout = 0;
    bool m_bHide = false;

protected:
    void OnInitPage() override;

private:
    bool ReadBox(QLineEdit& rBox, unsigned nMax, unsigned& rValue);
};
