// The server's views without a window: every log text goes to standard
// output as it is, through a queue that never blocks; sessions and the
// running state show nowhere.
#pragma once

#include "server/HostViews.h"

#include <string>

class COutputQueue;

class CHeadlessViews : public CHostViews {
public:
    // pOutput may be null: the log then goes nowhere.
    explicit CHeadlessViews(COutputQueue* pOutput) : m_pOutput(pOutput) {}

    void OnLogAppended(const std::string& strText) override;
    // Standard output has already shown every text; a cut changes nothing there.
    void OnLogCut(const std::string& /*strKept*/) override {}
    void OnSessionAdmitted(SessionId, const std::string&) override {}
    void OnSessionRelabelled(SessionId, const std::string&) override {}
    void OnSessionRemoved(SessionId) override {}
    void OnRunningChanged(bool) override {}

private:
    COutputQueue* m_pOutput;
};
