// A page that lists record strings (user accounts, published folders): it
// keeps its own copy of the owner's list, shows one row per string and
// decodes a string again each time one of its cells is drawn, so the rows
// always say what the strings say.
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

    CRecordListPage(CServerHost& rHost, int nTemplateId, int nListId, std::vector<SColumn> columns,
                    const std::vector<std::string>& records);
    ~CRecordListPage() override;

    const std::vector<std::string>& Records() const { return m_records; }
    QTreeView* View() const { return m_pView; }
    // The first selected row, or -1.
    int SelectedRow() const;

    // The commands of the three buttons.
    virtual void OnAdd() = 0;
    virtual void OnEdit() = 0;
    void OnDelete();

    bool OnApply() override;

protected:
    void OnInitPage() override;
    // The text of one cell of an existing row, decoded from its string.
    virtual std::string CellText(int nRow, int nColumn) const = 0;
    // Edit and delete are available while a row is selected; the buttons
    // follow every change of the selection and of the rows.
    virtual void UpdateButtons();
    // False for an empty list, whose buttons keep their state.
    bool HasRowsToShow() const;
    virtual std::vector<std::string>& OwnerList() = 0;
    bool eventFilter(QObject* pObject, QEvent* pEvent) override;

    void AppendRecord(const std::string& strRecord);
    void ReplaceRecord(int nRow, const std::string& strRecord);

    QPushButton* m_pAdd = nullptr;
    QPushButton* m_pEdit = nullptr;
    QPushButton* m_pDelete = nullptr;
    std::vector<std::string> m_records;

private:
    class CModel;
    friend class CModel;

    int m_nListId;
    std::vector<SColumn> m_columns;
    QTreeView* m_pView = nullptr;
    CModel* m_pModel = nullptr;
};
