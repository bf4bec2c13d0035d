// A buffered local file in text or raw mode, with the sharing rules of the
// transfers: a file open for reading holds a shared lock, one open for
// writing an exclusive lock, and a conflicting open fails at once.
//
// Text mode: reading turns each CR LF into LF and ends at the first Ctrl-Z;
// writing stores each LF as CR LF, except an LF that directly follows a CR
// already written (so a client's CR LF stays CR LF).
#pragma once

#include "fs/LocalPath.h"

#include <cstdint>
#include <memory>
#include <string>

class CFileStream {
public:
    enum class Mode {
        Read,     // an existing file, for reading
        Truncate, // created or emptied, for writing
        Update,   // created if missing, contents kept, for writing
    };

    CFileStream() = default;
    ~CFileStream();
    CFileStream(const CFileStream&) = delete;
    CFileStream& operator=(const CFileStream&) = delete;

    // Each operation returns false (or -1) on failure with an errno cause
    // code (never 0) in rError.
    bool Open(const CLocalPath& path, Mode mode, bool bText, int& rError);
    bool Open(const std::string& strPath, Mode mode, bool bText, int& rError) {
        return Open(CLocalPath::Unconfined(strPath), mode, bText, rError);
    }
    bool Seek(int64_t nOffset, int& rError);
    // Bytes read into pBuffer, 0 at the end, -1 on error.
    int Read(char* pBuffer, int nLength, int& rError);
    bool Write(const char* pBuffer, int nLength, int& rError);
    // Raw mode: stores the nLength bytes waiting in the pipe hPipe without
    // copying them through the process (splice). Where the file system
    // cannot take them so they are copied instead, and rCopied is set: the
    // caller had better receive the rest the ordinary way.
    bool WriteFromPipe(int hPipe, size_t nLength, bool& rCopied, int& rError);
    bool IsText() const { return m_bText; }
    // Writes out what is buffered.
    bool Flush(int& rError);
    bool Close(int& rError);
    bool IsOpen() const { return m_hFile >= 0; }
    // Text mode as RFC 959 wants it on a Linux host, for the extended mode:
    // reading sends each line end as CR LF (an LF not preceded by CR becomes
    // CR LF), writing stores each CR LF as LF; no Ctrl-Z handling.
    void SetNetworkText(bool bNetworkText) { m_bNetworkText = bNetworkText; }
    // The open file, for sending it without a copy (raw mode only).
    int Handle() const { return m_hFile; }
    // The file's size when it was opened.
    int64_t SizeAtOpen() const { return m_nSizeAtOpen; }

    static constexpr int kBufferSize = 64 * 1024;

private:
    bool FillBuffer(int& rError);
    // Reads from the file into pBuffer, past the buffer (which is empty).
    int ReadDirect(char* pBuffer, int nLength, int& rError);
    bool PutByte(char ch, int& rError);
    int ReadNetworkText(char* pBuffer, int nLength, int& rError);
    bool WriteNetworkText(const char* pBuffer, int nLength, int& rError);
    bool PutBytes(const char* pData, int nLength, int& rError);
    // Writes straight to the file, past the buffer (which must be empty).
    bool WriteAll(const char* pData, int nLength, int& rError);

    int m_hFile = -1;
    int64_t m_nSizeAtOpen = 0;
    bool m_bText = false;
    bool m_bNetworkText = false;
    bool m_bPendingCR = false; // writing network text: a CR whose next byte decides
    bool m_bWriting = false;
    bool m_bAtEnd = false;     // reading: end of file or Ctrl-Z seen
    bool m_bLastWasCR = false; // writing, text: the last byte stored was CR
    std::unique_ptr<char[]> m_pBuffer;
    int m_nStart = 0; // reading: first unread byte
    int m_nEnd = 0;   // reading: end of valid bytes; writing: bytes held
};
