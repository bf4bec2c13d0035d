#include "app/JournalOutput.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>
#include <system_error>
// The journal records where in the program a record was sent from unless
// told not to: that says nothing to an administrator.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>
#include <thread>
#include <vector>

struct CJournalOutput::SShared {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable drained;
    std::deque<SLogRecord> queue;
    size_t nQueued = 0;
    size_t nDropped = 0;
    bool bStopping = false;
    bool bSending = false;
};

namespace {

size_t RecordSize(const SLogRecord& record) {
    return record.strText.size() + record.strClient.size() + record.strUser.size() + 64;
}

void SendRecord(const SLogRecord& record) {
    std::string strMessage = record.strText;
    // The journal keeps lines: the text's own line end is not part of it.
    if (!strMessage.empty() && strMessage.back() == '\n')
        strMessage.pop_back();
    if (!strMessage.empty() && strMessage.back() == '\r')
        strMessage.pop_back();
    std::vector<std::string> fields;
    fields.push_back("MESSAGE=" + strMessage);
    fields.push_back("PRIORITY=" + std::to_string(JournalPriority(record)));
    fields.push_back("SYSLOG_IDENTIFIER=skerrow");
    if (record.event != LogEvent::None)
        fields.push_back(std::string("SKERROW_EVENT=") + LogEventName(record.event));
    if (!record.strClient.empty())
        fields.push_back("SKERROW_CLIENT=" + record.strClient);
    if (!record.strUser.empty())
        fields.push_back("SKERROW_USER=" + record.strUser);
    if (record.nSession != 0)
        fields.push_back("SKERROW_SESSION=" + std::to_string(record.nSession));
    std::vector<iovec> parts;
    for (std::string& strField : fields)
        parts.push_back({strField.data(), strField.size()});
    sd_journal_sendv(parts.data(), static_cast<int>(parts.size()));
}

void SendDropped(size_t nBytes) {
    char szLine[160];
    snprintf(szLine, sizeof szLine, "skerrow: diario lleno: se descartaron %zu bytes del registro",
             nBytes);
    SLogRecord record;
    record.strText = szLine;
    SendRecord(record);
}

// The sending thread: records in order, as fast as the journal takes them.
void SendQueued(const std::shared_ptr<CJournalOutput::SShared>& pShared) {
    std::unique_lock<std::mutex> lock(pShared->mutex);
    for (;;) {
        pShared->wake.wait(lock, [&] {
            return pShared->bStopping || !pShared->queue.empty() || pShared->nDropped > 0;
        });
        if (pShared->queue.empty() && pShared->nDropped == 0)
            return; // stopping, nothing left
        const size_t nDropped = pShared->nDropped;
        pShared->nDropped = 0;
        std::deque<SLogRecord> batch;
        batch.swap(pShared->queue);
        pShared->nQueued = 0;
        pShared->bSending = true;
        lock.unlock();
        for (const SLogRecord& record : batch)
            SendRecord(record);
        if (nDropped > 0)
            SendDropped(nDropped);
        lock.lock();
        pShared->bSending = false;
        pShared->drained.notify_all();
    }
}

} // namespace

int JournalPriority(const SLogRecord& record) {
    switch (record.event) {
    case LogEvent::LoginFailed:
    case LogEvent::Ban:
        return LOG_WARNING;
    case LogEvent::Unban:
    case LogEvent::Login:
    case LogEvent::Server:
        return LOG_NOTICE;
    case LogEvent::Command:
    case LogEvent::Reply:
        return LOG_DEBUG;
    default:
        return record.nLevel >= 2 ? LOG_DEBUG : LOG_INFO;
    }
}

CJournalOutput::CJournalOutput(size_t nLimit)
    : m_pShared(std::make_shared<SShared>()), m_nLimit(nLimit) {
    // The thread shares only the queue: left behind at the end, it uses
    // nothing that goes away.
    try {
        std::thread([pShared = m_pShared] { SendQueued(pShared); }).detach();
        m_bRunning = true;
    } catch (const std::system_error&) {
        m_bRunning = false;
    }
}

CJournalOutput::~CJournalOutput() {
    std::unique_lock<std::mutex> lock(m_pShared->mutex);
    m_pShared->bStopping = true;
    m_pShared->wake.notify_all();
    m_pShared->drained.wait_for(lock, std::chrono::milliseconds(kDrainMs), [&] {
        return m_pShared->queue.empty() && m_pShared->nDropped == 0 && !m_pShared->bSending;
    });
}

bool CJournalOutput::IsStandardOutput() {
    const char* pszStream = std::getenv("JOURNAL_STREAM");
    if (!pszStream)
        return false;
    unsigned long long nDevice = 0;
    unsigned long long nInode = 0;
    char chExtra = 0;
    if (std::sscanf(pszStream, "%llu:%llu%c", &nDevice, &nInode, &chExtra) != 2)
        return false;
    struct stat info {};
    if (::fstat(1, &info) != 0)
        return false;
    return static_cast<unsigned long long>(info.st_dev) == nDevice &&
           static_cast<unsigned long long>(info.st_ino) == nInode;
}

void CJournalOutput::Send(const SLogRecord& record) {
    const size_t nSize = RecordSize(record);
    std::lock_guard<std::mutex> lock(m_pShared->mutex);
    if (m_pShared->nQueued + nSize > m_nLimit) {
        m_pShared->nDropped += record.strText.size();
        return;
    }
    m_pShared->queue.push_back(record);
    m_pShared->nQueued += nSize;
    m_pShared->wake.notify_one();
}
