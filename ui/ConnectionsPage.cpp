#include "ui/ConnectionsPage.h"

#include "net/NetworkList.h"
#include "res/Templates.h"
#include "server/ServerHost.h"
#include "ui/DialogLayout.h"

#include <QDateTime>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardItemModel>
#include <QTreeView>

#include <algorithm>
#include <chrono>
#include <tuple>

namespace {
constexpr unsigned kMaxPerAddressLimit = 1000;
constexpr unsigned kMaxConnectionsLimit = 100000;
constexpr int kMaxBanValue = CLoginSettings::kMaxValue;

// When a ban ends, as the administrator reads it: the local time of day,
// with the date when it is not today.
QString BanEndText(CLoginGuard::Clock::time_point until) {
    const auto left =
        std::chrono::duration_cast<std::chrono::seconds>(until - CLoginGuard::Clock::now());
    const QDateTime end = QDateTime::currentDateTime().addSecs(left.count());
    return end.date() == QDate::currentDate() ? end.toString(QStringLiteral("HH:mm:ss"))
                                              : end.toString(QStringLiteral("dd/MM HH:mm"));
}

unsigned NonNegative(int nValue) {
    return static_cast<unsigned>(std::max(nValue, 0));
}
} // namespace

CConnectionsPage::CConnectionsPage(CServerHost& rHost, CServerSettings& rSettings)
    : CPropertyPage(rHost, rSettings, IDD_CONNECTIONS_PAGE) {
    const CExtendedSettings& extended = rSettings.m_extended;
    m_nMaxPerAddress = NonNegative(extended.m_nMaxPerAddress);
    m_nMaxConnections = NonNegative(extended.m_nMaxConnections);
    const CLoginSettings& logins = rSettings.m_logins;
    m_strAllow = QString::fromStdString(logins.m_strAllow);
    m_strDeny = QString::fromStdString(logins.m_strDeny);
    m_nBanAfter = static_cast<unsigned>(std::clamp(logins.m_nBanAfter, 0, kMaxBanValue));
    m_nBanMinutes = static_cast<unsigned>(std::clamp(logins.m_nBanMinutes, 0, kMaxBanValue));
    m_nLimitDown = rSettings.m_limits.m_nDownload;
    m_nLimitUp = rSettings.m_limits.m_nUpload;
}

void CConnectionsPage::InitLimits() {
    // Each box is named with its unit and what 0 means.
    const std::tuple<int, int, QString> limits[] = {
        {IDC_LIMIT_DOWN, m_nLimitDown, QStringLiteral("Bajada")},
        {IDC_LIMIT_UP, m_nLimitUp, QStringLiteral("Subida")},
    };
    for (const auto& [nId, nValue, strName] : limits) {
        auto* pBox = m_pLayout->Get<QSpinBox>(nId);
        pBox->setValue(nValue);
        pBox->setAccessibleName(strName + QStringLiteral(" en KB/s (0: sin l\u00edmite)"));
        connect(pBox, &QSpinBox::valueChanged, this, [this] { SetModified(); });
    }
}

void CConnectionsPage::OnInitPage() {
    const std::pair<int, QString> boxes[] = {
        {IDC_MAX_PER_ADDRESS, QString::number(m_nMaxPerAddress)},
        {IDC_MAX_CONNECTIONS, QString::number(m_nMaxConnections)},
        {IDC_ALLOW, m_strAllow},
        {IDC_DENY, m_strDeny},
        {IDC_BAN_AFTER, QString::number(m_nBanAfter)},
        {IDC_BAN_MINUTES, QString::number(m_nBanMinutes)},
    };
    for (const auto& [nId, strText] : boxes) {
        auto* pBox = m_pLayout->Get<QLineEdit>(nId);
        pBox->setText(strText);
        connect(pBox, &QLineEdit::textEdited, this, [this] { SetModified(); });
    }
    for (int nId : {IDC_BAN_AFTER, IDC_BAN_MINUTES})
        m_pLayout->Get<QLineEdit>(nId)->setMaxLength(5);
    // The ban boxes sit inside a sentence ("Bloquear tras N intentos
    // fallidos", "durante N minutos"): a screen reader says all of it, the
    // number as it stands in the box.
    const std::pair<int, QString> sentences[] = {
        {IDC_BAN_AFTER, QStringLiteral("Bloquear tras %1 intentos fallidos")},
        {IDC_BAN_MINUTES, QStringLiteral("durante %1 minutos")},
    };
    for (const auto& [nId, strSentence] : sentences) {
        auto* pBox = m_pLayout->Get<QLineEdit>(nId);
        const auto name = [pBox, strSentence] {
            pBox->setAccessibleName(strSentence.arg(pBox->text()).simplified());
        };
        name();
        connect(pBox, &QLineEdit::textChanged, this, name);
    }
    // Empty lists: everyone may connect, no one is refused.
    m_pLayout->Get<QLineEdit>(IDC_ALLOW)->setPlaceholderText(QStringLiteral("(todas)"));
    m_pLayout->Get<QLineEdit>(IDC_DENY)->setPlaceholderText(QStringLiteral("(ninguna)"));

    auto* pList = m_pLayout->Get<QTreeView>(IDC_BAN_LIST);
    m_pBans = new QStandardItemModel(0, 2, this);
    m_pBans->setHorizontalHeaderLabels({QStringLiteral("Direcci\u00f3n"), QStringLiteral("Hasta")});
    pList->setModel(m_pBans);
    connect(pList->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { UpdateUnban(); });
    connect(m_pLayout->Get<QPushButton>(IDC_UNBAN), &QPushButton::clicked, this,
            [this] { OnUnban(); });
    ShowBans();
    InitLimits();
}

void CConnectionsPage::ShowBans() {
    if (!IsBuilt() || !m_pBans)
        return;
    auto* pList = m_pLayout->Get<QTreeView>(IDC_BAN_LIST);
    // The selection follows its address through the refresh.
    QString strSelected;
    const QModelIndexList selected = pList->selectionModel()->selectedRows();
    if (!selected.isEmpty())
        strSelected = m_pBans->item(selected.first().row(), 0)->text();
    m_pBans->removeRows(0, m_pBans->rowCount());
    for (const CLoginGuard::SBan& ban : m_rHost.Bans()) {
        auto* pAddress = new QStandardItem(QString::fromStdString(ban.strKey));
        auto* pUntil = new QStandardItem(BanEndText(ban.until));
        pAddress->setData(QString::fromStdString(ban.strKey), Qt::AccessibleTextRole);
        pUntil->setData(QStringLiteral("Hasta ") + pUntil->text(), Qt::AccessibleTextRole);
        m_pBans->appendRow({pAddress, pUntil});
        if (pAddress->text() == strSelected)
            pList->selectionModel()->select(pAddress->index(), QItemSelectionModel::ClearAndSelect |
                                                                   QItemSelectionModel::Rows);
    }
    pList->resizeColumnToContents(0);
    UpdateUnban();
}

void CConnectionsPage::UpdateUnban() {
    auto* pList = m_pLayout->Get<QTreeView>(IDC_BAN_LIST);
    m_pLayout->Get<QPushButton>(IDC_UNBAN)->setEnabled(pList->selectionModel()->hasSelection());
}

void CConnectionsPage::OnUnban() {
    auto* pList = m_pLayout->Get<QTreeView>(IDC_BAN_LIST);
    const QModelIndexList selected = pList->selectionModel()->selectedRows();
    if (selected.isEmpty())
        return;
    const QString strKey = m_pBans->item(selected.first().row(), 0)->text();
    // The host reports the change, which refreshes the list.
    if (!m_rHost.Unban(strKey.toStdString()))
        ShowBans();
}

bool CConnectionsPage::OnKillActive() {
    if (!IsBuilt())
        return true;
    unsigned nPerAddress = 0;
    unsigned nInAll = 0;
    if (!ReadBox(*m_pLayout->Get<QLineEdit>(IDC_MAX_PER_ADDRESS), 0, kMaxPerAddressLimit,
                 nPerAddress) ||
        !ReadBox(*m_pLayout->Get<QLineEdit>(IDC_MAX_CONNECTIONS), 0, kMaxConnectionsLimit, nInAll))
        return false;
    // The lists decide who may connect: they must be read as written.
    for (int nId : {IDC_ALLOW, IDC_DENY}) {
        auto* pBox = m_pLayout->Get<QLineEdit>(nId);
        CNetworkList list;
        if (!CNetworkList::Parse(pBox->text().toStdString(), list))
            return Refuse(*pBox, QStringLiteral("Please enter IP addresses or networks separated "
                                                "by commas."));
    }
    unsigned nBanAfter = 0;
    unsigned nBanMinutes = 0;
    if (!ReadBox(*m_pLayout->Get<QLineEdit>(IDC_BAN_AFTER), 0, kMaxBanValue, nBanAfter) ||
        !ReadBox(*m_pLayout->Get<QLineEdit>(IDC_BAN_MINUTES), 0, kMaxBanValue, nBanMinutes))
        return false;
    m_nMaxPerAddress = nPerAddress;
    m_nMaxConnections = nInAll;
    m_strAllow = m_pLayout->Get<QLineEdit>(IDC_ALLOW)->text().trimmed();
    m_strDeny = m_pLayout->Get<QLineEdit>(IDC_DENY)->text().trimmed();
    m_nBanAfter = nBanAfter;
    m_nBanMinutes = nBanMinutes;
    m_nLimitDown = m_pLayout->Get<QSpinBox>(IDC_LIMIT_DOWN)->value();
    m_nLimitUp = m_pLayout->Get<QSpinBox>(IDC_LIMIT_UP)->value();
    return true;
}

bool CConnectionsPage::OnApply() {
    CExtendedSettings& extended = m_rSettings.m_extended;
    extended.m_nMaxPerAddress = static_cast<int>(m_nMaxPerAddress);
    extended.m_nMaxConnections = static_cast<int>(m_nMaxConnections);
    CLoginSettings& logins = m_rSettings.m_logins;
    logins.m_strAllow = m_strAllow.toStdString();
    logins.m_strDeny = m_strDeny.toStdString();
    logins.m_nBanAfter = static_cast<int>(m_nBanAfter);
    logins.m_nBanMinutes = static_cast<int>(m_nBanMinutes);
    m_rSettings.m_limits.m_nDownload = m_nLimitDown;
    m_rSettings.m_limits.m_nUpload = m_nLimitUp;
    return true;
}
