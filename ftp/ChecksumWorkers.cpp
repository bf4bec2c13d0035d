#include "ftp/ChecksumWorkers.h"

#include "fs/FileStream.h"
#include "ftp/SessionCompletion.h"

#include <openssl/crypto.h>
#include <utility>

CChecksumWorkers::CChecksumWorkers() : m_pool(kMaxReading, kMaxWaiting) {
    // The digests' library is set up here, on the loop's thread, and before
    // the pool is known to the exit: its own clean-up then runs after the
    // pool's threads have ended, and what its set-up keeps for the thread
    // that does it (reading its configuration) is not left behind by a
    // worker thread that ends.
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
}

CChecksumWorkers& CChecksumWorkers::Shared() {
    static CChecksumWorkers s_workers;
    return s_workers;
}

CChecksumWorkers::Result CChecksumWorkers::Submit(SJob job, const CSessionCompletion& completion,
                                                  Done done, std::string* pWhy) {
    return m_pool.Submit(
        [job = std::move(job), completion, done = std::move(done)] {
            std::string strHex;
            const CChecksum::Outcome outcome = CChecksum::OfFile(
                *job.pFile, job.nStart, job.nEnd, job.algorithm, *job.pCancel, strHex);
            // The file is closed here, on the worker, not on the loop.
            int nError = 0;
            job.pFile->Close(nError);
            if (outcome == CChecksum::Outcome::Cancelled || job.pCancel->load())
                return;
            completion.Complete([done, outcome, strHex](CClientSocket& rSession) {
                done(rSession, outcome, strHex);
            });
        },
        pWhy);
}
