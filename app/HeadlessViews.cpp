#include "app/HeadlessViews.h"

#include "app/OutputQueue.h"

void CHeadlessViews::OnLogAppended(const std::string& strText) {
    if (m_pOutput)
        m_pOutput->Write(strText);
}
