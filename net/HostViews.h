// What the server host needs from whoever shows its state: the window's
// widgets, or standard output and plain memory when running headless.
#pragma once

#include <string>

class CClientSocket;

class CHostViews {
public:
    virtual ~CHostViews() = default;

    // Log view. The host keeps the whole log text; the view appends each new
    // text and is given the whole text only when the host has cut it.
    virtual void AppendLog(const std::string& strText) = 0;
    virtual void ReplaceLog(const std::string& strText) = 0;
    virtual void ScrollLogToEnd() = 0;

    // Connected-user rows, each carrying its connection's identity.
    virtual int AddRow(const std::string& strText) = 0; // returns the new row's position
    virtual void InsertRow(int nRow, const std::string& strText) = 0;
    virtual void DeleteRow(int nRow) = 0;
    virtual void SetRowClient(int nRow, CClientSocket* pClient) = 0;
    virtual CClientSocket* GetRowClient(int nRow) const = 0;
    virtual int RowCount() const = 0;
    virtual int SelectedRow() const = 0; // -1 when no row is selected

    virtual void EnableDisconnect(bool bEnable) = 0;
    virtual void SetStartStopCaption(const std::string& strCaption) = 0;
    virtual void SetTrayStatus(const std::string& strTip, bool bBusy) = 0;
};
