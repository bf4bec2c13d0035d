// The server side of one client's FTP control connection (a session):
// takes the command lines its buffered connection collects, runs each
// through its protocol's command table and answers from the reply tables.
// What it knows of the client between commands is its CSessionState; its
// data connections and passive listener are its CSessionTransfers; a STAT
// reply in progress is its CStatReply. The handlers live in files named
// after what they handle: ClientSocket.cpp (the control line, the idle
// rule), ClientSocketCommands.cpp (the command tables),
// ClientSocketLogin.cpp, ClientSocketTransfers.cpp (data connections),
// ClientSocketListings.cpp (LIST, NLST, MLSD, MLST, STAT) and
// ClientSocketTls.cpp. Other handlers are classes of their own, made over the
// command's context (CommandContext.h) for each command: what the server says
// of itself is CInfoCommands, the settings of the next transfer
// CTransferCommands, the commands that name a path CPathCommands
// (each path resolved and checked by CPathResolver), the security exchange
// of TLS CTlsCommands.
//
// Ownership: the host owns each session. A session owns its data
// connections and the passive listener that PASV made until a transfer
// hands it on (through its CSessionTransfers). An object that ends inside
// its own event handler is handed to the dispatcher's deferred release by
// its owner, never deleted in the middle of a call chain.
#pragma once

#include "fs/LocalPath.h"
#include "ftp/CommandTable.h"
#include "ftp/DataSocket.h"
#include "ftp/LogRecord.h"
#include "ftp/Protocol.h"
#include "ftp/SessionState.h"
#include "ftp/SessionTransfers.h"
#include "ftp/StatReply.h"
#include "net/BufferedConnection.h"
#include "net/Timer.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <sys/stat.h>
#include <vector>

class CPassiveSocket;
class CServerSettings;
class CSessionHost;

class CClientSocket : public CBufferedConnection, private CDataSocket::COwner {
public:
    CClientSocket(CSessionHost& rHost, uint64_t nId);
    ~CClientSocket() override;

    // The host's identity for this session, stable for its whole life.
    uint64_t Id() const { return m_nId; }
    // What the session is doing, for the server's views (read when they
    // look; the session keeps nothing for them).
    struct SStatus {
        uint64_t nId = 0;
        std::string strUser; // empty before login
        std::string strAddress;
        std::chrono::steady_clock::time_point connected;
        bool bStatRunning = false;
        std::vector<CDataSocket::SProgress> transfers; // those not finished
    };
    SStatus Status() const;
    const std::string& PeerAddress() const { return m_strPeerAddr; }
    const CAddress& Peer() const { return m_peer; }
    bool IsLoggedIn() const { return m_state.IsLoggedIn(); }
    // The time-out stored when the session was admitted. The classic mode
    // reads nothing of it: idle connections stay. The extended mode closes
    // idle sessions after the time-out in force at their last command.
    void SetTimeout(int nTimeout) { m_state.SetTimeout(nTimeout); }

    // The extended mode reads the urgent byte clients send with ABOR.
    void OnOutOfBandData(int nErrorCode) override;
    // The start step: greets the client and asks the host to list it.
    void OnConnect(int nErrorCode) override;
    void OnClose(int nErrorCode) override;
    // TLS (the extended mode): the end of the control connection's
    // handshake, and room for replies TLS could not take at once.
    void OnTlsHandshake(int nErrorCode) override;
    void OnSend(int nErrorCode) override;

    // A connection over the per-address limit (or, bInAll, over the limit
    // of connections in all): told so before it is closed.
    void RefuseTooMany(bool bInAll = false);

    // Replies, the log and the settings, for the command handlers too.
    void SendReply(const std::string& strText);
    void Log(const std::string& strText, int nLevel) const;
    // A line about this session: its client, identity and user beside the
    // text. Client text in strText must already be fit for the log.
    void Log(LogEvent event, const std::string& strText, int nLevel) const;
    const CServerSettings& Settings() const;
    void SendFormatted(int nReply, const std::string& strArgument);
    void SendExtended(int nReply, const std::string& strArgument = std::string());
    // The protocol's reply for a situation, with its argument ("" where the
    // protocol says nothing), and the same sent.
    std::string SayText(Say say, const std::string& strArgument) const;
    void SayReply(Say say, const std::string& strArgument = std::string());
    // The session offers TLS: its policy lets it and the certificate can be
    // used. Otherwise the security exchange's words are unknown.
    bool TlsOffered() const;
    // AUTH TLS: the handshake on the control connection begins, and the
    // session ends when it does not finish in time; false when it cannot
    // begin (replies still wait unread, or TLS cannot start).
    bool BeginControlTls(const CTlsContext& context);
    void ProcessCommand(const std::string& strLine);

    // Data connections whose transfer has not finished.
    size_t RunningDataConnections() const { return m_transfers.Running(); }
    size_t DataConnectionCount() const { return m_transfers.Count(); }
    // Ends every data connection quietly (no reply): files closed,
    // temporary listings deleted, passive listener closed.
    void AbandonDataConnections();

    // The classic command table, in its order.
    static std::span<const CCommandRow> ClassicCommands();
    // The extended mode's table, consulted before the classic one only while
    // the mode is on. Its rows either add a word or answer a classic word
    // with a behaviour of their own (not only other reply texts).
    static std::span<const CCommandRow> ExtendedCommands();
    // The protocol the session speaks now.
    const CProtocol& Protocol() const { return *m_pProtocol; }

    // The reply to a PASS that does not log in comes this late; the
    // connection's next lines wait for it.
    static constexpr int kLoginDelayMs = 1000;

private:
    // The control line (ClientSocket.cpp): each line as the protocol
    // splits it, logged and run.
    bool RunNextLine(const std::string& rInput, size_t& rPos, size_t nSearched) override;
    // No further command is read while a failed login's reply is held back
    // or a STAT reply is in progress (and while replies wait unread).
    bool HoldsInput() const override;
    // Behind a balancer, a connection that did not come through one yet
    // begins with a PROXY header names an address it may not name: it is
    // logged and ended (true; nothing of the session may be used then).
    bool RefusesFirstBytes(const char* pData, size_t nSize) override;
    // Replies the socket could not take yet are kept, in order, up to
    // kMaxOutput; a client that reads nothing for longer is disconnected.
    void OnOutputOverflow() override;
    // The idle time-out: restarted by every command, it closes a session
    // that has no transfer when it runs out.
    void RestartIdleTimer();
    void ArmIdleTimer(long long nDelayMs);
    void OnIdleTimeout();

    // Login (ClientSocketLogin.cpp).
    bool CheckLogin(const std::string& strUser, const std::string& strPassword) const;
    // The failed login's reply, sent late; then the lines that waited.
    void EndLoginDelay();
    // A USER or PASS from an address banned now: answered 421 and closed
    // (true; nothing of the session may be used then).
    bool RefusedWhileBanned(const std::string& strUser);

    // Data connections (ClientSocketTransfers.cpp).
    // pListing: a listing still being written into the file at path.
    // strName: what the views call the transfer (its virtual path).
    // pFile: the file already open (a download opened at its command).
    int StartSend(const CLocalPath& path, const std::string& strName, bool bDeleteAfter,
                  std::unique_ptr<CListingBuilder> pListing = nullptr,
                  std::unique_ptr<CFileStream> pFile = nullptr);
    int StartReceive(const CLocalPath& path, const std::string& strName, bool bAppend = false);
    // A transfer of the file with the session's type, restart offset and
    // protection.
    CDataSocket::STransfer NewTransfer(const CLocalPath& path, bool bSending);
    int StartData(CDataSocket::STransfer transfer);
    // STOR and APPE: the permission test, the reply, the data connection.
    void ReceiveUpload(const CCommandRow& rRow, const std::string& strParameter, bool bAppend);
    // The extended PASV and PORT after EPSV ALL, or on an IPv6 connection:
    // true once the refusal is sent.
    bool RefusesIpv4Ports();
    // PORT and EPRT: the data connection may go to this address.
    bool MayConnectTo(const CAddress& address) const;
    // The 227 reply for the listener just opened, advertising nAddress.
    void SendPassiveReply(uint32_t nAddress);
    // Opens a passive listener in the configured port range; false (and no
    // listener) when none can be opened.
    bool OpenPassive();
    // The control connection's local address (asked of the system once).
    bool LocalAddress(CAddress& rLocal);
    // Sends the 150 of the transfer being started, if not sent yet.
    void SendStartReply();
    // The data connections' reports.
    void OnDataConnected(CDataSocket& rData) override;
    void OnTransferFinished(CDataSocket& rData, bool bComplete) override;
    void OnDataSocketEnded(CDataSocket& rData) override;
    void OnDataConnectionRefused(CDataSocket& rData) override;

    // Listings (ClientSocketListings.cpp).
    // The first slice of a listing, then its data connection; a listing that
    // cannot be written gets strFailReply. strShownPath: what the 150 reply
    // names.
    void SendListing(std::unique_ptr<CListingBuilder> pListing, const std::string& strFailReply,
                     const std::string& strShownPath, const std::string& strListedPath);
    // Starts the listing of strPath; what the log should know about its
    // folder, and why it could not be started, are logged.
    std::unique_ptr<CListingBuilder> StartListing(const std::string& strPath,
                                                  SListingRequest request);
    // True when the listing was started and its first slice (when complete)
    // written; otherwise the reason is logged and false returned.
    bool ListingWritten(const CListingBuilder* pListing, bool bComplete,
                        const std::string& strPath) const;
    // What a listing argument names (leading option words skipped): a file
    // (rPath without final "/") or a folder (rPath ending in "/"); false
    // when nothing is there.
    bool ResolveListingPath(const std::string& strParameter, std::string& rPath, bool& rFile) const;
    // The same, and the permission test; false once the refusal is sent.
    // bFolderOnly: a file is refused (MLSD).
    bool PrepareListing(const CCommandRow& rRow, const std::string& strParameter,
                        std::string& rPath, bool& rFile, bool bFolderOnly);
    // STAT of a path: the next slice of its listing, or the next lines of
    // the reply once the listing is complete.
    void ContinueStat();

    // TLS (ClientSocketTls.cpp).
    // The session's TLS policy: a reply that refuses the command, or null.
    const char* TlsRefusal(const CCommandRow& rRow) const;
    // Puts a transfer under PROT P where the client asked for it.
    void ProtectTransfer(CDataSocket::STransfer& rTransfer);

    // Command handlers, one per row of the command tables.
    void DoUser(const CCommandRow& rRow, const std::string& strParameter);
    void DoPass(const CCommandRow& rRow, const std::string& strParameter);
    void DoQuit(const CCommandRow& rRow, const std::string& strParameter);
    void DoNoop(const CCommandRow& rRow, const std::string& strParameter);
    void DoUnknown(const CCommandRow& rRow, const std::string& strParameter);
    void DoPort(const CCommandRow& rRow, const std::string& strParameter);
    void DoPasv(const CCommandRow& rRow, const std::string& strParameter);
    void DoRetr(const CCommandRow& rRow, const std::string& strParameter);
    void DoStor(const CCommandRow& rRow, const std::string& strParameter);
    void DoList(const CCommandRow& rRow, const std::string& strParameter);
    // The extended rows that answer a classic word with a behaviour of
    // their own.
    void DoExtendedList(const CCommandRow& rRow, const std::string& strParameter);
    void DoExtendedStor(const CCommandRow& rRow, const std::string& strParameter);
    void DoExtendedPasv(const CCommandRow& rRow, const std::string& strParameter);
    void DoExtendedPort(const CCommandRow& rRow, const std::string& strParameter);
    // The extended mode's own words.
    void DoMlsd(const CCommandRow& rRow, const std::string& strParameter);
    void DoMlst(const CCommandRow& rRow, const std::string& strParameter);
    void DoAppe(const CCommandRow& rRow, const std::string& strParameter);
    void DoEpsv(const CCommandRow& rRow, const std::string& strParameter);
    void DoEprt(const CCommandRow& rRow, const std::string& strParameter);
    void DoAbor(const CCommandRow& rRow, const std::string& strParameter);
    void DoStat(const CCommandRow& rRow, const std::string& strParameter);

    static const CCommandRow kClassicCommands[];
    static const CCommandRow kExtendedCommands[];

    CSessionHost& m_rHost;
    const uint64_t m_nId;
    // Taken when the session starts and at each login, the TLS policy with
    // it.
    const CProtocol* m_pProtocol = &CProtocol::Classic();
    // The user, folder, transfer settings and TLS steps of the client.
    CSessionState m_state;
    // Its data connections and where the next one goes.
    CSessionTransfers m_transfers;
    // The client, and its address as the log shows it.
    CAddress m_peer;
    // The address the client reached the server at, once asked for.
    CAddress m_local;
    std::string m_strPeerAddr;
    // The word of the command being run, lower-cased (for its replies).
    std::string m_strWord;
    // The 150 of the transfer being started: sent once its connection is
    // made, right before its first byte, or when its start returns.
    std::string m_strStartReply;
    CTimer m_idleTimer;
    CTimer m_tlsTimer;
    std::chrono::steady_clock::time_point m_lastCommand;
    std::chrono::steady_clock::time_point m_connected;
    // A failed login's reply is held back; nothing is read meanwhile.
    bool m_bLoginDelayed = false;
    CTimer m_loginTimer;
    // A STAT reply in progress, and the timer that moves it on.
    CStatReply m_stat;
    CTimer m_statTimer;
};
