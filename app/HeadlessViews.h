// The server's views without a window: every log text goes to standard
// output as it is (through a queue that never blocks), and the
// connected-user rows live in plain memory.
#pragma once

#include "net/HostViews.h"

#include <string>
#include <vector>

class COutputQueue;

class CHeadlessViews : public CHostViews {
public:
    // pOutput may be null: the log then goes nowhere.
    explicit CHeadlessViews(COutputQueue* pOutput) : m_pOutput(pOutput) {}

    void AppendLog(const std::string& strText) override;
    void ReplaceLog(const std::string& /*strText*/) override {}
    void ScrollLogToEnd() override {}

    int AddRow(const std::string& strText) override;
    void InsertRow(int nRow, const std::string& strText) override;
    void DeleteRow(int nRow) override;
    void SetRowClient(int nRow, CClientSocket* pClient) override;
    CClientSocket* GetRowClient(int nRow) const override;
    int RowCount() const override { return static_cast<int>(m_rows.size()); }
    int SelectedRow() const override { return m_nSelected; }

    void EnableDisconnect(bool bEnable) override { m_bDisconnectEnabled = bEnable; }
    void SetStartStopCaption(const std::string& strCaption) override { m_strCaption = strCaption; }
    void SetTrayStatus(const std::string& strTip, bool bBusy) override {
        m_strTip = strTip;
        m_bBusy = bBusy;
    }

    struct Row {
        std::string strText;
        CClientSocket* pClient = nullptr;
    };
    std::vector<Row> m_rows;
    int m_nSelected = -1;
    bool m_bDisconnectEnabled = false;
    std::string m_strCaption;
    std::string m_strTip;
    bool m_bBusy = false;

private:
    COutputQueue* m_pOutput;
};
