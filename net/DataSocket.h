// One data connection: sends a local file (a download, or a listing's
// temporary file) or receives into one (an upload), through a fixed
// 256-byte buffer, and reports the end on the control connection with
// "226 Transfer complete" or "425 Data connection reset". It deletes itself
// when the client closes it.
#pragma once

#include "net/AsyncSocket.h"
#include "net/FileStream.h"

#include <cstdint>
#include <memory>
#include <string>

class CClientSocket;
class CPassiveSocket;

class CDataSocket : public CAsyncSocket {
public:
    explicit CDataSocket(CClientSocket* pOwner) : m_pOwner(pOwner) {}
    ~CDataSocket() override;

    void OnReceive(int nErrorCode) override;
    void OnSend(int nErrorCode) override;
    void OnOutOfBandData(int nErrorCode) override;
    void OnConnect(int nErrorCode) override;
    void OnClose(int nErrorCode) override;

    // Sends the end reply, closes the file, deletes a temporary listing.
    void FinishTransfer();
    // Ends without a reply: file closed, temporary listing deleted; used
    // when the control connection goes away.
    void Abandon();

    // Bytes moved per event before other connections get their turn.
    static constexpr int kEventBudget = 64 * 1024;

    CClientSocket* m_pOwner;
    std::unique_ptr<CFileStream> m_pFile;
    std::string m_strFileName;
    int m_nError = 0;
    bool m_bSending = false;
    bool m_bDeleteAfter = false;
    int m_nType = 0;
    int64_t m_nRestart = 0;
    char m_buffer[256];
    int m_nPending = 0;
    // The passive listener that will accept this connection, while it waits.
    CPassiveSocket* m_pListener = nullptr;

private:
    void Fail(int nError);
    void DeleteListing();
};
