// One page of the options sheet. Its controls are made from its template
// the first time it is shown; only pages shown at least once are validated
// and applied.
#pragma once

#include <QWidget>

#include <memory>

class CDialogLayout;
class CServerHost;
class CServerSettings;
class QLineEdit;

class CPropertyPage : public QWidget {
    Q_OBJECT

public:
    // rHost: the server the page belongs to; rSettings: the sheet's copy
    // of its settings, which the page shows and changes.
    CPropertyPage(CServerHost& rHost, CServerSettings& rSettings, int nTemplateId);
    ~CPropertyPage() override;

    // Builds the page when it is shown for the first time.
    void EnsureBuilt();
    bool IsBuilt() const { return m_pLayout != nullptr; }
    const CDialogLayout& Layout() const { return *m_pLayout; }
    QString Caption() const;

    // Reads the controls back and checks them when the page is left, or
    // before OK or Apply; false keeps the page in front.
    virtual bool OnKillActive() { return true; }
    // Puts the page's values into the sheet's copy of the settings, which
    // the sheet then hands to the server; always succeeds.
    virtual bool OnApply() = 0;
    // The server has taken the settings the pages applied.
    virtual void OnApplied() {}
    // The section of the help that describes the page.
    virtual QString HelpSection() const = 0;

    void SetModified(bool bModified = true);
    bool IsModified() const { return m_bModified; }

signals:
    void modifiedChanged();

protected:
    virtual void OnInitPage() = 0;
    // Shows the framework's message for a box whose value does not pass and
    // selects the box; false, to be returned by OnKillActive.
    bool Refuse(QLineEdit& rBox, const QString& strMessage);
    // Reads a number box in nMin..nMax; false, with the framework's message
    // and the box selected, when it does not pass.
    bool ReadBox(QLineEdit& rBox, unsigned nMin, unsigned nMax, unsigned& rValue);

    CServerHost& m_rHost;
    CServerSettings& m_rSettings;
    std::unique_ptr<CDialogLayout> m_pLayout;

private:
    int m_nTemplateId;
    bool m_bModified = false;
};

// Reads an edit box's text as an unsigned decimal number in nMin..nMax,
// as the framework's exchange does: false, with its message, when the text
// is not a number or out of range.
enum class ENumberCheck { Ok, NotANumber, OutOfRange };
ENumberCheck ParseUnsigned(const QString& strText, unsigned nMin, unsigned nMax, unsigned& rValue);

// The framework's message for a value that does not pass: a message box
// titled with the application's name. Its texts are deliberately English in
// this Spanish window: they are the framework's own, not the program's.
void ShowFrameworkMessage(QWidget* pParent, const QString& strText);
