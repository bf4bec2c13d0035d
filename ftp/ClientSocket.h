// The server side of one client's FTP control connection: collects command
// lines, runs them through the command table and answers from the reply
// table. It also holds the client's login state, current virtual directory,
// transfer settings and the data connections it has started.
#pragma once

#include "net/AsyncSocket.h"
#include "net/LocalPath.h"

#include <cstdint>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <vector>

class CDataSocket;
class CPassiveSocket;
class CServerHost;

class CClientSocket : public CAsyncSocket {
public:
    explicit CClientSocket(CServerHost* pOwner);
    ~CClientSocket() override;

    void OnReceive(int nErrorCode) override;
    void OnConnect(int nErrorCode) override;
    void OnClose(int nErrorCode) override;

    void SendReply(const char* pszText);
    void SendReply(const std::string& strText);

    void ProcessCommand(const std::string& strLine);
    bool CheckLogin(const std::string& strUser, const std::string& strPassword,
                    std::string& rCwd) const;

    // Data connections (downloads and listings, uploads).
    int StartSend(const CLocalPath& path, bool bDeleteAfter);
    int StartReceive(const CLocalPath& path);
    // Data connections whose transfer has not finished.
    size_t RunningDataConnections() const;
    // Ends every data connection of this client quietly (no reply): files
    // closed, temporary listings deleted, objects released.
    void AbandonDataConnections();
    // Takes a data connection off m_dataSockets (it is ending).
    void ForgetDataSocket(CDataSocket* pData);

    // Bytes kept while no line end has arrived; beyond this they are dropped.
    static constexpr size_t kMaxInput = 64 * 1024;
    // Input memory kept between lines; a longer line's memory is given back.
    static constexpr size_t kKeptInputCapacity = 4 * 1024;
    // Transfers a client may have running at once.
    static constexpr size_t kMaxDataConnections = 4;

    CServerHost* m_pOwner;
    sockaddr_in m_dataAddr{};
    std::string m_strInput;
    std::string m_strCwd;
    std::string m_strUser;
    bool m_bLoggedIn = false;
    std::string m_strPeerAddr;
    unsigned m_nPeerPort = 0;
    int m_nType = 0;
    int64_t m_nRestart = 0;
    std::unique_ptr<CPassiveSocket> m_pPassive;
    int m_nTimeout = 0;
    std::vector<CDataSocket*> m_dataSockets;

private:
    // A line outgrew kMaxInput: bytes are dropped until its end arrives.
    bool m_bOverlong = false;

    void ClearInput();
    void SendFormatted(int nReply, const std::string& strArgument);
    void Log(const std::string& strText, int nLevel) const;

    void DoUser(const std::string& strParameter);
    void DoPass(const std::string& strParameter);
    void DoQuit();
    void DoPort(const std::string& strParameter);
    void DoPasv();
    void DoType(const std::string& strParameter);
    void DoRest(const std::string& strParameter);
    void DoRetr(const std::string& strWord, const std::string& strParameter);
    void DoStor(const std::string& strWord, const std::string& strParameter);
    void DoPwd();
    void DoCwd(const std::string& strParameter);
    void DoList(int nCode, const std::string& strWord, const std::string& strParameter);
    void DoDele(const std::string& strParameter);
    void DoMkdRmd(int nCode, const std::string& strParameter);
    // The path form of RETR, STOR and DELE: resolved, final "/" removed.
    bool ResolveFilePath(const std::string& strParameter, std::string& rPath) const;
    int StartData(const CLocalPath& path, bool bSending, bool bDeleteAfter);
};
