#include "ftp/Checksum.h"

#include "fs/FileStream.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>
#include <new>
#include <openssl/evp.h>

namespace {

struct SAlgorithmName {
    ChecksumAlgorithm algorithm;
    const char* pszName;
};
const SAlgorithmName kNames[] = {
    {ChecksumAlgorithm::Sha1, "SHA-1"},     {ChecksumAlgorithm::Sha256, "SHA-256"},
    {ChecksumAlgorithm::Sha512, "SHA-512"}, {ChecksumAlgorithm::Md5, "MD5"},
    {ChecksumAlgorithm::Crc32, "CRC32"},
};

const EVP_MD* DigestOf(ChecksumAlgorithm algorithm) {
    switch (algorithm) {
    case ChecksumAlgorithm::Sha1:
        return EVP_sha1();
    case ChecksumAlgorithm::Sha256:
        return EVP_sha256();
    case ChecksumAlgorithm::Sha512:
        return EVP_sha512();
    case ChecksumAlgorithm::Md5:
        return EVP_md5();
    case ChecksumAlgorithm::Crc32:
        break;
    }
    return nullptr;
}

// CRC-32 as zip and XCRC have it (reflected polynomial 0xEDB88320), a byte
// at a time through a table made once.
const std::array<uint32_t, 256>& CrcTable() {
    static const std::array<uint32_t, 256> s_table = [] {
        std::array<uint32_t, 256> table{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t nValue = n;
            for (int nBit = 0; nBit < 8; ++nBit)
                nValue = (nValue & 1) ? 0xEDB88320u ^ (nValue >> 1) : nValue >> 1;
            table[n] = nValue;
        }
        return table;
    }();
    return s_table;
}

std::string ToHex(const unsigned char* pBytes, size_t nSize) {
    static const char kDigits[] = "0123456789abcdef";
    std::string strHex;
    strHex.reserve(nSize * 2);
    for (size_t i = 0; i < nSize; ++i) {
        strHex += kDigits[pBytes[i] >> 4];
        strHex += kDigits[pBytes[i] & 0x0F];
    }
    return strHex;
}

} // namespace

CChecksum::CChecksum(ChecksumAlgorithm algorithm) : m_algorithm(algorithm) {
    if (algorithm == ChecksumAlgorithm::Crc32) {
        m_nCrc = 0xFFFFFFFFu;
        return;
    }
    m_pContext = EVP_MD_CTX_new();
    if (m_pContext && EVP_DigestInit_ex(m_pContext, DigestOf(algorithm), nullptr) != 1) {
        EVP_MD_CTX_free(m_pContext);
        m_pContext = nullptr;
    }
}

CChecksum::~CChecksum() {
    EVP_MD_CTX_free(m_pContext);
}

void CChecksum::Update(const char* pData, size_t nSize) {
    if (m_algorithm != ChecksumAlgorithm::Crc32) {
        if (m_pContext)
            EVP_DigestUpdate(m_pContext, pData, nSize);
        return;
    }
    const std::array<uint32_t, 256>& table = CrcTable();
    uint32_t nCrc = m_nCrc;
    for (size_t i = 0; i < nSize; ++i)
        nCrc = table[(nCrc ^ static_cast<unsigned char>(pData[i])) & 0xFF] ^ (nCrc >> 8);
    m_nCrc = nCrc;
}

std::string CChecksum::Hex() {
    if (m_algorithm == ChecksumAlgorithm::Crc32) {
        const uint32_t nCrc = m_nCrc ^ 0xFFFFFFFFu;
        const unsigned char bytes[4] = {
            static_cast<unsigned char>(nCrc >> 24), static_cast<unsigned char>(nCrc >> 16),
            static_cast<unsigned char>(nCrc >> 8), static_cast<unsigned char>(nCrc)};
        return ToHex(bytes, sizeof bytes);
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int nSize = 0;
    if (!m_pContext || EVP_DigestFinal_ex(m_pContext, digest, &nSize) != 1)
        return std::string();
    EVP_MD_CTX_free(m_pContext);
    m_pContext = nullptr;
    return ToHex(digest, nSize);
}

const char* CChecksum::Name(ChecksumAlgorithm algorithm) {
    for (const SAlgorithmName& name : kNames)
        if (name.algorithm == algorithm)
            return name.pszName;
    return "";
}

bool CChecksum::FromName(const std::string& strName, ChecksumAlgorithm& rAlgorithm) {
    std::string strUpper = strName;
    for (char& ch : strUpper)
        ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    for (const SAlgorithmName& name : kNames)
        if (name.algorithm != ChecksumAlgorithm::Crc32 && strUpper == name.pszName) {
            rAlgorithm = name.algorithm;
            return true;
        }
    return false;
}

CChecksum::Outcome CChecksum::OfFile(CFileStream& rFile, int64_t nStart, int64_t nEnd,
                                     ChecksumAlgorithm algorithm, const std::atomic<bool>& rCancel,
                                     std::string& rHex) {
    CChecksum checksum(algorithm);
    std::unique_ptr<char[]> pBlock(new (std::nothrow) char[kBlockSize]);
    int nError = 0;
    if (!checksum.IsValid() || !pBlock || !rFile.Seek(nStart, nError))
        return Outcome::ReadError;
    for (int64_t nLeft = nEnd - nStart; nLeft > 0;) {
        if (rCancel.load(std::memory_order_relaxed))
            return Outcome::Cancelled;
        const int nWanted = static_cast<int>(std::min<int64_t>(nLeft, kBlockSize));
        const int nRead = rFile.Read(pBlock.get(), nWanted, nError);
        // A file that shrank under the checksum has no checksum of that range.
        if (nRead <= 0)
            return Outcome::ReadError;
        checksum.Update(pBlock.get(), static_cast<size_t>(nRead));
        nLeft -= nRead;
    }
    rHex = checksum.Hex();
    return rHex.empty() ? Outcome::ReadError : Outcome::Done;
}
