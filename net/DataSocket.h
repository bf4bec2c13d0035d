// One data connection: sends a local file (a download, or a listing's
// temporary file) or receives into one (an upload), and reports the end on
// the control connection with "226 Transfer complete" or "425 Data
// connection reset".
//
// Lifetime: the control connection lists it in m_dataSockets and deletes it
// when the control connection goes; before that it deletes itself (after
// leaving that list) when the client closes it, when it can get no further
// event (a failed connect, a failed upload), when the client has not
// connected within kConnectTimeoutMs, or when a finished transfer's client
// has not closed within kLingerMs.
#pragma once

#include "net/AsyncSocket.h"
#include "net/FileStream.h"
#include "net/LocalPath.h"
#include "net/Timer.h"

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

    // Starts the wait for the connection: it fails when not established in time.
    void StartConnectTimer();
    // Sends the end reply, closes the file, deletes a temporary listing.
    void FinishTransfer();
    // Fails the transfer ("425 Data connection reset") and deletes this object.
    void Abort();
    // Ends without a reply: file closed, temporary listing deleted; used
    // when the control connection goes away.
    void Abandon();
    // True once the end reply has been sent.
    bool IsFinished() const { return m_bFinished; }

    // Bytes moved per event before other connections get their turn.
    static constexpr int kEventBudget = 64 * 1024;
    // A connection not established this long after its transfer command
    // fails, giving back its listener, its port and its listing file.
    static constexpr int kConnectTimeoutMs = 60 * 1000;
    // A finished transfer whose client keeps the connection open is closed
    // after this long.
    static constexpr int kLingerMs = 60 * 1000;
    // Tests only: shorter waits than the real ones.
    static void SetTimeoutsForTests(int nConnectMs, int nLingerMs);

    CClientSocket* m_pOwner;
    std::unique_ptr<CFileStream> m_pFile;
    // The local file; a listing's temporary file is unconfined.
    CLocalPath m_file;
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
    // Leaves the owner's list and deletes this object.
    void Release();
    void DeleteListing();

    bool m_bFinished = false;
    CTimer m_timer;
};
