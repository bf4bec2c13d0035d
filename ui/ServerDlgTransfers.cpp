// The window's view of the connections in the extended mode: the users' box
// grows into a table of what every connection does (file, direction,
// progress, speed), with a status line and a graph of the total rate under
// it. The table reads the host's snapshot twice a second; the engine does
// nothing for it. The classic mode keeps the template's list box and places.
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
#include <QShortcut>
#include <QTableView>
#include <QTimer>

namespace {
// How much larger the window grows for the table, in dialog units.
constexpr int kExtraWidth = 160;
constexpr int kExtraHeight = 100;
// The status line and the graph under the table.
constexpr int kGraphWidth = 90;
constexpr int kGraphHeight = 24;
constexpr int kRefreshMs = 500;
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
    m_pStatusLine->setAccessibleName(QStringLiteral("Estado del servidor"));
    m_pStatusLine->hide();
    m_pGraph = new CRateGraph(this);
    m_pGraph->hide();
    m_pViewTimer = new QTimer(this);
    m_pViewTimer->setInterval(kRefreshMs);
    connect(m_pViewTimer, &QTimer::timeout, this, [this] { RefreshTransfers(); });
    // The table takes the list box's place in the tab order.
    QWidget::setTabOrder(m_pUserList, m_pTable);
    QWidget::setTabOrder(m_pTable, m_pDisconnect);
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
        QRect rect = m_templateRects[i];
        auto* pGroup = qobject_cast<QGroupBox*>(pWidget);
        const bool bUsersBox =
            pGroup && pGroup->title() == QStringLiteral("Usuarios actualmente conectados");
        if (pWidget == m_pLog || (pGroup && !bUsersBox)) {
            rect.setWidth(rect.width() + extra.width());
        } else if (bUsersBox) {
            rect.setSize(rect.size() + extra);
        } else if (pWidget == m_pDisconnect) {
            rect.translate(extra.width(), 0);
        } else if (pWidget != m_pUserList) {
            // The buttons at the foot of the window.
            rect.translate(0, extra.height());
        }
        pWidget->setGeometry(rect);
    }
    setFixedSize(m_templateSize + extra);
    if (!bTable)
        return;
    const QRect list = m_templateRects[controls.indexOf(m_pUserList)];
    const QSize graph = m_pLayout->Map(0, 0, kGraphWidth, kGraphHeight).size();
    const int nGap = m_pLayout->Map(0, 0, 4, 4).height();
    QRect table(list.topLeft(), list.size() + extra - QSize(0, graph.height() + nGap));
    m_pTable->setGeometry(table);
    m_pGraph->setGeometry(
        QRect(QPoint(table.right() - graph.width() + 1, table.bottom() + nGap), graph));
    m_pStatusLine->setGeometry(QRect(QPoint(table.left(), table.bottom() + nGap),
                                     QSize(table.width() - graph.width() - nGap, graph.height())));
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
    pHeader->setSectionResizeMode(CSessionTableModel::State, QHeaderView::Stretch);
    m_pTable->verticalHeader()->setDefaultSectionSize(m_pTable->fontMetrics().height() + 8);
}

void CServerDlg::RefreshTransfers() {
    m_pModel->Update(m_host.SessionStatuses(), std::chrono::steady_clock::now());
    m_pStatusLine->setText(m_pModel->StatusLine());
    m_pGraph->SetHistory(m_pModel->History(), m_pModel->StatusLine());
}
