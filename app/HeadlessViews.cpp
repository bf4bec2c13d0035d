#include "app/HeadlessViews.h"

#include "app/OutputQueue.h"

void CHeadlessViews::AppendLog(const std::string& strText) {
    if (!m_pOutput)
        return;
    m_pOutput->Write(strText);
}

int CHeadlessViews::AddRow(const std::string& strText) {
    m_rows.push_back(Row{strText, nullptr});
    return static_cast<int>(m_rows.size()) - 1;
}

void CHeadlessViews::InsertRow(int nRow, const std::string& strText) {
    if (nRow < 0 || nRow > RowCount())
        return;
    m_rows.insert(m_rows.begin() + nRow, Row{strText, nullptr});
}

void CHeadlessViews::DeleteRow(int nRow) {
    if (nRow < 0 || nRow >= RowCount())
        return;
    m_rows.erase(m_rows.begin() + nRow);
    // As in a list box: deleting a row leaves no row selected.
    m_nSelected = -1;
}

void CHeadlessViews::SetRowClient(int nRow, CClientSocket* pClient) {
    if (nRow >= 0 && nRow < RowCount())
        m_rows[static_cast<size_t>(nRow)].pClient = pClient;
}

CClientSocket* CHeadlessViews::GetRowClient(int nRow) const {
    return nRow >= 0 && nRow < RowCount() ? m_rows[static_cast<size_t>(nRow)].pClient : nullptr;
}
