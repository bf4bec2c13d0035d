#include "ui/TrayIcon.h"

#include "res/Templates.h"

#include <QMenu>
#include <QSystemTrayIcon>
#include <QWidget>

namespace {
std::optional<bool> g_availabilityOverride;
}

void CTrayIcon::SetAvailabilityOverride(std::optional<bool> available) {
    g_availabilityOverride = available;
}

CTrayIcon::CTrayIcon(QWidget* pOwner, const QString& strTip, const QIcon& icon,
                     CommandHandler onCommand)
    : m_bEnabled(g_availabilityOverride.value_or(QSystemTrayIcon::isSystemTrayAvailable())) {
    if (!m_bEnabled)
        return;
    m_strTip = strTip.left(kTipLimit);
    m_icon = icon;
    m_initialIcon = icon;

    m_pMenu = std::make_unique<QMenu>();
    m_pMenu->setTitle(pOwner ? pOwner->windowTitle() : QString());
    if (const SMenuTemplate* pMenu = FindMenuTemplate(IDR_TRAY_MENU)) {
        for (size_t i = 0; i < pMenu->nItems; ++i) {
            const int nCommand = pMenu->pItems[i].nCommand;
            QAction* pAction = m_pMenu->addAction(QString::fromUtf8(pMenu->pItems[i].pszText));
            QObject::connect(pAction, &QAction::triggered, m_pMenu.get(),
                             [onCommand, nCommand] { onCommand(nCommand); });
        }
    }

    m_pIcon = std::make_unique<QSystemTrayIcon>(icon);
    m_pIcon->setToolTip(m_strTip);
    m_pIcon->setContextMenu(m_pMenu.get());
    // A double click restores the window; so does a single activation,
    // because StatusNotifier hosts report nothing else.
    QObject::connect(m_pIcon.get(), &QSystemTrayIcon::activated, m_pIcon.get(),
                     [onCommand](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::DoubleClick ||
                             reason == QSystemTrayIcon::Trigger)
                             onCommand(ID_TRAY_OPEN);
                     });
    m_pIcon->show();
}

CTrayIcon::~CTrayIcon() {
    if (m_pIcon)
        m_pIcon->hide();
    // The icon goes before the menu it refers to.
    m_pIcon.reset();
    m_pMenu.reset();
}

void CTrayIcon::Update(const QString& strTip, const QIcon& icon) {
    if (!m_bEnabled)
        return;
    m_icon = icon;
    m_strTip = strTip.left(kTipLimit);
    m_pIcon->setIcon(icon);
    m_pIcon->setToolTip(m_strTip);
}
