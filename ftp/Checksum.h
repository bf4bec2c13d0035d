// A file's checksum: the digests a client may ask for (SHA-1, SHA-256,
// SHA-512, MD5) and the CRC-32 of the older XCRC, computed over bytes as
// they come or over a byte range of an open file. Reading a file takes its
// time: it runs on a worker thread and looks at a cancel flag between
// blocks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

class CFileStream;
typedef struct evp_md_ctx_st EVP_MD_CTX;

enum class ChecksumAlgorithm { Sha1, Sha256, Sha512, Md5, Crc32 };

class CChecksum {
public:
    explicit CChecksum(ChecksumAlgorithm algorithm);
    ~CChecksum();
    CChecksum(const CChecksum&) = delete;
    CChecksum& operator=(const CChecksum&) = delete;

    // False when the digest could not be set up (the library refused it).
    bool IsValid() const { return m_algorithm == ChecksumAlgorithm::Crc32 || m_pContext; }
    void Update(const char* pData, size_t nSize);
    // The checksum of everything given so far, in lower-case hex; empty on
    // failure. Once only.
    std::string Hex();

    // The name FEAT, OPTS HASH and the HASH reply use ("SHA-256"; "CRC32").
    static const char* Name(ChecksumAlgorithm algorithm);
    // The algorithm a HASH name stands for, in any case; false for a name
    // not offered (CRC-32 has no HASH name).
    static bool FromName(const std::string& strName, ChecksumAlgorithm& rAlgorithm);

    // The bytes read from a file at a time: large, so that a digest runs at
    // the speed of the digest, not of the calls.
    static constexpr int kBlockSize = 1024 * 1024;
    enum class Outcome { Done, Cancelled, ReadError };
    // The checksum of the bytes [nStart, nEnd) of an open file (raw mode),
    // read block by block; rCancel is looked at before each block. A file
    // that ends before nEnd is a read error.
    static Outcome OfFile(CFileStream& rFile, int64_t nStart, int64_t nEnd,
                          ChecksumAlgorithm algorithm, const std::atomic<bool>& rCancel,
                          std::string& rHex);

private:
    ChecksumAlgorithm m_algorithm;
    EVP_MD_CTX* m_pContext = nullptr;
    uint32_t m_nCrc = 0;
};
