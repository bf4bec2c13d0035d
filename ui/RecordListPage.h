// A page that lists settings records (user accounts, published folders): the
// page of each kind keeps its own copy of the list, this one shows a row per
// record and asks the page for a cell's text each time the cell is drawn,
// so the rows always say what the records say.
#pragma once

#include "ui/PropertyPage.h"

#include <QAbstractTableModel>
#include <QStringList>

#include <string>
#include <vector>

class QPushButton;
class QTreeView;

// A cell text cut to at most nLimit bytes, on a character boundary.
std::string CutOnCharBoundary(const std::string& strText, size_t nLimit);

class CRecordListPage : public CPropertyPage {
    Q_OBJECT

public:
    struct SColumn {
        const char* pszHeader;
        int nWidth;
    };

    CRecordListPage(CServerHost& rHost, CServerSettings& rSettings, int nTemplateId, int nListId,
                    std::vector<SColumn> columns);
    ~CRecordListPage() override;

    QTreeView* View() const { return m_pView; }
    // The first selected row, or -1.
    int SelectedRow() const;

    // The commands of the three buttons.
    virtual void OnAdd() = 0;
    virtual void OnEdit() = 0;
    void OnDelete();

protected:
    void OnInitPage() override;
    // The text of one cell of an existing row, decoded from its string.
    virtual std::string CellText(int nRow, int nColumn) const = 0;
    // The page's list of records.
    virtual size_t RecordCount() const = 0;
    virtual void EraseRecord(size_t nRow) = 0;
    // Edit and delete are available while a row is selected; the buttons
    // follow every change of the selection and of the rows.
    virtual void UpdateButtons();
    // False for an empty list, whose buttons keep their state.
    bool HasRowsToShow() const;
    bool eventFilter(QObject* pObject, QEvent* pEvent) override;

    // The page's list has a new record at its end, or a record changed.
    void RecordAppended();
    void RecordReplaced();

    QPushButton* m_pAdd = nullptr;
    QPushButton* m_pEdit = nullptr;
    QPushButton* m_pDelete = nullptr;

private:
    class CModel;
    friend class CModel;

    int m_nListId;
    std::vector<SColumn> m_columns;
    QTreeView* m_pView = nullptr;
    CModel* m_pModel = nullptr;
};
