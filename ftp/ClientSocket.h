// The server side of one client's FTP control connection (a session):
// takes the command lines its buffered connection collects, runs each
// through its protocol's command table (CommandTables.h) and answers from
// the reply tables. What it knows of the client between commands is its
// CSessionState; its data connections and passive listener are its
// CSessionTransfers, started and answered for by its CTransferStart; a STAT
// reply in progress is its CStatReply; its idle rule a CIdleTimeout. The
// commands are handled by classes of their own, made over the command's
// context (CommandContext.h) for each command and named after what they
// handle: CLoginCommands, CInfoCommands, CTransferCommands (how the next
// transfer goes), CDataCommands (where it goes), CFileCommands (RETR, STOR,
// APPE), CListingCommands, CPathCommands (each path resolved and checked by
// CPathResolver) and CTlsCommands. The session itself keeps the control
// line (ClientSocket.cpp) and the TLS of its control connection
// (ClientSocketTls.cpp).
//
// Ownership: the host owns each session. A session owns its data
// connections and the passive listener that PASV made until a transfer
// hands it on (through its CSessionTransfers). An object that ends inside
// its own event handler is handed to the dispatcher's deferred release by
// its owner, never deleted in the middle of a call chain.
#pragma once

#include "ftp/CommandTable.h"
#include "ftp/ControlReplies.h"
#include "ftp/IdleTimeout.h"
#include "ftp/LogRecord.h"
#include "ftp/Protocol.h"
#include "ftp/SessionState.h"
#include "ftp/SessionTransfers.h"
#include "ftp/StatReply.h"
#include "ftp/TransferStart.h"
#include "net/BufferedConnection.h"
#include "net/Timer.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class CServerSettings;
class CSessionHost;
struct SCommandContext;

class CClientSocket : public CBufferedConnection, public CControlReplies {
public:
    // bImplicitTls: a connection to the implicit FTPS port, which begins
    // with the TLS handshake; the greeting follows it.
    CClientSocket(CSessionHost& rHost, uint64_t nId, bool bImplicitTls = false);
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
    const std::string& PeerAddress() const override { return m_strPeerAddr; }
    const CAddress& Peer() const { return m_peer; }
    bool IsLoggedIn() const { return m_state.IsLoggedIn(); }
    // The time-out stored when the session was admitted. The classic mode
    // reads nothing of it: idle connections stay. The extended mode closes
    // idle sessions after the time-out in force when it looks.
    void SetTimeout(int nTimeout) { m_state.SetTimeout(nTimeout); }
    // Its data connections (running ones, all of them).
    const CSessionTransfers& Transfers() const { return m_transfers; }

    // The extended mode reads the urgent byte clients send with ABOR.
    void OnOutOfBandData(int nErrorCode) override;
    // The start step: greets the client and asks the host to list it (on
    // the implicit FTPS port it begins the handshake, and the end of the
    // handshake brings the greeting).
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
    void SendReply(const std::string& strText) override;
    void Log(const std::string& strText, int nLevel) const;
    void Log(LogEvent event, const std::string& strText, int nLevel) const override;
    const CServerSettings& Settings() const;
    void SendFormatted(int nReply, const std::string& strArgument);
    void SendExtended(int nReply, const std::string& strArgument = std::string());
    // The protocol's reply for a situation, with its argument ("" where the
    // protocol says nothing), and the same sent.
    std::string SayText(Say say, const std::string& strArgument) const;
    void SayReply(Say say, const std::string& strArgument = std::string());
    void ProcessCommand(const std::string& strLine);

    // The protocol the session speaks now; a change of mode in the
    // settings reaches it when it takes the protocol again (at a login).
    const CProtocol& Protocol() const override { return *m_pProtocol; }
    void TakeProtocol();
    // The session offers TLS: its policy lets it and the certificate can be
    // used. Otherwise the security exchange's words are unknown.
    bool TlsOffered() const;
    // AUTH TLS: the handshake on the control connection begins, and the
    // session ends when it does not finish in time; false when it cannot
    // begin (replies still wait unread, or TLS cannot start).
    bool BeginControlTls(const CTlsContext& context);

    // A failed login's reply comes kLoginDelayMs late; the connection's
    // next lines wait for it.
    static constexpr int kLoginDelayMs = 1000;
    // nWaitedMs: the time the PASS has already waited (for its check on
    // another thread), counted in the delay.
    void DelayFailedLoginReply(int nWaitedMs = 0);
    // A PASS checked against a stored hash on another thread: nothing more
    // is read until its answer. EndLoginCheck runs the answer with the
    // session's command context (false from it: the session has ended, and
    // nothing of it may be used), then reads on unless input is held again.
    void BeginLoginCheck() { m_bLoginChecking = true; }
    void EndLoginCheck(const std::function<bool(SCommandContext&)>& answer);
    // STAT of a path: its 213 header is out; the listing's lines follow as
    // the client reads them, and the next commands wait for their end.
    void BeginStatListing(std::unique_ptr<CListingBuilder> pListing, bool bComplete);
    // Ends every data connection quietly (no reply): files closed,
    // temporary listings deleted, passive listener closed.
    void AbandonDataConnections();

private:
    // The control line (ClientSocket.cpp): each line as the protocol
    // splits it, logged and run.
    bool RunNextLine(const std::string& rInput, size_t& rPos, size_t nSearched) override;
    // No further command is read while a PASS is being checked or a failed
    // login's reply is held back or a STAT reply is in progress (and while
    // replies wait unread).
    bool HoldsInput() const override;
    // Behind a balancer, a connection that did not come through one yet
    // begins with a PROXY header names an address it may not name: it is
    // logged and ended (true; nothing of the session may be used then).
    bool RefusesFirstBytes(const char* pData, size_t nSize) override;
    // Replies the socket could not take yet are kept, in order, up to
    // kMaxOutput; a client that reads nothing for longer is disconnected.
    void OnOutputOverflow() override;
    // Idle for the whole time-out with no transfer running: closed.
    void OnIdle();
    // STAT of a path: the next slice of its listing, or the next lines of
    // the reply once the listing is complete.
    void ContinueStat();

    CSessionHost& m_rHost;
    const uint64_t m_nId;
    // Taken when the session starts and at each login, the TLS policy with
    // it.
    const CProtocol* m_pProtocol = &CProtocol::Classic();
    // The user, folder, transfer settings and TLS steps of the client.
    CSessionState m_state;
    // How its transfers start and end (the owner of record of its data
    // connections: declared before them, it outlives them).
    CTransferStart m_start;
    // Its data connections and where the next one goes.
    CSessionTransfers m_transfers;
    // The client, and its address as the log shows it.
    CAddress m_peer;
    std::string m_strPeerAddr;
    // The word of the command being run, lower-cased (for its replies).
    std::string m_strWord;
    CIdleTimeout m_idle;
    CTimer m_tlsTimer;
    std::chrono::steady_clock::time_point m_connected;
    // A failed login's reply is held back; nothing is read meanwhile.
    bool m_bLoginDelayed = false;
    CTimer m_loginTimer;
    // A PASS is being checked on another thread; nothing is read meanwhile.
    bool m_bLoginChecking = false;
    // A STAT reply in progress, and the timer that moves it on.
    CStatReply m_stat;
    CTimer m_statTimer;
};
