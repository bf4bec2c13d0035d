// The window's view of the connections in the extended mode: the users' box
// grows into a table of what every connection does (file, direction,
// progress, speed), with a status line and a graph of the total rate under
// it, and the log's box and the users' box share the window's height with a
// splitter between them. The table reads the host's snapshot twice a
// second; the engine does nothing for it. The classic mode keeps the
// template's list box and places.
#include "ui/ServerDlg.h"

#include "res/Templates.h"
#include "ui/DialogLayout.h"
#include "ui/ProgressDelegate.h"
#include "ui/RateGraph.h"
#include "ui/SessionTableModel.h"

#include <QGroupBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QSplitter>
#include <QStyle>
#include <QTableView>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>

namespace {
// How much larger the window grows for the table, in dialog units.
constexpr int kExtraWidth = 160;
constexpr int kExtraHeight = 130;
// The graph under the table, in dialog units; it grows to fit its texts.
constexpr int kGraphWidth = 120;
constexpr int kGraphHeight = 36;
// The widest speed the speed column is sized for: four digits of MB/s.
constexpr double kWidestRate = 8888.8 * 1024 * 1024;
// The splitter's handle between the boxes, in dialog units.
constexpr int kHandle = 4;
// The log shows at least this many lines when the table appears, and never
// fewer than kLeastLogLines however the splitter is moved.
constexpr int kDefaultLogLines = 8;
constexpr int kLeastLogLines = 3;
constexpr int kRefreshMs = 500;

// The pixel height of a log box that shows nLines lines.
int LogHeightFor(const QPlainTextEdit& log, int nLines) {
    const int nMargins =
        2 * (log.frameWidth() + static_cast<int>(log.document()->documentMargin()));
    const int nScrollBar = log.horizontalScrollBar()->sizeHint().height();
    return nLines * log.fontMetrics().lineSpacing() + nMargins + nScrollBar;
}
} // namespace

void CServerDlg::CreateTransfersView() {
    m_pModel = new CSessionTableModel(this);
    m_pTable = new QTableView(this);
    m_pTable->setModel(m_pModel);
    m_pTable->setItemDelegateForColumn(
        CSessionTableModel::Progress,
        new CProgressDelegate(CSessionTableModel::kPercentRole, m_pTable));
    m_pTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pTable->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_pTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // One Tab stop: the arrow keys move inside the table, Tab leaves it.
    m_pTable->setTabKeyNavigation(false);
    m_pTable->verticalHeader()->hide();
    m_pTable->setWordWrap(false);
    m_pTable->setAccessibleName(QStringLiteral("Usuarios actualmente conectados"));
    m_pTable->hide();
    connect(m_pTable->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { UpdateStatus(); });
    // Delete disconnects the selected rows, as the button does.
    auto* pDelete = new QShortcut(QKeySequence::Delete, m_pTable);
    pDelete->setContext(Qt::WidgetShortcut);
    connect(pDelete, &QShortcut::activated, this, [this] { DisconnectSelected(); });
    m_pStatusLine = new QLabel(this);
    m_pStatusLine->hide();
    m_pGraph = new CRateGraph(this);
    m_pGraph->hide();
    m_pViewTimer = new QTimer(this);
    m_pViewTimer->setInterval(kRefreshMs);
    connect(m_pViewTimer, &QTimer::timeout, this, [this] { RefreshTransfers(); });
    // The table takes the list box's place in the tab order.
    QWidget::setTabOrder(m_pUserList, m_pTable);
    QWidget::setTabOrder(m_pTable, m_pDisconnect);

    for (QWidget* pWidget : m_pLayout->Controls()) {
        auto* pGroup = qobject_cast<QGroupBox*>(pWidget);
        if (pGroup && pGroup->title() == QStringLiteral("Usuarios actualmente conectados"))
            m_pUsersBox = pGroup;
        else if (pGroup)
            m_pLogBox = pGroup;
    }
    // Beneath every control, as the boxes it holds in the extended mode.
    m_pSplitter = new QSplitter(Qt::Vertical, this);
    m_pSplitter->setChildrenCollapsible(false);
    m_pSplitter->setHandleWidth(m_pLayout->Map(0, 0, 0, kHandle).height());
    m_pSplitter->setAccessibleName(QStringLiteral("Divisor entre el registro y los usuarios"));
    m_pSplitter->hide();
    m_pSplitter->lower();
    connect(m_pSplitter, &QSplitter::splitterMoved, this, [this] { PlaceInPanes(); });
}

void CServerDlg::ApplyViewMode() {
    const bool bTable = Settings().m_extended.m_bEnabled;
    if (bTable == m_bTableShown && !m_templateRects.isEmpty())
        return;
    if (m_templateRects.isEmpty()) {
        for (QWidget* pWidget : m_pLayout->Controls())
            m_templateRects.append(pWidget->geometry());
        m_templateSize = size();
    }
    m_bTableShown = bTable;
    PlaceControls(bTable);
    m_pUserList->setVisible(!bTable);
    m_pTable->setVisible(bTable);
    m_pStatusLine->setVisible(bTable);
    m_pGraph->setVisible(bTable);
    if (bTable) {
        RefreshTransfers();
        m_pViewTimer->start();
    } else {
        m_pViewTimer->stop();
    }
    UpdateStatus();
}

void CServerDlg::PlaceControls(bool bTable) {
    const QSize extra =
        bTable ? m_pLayout->Map(0, 0, kExtraWidth, kExtraHeight).size() : QSize(0, 0);
    const QList<QWidget*>& controls = m_pLayout->Controls();
    for (int i = 0; i < controls.size(); ++i) {
        QWidget* pWidget = controls[i];
        // In the extended mode the boxes and what they hold follow the
        // splitter; the buttons at the foot of the window move down.
        const bool bInBox = pWidget == m_pLog || pWidget == m_pUserList ||
                            pWidget == m_pDisconnect || qobject_cast<QGroupBox*>(pWidget);
        if (!bTable || !bInBox)
            pWidget->setGeometry(m_templateRects[i].translated(0, extra.height()));
    }
    setFixedSize(m_templateSize + extra);
    if (bTable) {
        PlaceInSplitter(extra);
        return;
    }
    // The boxes come back to the window, beneath the controls again.
    m_pSplitter->hide();
    for (QGroupBox* pBox : {m_pUsersBox, m_pLogBox}) {
        if (pBox->parentWidget() != this)
            pBox->setParent(this);
        pBox->setGeometry(m_templateRects[controls.indexOf(pBox)]);
        pBox->show();
        pBox->lower();
    }
    m_pSplitter->lower();
}

void CServerDlg::PlaceInSplitter(const QSize& extra) {
    const QList<QWidget*>& controls = m_pLayout->Controls();
    const QRect logBox = m_templateRects[controls.indexOf(m_pLogBox)];
    const QRect usersBox = m_templateRects[controls.indexOf(m_pUsersBox)];
    QRect area = logBox.united(usersBox);
    area.setSize(area.size() + extra);
    m_pSplitter->setGeometry(area);
    m_pSplitter->addWidget(m_pLogBox);
    m_pSplitter->addWidget(m_pUsersBox);
    // The log's box keeps its lines, the users' box room for a header, two
    // rows and the graph.
    const QRect logInBox = m_templateRects[controls.indexOf(m_pLog)];
    const int nLogFrame = logBox.height() - logInBox.height();
    m_pLogBox->setMinimumHeight(nLogFrame + LogHeightFor(*m_pLog, kLeastLogLines));
    const int nGraph =
        std::max(m_pGraph->MinimumHeight(), m_pLayout->Map(0, 0, 0, kGraphHeight).height());
    const int nRow = m_pTable->fontMetrics().height() + 8;
    m_pUsersBox->setMinimumHeight(m_pLayout->Map(0, 0, 0, 19).height() + 3 * nRow + nGraph);
    const int nLog = std::max(logBox.height(), nLogFrame + LogHeightFor(*m_pLog, kDefaultLogLines));
    m_pSplitter->setSizes({nLog, area.height() - m_pSplitter->handleWidth() - nLog});
    m_pSplitter->show();
    m_pSplitter->lower();
    PlaceInPanes();
    SizeColumns();
}

void CServerDlg::PlaceInPanes() {
    if (!m_bTableShown)
        return;
    const QPoint origin = m_pSplitter->pos();
    // The template's margins inside a box: 5 dialog units, 10 under the title.
    const QMargins margins(m_pLayout->Map(0, 0, 5, 0).width(), m_pLayout->Map(0, 0, 0, 10).height(),
                           m_pLayout->Map(0, 0, 5, 0).width(), m_pLayout->Map(0, 0, 0, 5).height());
    const QRect logBox = m_pLogBox->geometry().translated(origin);
    m_pLog->setGeometry(logBox.marginsRemoved(margins));
    const QRect usersBox = m_pUsersBox->geometry().translated(origin).marginsRemoved(margins);
    const QSize button = m_pLayout->Map(0, 0, 50, 14).size();
    m_pDisconnect->setGeometry(
        QRect(QPoint(usersBox.right() - button.width() + 1, usersBox.top()), button));
    const int nGap = m_pLayout->Map(0, 0, 5, 4).width();
    const int nVGap = m_pLayout->Map(0, 0, 5, 4).height();
    const QSize graph(
        m_pLayout->Map(0, 0, kGraphWidth, 0).width(),
        std::max(m_pGraph->MinimumHeight(), m_pLayout->Map(0, 0, 0, kGraphHeight).height()));
    QRect table = usersBox;
    table.setRight(m_pDisconnect->geometry().left() - nGap - 1);
    table.setBottom(usersBox.bottom() - graph.height() - nVGap);
    m_pTable->setGeometry(table);
    m_pGraph->setGeometry(
        QRect(QPoint(table.right() - graph.width() + 1, table.bottom() + nVGap + 1), graph));
    m_pStatusLine->setGeometry(QRect(QPoint(table.left(), table.bottom() + nVGap + 1),
                                     QSize(table.width() - graph.width() - nGap, graph.height())));
}

void CServerDlg::SizeColumns() {
    // Fixed widths for the short columns; the state (the file) takes the rest.
    const struct {
        int nColumn;
        int nWidth;
    } kWidths[] = {{CSessionTableModel::User, 36},
                   {CSessionTableModel::Address, 46},
                   {CSessionTableModel::Connected, 40},
                   {CSessionTableModel::Progress, 96},
                   {CSessionTableModel::Speed, 40}};
    QHeaderView* pHeader = m_pTable->horizontalHeader();
    pHeader->setStretchLastSection(false);
    for (const auto& column : kWidths) {
        pHeader->setSectionResizeMode(column.nColumn, QHeaderView::Fixed);
        m_pTable->setColumnWidth(column.nColumn, m_pLayout->Map(0, 0, column.nWidth, 0).width());
    }
    // A speed never loses its end: the speed column holds the widest rate
    // without a limit ("8888,8 MB/s") in the table's own font, whatever the
    // dialog units give; a speed with its limit shows whole under the
    // pointer and to a screen reader.
    const int nTextMargin =
        m_pTable->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, m_pTable) + 1;
    const int nRate =
        m_pTable->fontMetrics().horizontalAdvance(CSessionTableModel::RateForView(kWidestRate)) +
        2 * nTextMargin + 1;
    if (m_pTable->columnWidth(CSessionTableModel::Speed) < nRate)
        m_pTable->setColumnWidth(CSessionTableModel::Speed, nRate);
    pHeader->setSectionResizeMode(CSessionTableModel::State, QHeaderView::Stretch);
    m_pTable->verticalHeader()->setDefaultSectionSize(m_pTable->fontMetrics().height() + 8);
}

void CServerDlg::RefreshTransfers() {
    m_pModel->Update(m_host.SessionStatuses(), std::chrono::steady_clock::now());
    m_pStatusLine->setText(m_pModel->StatusLine());
    // A screen reader says the counts and the rates, not a fixed name; it
    // is told of a change only when there is one.
    const QString strSpoken = m_pModel->SpokenStatus();
    if (m_pStatusLine->accessibleName() != strSpoken)
        m_pStatusLine->setAccessibleName(strSpoken);
    m_pGraph->SetHistory(m_pModel->History(),
                         CSessionTableModel::RateForView(m_pModel->HighestRate()), strSpoken);
}
