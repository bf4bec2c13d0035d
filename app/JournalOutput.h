// The log of a server whose standard output is the system journal: every
// record goes to the journal with fields of its own beside its text, so that
// a log watcher reads who a line is about from the fields, never from text
// a client may have written.
//
// Sending to the journal is a datagram that blocks while the journal is
// behind, so the event loop never sends: it hands each record to a bounded
// queue (1 MiB), and a thread of its own sends them in order. What does not
// fit is dropped, and one journal entry then says how many bytes were.
#pragma once

#include "ftp/LogRecord.h"

#include <cstddef>
#include <memory>

class CJournalOutput {
public:
    explicit CJournalOutput(size_t nLimit = kLimit);
    // Gives the queue a short, bounded time to go out; a thread stuck in a
    // send that the journal does not take is left behind.
    ~CJournalOutput();
    CJournalOutput(const CJournalOutput&) = delete;
    CJournalOutput& operator=(const CJournalOutput&) = delete;

    // True when standard output is the journal's stream (systemd names its
    // device and inode in JOURNAL_STREAM).
    static bool IsStandardOutput();

    void Send(const SLogRecord& record);
    // False when the sending thread could not be started: nothing is sent.
    bool IsRunning() const { return m_bRunning; }

    static constexpr size_t kLimit = 1024 * 1024;
    // How long the end waits for the queue.
    static constexpr int kDrainMs = 2000;

    // What the event loop and the sending thread share.
    struct SShared;

private:
    std::shared_ptr<SShared> m_pShared;
    size_t m_nLimit;
    bool m_bRunning = false;
};

// The journal's priority of a record (syslog's numbers): failed logins and
// bans are warnings, logins, ends of bans and the server's start and stop
// notices, the lines of level 2 debug, everything else information.
int JournalPriority(const SLogRecord& record);
