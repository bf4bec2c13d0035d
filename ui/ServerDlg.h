// The administration window: it owns the server host and shows its state
// (activity log, connected users, start/stop caption, notification-area
// icon), and it is the program: closing it stops the server, saves the
// settings and ends the process.
#pragma once

#include "server/HostViews.h"
#include "server/ServerHost.h"

#include <QBasicTimer>
#include <QDialog>
#include <QIcon>

#include <memory>
#include <string>

class CDialogLayout;
class CHelpWindow;
class COptionsSheet;
class CTrayIcon;
class CRateGraph;
class CSessionTableModel;
class QGroupBox;
class QLabel;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QSplitter;
class QTableView;
class QTimer;

// The log text as the log box shows it: CR LF, a lone CR and a lone LF each
// become one line break, bytes that are not UTF-8 become replacement
// characters. rAfterCR carries a CR at the end of one text over to an LF at
// the start of the next, so that the pair still makes one break.
QString LogTextForView(const std::string& strText, bool& rAfterCR);

class CServerDlg : public QDialog, public CHostViews {
    Q_OBJECT

public:
    explicit CServerDlg(QWidget* pParent = nullptr);
    ~CServerDlg() override;

    CServerHost& Host() { return m_host; }
    const CServerSettings& Settings() const { return m_host.Settings(); }
    int StartServer() { return m_host.StartServer(); }
    int StopServer() { return m_host.StopServer(); }

    // The options sheet; whatever happens in it, the settings are saved after.
    void OnOptions();
    // Opens the help window, at a section when one is named.
    void ShowHelp(const QString& strSection = QString());
    CHelpWindow* HelpWindow() const { return m_pHelp.get(); }

    QDialog* OptionsSheet() const { return m_pSheet; }
    // A new options sheet on this window's server, told of its bans.
    std::unique_ptr<COptionsSheet> MakeOptionsSheet();
    bool IsHiddenInTray() const { return m_bHidden; }
    bool IsHideTimerActive() const { return m_hideTimer.isActive(); }
    CTrayIcon* TrayIcon() const { return m_pTray.get(); }
    const CDialogLayout& Layout() const { return *m_pLayout; }
    // Shows the pending log texts now instead of at the next pass of the
    // event loop.
    void FlushLog();

    // Host events.
    void OnLogAppended(const std::string& strText) override;
    void OnLogCut(const std::string& strKept) override;
    void OnSessionAdmitted(SessionId nId, const std::string& strLabel) override;
    void OnSessionRelabelled(SessionId nId, const std::string& strLabel) override;
    void OnSessionRemoved(SessionId nId) override;
    void OnRunningChanged(bool bRunning) override;
    void OnBansChanged() override { emit BansChanged(); }

    // The first selected row of the connected users, or -1.
    int SelectedRow() const;
    // The extended mode's view of the connections (ServerDlgTransfers.cpp):
    // a table of what each one does, a status line and a graph of the
    // total rate, refreshed twice a second from the host's snapshot, under
    // the log with a splitter between them; the classic mode keeps its list
    // box. Follows the settings' mode (the options sheet calls it whenever
    // it applies).
    void ApplyViewMode();
    bool IsTableShown() const { return m_bTableShown; }
    void RefreshTransfers();
    QTableView* TransfersTable() const { return m_pTable; }
    CSessionTableModel* TransfersModel() const { return m_pModel; }
    QLabel* TransfersStatus() const { return m_pStatusLine; }
    CRateGraph* RateGraph() const { return m_pGraph; }
    QSplitter* Splitter() const { return m_pSplitter; }
    // The disconnect button's state, and the tray's tip and icon, from the
    // rows and the selection.
    void UpdateStatus();

    // The window's commands, as the buttons, menus and icon send them.
    void OnCommand(int nCommand);
    void OnSysCommand(int nCommand);

signals:
    // The banned addresses changed (a ban, its end, an unban).
    void BansChanged();

protected:
    void done(int nResult) override;
    void changeEvent(QEvent* pEvent) override;
    void timerEvent(QTimerEvent* pEvent) override;
    void contextMenuEvent(QContextMenuEvent* pEvent) override;

private:
    void OnInitDialog();
    void OnDestroy();
    void RestoreWindow();
    void HideIntoTray();
    bool MayHide() const;
    void ScheduleLogFlush();
    int RowOf(SessionId nId) const;
    void DeleteRow(int nRow);
    // "&Desconectar": ends the session of the selected row(s), if any.
    void DisconnectSelected();
    void CreateTransfersView();
    // Places the controls for the classic list (the template's places) or
    // for the table (the window larger, the log's box and the users' box
    // the two panes of a splitter).
    void PlaceControls(bool bTable);
    void PlaceInSplitter(const QSize& extra);
    // The log, the table and what goes with them, inside their boxes
    // wherever the splitter has put them.
    void PlaceInPanes();
    void SizeColumns();

    CServerHost m_host;
    std::unique_ptr<CDialogLayout> m_pLayout;
    QPushButton* m_pDisconnect = nullptr;
    QListWidget* m_pUserList = nullptr;
    QPlainTextEdit* m_pLog = nullptr;
    QPushButton* m_pStartStop = nullptr;
    QTableView* m_pTable = nullptr;
    CSessionTableModel* m_pModel = nullptr;
    QLabel* m_pStatusLine = nullptr;
    CRateGraph* m_pGraph = nullptr;
    QTimer* m_pViewTimer = nullptr;
    QSplitter* m_pSplitter = nullptr;
    QGroupBox* m_pLogBox = nullptr;
    QGroupBox* m_pUsersBox = nullptr;
    bool m_bTableShown = false;
    // The template's own geometry of every control, and the window's size.
    QList<QRect> m_templateRects;
    QSize m_templateSize;
    QIcon m_appIcon;
    QIcon m_busyIcon;
    QIcon m_idleIcon;
    bool m_bHidden = false;
    std::unique_ptr<CTrayIcon> m_pTray;
    std::unique_ptr<CHelpWindow> m_pHelp;
    QBasicTimer m_hideTimer;
    // The options sheet while it is open.
    QDialog* m_pSheet = nullptr;
    bool m_bDestroyed = false;
    // Rows are changed by the host; only the administrator's own selection
    // changes report to it.
    bool m_bChangingRows = false;

    // Log texts not yet shown, shown together once per pass of the event loop.
    QString m_strPendingLog;
    bool m_bReplacePending = false;
    bool m_bFlushQueued = false;
    bool m_bScrollPending = false;
    bool m_bLogAfterCR = false;
};
