#include "ftp/ChecksumWorkers.h"

#include "fs/FileStream.h"
#include "ftp/SessionCompletion.h"

#include <openssl/crypto.h>
#include <utility>

CChecksumWorkers::CChecksumWorkers() : m_pool(kMaxReading, kMaxWaiting) {
    // The digests' library is set up before the pool is known to the exit:
    // its own clean-up then runs after the pool's threads have ended.
    OPENSSL_init_crypto(0, nullptr);
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
