#include "ui/OptionsSheet.h"

#include "config/PasswordHash.h"
#include "res/Strings.h"
#include "server/ServerHost.h"
#include "ui/AdvancedPage.h"
#include "ui/ConnectionsPage.h"
#include "ui/FoldersPage.h"
#include "ui/HashRequest.h"
#include "ui/ServerPage.h"
#include "ui/UsersPage.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

COptionsSheet::COptionsSheet(QWidget& rParent, CServerHost& rHost,
                             std::function<void(const QString&)> showHelp)
    : QDialog(&rParent), m_rHost(rHost), m_settings(rHost.Settings()),
      m_showHelp(std::move(showHelp)) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowModality(Qt::WindowModal);
    setFont(rParent.font());

    m_pTabs = new QTabWidget(this);
    // Every tab stays in sight: five captions are wider than the pages, and
    // the sheet widens to show them rather than scroll them away.
    m_pTabs->setUsesScrollButtons(false);
    m_pUsers = new CUsersPage(rHost, m_settings);
    m_pFolders = new CFoldersPage(rHost, m_settings);
    m_pServer = new CServerPage(rHost, m_settings);
    m_pAdvanced = new CAdvancedPage(rHost, m_settings);
    m_pConnections = new CConnectionsPage(rHost, m_settings);
    m_pages = {m_pUsers, m_pFolders, m_pServer, m_pAdvanced, m_pConnections};
    for (CPropertyPage* pPage : m_pages) {
        m_pTabs->addTab(pPage, pPage->Caption());
        connect(pPage, &CPropertyPage::modifiedChanged, this, &COptionsSheet::UpdateApply);
    }
    m_pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                                          QDialogButtonBox::Apply | QDialogButtonBox::Help,
                                      this);
    auto* pLayout = new QVBoxLayout(this);
    pLayout->addWidget(m_pTabs);
    pLayout->addWidget(m_pButtons);
    pLayout->setSizeConstraint(QLayout::SetFixedSize);

    connect(m_pButtons, &QDialogButtonBox::accepted, this, &COptionsSheet::accept);
    connect(m_pButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_pButtons->button(QDialogButtonBox::Apply), &QPushButton::clicked, this,
            [this] { Apply(); });
    connect(m_pButtons, &QDialogButtonBox::helpRequested, this, [this] {
        if (CPropertyPage* pPage = ActivePage())
            m_showHelp(pPage->HelpSection());
    });
    connect(m_pTabs, &QTabWidget::currentChanged, this, &COptionsSheet::OnTabChanged);

    setWindowTitle(QString::fromUtf8(LoadString(IDS_OPTIONS)));
    // The users page is in front; the others are built when first shown.
    m_pUsers->EnsureBuilt();
    m_pTabs->setCurrentIndex(0);
    UpdateApply();
}

COptionsSheet::~COptionsSheet() = default;

void COptionsSheet::OnBansChanged() {
    m_pConnections->ShowBans();
}

CPropertyPage* COptionsSheet::ActivePage() const {
    return m_pages[static_cast<size_t>(m_nActive)];
}

void COptionsSheet::SetActivePage(int nIndex) {
    m_pTabs->setCurrentIndex(nIndex);
}

void COptionsSheet::OnTabChanged(int nIndex) {
    if (m_bSwitching || nIndex == m_nActive || nIndex < 0)
        return;
    // Leaving a page checks it; a failure keeps it in front.
    if (!ActivePage()->OnKillActive()) {
        m_bSwitching = true;
        m_pTabs->setCurrentIndex(m_nActive);
        m_bSwitching = false;
        return;
    }
    m_nActive = nIndex;
    ActivePage()->EnsureBuilt();
}

bool COptionsSheet::Apply() {
    if (IsHashing() || !ActivePage()->OnKillActive())
        return false;
    // Only pages shown at least once apply, in page order.
    for (CPropertyPage* pPage : m_pages) {
        if (!pPage->IsBuilt())
            continue;
        pPage->OnApply();
        pPage->SetModified(false);
    }
    // Passwords stored hashed: the plain ones are hashed by the server's
    // threads first, and the settings go into force when the hashes are in.
    std::vector<size_t> plain;
    for (size_t i = 0; i < m_settings.m_users.size(); ++i)
        if (CPasswordHash::NeedsHash(m_settings.m_users[i]))
            plain.push_back(i);
    if (m_settings.m_logins.m_bHashPasswords && !plain.empty())
        HashPasswords(plain);
    else
        PutInForce();
    return true;
}

bool COptionsSheet::IsHashing() const {
    return m_pHashing && m_pHashing->IsRunning();
}

void COptionsSheet::HashPasswords(const std::vector<size_t>& plain) {
    // The sheet waits, its controls disabled; the loop goes on serving.
    m_pTabs->setEnabled(false);
    m_pButtons->setEnabled(false);
    setCursor(Qt::BusyCursor);
    std::vector<std::string> passwords;
    for (size_t nUser : plain)
        passwords.push_back(m_settings.m_users[nUser].Password());
    if (!m_pHashing)
        m_pHashing = new CHashRequest(m_rHost.PasswordChecks(), this);
    m_pHashing->Start(passwords, [this, plain](const std::vector<std::string>& hashes) {
        // A password no hash could be made for stays as it is, hashed at a
        // later save.
        for (size_t i = 0; i < plain.size(); ++i) {
            CUserRecord& rUser = m_settings.m_users[plain[i]];
            if (!hashes[i].empty())
                rUser = CUserRecord::Make(rUser.Name(), hashes[i], rUser.MayUpload(),
                                          rUser.MayDownload());
        }
        m_pUsers->TakeHashes(m_settings.m_users);
        m_pTabs->setEnabled(true);
        m_pButtons->setEnabled(true);
        unsetCursor();
        PutInForce();
        if (m_bCloseWhenHashed)
            QDialog::accept();
    });
}

void COptionsSheet::PutInForce() {
    // The server takes them and follows what changed (a new port, its
    // listener, a change of mode).
    m_rHost.TakeSettings(m_settings);
    for (CPropertyPage* pPage : m_pages)
        if (pPage->IsBuilt())
            pPage->OnApplied();
    emit applied();
}

void COptionsSheet::accept() {
    if (!Apply())
        return;
    // With passwords being hashed, the sheet closes when they are in.
    if (IsHashing())
        m_bCloseWhenHashed = true;
    else
        QDialog::accept();
}

void COptionsSheet::reject() {
    if (!IsHashing())
        QDialog::reject();
}

void COptionsSheet::UpdateApply() {
    bool bModified = false;
    for (CPropertyPage* pPage : m_pages)
        bModified = bModified || pPage->IsModified();
    m_pButtons->button(QDialogButtonBox::Apply)->setEnabled(bModified);
}
