#include "fs/FileStream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr char kCtrlZ = 26;

// The length of the leading run of bytes that are neither CR nor Ctrl-Z.
// Ctrl-Z is looked for only before the first CR, so each byte is looked at
// about twice however many lines a block holds.
int PlainRun(const char* pData, int nLength) {
    const void* pCR = std::memchr(pData, '\r', static_cast<size_t>(nLength));
    size_t nRun = pCR ? static_cast<size_t>(static_cast<const char*>(pCR) - pData)
                      : static_cast<size_t>(nLength);
    const void* pZ = std::memchr(pData, kCtrlZ, nRun);
    if (pZ)
        nRun = static_cast<size_t>(static_cast<const char*>(pZ) - pData);
    return static_cast<int>(nRun);
}
} // namespace

CFileStream::~CFileStream() {
    int nError = 0;
    Close(nError);
}

bool CFileStream::Open(const CLocalPath& path, Mode mode, bool bText, int& rError) {
    if (m_hFile >= 0) {
        rError = EBUSY;
        return false;
    }
    // Never blocks, even on a named pipe.
    int nFlags = O_NONBLOCK | (mode == Mode::Read ? O_RDONLY : (O_WRONLY | O_CREAT));
    int hFile = path.Open(nFlags, 0666, rError);
    if (hFile < 0)
        return false;
    struct stat info {};
    if (::fstat(hFile, &info) != 0 || !S_ISREG(info.st_mode)) {
        // Only plain files are transferred: not folders, pipes or devices.
        rError = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        ::close(hFile);
        return false;
    }
    if (::flock(hFile, (mode == Mode::Read ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
        // Another transfer has the file open in a conflicting way.
        rError = errno ? errno : EWOULDBLOCK;
        ::close(hFile);
        return false;
    }
    if (mode == Mode::Truncate && ::ftruncate(hFile, 0) != 0) {
        rError = errno ? errno : EIO;
        ::close(hFile);
        return false;
    }
    // Reading a plain file ignores O_NONBLOCK; writing clears it, so that a
    // file system that would honour it never answers "try again".
    if (mode != Mode::Read)
        ::fcntl(hFile, F_SETFL, ::fcntl(hFile, F_GETFL) & ~O_NONBLOCK);
    m_pBuffer = std::make_unique<char[]>(kBufferSize);
    m_hFile = hFile;
    m_nSizeAtOpen = static_cast<int64_t>(info.st_size);
    m_bText = bText;
    m_bWriting = mode != Mode::Read;
    m_bAtEnd = false;
    m_bLastWasCR = false;
    m_bPendingCR = false;
    m_nStart = m_nEnd = 0;
    return true;
}

bool CFileStream::Seek(int64_t nOffset, int& rError) {
    if (m_hFile < 0) {
        rError = EBADF;
        return false;
    }
    if (nOffset < 0) {
        rError = EINVAL;
        return false;
    }
    if (m_bWriting && !Flush(rError))
        return false;
    if (::lseek(m_hFile, static_cast<off_t>(nOffset), SEEK_SET) < 0) {
        rError = errno ? errno : EINVAL;
        return false;
    }
    m_nStart = m_nEnd = 0;
    m_bAtEnd = false;
    m_bLastWasCR = false;
    return true;
}

bool CFileStream::FillBuffer(int& rError) {
    if (m_nStart > 0) {
        std::memmove(m_pBuffer.get(), m_pBuffer.get() + m_nStart,
                     static_cast<size_t>(m_nEnd - m_nStart));
        m_nEnd -= m_nStart;
        m_nStart = 0;
    }
    for (;;) {
        ssize_t nRead =
            ::read(m_hFile, m_pBuffer.get() + m_nEnd, static_cast<size_t>(kBufferSize - m_nEnd));
        if (nRead < 0 && errno == EINTR)
            continue;
        if (nRead < 0) {
            rError = errno ? errno : EIO;
            return false;
        }
        if (nRead == 0)
            m_bAtEnd = true;
        m_nEnd += static_cast<int>(nRead);
        return true;
    }
}

int CFileStream::ReadNetworkText(char* pBuffer, int nLength, int& rError) {
    int nOut = 0;
    while (nOut < nLength) {
        if (m_nStart == m_nEnd) {
            if (m_bAtEnd)
                break;
            if (!FillBuffer(rError))
                return -1;
            continue;
        }
        const char* pIn = m_pBuffer.get() + m_nStart;
        const int nSpan = std::min(m_nEnd - m_nStart, nLength - nOut);
        const void* pLF = std::memchr(pIn, '\n', static_cast<size_t>(nSpan));
        const int nRun = pLF ? static_cast<int>(static_cast<const char*>(pLF) - pIn) : nSpan;
        if (nRun > 0) {
            std::memcpy(pBuffer + nOut, pIn, static_cast<size_t>(nRun));
            nOut += nRun;
            m_nStart += nRun;
            m_bLastWasCR = pIn[nRun - 1] == '\r';
            continue;
        }
        // An LF: a CR goes first unless the file had one; the LF itself is
        // taken on the next turn.
        if (!m_bLastWasCR) {
            pBuffer[nOut++] = '\r';
            m_bLastWasCR = true;
            continue;
        }
        pBuffer[nOut++] = '\n';
        ++m_nStart;
        m_bLastWasCR = false;
    }
    return nOut;
}

int CFileStream::ReadDirect(char* pBuffer, int nLength, int& rError) {
    for (;;) {
        const ssize_t nRead = ::read(m_hFile, pBuffer, static_cast<size_t>(nLength));
        if (nRead < 0 && errno == EINTR)
            continue;
        if (nRead < 0) {
            rError = errno ? errno : EIO;
            return -1;
        }
        if (nRead == 0)
            m_bAtEnd = true;
        return static_cast<int>(nRead);
    }
}

int CFileStream::Read(char* pBuffer, int nLength, int& rError) {
    if (m_hFile < 0 || m_bWriting) {
        rError = EBADF;
        return -1;
    }
    if (m_bText && m_bNetworkText)
        return ReadNetworkText(pBuffer, nLength, rError);
    // Large, raw, nothing buffered: straight into the caller's block.
    if (!m_bText && m_nStart == m_nEnd && nLength >= kBufferSize && !m_bAtEnd)
        return ReadDirect(pBuffer, nLength, rError);
    int nOut = 0;
    while (nOut < nLength) {
        if (m_nStart == m_nEnd) {
            if (m_bAtEnd)
                break;
            if (!FillBuffer(rError))
                return -1;
            continue;
        }
        const char* pIn = m_pBuffer.get();
        if (!m_bText) {
            int nCopy = std::min(nLength - nOut, m_nEnd - m_nStart);
            std::memcpy(pBuffer + nOut, pIn + m_nStart, static_cast<size_t>(nCopy));
            nOut += nCopy;
            m_nStart += nCopy;
            continue;
        }
        // Plain bytes up to the next CR or Ctrl-Z are copied as a run.
        const int nRun = PlainRun(pIn + m_nStart, std::min(nLength - nOut, m_nEnd - m_nStart));
        if (nRun > 0) {
            std::memcpy(pBuffer + nOut, pIn + m_nStart, static_cast<size_t>(nRun));
            nOut += nRun;
            m_nStart += nRun;
            continue;
        }
        char ch = pIn[m_nStart];
        if (ch == kCtrlZ) {
            // Ctrl-Z ends a text file.
            m_bAtEnd = true;
            m_nStart = m_nEnd;
            break;
        }
        if (ch == '\r') {
            if (m_nStart + 1 == m_nEnd && !m_bAtEnd) {
                // The byte after the CR decides: fetch it.
                if (!FillBuffer(rError))
                    return -1;
                continue;
            }
            if (m_nStart + 1 < m_nEnd && pIn[m_nStart + 1] == '\n') {
                pBuffer[nOut++] = '\n';
                m_nStart += 2;
                continue;
            }
        }
        pBuffer[nOut++] = ch;
        ++m_nStart;
    }
    return nOut;
}

bool CFileStream::Flush(int& rError) {
    if (m_hFile < 0 || !m_bWriting)
        return true;
    int nDone = 0;
    while (nDone < m_nEnd) {
        ssize_t nWritten =
            ::write(m_hFile, m_pBuffer.get() + nDone, static_cast<size_t>(m_nEnd - nDone));
        if (nWritten < 0 && errno == EINTR)
            continue;
        if (nWritten <= 0) {
            rError = nWritten < 0 && errno ? errno : ENOSPC;
            // What could not be written is dropped; the transfer fails.
            m_nEnd = 0;
            return false;
        }
        nDone += static_cast<int>(nWritten);
    }
    m_nEnd = 0;
    return true;
}

bool CFileStream::PutByte(char ch, int& rError) {
    if (m_nEnd == kBufferSize && !Flush(rError))
        return false;
    m_pBuffer[static_cast<size_t>(m_nEnd++)] = ch;
    return true;
}

bool CFileStream::WriteNetworkText(const char* pBuffer, int nLength, int& rError) {
    while (nLength > 0) {
        if (m_bPendingCR) {
            // A CR LF is stored as LF; a lone CR as it is.
            m_bPendingCR = false;
            if (*pBuffer != '\n' && !PutByte('\r', rError))
                return false;
        }
        const void* pCR = std::memchr(pBuffer, '\r', static_cast<size_t>(nLength));
        const int nRun = pCR ? static_cast<int>(static_cast<const char*>(pCR) - pBuffer) : nLength;
        if (!PutBytes(pBuffer, nRun, rError))
            return false;
        pBuffer += nRun;
        nLength -= nRun;
        if (nLength > 0) {
            m_bPendingCR = true;
            ++pBuffer;
            --nLength;
        }
    }
    return true;
}

bool CFileStream::Write(const char* pBuffer, int nLength, int& rError) {
    if (m_hFile < 0 || !m_bWriting) {
        rError = EBADF;
        return false;
    }
    if (m_bText && m_bNetworkText)
        return WriteNetworkText(pBuffer, nLength, rError);
    if (!m_bText) {
        // A large block goes straight to the file, not through the buffer.
        if (nLength >= kBufferSize && Flush(rError))
            return WriteAll(pBuffer, nLength, rError);
        return PutBytes(pBuffer, nLength, rError);
    }
    while (nLength > 0) {
        // Bytes up to the next LF are stored as they are, as a run.
        const void* pLF = std::memchr(pBuffer, '\n', static_cast<size_t>(nLength));
        int nRun = pLF ? static_cast<int>(static_cast<const char*>(pLF) - pBuffer) : nLength;
        if (nRun > 0) {
            if (!PutBytes(pBuffer, nRun, rError))
                return false;
            m_bLastWasCR = pBuffer[nRun - 1] == '\r';
            pBuffer += nRun;
            nLength -= nRun;
            continue;
        }
        // An LF: stored as CR LF unless a CR was just stored.
        if (!m_bLastWasCR && !PutByte('\r', rError))
            return false;
        if (!PutByte('\n', rError))
            return false;
        m_bLastWasCR = false;
        ++pBuffer;
        --nLength;
    }
    return true;
}

bool CFileStream::PutBytes(const char* pData, int nLength, int& rError) {
    while (nLength > 0) {
        if (m_nEnd == kBufferSize && !Flush(rError))
            return false;
        int nCopy = std::min(nLength, kBufferSize - m_nEnd);
        std::memcpy(m_pBuffer.get() + m_nEnd, pData, static_cast<size_t>(nCopy));
        m_nEnd += nCopy;
        pData += nCopy;
        nLength -= nCopy;
    }
    return true;
}

bool CFileStream::WriteAll(const char* pData, int nLength, int& rError) {
    while (nLength > 0) {
        ssize_t nWritten = ::write(m_hFile, pData, static_cast<size_t>(nLength));
        if (nWritten < 0 && errno == EINTR)
            continue;
        if (nWritten <= 0) {
            rError = nWritten < 0 && errno ? errno : ENOSPC;
            return false;
        }
        pData += nWritten;
        nLength -= static_cast<int>(nWritten);
    }
    return true;
}

bool CFileStream::WriteFromPipe(int hPipe, size_t nLength, bool& rCopied, int& rError) {
    if (m_hFile < 0 || !m_bWriting || m_bText) {
        rError = EBADF;
        return false;
    }
    if (!Flush(rError))
        return false;
    while (nLength > 0) {
        if (!rCopied) {
            const ssize_t nMoved =
                ::splice(hPipe, nullptr, m_hFile, nullptr, nLength, SPLICE_F_MOVE);
            if (nMoved > 0) {
                nLength -= static_cast<size_t>(nMoved);
                continue;
            }
            if (nMoved < 0 && errno == EINTR)
                continue;
            if (nMoved < 0 && (errno == EINVAL || errno == ENOSYS)) {
                rCopied = true;
                continue;
            }
            rError = nMoved < 0 && errno ? errno : EIO;
            return false;
        }
        const ssize_t nRead =
            ::read(hPipe, m_pBuffer.get(), std::min(nLength, static_cast<size_t>(kBufferSize)));
        if (nRead < 0 && errno == EINTR)
            continue;
        if (nRead <= 0) {
            rError = nRead < 0 && errno ? errno : EIO;
            return false;
        }
        if (!WriteAll(m_pBuffer.get(), static_cast<int>(nRead), rError))
            return false;
        nLength -= static_cast<size_t>(nRead);
    }
    return true;
}

bool CFileStream::Close(int& rError) {
    if (m_hFile < 0)
        return true;
    // A CR at the very end of network text is stored as it came.
    bool bOk = true;
    if (m_bPendingCR) {
        m_bPendingCR = false;
        bOk = PutByte('\r', rError);
    }
    bOk = Flush(rError) && bOk;
    if (::close(m_hFile) != 0 && bOk) {
        rError = errno ? errno : EIO;
        bOk = false;
    }
    m_hFile = -1;
    m_pBuffer.reset();
    return bOk;
}
