#include "ui/ServerDlg.h"
#include "net/SocketDispatcher.h"
#include "res/Templates.h"
#include "tests/ui/WindowTestSupport.h"
#include "ui/AboutDlg.h"
#include "ui/DialogLayout.h"
#include "ui/HelpWindow.h"
#include "ui/RateGraph.h"
#include "ui/SessionTableModel.h"
#include "ui/TrayIcon.h"

#include <QAccessible>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <memory>
#include <thread>

namespace {

QString Utf8(const char* psz) {
    return QString::fromUtf8(psz);
}

} // namespace

class ServerDlgTest : public QObject {
    Q_OBJECT

    int m_nPort = 0;

    std::unique_ptr<CServerDlg> Open(SSeed seed = SSeed()) {
        if (seed.nPort == 0)
            seed.nPort = FreePort();
        m_nPort = seed.nPort;
        SeedSettings(seed);
        auto pDialog = std::make_unique<CServerDlg>();
        pDialog->show();
        return pDialog;
    }
    static QPushButton* Button(CServerDlg& rDialog, int nId) {
        return rDialog.Layout().Get<QPushButton>(nId);
    }
    static QListWidget* Users(CServerDlg& rDialog) {
        return rDialog.Layout().Get<QListWidget>(IDC_USER_LIST);
    }
    static QString View(CServerDlg& rDialog) {
        rDialog.FlushLog();
        return rDialog.Layout().Get<QPlainTextEdit>(IDC_LOG)->toPlainText();
    }
    static QString HostLogAsView(CServerDlg& rDialog) {
        bool bAfterCR = false;
        return LogTextForView(rDialog.Host().LogText(), bAfterCR);
    }

private slots:
    void init() { CTrayIcon::SetAvailabilityOverride(true); }
    void cleanup() { CTrayIcon::SetAvailabilityOverride(std::nullopt); }

    void logTextForViewMakesOneBreakPerLineEnd() {
        bool bAfterCR = false;
        QCOMPARE(LogTextForView("USER a\r\n331 x\r\nev\n", bAfterCR),
                 QStringLiteral("USER a\n331 x\nev\n"));
        QCOMPARE(LogTextForView("lone\rcr", bAfterCR), QStringLiteral("lone\ncr"));
        // A CR LF split between two texts is still one break.
        QCOMPARE(LogTextForView("line\r", bAfterCR), QStringLiteral("line\n"));
        QVERIFY(bAfterCR);
        QCOMPARE(LogTextForView("\nnext", bAfterCR), QStringLiteral("next"));
        QCOMPARE(LogTextForView("\n\n", bAfterCR), QStringLiteral("\n\n"));
        // Bytes that are not UTF-8 are shown as replacement characters.
        QCOMPARE(LogTextForView("a\xff\xfe"
                                "b",
                                bAfterCR),
                 QStringLiteral("a\uFFFD\uFFFD"
                                "b"));
        QCOMPARE(LogTextForView("Conexi\xC3\xB3n", bAfterCR), Utf8("Conexi\xC3\xB3n"));
    }

    void initialisationStartsTheServerAtOnce() {
        auto pDialog = Open();
        QVERIFY(pDialog->Host().IsRunning());
        QCOMPARE(Button(*pDialog, IDC_START_STOP)->text(), QStringLiteral("&Parar"));
        QVERIFY(!Button(*pDialog, IDC_DISCONNECT)->isEnabled());
        QVERIFY(Button(*pDialog, IDC_START_STOP)->isDefault());
        QCOMPARE(pDialog->windowTitle(), QStringLiteral("Skerrow"));
        const QString strView = View(*pDialog);
        QVERIFY2(strView.contains(Utf8("FTP versi\xC3\xB3n 0.7 iniciado ")), qPrintable(strView));
        QVERIFY(strView.contains(QStringLiteral(" y puerto %1\n").arg(m_nPort)));
        QCOMPARE(strView, HostLogAsView(*pDialog));
        QVERIFY(pDialog->TrayIcon()->IsEnabled());
        QCOMPARE(pDialog->TrayIcon()->Tip(), QStringLiteral("0 usuario(s) conectado"));
        QVERIFY(pDialog->IsHideTimerActive());
        QVERIFY(!pDialog->isMaximized());
        QVERIFY(!(pDialog->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(pDialog->windowFlags() & Qt::WindowMinimizeButtonHint);
    }

    void loopTimersRunFromTheWindowLoop() {
        auto pDialog = Open();
        CSocketDispatcher* pDispatcher = CSocketDispatcher::Current();
        QVERIFY(pDispatcher);
        int nRuns = 0;
        pDispatcher->SetTimer(20, [&] {
            ++nRuns;
            // A timer set from a timer: the window's wait follows it.
            pDispatcher->SetTimer(10, [&] { nRuns += 10; });
        });
        CSocketDispatcher::TimerId nKilled = pDispatcher->SetTimer(5, [&] { nRuns += 100; });
        pDispatcher->KillTimer(nKilled);
        // The killed timer was due before both others: had it run, it would
        // have run by now.
        QTRY_COMPARE(nRuns, 11);
    }

    void postsFromAnotherThreadRunFromTheWindowLoop() {
        CSocketDispatcher* pDispatcher = CSocketDispatcher::Current();
        QVERIFY(pDispatcher);
        const std::thread::id windowThread = std::this_thread::get_id();
        int nRuns = 0;
        bool bInOrderOnTheWindowThread = true;
        std::thread poster([&] {
            for (int i = 0; i < 100; ++i)
                pDispatcher->Post([&, i] {
                    bInOrderOnTheWindowThread &=
                        nRuns == i && std::this_thread::get_id() == windowThread;
                    ++nRuns;
                });
        });
        poster.join();
        QTRY_COMPARE(nRuns, 100);
        QVERIFY(bInOrderOnTheWindowThread);
    }

    void startStopAndRetryAfterPortInUse() {
        const int nPort = FreePort();
        QTcpServer blocker;
        QVERIFY(blocker.listen(QHostAddress::AnyIPv4, static_cast<quint16>(nPort)));
        SSeed seed;
        seed.nPort = nPort;
        auto pDialog = Open(seed);
        QVERIFY(!pDialog->Host().IsRunning());
        QVERIFY(View(*pDialog).endsWith(QStringLiteral("Error: no es posible iniciar Skerrow\n")));
        QCOMPARE(Button(*pDialog, IDC_START_STOP)->text(), QStringLiteral("&Iniciar"));
        // A retry while the port is still taken fails the same way.
        Button(*pDialog, IDC_START_STOP)->click();
        QVERIFY(!pDialog->Host().IsRunning());
        QCOMPARE(View(*pDialog).count(QStringLiteral("Error: no es posible iniciar Skerrow\n")), 2);
        blocker.close();
        Button(*pDialog, IDC_START_STOP)->click();
        QVERIFY(pDialog->Host().IsRunning());
        QCOMPARE(Button(*pDialog, IDC_START_STOP)->text(), QStringLiteral("&Parar"));
        CTestClient client(nPort);
        QVERIFY(client.WaitConnected());
        Button(*pDialog, IDC_START_STOP)->click();
        QVERIFY(!pDialog->Host().IsRunning());
        QVERIFY(View(*pDialog).contains(Utf8("FTP versi\xC3\xB3n 0.7 parado ")));
        QCOMPARE(Button(*pDialog, IDC_START_STOP)->text(), QStringLiteral("&Iniciar"));
        // Stopping removed the connection and its row.
        QVERIFY(client.WaitClosed());
        QCOMPARE(Users(*pDialog)->count(), 0);
    }

    void usersAppearAreRelabelledAndDisconnected() {
        auto pDialog = Open();
        CTestClient first(m_nPort);
        QVERIFY(first.WaitConnected());
        QTRY_COMPARE(Users(*pDialog)->count(), 1);
        QCOMPARE(Users(*pDialog)->item(0)->text(), QStringLiteral("<usuario conectando>"));
        QVERIFY(View(*pDialog).contains(QStringLiteral("Conectado a 127.0.0.1\n")));
        CTestClient second(m_nPort);
        QVERIFY(second.WaitConnected());
        QTRY_COMPARE(Users(*pDialog)->count(), 2);
        QCOMPARE(pDialog->TrayIcon()->Tip(), QStringLiteral("2 usuario(s) conectado"));

        // The administrator selects the second row; the first connection logs
        // in and its row is relabelled in place, leaving no row selected and
        // the button as it was.
        Users(*pDialog)->setCurrentRow(1);
        QVERIFY(Button(*pDialog, IDC_DISCONNECT)->isEnabled());
        QVERIFY(first.Login("ana", "secreto"));
        QCOMPARE(Users(*pDialog)->count(), 2);
        QCOMPARE(Users(*pDialog)->item(0)->text(), QStringLiteral("ana (127.0.0.1)"));
        QCOMPARE(Users(*pDialog)->item(1)->text(), QStringLiteral("<usuario conectando>"));
        QCOMPARE(pDialog->SelectedRow(), -1);
        QVERIFY(Button(*pDialog, IDC_DISCONNECT)->isEnabled());
        // Pressing it now, with nothing selected, does nothing.
        Button(*pDialog, IDC_DISCONNECT)->click();
        QCOMPARE(Users(*pDialog)->count(), 2);

        Users(*pDialog)->setCurrentRow(0);
        QVERIFY(Button(*pDialog, IDC_DISCONNECT)->isEnabled());
        const QByteArray before = first.Received();
        Button(*pDialog, IDC_DISCONNECT)->click();
        QVERIFY(first.WaitClosed());
        QCOMPARE(first.Received(), before); // closed without a reply
        QCOMPARE(Users(*pDialog)->count(), 1);
        QCOMPARE(Users(*pDialog)->item(0)->text(), QStringLiteral("<usuario conectando>"));
        QCOMPARE(pDialog->SelectedRow(), -1);
        QVERIFY(!Button(*pDialog, IDC_DISCONNECT)->isEnabled());
        QCOMPARE(pDialog->TrayIcon()->Tip(), QStringLiteral("1 usuario(s) conectado"));

        // The peer closing removes its row too.
        second.Socket().disconnectFromHost();
        QTRY_COMPARE(Users(*pDialog)->count(), 0);
        QCOMPARE(pDialog->TrayIcon()->Tip(), QStringLiteral("0 usuario(s) conectado"));
    }

    void logLevelsAsSeenInTheView() {
        SSeed quiet;
        quiet.nLogLevel = 0;
        {
            auto pDialog = Open(quiet);
            CTestClient client(m_nPort);
            QVERIFY(client.WaitConnected());
            QVERIFY(client.Login("ana", "secreto"));
            QTRY_VERIFY(
                View(*pDialog).contains(QStringLiteral("Usuario ana logeado en, cas es /\n")));
            QVERIFY(!View(*pDialog).contains(QStringLiteral("USER ana")));
            QVERIFY(!View(*pDialog).contains(QStringLiteral("331 ")));
        }
        SSeed loud;
        loud.nLogLevel = 2;
        auto pDialog = Open(loud);
        CTestClient client(m_nPort);
        QVERIFY(client.WaitConnected());
        QVERIFY(client.Login("ana", "secreto"));
        QTRY_VERIFY(View(*pDialog).contains(QStringLiteral("Usuario ana logeado en, cas es /\n")));
        const QString strView = View(*pDialog);
        QVERIFY2(strView.contains(QStringLiteral("\nUSER ana\n331 Enter PASS command\n")),
                 qPrintable(strView));
        QVERIFY(strView.contains(QStringLiteral("\n230 Logged in\n")));
        QCOMPARE(strView, HostLogAsView(*pDialog));
    }

    void theLogCutAsSeenInTheView() {
        auto pDialog = Open();
        const std::string strLine = std::string(999, 'x') + "\n";
        for (int i = 0; i < 40; ++i) {
            pDialog->Host().Log(std::to_string(i) + ":" + strLine, 0);
            // The view follows every few lines, as the event loop would.
            if (i % 7 == 0)
                pDialog->FlushLog();
        }
        const QString strView = View(*pDialog);
        QVERIFY(pDialog->Host().LogText().size() <= CServerHost::kLogLimit);
        QCOMPARE(strView, HostLogAsView(*pDialog));
        QVERIFY(!strView.contains(Utf8("iniciado")));
        QVERIFY(strView.contains(QStringLiteral("39:xxx")));
    }

    void hideRulesWithANotificationArea() {
        SSeed seed;
        seed.nHide = 1;
        auto pDialog = Open(seed);
        CTrayIcon* pTray = pDialog->TrayIcon();
        // About half a second after start the window hides itself, for good.
        QTRY_VERIFY_WITH_TIMEOUT(pDialog->IsHiddenInTray(), ScaledMs(3000));
        QVERIFY(!pDialog->isVisible());
        QVERIFY(!pDialog->IsHideTimerActive());
        // A double click brings it back restored, and it stays.
        emit pTray->PlatformIcon()->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(pDialog->isVisible());
        QVERIFY(!pDialog->IsHiddenInTray());
        // Nothing is left that could hide it again: the timer has stopped.
        QVERIFY(!pDialog->IsHideTimerActive());
        QCoreApplication::processEvents();
        QVERIFY(pDialog->isVisible());
        // Minimising hides it; a single activation brings it back.
        pDialog->showMinimized();
        QTRY_VERIFY(pDialog->IsHiddenInTray());
        QVERIFY(!pDialog->isVisible());
        emit pTray->PlatformIcon()->activated(QSystemTrayIcon::Trigger);
        QVERIFY(pDialog->isVisible());
        QVERIFY(!pDialog->isMinimized());
        // So does "&Abrir Skerrow"; on a visible window it changes nothing.
        pDialog->showMinimized();
        QTRY_VERIFY(pDialog->IsHiddenInTray());
        QList<QAction*> items = pTray->Menu()->actions();
        QCOMPARE(items.size(), 3);
        QCOMPARE(items[0]->text(), QStringLiteral("&Abrir Skerrow"));
        QCOMPARE(items[1]->text(), QStringLiteral("O&pciones"));
        QCOMPARE(items[2]->text(), QStringLiteral("&Cerrar"));
        items[0]->trigger();
        QVERIFY(pDialog->isVisible());
        QVERIFY(!pDialog->IsHiddenInTray());
        pDialog->showMinimized();
        EditSettings(pDialog->Host())->m_nHide = 0;
        emit pTray->PlatformIcon()->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(pDialog->isVisible());
        pDialog->showNormal();
        emit pTray->PlatformIcon()->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(pDialog->isVisible());
        QVERIFY(!pDialog->isMinimized());
        // "&Cerrar" from the tray menu closes the program like the button.
        items[2]->trigger();
        QVERIFY(!pDialog->isVisible());
        QVERIFY(!pDialog->Host().IsRunning());
        QVERIFY(!pDialog->TrayIcon());
    }

    void hideFlagSwitchedOnLaterAndMinimisedBeforeTheFirstTick() {
        SSeed seed;
        auto pDialog = Open(seed);
        // Flag off: minimising leaves an ordinary minimised window; the timer
        // keeps ticking without effect.
        pDialog->showMinimized();
        QVERIFY(pDialog->isMinimized());
        QVERIFY(!pDialog->IsHiddenInTray());
        auto pTicks = std::make_unique<CTimerTicks>(pDialog.get());
        QTRY_VERIFY(pTicks->Count() >= 2);
        QVERIFY(!pDialog->IsHiddenInTray());
        QVERIFY(pDialog->IsHideTimerActive());
        pDialog->showNormal();
        // Switched on while shown: hidden within half a second.
        EditSettings(pDialog->Host())->m_nHide = 1;
        QTRY_VERIFY_WITH_TIMEOUT(pDialog->IsHiddenInTray(), ScaledMs(2000));
        QVERIFY(!pDialog->IsHideTimerActive());

        // Minimised (and so hidden) before the first tick: the timer keeps
        // running, and hides the window again after it is restored.
        seed.nHide = 1;
        pDialog = Open(seed);
        pDialog->showMinimized();
        QTRY_VERIFY(pDialog->IsHiddenInTray());
        pTicks = std::make_unique<CTimerTicks>(pDialog.get());
        QTRY_VERIFY(pTicks->Count() >= 1);
        QVERIFY(pDialog->IsHideTimerActive());
        emit pDialog->TrayIcon()->PlatformIcon()->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(pDialog->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(pDialog->IsHiddenInTray(), ScaledMs(2000));
        QVERIFY(!pDialog->IsHideTimerActive());
    }

    void theTipIsCutTo63Characters() {
        const QString strLong(100, u't');
        CTrayIcon tray(nullptr, strLong, QIcon(), [](int) {});
        QCOMPARE(tray.Tip(), QString(63, u't'));
        tray.Update(strLong + "x", QIcon());
        QCOMPARE(tray.Tip().size(), 63);
        QCOMPARE(tray.PlatformIcon()->toolTip().size(), 63);
    }

    void withoutANotificationAreaTheWindowNeverHides() {
        CTrayIcon::SetAvailabilityOverride(false);
        SSeed seed;
        seed.nHide = 1;
        auto pDialog = Open(seed);
        QVERIFY(!pDialog->TrayIcon()->IsEnabled());
        QVERIFY(!pDialog->TrayIcon()->PlatformIcon());
        // The half-second timer ticks and hides nothing.
        CTimerTicks ticks(pDialog.get());
        QTRY_VERIFY(ticks.Count() >= 2);
        QVERIFY(pDialog->isVisible());
        QVERIFY(!pDialog->IsHiddenInTray());
        pDialog->showMinimized();
        QVERIFY(pDialog->isMinimized());
        QVERIFY(!pDialog->IsHiddenInTray());
        // Updates do nothing without the area.
        CTestClient client(m_nPort);
        QVERIFY(client.WaitConnected());
        QTRY_COMPARE(Users(*pDialog)->count(), 1);
        QCOMPARE(pDialog->TrayIcon()->Tip(), QString());
    }

    void closingStopsTheServerAndSavesTheSettings() {
        auto pDialog = Open();
        CTestClient client(m_nPort);
        QVERIFY(client.WaitConnected());
        QVERIFY(client.Login("ana", "secreto"));
        EditSettings(pDialog->Host())->m_nTimeout = 77;
        EditSettings(pDialog->Host())->m_users.push_back(CUserRecord::Parse("nuevo,clave,0,1"));
        pDialog->ShowHelp();
        QVERIFY(pDialog->HelpWindow()->isVisible());
        QTest::keyClick(pDialog.get(), Qt::Key_Escape);
        QVERIFY(!pDialog->isVisible());
        QVERIFY(!pDialog->Host().IsRunning());
        QVERIFY(!pDialog->HelpWindow());
        QVERIFY(View(*pDialog).contains(Utf8("FTP versi\xC3\xB3n 0.7 parado ")));
        QVERIFY(client.WaitClosed());
        const CServerSettings stored = StoredSettings();
        QCOMPARE(stored.m_nTimeout, 77);
        QCOMPARE(stored.m_users.back().Text(), std::string("nuevo,clave,0,1"));
        // Destroying the closed window does it only once.
        pDialog.reset();
        QCOMPARE(StoredSettings().m_nTimeout, 77);
    }

    void closingWhenTheSettingsCannotBeWritten() {
        auto pDialog = Open();
        const QString strFile = QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) +
                                QStringLiteral("/Orvane/skerrow.conf");
        QFile::remove(strFile);
        // A folder where the file should be: not even root can write it.
        QVERIFY(QDir().mkpath(strFile));
        Button(*pDialog, IDCANCEL)->click();
        QVERIFY(!pDialog->isVisible());
        QVERIFY(!pDialog->Host().IsRunning());
        pDialog.reset();
        QVERIFY(QDir(strFile).removeRecursively());
    }

    void enterPressesTheDefaultButtonEscapeCloses() {
        auto pDialog = Open();
        pDialog->activateWindow();
        pDialog->Layout().Control(IDC_USER_LIST)->setFocus();
        QTest::keyClick(pDialog.get(), Qt::Key_Return);
        QVERIFY(!pDialog->Host().IsRunning());
        QCOMPARE(Button(*pDialog, IDC_START_STOP)->text(), QStringLiteral("&Iniciar"));
        QTest::keyClick(pDialog.get(), Qt::Key_Escape);
        QVERIFY(!pDialog->isVisible());
    }

    void aboutBoxFromTheContextMenu() {
        auto pDialog = Open();
        QStringList menuItems;
        QString strTitle;
        QStringList texts;
        WhenModalOpens([&](QWidget* pPopup) {
            auto* pMenu = qobject_cast<QMenu*>(pPopup);
            if (!pMenu)
                return;
            for (QAction* pAction : pMenu->actions())
                menuItems << pAction->text();
            WhenModalOpens([&](QWidget* pAbout) {
                strTitle = pAbout->windowTitle();
                for (QLabel* pLabel : pAbout->findChildren<QLabel*>())
                    if (!pLabel->text().isEmpty())
                        texts << pLabel->text();
                // The server keeps serving inside the modal loop.
                CTestClient client(m_nPort);
                if (client.WaitConnected())
                    texts << QStringLiteral("served");
                auto* pOk = pAbout->findChild<QPushButton*>(QStringLiteral("control1"));
                if (pOk && pOk->isDefault())
                    pOk->click();
            });
            pMenu->setActiveAction(pMenu->actions().first());
            QTest::keyClick(pMenu, Qt::Key_Return);
        });
        // A right click on the window's margin, outside every control.
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(2, 2),
                                pDialog->mapToGlobal(QPoint(2, 2)));
        QApplication::sendEvent(pDialog.get(), &event);
        QCOMPARE(menuItems, QStringList{QStringLiteral("&Acerca de Skerrow...")});
        QCOMPARE(strTitle, QStringLiteral("Acerca de Skerrow"));
        QVERIFY2(texts.contains(Utf8("Skerrow Versi\xC3\xB3n 0.7 Traducido por Orvane")),
                 qPrintable(texts.join('|')));
        QVERIFY(texts.contains(QStringLiteral("served")));
        QVERIFY(pDialog->isVisible());
    }

    void helpOpensFromTheButton() {
        auto pDialog = Open();
        Button(*pDialog, ID_HELP)->click();
        QVERIFY(pDialog->HelpWindow());
        QVERIFY(pDialog->HelpWindow()->isVisible());
        QCOMPARE(pDialog->HelpWindow()->windowTitle(), QStringLiteral("Ayuda de Skerrow"));
        const QString strHelp = pDialog->HelpWindow()->toPlainText();
        QVERIFY(strHelp.contains(QStringLiteral("--headless")));
        QVERIFY(strHelp.contains(QStringLiteral("skerrow.conf")));
        pDialog->ShowHelp(QStringLiteral("servidor"));
        QCOMPARE(pDialog->HelpWindow()->source().fragment(), QStringLiteral("servidor"));
    }

    void aFloodOfClientsWhileAModalBoxIsOpen() {
        auto pDialog = Open();
        int nPeak = 0;
        int nLeft = -1;
        WhenModalOpens([&](QWidget* pAbout) {
            std::vector<std::unique_ptr<CTestClient>> clients;
            for (int nRound = 0; nRound < 3; ++nRound) {
                for (int i = 0; i < 40; ++i)
                    clients.push_back(std::make_unique<CTestClient>(m_nPort));
                (void)QTest::qWaitFor([&] { return Users(*pDialog)->count() == 40; },
                                      ScaledMs(10000));
                nPeak = std::max(nPeak, Users(*pDialog)->count());
                clients.clear(); // every client closes
                (void)QTest::qWaitFor([&] { return Users(*pDialog)->count() == 0; },
                                      ScaledMs(10000));
            }
            nLeft = Users(*pDialog)->count();
            static_cast<QDialog*>(pAbout)->accept();
        });
        pDialog->OnSysCommand(IDM_ABOUTBOX);
        QCOMPARE(nPeak, 40);
        QCOMPARE(nLeft, 0);
        QCOMPARE(pDialog->Host().SessionCount(), size_t(0));
        QCOMPARE(pDialog->TrayIcon()->Tip(), QStringLiteral("0 usuario(s) conectado"));
    }

    void disconnectingAUserWhileItsTransferRuns() {
        SSeed seed;
        const std::string strFolder = TestFolder("transfer");
        {
            QFile big(QString::fromStdString(strFolder + "/big.bin"));
            QVERIFY(big.open(QIODevice::WriteOnly));
            big.write(QByteArray(16 * 1024 * 1024, 'z'));
        }
        seed.folders = {"/=" + strFolder + "/,1,1"};
        auto pDialog = Open(seed);
        CTestClient client(m_nPort);
        QVERIFY(client.WaitConnected());
        QVERIFY(client.Login("ana", "secreto"));
        QVERIFY(client.Command("PASV", "227"));
        const QByteArray reply = client.Received();
        const QList<QByteArray> numbers =
            reply.mid(reply.indexOf('(') + 1, reply.indexOf(')') - reply.indexOf('(') - 1)
                .split(',');
        QCOMPARE(numbers.size(), 6);
        const int nDataPort = numbers[4].toInt() * 256 + numbers[5].toInt();
        QTcpSocket data;
        data.setReadBufferSize(4096); // a slow reader: the transfer stays open
        data.connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(nDataPort));
        QVERIFY(client.Command("RETR big.bin", "150"));
        QTRY_VERIFY(data.bytesAvailable() > 0);
        Users(*pDialog)->setCurrentRow(0);
        Button(*pDialog, IDC_DISCONNECT)->click();
        QVERIFY(client.WaitClosed());
        // The data connection ends quietly: no reply on the control connection.
        QVERIFY(!client.Received().contains("425"));
        QVERIFY(!client.Received().contains("226"));
        data.setReadBufferSize(0);
        QTRY_VERIFY(data.state() == QAbstractSocket::UnconnectedState || data.atEnd());
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                data.readAll();
                return data.state() == QAbstractSocket::UnconnectedState;
            }(),
            ScaledMs(10000));
        QCOMPARE(pDialog->Host().SessionCount(), size_t(0));
    }

    void tableModelFollowsTheSnapshots() {
        using Clock = std::chrono::steady_clock;
        CSessionTableModel model;
        const Clock::time_point start = Clock::now();
        SSessionStatus idle;
        idle.nId = 7;
        idle.strAddress = "::1";
        idle.connected = start;
        SSessionStatus moving = idle;
        moving.nId = 9;
        moving.strUser = "ana";
        moving.strAddress = "127.0.0.1";
        SProgress progress;
        progress.strName = "/big.iso";
        progress.nTotal = 4000000;
        progress.bConnected = true;
        progress.started = start;
        moving.transfers = {progress};
        model.Update({idle, moving}, start + std::chrono::milliseconds(10));
        QCOMPARE(model.rowCount(), 2);
        auto Cell = [&](int nRow, int nColumn) {
            return model.data(model.index(nRow, nColumn), Qt::DisplayRole).toString();
        };
        QCOMPARE(Cell(0, CSessionTableModel::User), QStringLiteral("(conectando)"));
        QCOMPARE(Cell(0, CSessionTableModel::State), QStringLiteral("inactivo"));
        QCOMPARE(Cell(1, CSessionTableModel::State), QString::fromUtf8("\xE2\x86\x93 /big.iso"));
        // A second later 1,000,000 bytes have moved: a quarter, 1 MB/s.
        moving.transfers[0].nBytes = 1000000;
        model.Update({idle, moving}, start + std::chrono::seconds(1));
        QCOMPARE(model
                     .data(model.index(1, CSessionTableModel::Progress),
                           CSessionTableModel::kPercentRole)
                     .toInt(),
                 25);
        // The window's Spanish decimal comma; `--who` keeps the point.
        QCOMPARE(Cell(1, CSessionTableModel::Progress),
                 QStringLiteral("25 % (976,6 KB de 3,8 MB)"));
        QVERIFY(QString::fromStdString(WhoTable({idle, moving}, start + std::chrono::seconds(1)))
                    .contains(QStringLiteral("25 % (976.6 KB de 3.8 MB)")));
        QCOMPARE(Cell(1, CSessionTableModel::Speed), QStringLiteral("977 KB/s"));
        QCOMPARE(model.data(model.index(1, CSessionTableModel::Speed), Qt::AccessibleTextRole)
                     .toString(),
                 QStringLiteral("Velocidad: 977 KB/s"));
        QVERIFY(model.StatusLine().startsWith(QStringLiteral("Conexiones: 2")));
        // The speed is that of the last two seconds: 3 s later, 1 MB more.
        moving.transfers[0].nBytes = 2000000;
        model.Update({idle, moving}, start + std::chrono::seconds(2));
        moving.transfers[0].nBytes = 3000000;
        model.Update({idle, moving}, start + std::chrono::seconds(3));
        QCOMPARE(Cell(1, CSessionTableModel::Speed), QStringLiteral("977 KB/s"));
        // 1.5 MiB in the next second: the rate, the status line and the
        // graph's scale with the comma.
        moving.transfers[0].nBytes = 3000000 + 1572864;
        model.Update({idle, moving}, start + std::chrono::seconds(4));
        QCOMPARE(Cell(1, CSessionTableModel::Speed), QStringLiteral("1,2 MB/s"));
        QCOMPARE(model.StatusLine(),
                 QStringLiteral("Conexiones: 2 \u00B7 Bajada 1,2 MB/s \u00B7 Subida 0 KB/s"));
        QCOMPARE(model.SpokenStatus(),
                 QStringLiteral("Conexiones: 2, bajada 1,2 MB/s, subida 0 KB/s"));
        QCOMPARE(CSessionTableModel::RateForView(model.HighestRate()), QStringLiteral("1,2 MB/s"));
        // An upload's size is not known: bytes alone, no bar.
        moving.transfers[0].kind = SProgress::Kind::Upload;
        moving.transfers[0].nTotal = -1;
        moving.transfers[0].started = start + std::chrono::seconds(4);
        moving.transfers[0].nBytes = 0;
        model.Update({idle, moving}, start + std::chrono::seconds(4));
        QCOMPARE(model
                     .data(model.index(1, CSessionTableModel::Progress),
                           CSessionTableModel::kPercentRole)
                     .toInt(),
                 -1);
        QCOMPARE(Cell(1, CSessionTableModel::Progress), QStringLiteral("0 B"));
        // Rows go in place; the one left keeps its identity.
        model.Update({moving}, start + std::chrono::seconds(5));
        QCOMPARE(model.rowCount(), 1);
        QCOMPARE(model.SessionAt(0), 9u);
        QVERIFY(!model.History().empty());
        QCOMPARE(model.headerData(CSessionTableModel::Address, Qt::Horizontal, Qt::DisplayRole)
                     .toString(),
                 QString::fromUtf8("Direcci\xC3\xB3n"));
    }

    // The window and `skerrow --who` take the same snapshots through the
    // same columns, share and speed: for the same transfer they show the same
    // figures, the window with its decimal comma.
    void windowAndWhoShowTheSameFigures() {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point start = Clock::now();
        SSessionStatus moving;
        moving.nId = 4;
        moving.strUser = "ana";
        moving.strAddress = "192.0.2.4";
        moving.connected = start;
        SProgress progress;
        progress.strName = "/pub/a.iso";
        progress.nTotal = 30000000;
        progress.bConnected = true;
        progress.started = start;
        moving.transfers = {progress};
        CSessionTableModel model;
        CTransferRates rates;
        std::vector<SSessionStatus> taken;
        // A transfer that speeds up: the average since the start and the
        // last two seconds differ.
        const int64_t kBytes[] = {0, 500000, 1000000, 1500000, 4000000, 6500000, 9000000};
        Clock::time_point now = start;
        for (size_t i = 0; i < std::size(kBytes); ++i) {
            now = start + std::chrono::milliseconds(500 * static_cast<int>(i) + 500);
            moving.transfers[0].nBytes = kBytes[i];
            model.Update({moving}, now);
            taken = {moving};
            rates.Sample(taken, now);
        }
        const auto Cell = [&](int nColumn) {
            return model.data(model.index(0, nColumn), Qt::DisplayRole).toString();
        };
        const auto Pointed = [](QString strText) { return strText.replace(u',', u'.'); };
        // The table: one row, its cells those of the window, the point for
        // the comma.
        const QStringList lines = QString::fromStdString(WhoTable(taken, now)).split(u'\n');
        const QStringList headings = lines[0].split(QStringLiteral("  "), Qt::SkipEmptyParts);
        QCOMPARE(headings.size(), CSessionTableModel::ColumnCount + 1);
        for (int nColumn = 0; nColumn < CSessionTableModel::ColumnCount; ++nColumn) {
            QCOMPARE(headings[nColumn + 1].trimmed(),
                     model.headerData(nColumn, Qt::Horizontal, Qt::DisplayRole).toString());
            QVERIFY2(lines[1].contains(Pointed(Cell(nColumn))), qPrintable(Cell(nColumn)));
        }
        // 8,000,000 bytes in the last two seconds, not 9,000,000 in 3.5.
        QCOMPARE(Cell(CSessionTableModel::Speed), QStringLiteral("3,8 MB/s"));
        QCOMPARE(Cell(CSessionTableModel::Progress), QStringLiteral("30 % (8,6 MB de 28,6 MB)"));
        QCOMPARE(model
                     .data(model.index(0, CSessionTableModel::Progress),
                           CSessionTableModel::kPercentRole)
                     .toInt(),
                 Percent(taken[0].transfers[0]));
        QCOMPARE(CSessionTableModel::RateForView(model.DownloadRate()), QStringLiteral("3,8 MB/s"));
        QVERIFY(lines[2].startsWith(QStringLiteral("Total: conexiones 1, transferencias 1, "
                                                   "bajada 3.8 MB/s, subida 0 KB/s")));
        // The JSON's speed is the same, in bytes a second.
        QVERIFY(QString::fromStdString(WhoJson(taken, now))
                    .contains(QStringLiteral("\"rate\": 4000000")));
    }

    void timedExtendedModeShowsEachTransferAndDisconnectsTheSelected() {
        SSeed seed;
        seed.bExtended = true;
        const std::string strFolder = TestFolder("table");
        seed.folders = {"/=" + strFolder + "/,1,1"};
        QFile big(QString::fromStdString(strFolder + "/big.bin"));
        QVERIFY(big.open(QIODevice::WriteOnly));
        QVERIFY(big.resize(512LL * 1024 * 1024));
        big.close();
        auto pDialog = Open(seed);
        QTableView* pTable = pDialog->TransfersTable();
        QVERIFY(pDialog->IsTableShown());
        QVERIFY(pTable->isVisible());
        QVERIFY(!Users(*pDialog)->isVisible());
        QVERIFY(pDialog->rect().contains(pTable->geometry()));
        QVERIFY(pDialog->rect().contains(pDialog->RateGraph()->geometry()));
        QVERIFY(pDialog->rect().contains(Button(*pDialog, IDCANCEL)->geometry()));
        QCOMPARE(QAccessible::queryAccessibleInterface(pTable)->text(QAccessible::Name),
                 QStringLiteral("Usuarios actualmente conectados"));
        // A download read at 2 MiB/s by its client: 1/10 of it every 100 ms,
        // through small buffers.
        CTestClient control(m_nPort);
        QVERIFY(control.WaitConnected());
        QVERIFY(control.Login("ana", "secreto"));
        QVERIFY(control.Command("TYPE I", "200"));
        QVERIFY(control.Command("PASV", "227"));
        const QList<QByteArray> fields =
            control.Received().mid(control.Received().lastIndexOf('(') + 1).split(',');
        const int nDataPort = fields[4].toInt() * 256 + fields[5].split(')')[0].toInt();
        QTcpSocket data;
        data.setReadBufferSize(512 * 1024);
        data.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 256 * 1024);
        data.connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(nDataPort));
        QVERIFY(data.waitForConnected(ScaledMs(5000)));
        QVERIFY(control.Command("RETR big.bin", "150"));
        constexpr qint64 kRate = 2 * 1048576;
        qint64 nTaken = 0;
        QElapsedTimer paced;
        paced.start();
        QTimer pace;
        connect(&pace, &QTimer::timeout, this, [&] {
            // What the time so far allows: a late tick (a busy machine)
            // makes up for the time it lost.
            const qint64 nAllowed = paced.elapsed() * kRate / 1000 - nTaken;
            if (nAllowed > 0)
                nTaken += data.read(nAllowed).size();
        });
        pace.start(100);
        CSessionTableModel* pModel = pDialog->TransfersModel();
        auto Cell = [&](int nColumn) {
            return pModel->rowCount() ? pModel->index(0, nColumn).data().toString() : QString();
        };
        QVERIFY(QTest::qWaitFor(
            [&] {
                return Cell(CSessionTableModel::State) ==
                       QString::fromUtf8("\xE2\x86\x93 /big.bin");
            },
            ScaledMs(10000)));
        const int nFirst = pModel->index(0, CSessionTableModel::Progress)
                               .data(CSessionTableModel::kPercentRole)
                               .toInt();
        // Once the loopback buffers have filled, the bytes move at the
        // client's speed. The buffers are refilled in bursts of megabytes,
        // so the speed is compared over several seconds.
        auto Moved = [&] {
            const auto sessions = pDialog->Host().SessionStatuses();
            return sessions.empty() || sessions[0].transfers.empty()
                       ? int64_t{0}
                       : sessions[0].transfers[0].nBytes;
        };
        QTest::qWait(ScaledMs(3000));
        const int64_t nBefore = Moved();
        QElapsedTimer timer;
        timer.start();
        QTest::qWait(8000);
        const double dRate =
            static_cast<double>(Moved() - nBefore) * 1000.0 / static_cast<double>(timer.elapsed());
        QVERIFY2(dRate > 2 * 1048576 * 0.8 && dRate < 2 * 1048576 * 1.2,
                 qPrintable(QString::number(dRate)));
        const QString strProgress = Cell(CSessionTableModel::Progress);
        QVERIFY2(strProgress.contains(QStringLiteral(" de 512,0 MB")), qPrintable(strProgress));
        QVERIFY(pModel->index(0, CSessionTableModel::Progress)
                    .data(CSessionTableModel::kPercentRole)
                    .toInt() > nFirst);
        QVERIFY(Cell(CSessionTableModel::Speed).endsWith(QStringLiteral("B/s")));
        // The speed the table shows is the client's too, give or take the
        // bursts in which the buffers refill within its two seconds.
        const double dShown = pModel->DownloadRate();
        QVERIFY2(dShown > 2 * 1048576 * 0.7 && dShown < 2 * 1048576 * 1.3,
                 qPrintable(QString::number(dShown)));
        QVERIFY(pDialog->TransfersStatus()->text().startsWith(QStringLiteral("Conexiones: 1")));
        // Held to a limit, the transfer says so; the narrow speed cell shows
        // its whole text under the pointer and to a screen reader.
        CServerSettings limited = pDialog->Host().Settings();
        limited.m_limits.m_nDownload = 1024;
        pDialog->Host().TakeSettings(limited);
        QVERIFY(QTest::qWaitFor(
            [&] {
                return Cell(CSessionTableModel::Speed).contains(QStringLiteral(", limitada a "));
            },
            ScaledMs(10000)));
        const QModelIndex speed = pModel->index(0, CSessionTableModel::Speed);
        QVERIFY(speed.data(Qt::ToolTipRole).toString().contains(QStringLiteral(", limitada a ")));
        QVERIFY(speed.data(Qt::AccessibleTextRole)
                    .toString()
                    .contains(QStringLiteral(", limitada a ")));
        // Keyboard: the table, a row, Delete.
        pTable->setFocus();
        pTable->selectRow(0);
        QVERIFY(Button(*pDialog, IDC_DISCONNECT)->isEnabled());
        QTest::keyClick(pTable, Qt::Key_Delete);
        QVERIFY(control.WaitClosed(ScaledMs(10000)));
        pace.stop();
        QVERIFY(QTest::qWaitFor([&] { return pModel->rowCount() == 0; }, ScaledMs(5000)));
        QVERIFY(!Button(*pDialog, IDC_DISCONNECT)->isEnabled());
        QFile::remove(big.fileName());
    }

    void extendedModeKeyboardPathNamesAndSplitter() {
        SSeed seed;
        seed.bExtended = true;
        auto pDialog = Open(seed);
        pDialog->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(pDialog.get()));
        CTestClient first(m_nPort);
        CTestClient second(m_nPort);
        QVERIFY(first.WaitConnected() && first.Login("ana", "secreto"));
        QVERIFY(second.WaitConnected() && second.Login("ana", "secreto"));
        QTableView* pTable = pDialog->TransfersTable();
        QVERIFY(QTest::qWaitFor([&] { return pTable->model()->rowCount() == 2; }, ScaledMs(5000)));
        const CDialogLayout& layout = pDialog->Layout();
        // The arrow keys move inside the table, and the selection with them.
        pTable->setFocus();
        pTable->selectRow(0);
        QTest::keyClick(pTable, Qt::Key_Down);
        QCOMPARE(pDialog->SelectedRow(), 1);
        QTest::keyClick(pTable, Qt::Key_Right);
        QTest::keyClick(pTable, Qt::Key_Up);
        QCOMPARE(pDialog->SelectedRow(), 0);
        QCOMPARE(QApplication::focusWidget(), pTable);
        // Tab leaves the table after one stop and comes round to it through
        // every button and the log; Shift+Tab goes back the same way.
        QList<QWidget*> forward;
        for (int i = 0; i < 7; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            forward << QApplication::focusWidget();
        }
        const QList<QWidget*> expected{layout.Control(IDC_DISCONNECT),
                                       layout.Control(IDC_START_STOP),
                                       layout.Control(IDC_OPTIONS),
                                       layout.Control(ID_HELP),
                                       layout.Control(IDCANCEL),
                                       layout.Control(IDC_LOG),
                                       pTable};
        QCOMPARE(forward, expected);
        QTest::keyClick(pTable, Qt::Key_Tab, Qt::ShiftModifier);
        QCOMPARE(QApplication::focusWidget(), layout.Control(IDC_LOG));
        // What a screen reader says of the status line and the graph: the
        // counts and the rates, the graph's scale.
        auto Text = [](QWidget* p, QAccessible::Text kind) {
            return QAccessible::queryAccessibleInterface(p)->text(kind);
        };
        QTRY_COMPARE(Text(pDialog->TransfersStatus(), QAccessible::Name),
                     QStringLiteral("Conexiones: 2, bajada 0 KB/s, subida 0 KB/s"));
        QCOMPARE(Text(pDialog->RateGraph(), QAccessible::Description),
                 QString::fromUtf8("M\xC3\xA1ximo 0 KB/s. Conexiones: 2, bajada 0 KB/s, "
                                   "subida 0 KB/s"));
        // The log shows eight lines at least; the splitter gives the log
        // more room and the table less, and everything stays in its box.
        auto* pLog = layout.Get<QPlainTextEdit>(IDC_LOG);
        QVERIFY(pLog->viewport()->height() >= 8 * pLog->fontMetrics().lineSpacing());
        QSplitter* pSplitter = pDialog->Splitter();
        const int nLog = pLog->height();
        const int nTable = pTable->height();
        QSplitterHandle* pHandle = pSplitter->handle(1);
        const QPoint grip = pHandle->rect().center();
        QTest::mousePress(pHandle, Qt::LeftButton, {}, grip);
        QTest::mouseMove(pHandle, grip + QPoint(0, 30));
        QTest::mouseRelease(pHandle, Qt::LeftButton, {}, grip + QPoint(0, 30));
        QCOMPARE(pLog->height(), nLog + 30);
        QCOMPARE(pTable->height(), nTable - 30);
        for (QWidget* pWidget : {static_cast<QWidget*>(pLog), static_cast<QWidget*>(pTable),
                                 static_cast<QWidget*>(pDialog->RateGraph()),
                                 static_cast<QWidget*>(pDialog->TransfersStatus())})
            QVERIFY(pDialog->rect().contains(pWidget->geometry()));
        QVERIFY(pTable->geometry().bottom() < pDialog->RateGraph()->geometry().top());
        // A speed is never cut: the widest ones without a limit fit their
        // column in the table's font, and every column stays on screen.
        const int nMargin =
            pTable->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, pTable) + 1;
        for (const char* pRate : {"1023 KB/s", "8888,8 MB/s"})
            QVERIFY2(pTable->fontMetrics().horizontalAdvance(QString::fromLatin1(pRate)) +
                             2 * nMargin <
                         pTable->columnWidth(CSessionTableModel::Speed),
                     pRate);
        QVERIFY(pTable->horizontalHeader()->length() <= pTable->viewport()->width());
        QVERIFY(pTable->columnWidth(CSessionTableModel::State) >
                pTable->columnWidth(CSessionTableModel::Speed));
    }

    void controlsAreReachableByKeyboardAndByName() {
        auto pDialog = Open();
        const CDialogLayout& layout = pDialog->Layout();
        // Tab order as the template lists it.
        QList<QWidget*> chain;
        QWidget* pWidget = layout.Control(IDC_START_STOP);
        for (int i = 0; i < 7; ++i, pWidget = pWidget->nextInFocusChain()) {
            // Tab passes over what cannot take the focus or is not shown.
            while (pWidget->focusPolicy() == Qt::NoFocus || pWidget->isHidden())
                pWidget = pWidget->nextInFocusChain();
            chain << pWidget;
        }
        const QList<QWidget*> expected{
            layout.Control(IDC_START_STOP), layout.Control(IDC_OPTIONS),
            layout.Control(ID_HELP),        layout.Control(IDCANCEL),
            layout.Control(IDC_LOG),        layout.Control(IDC_USER_LIST),
            layout.Control(IDC_DISCONNECT)};
        QCOMPARE(chain, expected);
        auto Name = [](QWidget* p) {
            return QAccessible::queryAccessibleInterface(p)->text(QAccessible::Name);
        };
        QCOMPARE(Name(layout.Control(IDC_LOG)), Utf8("Informaci\xC3\xB3n del Servidor"));
        QCOMPARE(Name(layout.Control(IDC_USER_LIST)),
                 QStringLiteral("Usuarios actualmente conectados"));
        QCOMPARE(Name(layout.Control(IDC_START_STOP)), QStringLiteral("Parar"));
        QCOMPARE(Name(layout.Control(IDC_DISCONNECT)), QStringLiteral("Desconectar"));
        // Every control sits inside the window and its text is not clipped.
        for (int nId : {IDC_START_STOP, IDC_OPTIONS, ID_HELP, IDCANCEL, IDC_DISCONNECT}) {
            auto* pButton = layout.Get<QPushButton>(nId);
            QVERIFY(pDialog->rect().contains(pButton->geometry()));
            QVERIFY2(pButton->fontMetrics().horizontalAdvance(pButton->text().remove('&')) <
                         pButton->width() - 4,
                     qPrintable(pButton->text()));
        }
        // The template's rectangles, in dialog units.
        QCOMPARE(layout.Control(IDC_LOG)->geometry(), layout.Map(12, 17, 221, 45));
        QCOMPARE(pDialog->size(), layout.Map(0, 0, 245, 145).size());
    }
};

int RunServerDlgTests(int argc, char** argv) {
    ServerDlgTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "ServerDlgTest.moc"
