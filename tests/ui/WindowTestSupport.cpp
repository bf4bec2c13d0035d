#include "tests/ui/WindowTestSupport.h"

#include "config/SettingsStore.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

std::string TestFolder(const std::string& strName) {
    const QString strPath =
        QDir::tempPath() + QStringLiteral("/") + QString::fromStdString(strName);
    QDir(strPath).removeRecursively();
    QDir().mkpath(strPath);
    return strPath.toStdString();
}

void SeedSettings(const SSeed& seed) {
    CServerSettings settings;
    settings.m_nPort = seed.nPort;
    settings.m_nLogLevel = seed.nLogLevel;
    settings.m_nHide = seed.nHide;
    settings.m_nTimeout = seed.nTimeout;
    settings.m_users = ParseUserList(seed.users);
    settings.m_folderMap = ParseFolderMap(seed.folders);
    settings.m_extended.m_bEnabled = seed.bExtended;
    settings.m_logins.m_bHashPasswords = seed.bHashPasswords;
    if (settings.m_folderMap.empty())
        settings.m_folderMap.push_back(
            CFolderRecord::Parse("/=" + TestFolder("published") + "/,1,1"));
    CSettingsStore::Save(settings);
}

CServerSettings StoredSettings() {
    CServerSettings settings;
    CSettingsStore::Load(settings);
    return settings;
}

CTestClient::CTestClient(int nPort) {
    connect(&m_socket, &QTcpSocket::readyRead, this, [this] { m_received += m_socket.readAll(); });
    m_socket.connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(nPort));
}

bool CTestClient::WaitConnected() {
    return QTest::qWaitFor([this] { return m_socket.state() == QAbstractSocket::ConnectedState; },
                           ScaledMs(5000)) &&
           WaitFor("220 ");
}

bool CTestClient::WaitFor(const QByteArray& needle, int nTimeoutMs) {
    return QTest::qWaitFor([&] { return m_received.contains(needle); }, ScaledMs(nTimeoutMs));
}

bool CTestClient::Command(const QByteArray& command, const QByteArray& code) {
    m_received.clear();
    m_socket.write(command + "\r\n");
    return QTest::qWaitFor(
        [&] { return m_received.startsWith(code) && m_received.endsWith("\r\n"); }, ScaledMs(5000));
}

bool CTestClient::Login(const QByteArray& user, const QByteArray& password) {
    return Command("USER " + user, "331") && Command("PASS " + password, "230");
}

bool CTestClient::WaitClosed(int nTimeoutMs) {
    return QTest::qWaitFor([this] { return m_socket.state() == QAbstractSocket::UnconnectedState; },
                           ScaledMs(nTimeoutMs));
}

bool CTimerTicks::eventFilter(QObject* pWatched, QEvent* pEvent) {
    if (pEvent->type() == QEvent::Timer)
        ++m_nTicks;
    return QObject::eventFilter(pWatched, pEvent);
}

QPointer<QTimer> WhenModalOpens(std::function<void(QWidget*)> action, QWidget* pExcept,
                                int nTimeoutMs) {
    auto pTimer = new QTimer(qApp);
    auto pClock = std::make_shared<QElapsedTimer>();
    pClock->start();
    pTimer->setInterval(10);
    nTimeoutMs = ScaledMs(nTimeoutMs);
    QObject::connect(pTimer, &QTimer::timeout, pTimer,
                     [pTimer, pClock, action, pExcept, nTimeoutMs] {
                         QWidget* pWidget = QApplication::activePopupWidget();
                         if (!pWidget)
                             pWidget = QApplication::activeModalWidget();
                         if (pWidget == pExcept)
                             pWidget = nullptr;
                         if (!pWidget && pClock->elapsed() < nTimeoutMs)
                             return;
                         pTimer->stop();
                         pTimer->deleteLater();
                         if (pWidget)
                             action(pWidget);
                     });
    pTimer->start();
    return pTimer;
}
