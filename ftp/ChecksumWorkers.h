// The threads that read files for checksums, off the event loop: at most
// kMaxReading files read at once, at most kMaxWaiting more checksums waiting
// their turn (more are refused). One set for the process, made at the first
// checksum: a file is read at disk speed whichever session asked for it.
// A result goes back to its session through a CSessionCompletion; a session
// that has gone by then drops it.
#pragma once

#include "ftp/Checksum.h"
#include "net/WorkerPool.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class CClientSocket;
class CSessionCompletion;

class CChecksumWorkers {
public:
    static constexpr size_t kMaxReading = 2;
    static constexpr size_t kMaxWaiting = 32;
    using Result = CWorkerPool::Result;

    // What one checksum reads: the bytes [nStart, nEnd) of an open file.
    struct SJob {
        std::shared_ptr<CFileStream> pFile;
        int64_t nStart = 0;
        int64_t nEnd = 0;
        ChecksumAlgorithm algorithm = ChecksumAlgorithm::Sha256;
        // Set by the session (an ABOR, its end): the reading stops at the
        // next block, and nothing is posted back.
        std::shared_ptr<std::atomic<bool>> pCancel;
    };
    using Done = std::function<void(CClientSocket&, CChecksum::Outcome, const std::string& strHex)>;

    static CChecksumWorkers& Shared();

    // Queues the job; done runs on the loop's thread with the session, if it
    // still exists and the job was not cancelled. Refused: done never runs,
    // and strWhy says why when no thread could start.
    Result Submit(SJob job, const CSessionCompletion& completion, Done done, std::string* pWhy);

private:
    CChecksumWorkers();

    CWorkerPool m_pool;
};
