// The icon in the desktop's notification area: busy or idle image, a tip
// with the number of connected users, a pop-up menu, and the way back to a
// hidden main window. Without a notification area it does nothing at all.
#pragma once

#include <QIcon>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QMenu;
class QSystemTrayIcon;
class QWidget;

class CTrayIcon {
public:
    // Receives the pop-up menu's commands, and ID_TRAY_OPEN for a double
    // click or a single activation of the icon.
    using CommandHandler = std::function<void(int nCommand)>;

    CTrayIcon(QWidget* pOwner, const QString& strTip, const QIcon& icon, CommandHandler onCommand);
    ~CTrayIcon();
    CTrayIcon(const CTrayIcon&) = delete;
    CTrayIcon& operator=(const CTrayIcon&) = delete;

    void Update(const QString& strTip, const QIcon& icon);

    bool IsEnabled() const { return m_bEnabled; }
    QString Tip() const { return m_strTip; }
    QIcon Icon() const { return m_icon; }
    // The platform icon and its menu; null when disabled.
    QSystemTrayIcon* PlatformIcon() const { return m_pIcon.get(); }
    QMenu* Menu() const { return m_pMenu.get(); }

    // Longest tip the notification area takes.
    static constexpr int kTipLimit = 63;
    // Whether the desktop has a notification area; tests put a stand-in
    // answer in place (nullopt asks the desktop).
    static void SetAvailabilityOverride(std::optional<bool> available);

private:
    bool m_bEnabled = false;
    QString m_strTip;
    QIcon m_icon;
    QIcon m_initialIcon;
    std::unique_ptr<QMenu> m_pMenu;
    std::unique_ptr<QSystemTrayIcon> m_pIcon;
};
