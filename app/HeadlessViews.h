// The server's views without a window: every log text goes to standard
// output as it is, through a queue that never blocks, or, when standard
// output is the system journal, every record to the journal with its
// fields; sessions and the running state show nowhere.
#pragma once

#include "server/HostViews.h"

#include <string>

class CJournalOutput;
class COutputQueue;

class CHeadlessViews : public CHostViews {
public:
    // pOutput may be null: the log then goes nowhere. With pJournal the log
    // goes there instead of to pOutput.
    explicit CHeadlessViews(COutputQueue* pOutput, CJournalOutput* pJournal = nullptr)
        : m_pOutput(pOutput), m_pJournal(pJournal) {}

    void OnLogAppended(const std::string& strText) override;
    void OnLogRecord(const SLogRecord& record) override;
    // Standard output has already shown every text; a cut changes nothing there.
    void OnLogCut(const std::string& /*strKept*/) override {}
    void OnSessionAdmitted(SessionId, const std::string&) override {}
    void OnSessionRelabelled(SessionId, const std::string&) override {}
    void OnSessionRemoved(SessionId) override {}
    void OnRunningChanged(bool) override {}

private:
    COutputQueue* m_pOutput;
    CJournalOutput* m_pJournal;
};
