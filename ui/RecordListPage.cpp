#include "ui/RecordListPage.h"

#include "res/Templates.h"
#include "ui/DialogLayout.h"

#include <QEvent>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeView>

std::string CutOnCharBoundary(const std::string& strText, size_t nLimit) {
    if (strText.size() <= nLimit)
        return strText;
    size_t nEnd = nLimit;
    // Back up over continuation bytes so that no character is cut in half.
    while (nEnd > 0 && (static_cast<unsigned char>(strText[nEnd]) & 0xC0) == 0x80)
        --nEnd;
    return strText.substr(0, nEnd);
}

// The list's rows are the page's records; every cell text is asked of the
// page when the view draws it, and only answered: nothing changes meanwhile.
class CRecordListPage::CModel : public QAbstractTableModel {
public:
    explicit CModel(CRecordListPage& rPage) : QAbstractTableModel(&rPage), m_rPage(rPage) {}

    int rowCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : m_nRows;
    }
    int columnCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : static_cast<int>(m_rPage.m_columns.size());
    }
    QVariant data(const QModelIndex& index, int nRole) const override {
        if ((nRole != Qt::DisplayRole && nRole != Qt::AccessibleTextRole) || index.row() < 0 ||
            index.row() >= static_cast<int>(m_rPage.RecordCount()))
            return QVariant();
        // A cell shows at most 255 bytes, cut on a character boundary.
        return QString::fromStdString(
            CutOnCharBoundary(m_rPage.CellText(index.row(), index.column()), kCellLimit));
    }
    QVariant headerData(int nSection, Qt::Orientation orientation, int nRole) const override {
        if (orientation != Qt::Horizontal || nRole != Qt::DisplayRole || nSection < 0 ||
            nSection >= static_cast<int>(m_rPage.m_columns.size()))
            return QVariant();
        return QString::fromUtf8(m_rPage.m_columns[static_cast<size_t>(nSection)].pszHeader);
    }

    void InsertRow(int nRow) {
        beginInsertRows(QModelIndex(), nRow, nRow);
        ++m_nRows;
        endInsertRows();
    }
    void RemoveRow(int nRow) {
        beginRemoveRows(QModelIndex(), nRow, nRow);
        --m_nRows;
        endRemoveRows();
    }
    void RedrawAll() {
        if (m_nRows > 0)
            emit dataChanged(index(0, 0), index(m_nRows - 1, columnCount(QModelIndex()) - 1));
    }

private:
    static constexpr size_t kCellLimit = 255;
    CRecordListPage& m_rPage;
    int m_nRows = 0;
};

CRecordListPage::CRecordListPage(CServerHost& rHost, CServerSettings& rSettings, int nTemplateId,
                                 int nListId, std::vector<SColumn> columns)
    : CPropertyPage(rHost, rSettings, nTemplateId), m_nListId(nListId),
      m_columns(std::move(columns)) {}

CRecordListPage::~CRecordListPage() = default;

void CRecordListPage::OnInitPage() {
    m_pView = m_pLayout->Get<QTreeView>(m_nListId);
    m_pAdd = m_pLayout->Get<QPushButton>(IDC_ADD);
    m_pEdit = m_pLayout->Get<QPushButton>(IDC_EDIT);
    m_pDelete = m_pLayout->Get<QPushButton>(IDC_DELETE);
    connect(m_pAdd, &QPushButton::clicked, this, [this] { OnAdd(); });
    connect(m_pEdit, &QPushButton::clicked, this, [this] { OnEdit(); });
    connect(m_pDelete, &QPushButton::clicked, this, [this] { OnDelete(); });
    // A double click anywhere on the list edits the selected row.
    m_pView->viewport()->installEventFilter(this);

    m_pModel = new CModel(*this);
    m_pView->setModel(m_pModel);
    for (size_t i = 0; i < m_columns.size(); ++i)
        m_pView->header()->resizeSection(static_cast<int>(i), m_columns[i].nWidth);
    for (size_t i = 0; i < RecordCount(); ++i)
        m_pModel->InsertRow(static_cast<int>(i));
    connect(m_pView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { UpdateButtons(); });
    UpdateButtons();
}

bool CRecordListPage::HasRowsToShow() const {
    // Deliberately, as the classic list view sets the buttons only
    // while it draws a row: an empty list leaves them as they were.
    return RecordCount() != 0;
}

void CRecordListPage::UpdateButtons() {
    if (!HasRowsToShow())
        return;
    const bool bSelected = SelectedRow() >= 0;
    m_pEdit->setEnabled(bSelected);
    m_pDelete->setEnabled(bSelected);
}

bool CRecordListPage::eventFilter(QObject* pObject, QEvent* pEvent) {
    if (m_pView && pObject == m_pView->viewport() &&
        pEvent->type() == QEvent::MouseButtonDblClick) {
        OnEdit();
        return true;
    }
    return CPropertyPage::eventFilter(pObject, pEvent);
}

int CRecordListPage::SelectedRow() const {
    if (!m_pView || !m_pView->selectionModel())
        return -1;
    const QModelIndexList rows = m_pView->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void CRecordListPage::RecordAppended() {
    m_pModel->InsertRow(static_cast<int>(RecordCount()) - 1);
    SetModified();
}

void CRecordListPage::RecordReplaced() {
    m_pModel->RedrawAll();
    m_pView->viewport()->update();
    UpdateButtons();
    SetModified();
}

void CRecordListPage::OnDelete() {
    const int nRow = SelectedRow();
    if (nRow >= 0 && nRow < static_cast<int>(RecordCount())) {
        EraseRecord(static_cast<size_t>(nRow));
        m_pModel->RemoveRow(nRow);
        // No row stays selected after a deletion.
        m_pView->selectionModel()->clearSelection();
        UpdateButtons();
    }
    SetModified();
}
