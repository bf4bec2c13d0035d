#include "app/HeadlessViews.h"

#include "app/JournalOutput.h"
#include "app/OutputQueue.h"

void CHeadlessViews::OnLogAppended(const std::string& strText) {
    if (m_pOutput)
        m_pOutput->Write(strText);
}

void CHeadlessViews::OnLogRecord(const SLogRecord& record) {
    if (m_pJournal)
        m_pJournal->Send(record);
    else
        OnLogAppended(record.strText);
}
