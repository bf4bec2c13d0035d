// A session's checksums: the algorithm OPTS HASH chose, the range RANG set
// for the next HASH, and the checksum being computed for it on a worker
// thread. While one is computed the session reads no further command (its
// answer comes first), but it watches what arrives: an ABOR cancels the
// checksum, which is answered 426 at once, and the ABOR then runs in its
// turn. A result that comes back for a checksum no longer awaited (cancelled,
// or the session gone) is dropped.
#pragma once

#include "ftp/Checksum.h"
#include "ftp/ChecksumRange.h"
#include "net/BufferedConnection.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class CControlReplies;

class CSessionChecksums : private CHeldInputWatcher {
public:
    // rReplies and rConnection: the session's two faces (its replies, its
    // control connection).
    CSessionChecksums(CControlReplies& rReplies, CBufferedConnection& rConnection);
    // Cancels the checksum being computed.
    ~CSessionChecksums();
    CSessionChecksums(const CSessionChecksums&) = delete;
    CSessionChecksums& operator=(const CSessionChecksums&) = delete;

    // The algorithm of HASH (SHA-256 until OPTS HASH chooses another).
    ChecksumAlgorithm Chosen() const { return m_chosen; }
    // OPTS HASH's argument (empty: asks); its reply.
    std::string ApplyOption(const std::string& strName);
    // The algorithms HASH offers, the chosen one starred, as FEAT names them.
    std::string FeatureLine() const;

    // RANG: the range the next HASH covers; taken by it.
    void SetRange(const SChecksumRange& range) { m_range = range; }
    SChecksumRange TakeRange();

    // A checksum is being computed: nothing more is read until its answer.
    bool IsRunning() const { return m_pCancel != nullptr; }
    // The command's checksum begins: reply makes its answer of the hex
    // digest. The flag the worker looks at, and the number its result
    // comes back with.
    struct SStarted {
        std::shared_ptr<std::atomic<bool>> pCancel;
        uint64_t nSerial = 0;
    };
    SStarted Begin(std::function<std::string(const std::string& strHex)> reply);
    // The worker's result: answered, and the waiting lines run.
    void Finish(uint64_t nSerial, CChecksum::Outcome outcome, const std::string& strHex);
    // The checksum was not queued after all: ends it without an answer.
    void Drop();
    // ABOR: true once after an ABOR cancelled a checksum (its 426 is out).
    bool TakeAborted();

private:
    void OnHeldInput(const std::string& rPending) override;
    // The checksum being computed stops; nothing more is awaited.
    void Stop();

    CControlReplies& m_rReplies;
    CBufferedConnection& m_rConnection;
    ChecksumAlgorithm m_chosen = ChecksumAlgorithm::Sha256;
    SChecksumRange m_range;
    std::shared_ptr<std::atomic<bool>> m_pCancel;
    uint64_t m_nSerial = 0;
    std::function<std::string(const std::string&)> m_reply;
    // The pending input up to here holds no ABOR.
    size_t m_nScanned = 0;
    bool m_bAborted = false;
};
