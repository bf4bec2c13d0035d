#include "ui/ServerDlg.h"

#include "config/PasswordHash.h"
#include "config/SettingsStore.h"
#include "res/Icons.h"
#include "res/Strings.h"
#include "res/Templates.h"
#include "ui/AboutDlg.h"
#include "ui/DialogLayout.h"
#include "ui/HelpWindow.h"
#include "ui/OptionsSheet.h"
#include "ui/SessionTableModel.h"
#include "ui/TrayIcon.h"

#include <filesystem>

#include <QContextMenuEvent>
#include <QItemSelectionModel>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTextCursor>
#include <QTimer>

QString LogTextForView(const std::string& strText, bool& rAfterCR) {
    std::string strView;
    strView.reserve(strText.size());
    for (char ch : strText) {
        if (ch == '\n') {
            if (!rAfterCR)
                strView += '\n';
            rAfterCR = false;
        } else if (ch == '\r') {
            strView += '\n';
            rAfterCR = true;
        } else {
            strView += ch;
            rAfterCR = false;
        }
    }
    return QString::fromUtf8(strView);
}

namespace {
QString FromUtf8(const std::string& strText) {
    return QString::fromUtf8(strText.data(), static_cast<qsizetype>(strText.size()));
}
} // namespace

CServerDlg::CServerDlg(QWidget* pParent) : QDialog(pParent), m_host(*this) {
    // A window of its own with a task-bar button, a title bar, a system menu
    // and a minimise button; its size is fixed, so it has no maximise.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    m_host.Certificate().SetFolder(CSettingsStore::OwnFilesFolder());
    m_appIcon = LoadIconResource(IDR_MAINFRAME);
    m_pLayout = std::make_unique<CDialogLayout>(*this, IDD_SERVER);
    m_pDisconnect = m_pLayout->Get<QPushButton>(IDC_DISCONNECT);
    m_pUserList = m_pLayout->Get<QListWidget>(IDC_USER_LIST);
    m_pLog = m_pLayout->Get<QPlainTextEdit>(IDC_LOG);
    m_pStartStop = m_pLayout->Get<QPushButton>(IDC_START_STOP);

    for (int nCommand : {IDC_START_STOP, IDC_OPTIONS, ID_HELP, IDCANCEL, IDC_DISCONNECT}) {
        connect(m_pLayout->Get<QPushButton>(nCommand), &QPushButton::clicked, this,
                [this, nCommand] { OnCommand(nCommand); });
    }
    connect(m_pUserList, &QListWidget::itemSelectionChanged, this, [this] {
        if (!m_bChangingRows)
            UpdateStatus();
    });
    CreateTransfersView();
    OnInitDialog();
    ApplyViewMode();
}

CServerDlg::~CServerDlg() {
    OnDestroy();
}

void CServerDlg::OnInitDialog() {
    setWindowIcon(m_appIcon);
    CServerSettings settings;
    std::vector<std::string> defaulted;
    CSettingsStore::Load(settings, &defaulted);
    m_host.TakeSettings(std::move(settings));
    // Values that could not be used are named once.
    if (!defaulted.empty()) {
        std::string strNames;
        for (const std::string& strName : defaulted)
            strNames += (strNames.empty() ? "" : ", ") + strName;
        m_host.Log(FormatString(LoadString(IDS_SETTINGS_DEFAULTED),
                                CSettingsStore::FileName().c_str(), strNames.c_str()),
                   0);
    }
    m_busyIcon = LoadIconResource(IDI_BUSY);
    m_idleIcon = LoadIconResource(IDI_IDLE);
    m_pTray = std::make_unique<CTrayIcon>(
        this, FromUtf8(FormatString(LoadString(IDS_USERS_CONNECTED), 0)), m_idleIcon,
        [this](int nCommand) { OnCommand(nCommand); });
    m_pDisconnect->setEnabled(false);
    m_host.StartServer();
    m_hideTimer.start(500, this);
    m_pStartStop->setFocus();
}

void CServerDlg::OnDestroy() {
    if (m_bDestroyed)
        return;
    m_bDestroyed = true;
    m_hideTimer.stop();
    m_host.StopServer();
    // At exit the loop serves no one: the plain passwords are hashed on
    // this thread.
    CServerSettings settings = Settings();
    if (settings.m_logins.m_bHashPasswords)
        CPasswordHash::HashPlainPasswords(settings.m_users);
    CSettingsStore::Save(settings);
    m_pTray.reset();
    m_pHelp.reset();
}

void CServerDlg::done(int nResult) {
    // The window ends only as cancel: the "&Cerrar" button, Escape, the close
    // box or the tray menu's "&Cerrar". Ending it closes the program.
    QDialog::done(nResult);
    OnDestroy();
}

void CServerDlg::OnCommand(int nCommand) {
    switch (nCommand) {
    case IDC_START_STOP:
        if (m_host.IsRunning())
            m_host.StopServer();
        else
            m_host.StartServer();
        break;
    case IDC_OPTIONS:
    case ID_TRAY_OPTIONS:
        OnOptions();
        break;
    case ID_HELP:
        ShowHelp();
        break;
    case IDCANCEL:
    case ID_TRAY_CLOSE:
        reject();
        break;
    case IDC_DISCONNECT:
        DisconnectSelected();
        break;
    case ID_TRAY_OPEN:
        RestoreWindow();
        break;
    default:
        break;
    }
}

void CServerDlg::OnSysCommand(int nCommand) {
    if ((nCommand & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about(this);
        about.exec();
    }
}

void CServerDlg::OnOptions() {
    if (m_bDestroyed)
        return;
    if (m_pSheet) {
        // Already open (the tray menu stays usable): bring it to the front.
        m_pSheet->raise();
        m_pSheet->activateWindow();
        return;
    }
    {
        std::unique_ptr<COptionsSheet> pSheet = MakeOptionsSheet();
        m_pSheet = pSheet.get();
        pSheet->exec();
        m_pSheet = nullptr;
    }
    // Saved however the sheet was closed. With HashPasswords on, what OK
    // and Apply put in force holds no plain password: the sheet had them
    // hashed by the server's hashing threads (never on this thread, which
    // serves every client). A password put in place by other means (a
    // reload) is hashed at exit.
    CSettingsStore::Save(Settings());
}

std::unique_ptr<COptionsSheet> CServerDlg::MakeOptionsSheet() {
    auto pSheet = std::make_unique<COptionsSheet>(
        *this, m_host, [this](const QString& strSection) { ShowHelp(strSection); });
    connect(this, &CServerDlg::BansChanged, pSheet.get(), &COptionsSheet::OnBansChanged);
    // The window shows the mode in force as soon as it is applied.
    connect(pSheet.get(), &COptionsSheet::applied, this, &CServerDlg::ApplyViewMode);
    return pSheet;
}

void CServerDlg::ShowHelp(const QString& strSection) {
    if (!m_pHelp)
        m_pHelp = std::make_unique<CHelpWindow>();
    m_pHelp->ShowSection(strSection);
}

void CServerDlg::contextMenuEvent(QContextMenuEvent* pEvent) {
    // Stands in for the system menu, which X11 window managers keep to
    // themselves.
    const char* pszAbout = LoadString(IDS_ABOUTBOX);
    if (*pszAbout == '\0')
        return;
    QMenu menu(this);
    QAction* pAbout = menu.addAction(QString::fromUtf8(pszAbout));
    if (menu.exec(pEvent->globalPos()) == pAbout)
        OnSysCommand(IDM_ABOUTBOX);
}

// Hiding into the notification area: only where there is one, since nothing
// else could bring a hidden window back.
bool CServerDlg::MayHide() const {
    return m_host.Settings().HidesInTray() && m_pTray && m_pTray->IsEnabled();
}

void CServerDlg::HideIntoTray() {
    hide();
    m_bHidden = true;
}

void CServerDlg::RestoreWindow() {
    if (!m_bHidden)
        return;
    showNormal();
    raise();
    activateWindow();
    m_bHidden = false;
}

void CServerDlg::changeEvent(QEvent* pEvent) {
    QDialog::changeEvent(pEvent);
    if (pEvent->type() != QEvent::WindowStateChange || !isMinimized() || m_bHidden || !MayHide())
        return;
    // Hidden once the minimise has run its course: a window shown minimised
    // is made visible after its state changes.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (isMinimized() && !m_bHidden && MayHide())
                HideIntoTray();
        },
        Qt::QueuedConnection);
}

void CServerDlg::timerEvent(QTimerEvent* pEvent) {
    if (pEvent->timerId() != m_hideTimer.timerId()) {
        QDialog::timerEvent(pEvent);
        return;
    }
    if (m_bHidden || !MayHide())
        return;
    HideIntoTray();
    m_hideTimer.stop();
}

// Log view. The host keeps the text; the view is brought up to date once per
// pass of the event loop, appending what came since, or taking the whole
// text when the host has cut it.

void CServerDlg::ScheduleLogFlush() {
    if (m_bFlushQueued)
        return;
    m_bFlushQueued = true;
    QTimer::singleShot(0, this, &CServerDlg::FlushLog);
}

// Host events.

void CServerDlg::OnLogAppended(const std::string& strText) {
    m_strPendingLog += LogTextForView(strText, m_bLogAfterCR);
    m_bScrollPending = true;
    ScheduleLogFlush();
}

void CServerDlg::OnLogCut(const std::string& strKept) {
    m_bLogAfterCR = false;
    m_strPendingLog = LogTextForView(strKept, m_bLogAfterCR);
    m_bReplacePending = true;
    m_bScrollPending = true;
    ScheduleLogFlush();
}

void CServerDlg::OnRunningChanged(bool bRunning) {
    m_pStartStop->setText(FromUtf8(LoadString(bRunning ? IDS_STOP : IDS_START)));
}

void CServerDlg::FlushLog() {
    m_bFlushQueued = false;
    if (m_bReplacePending) {
        m_pLog->setPlainText(m_strPendingLog);
    } else if (!m_strPendingLog.isEmpty()) {
        QTextCursor cursor(m_pLog->document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(m_strPendingLog);
    }
    m_strPendingLog.clear();
    m_bReplacePending = false;
    if (m_bScrollPending) {
        m_bScrollPending = false;
        QScrollBar* pBar = m_pLog->verticalScrollBar();
        pBar->setValue(pBar->maximum());
    }
}

// Connected users: one row per session, carrying the session's identity.

void CServerDlg::OnSessionAdmitted(SessionId nId, const std::string& strLabel) {
    m_bChangingRows = true;
    auto* pItem = new QListWidgetItem(FromUtf8(strLabel));
    pItem->setData(Qt::UserRole, QVariant::fromValue<quint64>(nId));
    m_pUserList->addItem(pItem);
    m_bChangingRows = false;
    UpdateStatus();
}

void CServerDlg::OnSessionRelabelled(SessionId nId, const std::string& strLabel) {
    // The row is replaced at its place, as a list box does it; like any
    // deleted row, it leaves no row selected.
    const int nRow = RowOf(nId);
    if (nRow < 0)
        return;
    DeleteRow(nRow);
    m_bChangingRows = true;
    auto* pItem = new QListWidgetItem(FromUtf8(strLabel));
    pItem->setData(Qt::UserRole, QVariant::fromValue<quint64>(nId));
    m_pUserList->insertItem(nRow, pItem);
    m_bChangingRows = false;
}

void CServerDlg::OnSessionRemoved(SessionId nId) {
    const int nRow = RowOf(nId);
    if (nRow < 0)
        return;
    DeleteRow(nRow);
    UpdateStatus();
}

int CServerDlg::RowOf(SessionId nId) const {
    for (int nRow = 0; nRow < m_pUserList->count(); ++nRow)
        if (m_pUserList->item(nRow)->data(Qt::UserRole).value<quint64>() == nId)
            return nRow;
    return -1;
}

void CServerDlg::DeleteRow(int nRow) {
    m_bChangingRows = true;
    delete m_pUserList->takeItem(nRow);
    // A deleted row leaves no row selected (Qt would select a neighbour).
    m_pUserList->clearSelection();
    m_pUserList->setCurrentRow(-1, QItemSelectionModel::Clear);
    m_bChangingRows = false;
}

int CServerDlg::SelectedRow() const {
    if (m_bTableShown) {
        const QModelIndexList rows = m_pTable->selectionModel()->selectedRows();
        return rows.isEmpty() ? -1 : rows.first().row();
    }
    const QList<QListWidgetItem*> selected = m_pUserList->selectedItems();
    return selected.isEmpty() ? -1 : m_pUserList->row(selected.first());
}

void CServerDlg::DisconnectSelected() {
    if (m_bTableShown) {
        // Every selected row; the identities first, as the rows go with them.
        std::vector<SessionId> selected;
        for (const QModelIndex& row : m_pTable->selectionModel()->selectedRows())
            selected.push_back(m_pModel->SessionAt(row.row()));
        for (SessionId nId : selected)
            m_host.RemoveSession(nId);
        RefreshTransfers();
        return;
    }
    const int nRow = SelectedRow();
    if (nRow >= 0)
        m_host.RemoveSession(m_pUserList->item(nRow)->data(Qt::UserRole).value<quint64>());
}

void CServerDlg::UpdateStatus() {
    m_pDisconnect->setEnabled(SelectedRow() >= 0);
    const int nRows = m_pUserList->count();
    if (m_pTray)
        m_pTray->Update(FromUtf8(FormatString(LoadString(IDS_USERS_CONNECTED), nRows)),
                        nRows > 0 ? m_busyIcon : m_idleIcon);
}
