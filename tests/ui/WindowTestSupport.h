// Shared pieces of the window tests: settings seeded through the store, a
// free loopback port, FTP clients on Qt sockets (so that the one thread keeps
// serving while a test waits), and driving of modal windows from a timer.
#pragma once

#include "config/ServerSettings.h"
#include "tests/FreePort.h"
#include "tests/SettingsEdit.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// QTest's waits for a condition, stretched by the suites' time factor like
// every other wait of the tests (the explicit ones take ScaledMs).
#undef QTRY_VERIFY
#define QTRY_VERIFY(expr) QTRY_VERIFY_WITH_TIMEOUT(expr, ScaledMs(5000))
#undef QTRY_VERIFY2
#define QTRY_VERIFY2(expr, message) QTRY_VERIFY2_WITH_TIMEOUT(expr, message, ScaledMs(5000))
#undef QTRY_COMPARE
#define QTRY_COMPARE(expr, expected) QTRY_COMPARE_WITH_TIMEOUT(expr, expected, ScaledMs(5000))

// Writes a configuration to the store, so that the next window loads it.
struct SSeed {
    int nPort = 0;
    int nLogLevel = 1;
    int nHide = 0;
    int nTimeout = 100;
    std::vector<std::string> users{"anonymous,,0,1", "ana,secreto,1,1"};
    std::vector<std::string> folders; // empty: one temporary folder as "/"
    bool bExtended = false;
    bool bHashPasswords = false;
};
void SeedSettings(const SSeed& seed);
CServerSettings StoredSettings();
// A fresh folder under the test run's temporary area.
std::string TestFolder(const std::string& strName);

// One FTP control connection.
class CTestClient : public QObject {
public:
    explicit CTestClient(int nPort);
    bool WaitConnected();
    bool WaitFor(const QByteArray& needle, int nTimeoutMs = 5000);
    // Sends a command line and waits for a reply that starts with strCode.
    bool Command(const QByteArray& command, const QByteArray& code);
    bool Login(const QByteArray& user, const QByteArray& password);
    bool WaitClosed(int nTimeoutMs = 5000);
    QByteArray Received() const { return m_received; }
    QTcpSocket& Socket() { return m_socket; }

private:
    QTcpSocket m_socket;
    QByteArray m_received;
};

// Runs action on the next modal or pop-up window that opens (other than
// pExcept, a modal window already open), from a timer,
// so that a test never waits on a modal loop. Returns at once, with the
// watching timer: deleting it ends the watch.
QPointer<QTimer> WhenModalOpens(std::function<void(QWidget*)> action, QWidget* pExcept = nullptr,
                                int nTimeoutMs = 5000);

// Counts the timer events an object receives (a window's own QBasicTimer
// ticks), so that a test that must let a timer run waits for its ticks
// rather than for a length of time.
class CTimerTicks : public QObject {
public:
    explicit CTimerTicks(QObject* pWatched) { pWatched->installEventFilter(this); }
    int Count() const { return m_nTicks; }

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    int m_nTicks = 0;
};
