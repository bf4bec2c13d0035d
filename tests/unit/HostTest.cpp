#include "app/HeadlessViews.h"
#include "ftp/ClientSocket.h"
#include "ftp/DataSocket.h"
#include "ftp/Protocol.h"
#include "net/ListeningSocket.h"
#include "net/SocketDispatcher.h"
#include "server/ServerHost.h"
#include "tests/unit/HostTestSupport.h"
#include "tests/unit/SocketTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <linux/sockios.h>
#include <memory>
#include <sys/ioctl.h>

namespace {

// A view that records what the host reports, in order, and keeps the rows
// as a list box would.
class CRecordingViews : public CHostViews {
public:
    struct SRow {
        SessionId nId;
        std::string strLabel;
    };
    void OnLogAppended(const std::string& strText) override {
        m_strLog += strText;
        if (m_onLog)
            m_onLog(strText);
    }
    void OnLogRecord(const SLogRecord& record) override {
        m_records.push_back(record);
        OnLogAppended(record.strText);
    }
    void OnLogCut(const std::string& strKept) override {
        m_strLog = strKept;
        m_events.push_back("cut");
    }
    void OnSessionAdmitted(SessionId nId, const std::string& strLabel) override {
        m_rows.push_back({nId, strLabel});
        m_events.push_back("admitted " + std::to_string(nId) + " " + strLabel);
    }
    void OnSessionRelabelled(SessionId nId, const std::string& strLabel) override {
        for (SRow& row : m_rows)
            if (row.nId == nId)
                row.strLabel = strLabel;
        m_events.push_back("relabelled " + std::to_string(nId) + " " + strLabel);
    }
    void OnSessionRemoved(SessionId nId) override {
        std::erase_if(m_rows, [nId](const SRow& row) { return row.nId == nId; });
        m_events.push_back("removed " + std::to_string(nId));
    }
    void OnRunningChanged(bool bRunning) override {
        m_bRunning = bRunning;
        m_events.push_back(bRunning ? "running" : "stopped");
    }

    std::vector<SRow> m_rows;
    std::vector<SLogRecord> m_records;
    std::vector<std::string> m_events;
    std::string m_strLog;
    bool m_bRunning = false;
    // Runs inside the host's Log, so inside whatever event logged.
    std::function<void(const std::string&)> m_onLog;
};

class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dispatcher.IsValid());
        EditSettings(m_host)->m_users = ParseUserList({"anonymous,,0,1"});
        EditSettings(m_host)->m_folderMap = ParseFolderMap({"/=/nonexistent-skerrow/,1,1"});
        m_nPort = StartOnFreePort(m_host);
        ASSERT_TRUE(m_host.IsRunning());
    }
    void TearDown() override { m_host.StopServer(); }

    // A connected client that has read its greeting.
    std::unique_ptr<CTestClient> Connect() {
        auto pClient = std::make_unique<CTestClient>(m_nPort);
        EXPECT_EQ(pClient->ReadLine(m_dispatcher).substr(0, 4), "220 ");
        return pClient;
    }
    std::unique_ptr<CTestClient> LoggedIn() {
        auto pClient = Connect();
        EXPECT_EQ(pClient->Command(m_dispatcher, "USER anonymous"), "331 Enter PASS command");
        EXPECT_EQ(pClient->Command(m_dispatcher, "PASS x"), "230 Logged in");
        return pClient;
    }
    std::string LogSince(size_t nMark) const { return m_host.LogText().substr(nMark); }

    CSocketDispatcher m_dispatcher;
    CRecordingViews m_views;
    CServerHost m_host{m_views};
    unsigned m_nPort = 0;
};

} // namespace

TEST_F(HostTest, GreetingRowAndConnectLine) {
    size_t nMark = m_host.LogText().size();
    CTestClient client(m_nPort);
    std::string strGreeting = client.ReadLine(m_dispatcher);
    EXPECT_EQ(strGreeting.rfind("220 " + LocalHostName() + " FTP version 0.7 ready at ", 0), 0u)
        << strGreeting;
    ASSERT_EQ(m_views.m_rows.size(), 1u);
    EXPECT_EQ(m_views.m_rows[0].strLabel, "<usuario conectando>");
    EXPECT_EQ(m_views.m_rows[0].nId, m_host.Session(0).Id());
    EXPECT_EQ(LogSince(nMark), "Conectado a 127.0.0.1\n");
    client.Close();
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_host.SessionCount() == 0; }));
    EXPECT_EQ(LogSince(nMark), "Conectado a 127.0.0.1\nConexi\xC3\xB3n a 127.0.0.1 closed\n");
    EXPECT_TRUE(m_views.m_rows.empty());
}

TEST_F(HostTest, StartLineNamesHostVersionTimeAndPort) {
    const std::string& strLog = m_host.LogText();
    EXPECT_EQ(strLog.rfind(LocalHostName() + " FTP versi\xC3\xB3n 0.7 iniciado ", 0), 0u) << strLog;
    EXPECT_NE(strLog.find("\nEscuchando en direcci\xC3\xB3n "), std::string::npos);
    EXPECT_NE(strLog.find(" y puerto " + std::to_string(m_nPort) + "\n"), std::string::npos);
    EXPECT_EQ(m_views.m_bRunning, true);
    // The time is laid out as ctime does, without its line end.
    std::string strTime = TimeText();
    EXPECT_EQ(strTime.size(), 24u);
    EXPECT_NE(strLog.find(strTime.substr(0, 10)), std::string::npos);
}

TEST_F(HostTest, LineCollectionAcrossAndWithinReceives) {
    auto pClient = Connect();
    // A USER line split over two receives runs once, with the whole name.
    pClient->Send("USER anon");
    PumpUntil(
        m_dispatcher,
        [&] {
            pClient->Poll();
            return false;
        },
        100);
    EXPECT_EQ(pClient->m_strReceived, "");
    EXPECT_EQ(pClient->Command(m_dispatcher, "ymous"), "331 Enter PASS command");
    EXPECT_EQ(pClient->Command(m_dispatcher, "PASS"), "230 Logged in");
    // Two lines in one receive: the second is dropped.
    pClient->Send("NOOP\r\nNOOP\r\n");
    EXPECT_EQ(pClient->ReadLine(m_dispatcher), "200 Ok");
    EXPECT_EQ(pClient->Command(m_dispatcher, "SYST"), "215 Windows95/NT Type: L8 Version: 0.7");
    // A CR LF split over two receives: the LF is an ignored empty line.
    pClient->Send("NOOP\r");
    EXPECT_EQ(pClient->ReadLine(m_dispatcher), "200 Ok");
    pClient->Send("\n");
    EXPECT_EQ(pClient->Command(m_dispatcher, "  noop  "), "200 Ok");
    // Only white space: nothing runs, nothing is answered.
    pClient->Send(" \t \r\n");
    EXPECT_EQ(pClient->Command(m_dispatcher, "NOOP"), "200 Ok");
}

TEST_F(HostTest, WordsParametersAndTheLoginGate) {
    auto pClient = Connect();
    EXPECT_EQ(pClient->Command(m_dispatcher, "FOO bar"), "530 Please log in with USER and PASS");
    EXPECT_EQ(pClient->Command(m_dispatcher, "NOOP"), "530 Please log in with USER and PASS");
    EXPECT_EQ(pClient->Command(m_dispatcher, "PWD"), "530 Please log in with USER and PASS");
    EXPECT_EQ(pClient->Command(m_dispatcher, "USER anonymous"), "331 Enter PASS command");
    EXPECT_EQ(pClient->Command(m_dispatcher, "PASS"), "230 Logged in");
    EXPECT_EQ(pClient->Command(m_dispatcher, "FOO bar"), "500 Unknown command \"foo\"");
    EXPECT_EQ(pClient->Command(m_dispatcher, "NAME x"), "500 Unknown command \"name\"");
    EXPECT_EQ(pClient->Command(m_dispatcher, "12345"), "500 Unknown command \"\"");
    EXPECT_EQ(pClient->Command(m_dispatcher, "EPSV"), "500 Unknown command \"epsv\"");
    EXPECT_EQ(pClient->Command(m_dispatcher, "RETR"),
              "500 \"retr\" : invalid number of parameters");
    EXPECT_EQ(pClient->Command(m_dispatcher, "Retrieve"),
              "500 \"retrieve\" : invalid number of parameters");
    EXPECT_EQ(pClient->Command(m_dispatcher, "CWD"), "500 \"cwd\" : invalid number of parameters");
    for (const char* pszWord : {"TYPE", "MODE", "STRU", "STOR", "DELE", "MKD", "RMD", "REST"}) {
        std::string strLower = pszWord;
        for (char& ch : strLower)
            ch = static_cast<char>(tolower(ch));
        EXPECT_EQ(pClient->Command(m_dispatcher, pszWord),
                  "500 \"" + strLower + "\" : invalid number of parameters");
    }
    EXPECT_EQ(pClient->Command(m_dispatcher, "XPWD"), "257 \"/\" is current directory");
    EXPECT_EQ(pClient->Command(m_dispatcher, "MODE B"), "500 Unsupported command or option");
    EXPECT_EQ(pClient->Command(m_dispatcher, "mode s"), "200 Ok");
    EXPECT_EQ(pClient->Command(m_dispatcher, "STRU R"), "500 Unsupported command or option");
    EXPECT_EQ(pClient->Command(m_dispatcher, "STRU F"), "200 Ok");
    EXPECT_EQ(pClient->Command(m_dispatcher, "REST abc"), "350 Restarting at 0 ok");
    EXPECT_EQ(pClient->Command(m_dispatcher, "REST 5000000000"), "350 Restarting at 5000000000 ok");
    EXPECT_EQ(pClient->Command(m_dispatcher, "TYPE L 8"), "200 Type  8 OK");
    EXPECT_EQ(pClient->Command(m_dispatcher, "TYPE E"), "501 Unknown type \"E\"");
    EXPECT_EQ(pClient->Command(m_dispatcher, "TYPE L 16"), "501 Only logical bytesize 8 supported");
}

TEST_F(HostTest, QuitAnswersBeforeLoginAndTheRowStaysUntilTheClientCloses) {
    auto pClient = Connect();
    EXPECT_EQ(pClient->Command(m_dispatcher, "QUIT"), "221 Goodbye!");
    EXPECT_TRUE(pClient->WaitClosed(m_dispatcher)); // the server ended its side
    EXPECT_EQ(m_host.SessionCount(), 1u);
    EXPECT_EQ(m_views.m_rows.size(), 1u);
    pClient->Close();
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_host.SessionCount() == 0; }));
}

TEST_F(HostTest, LoginRules) {
    EditSettings(m_host)->m_users = ParseUserList(
        {"ann,Secret,1,1", "ann,Later,1,1", "Bob,,0,1", "a,b,pw,1,1", "anonymous,,0,1"});
    auto pClient = Connect();
    EXPECT_EQ(pClient->Command(m_dispatcher, "PASS x"), "503 Login with USER first.");
    EXPECT_EQ(pClient->Command(m_dispatcher, "USER"), "331 Enter PASS command");
    EXPECT_EQ(pClient->Command(m_dispatcher, "PASS x"), "503 Login with USER first.");
    EXPECT_EQ(pClient->Command(m_dispatcher, "USER Anonymous"), "331 Enter PASS command");
    EXPECT_EQ(pClient->Command(m_dispatcher, "PASS x"), "550 Permission denied");
    EXPECT_EQ(pClient->Command(m_dispatcher, "USER ann"), "331 Enter PASS command");
    EXPECT_EQ(pClient->Command(m_dispatcher, "PASS Secret"), "550 Permission denied");
    EXPECT_EQ(pClient->Command(m_dispatcher, "PASS later"), "550 Permission denied");
    EXPECT_EQ(pClient->Command(m_dispatcher, "PASS"), "550 Permission denied");
    EXPECT_EQ(pClient->Command(m_dispatcher, "NOOP"), "530 Please log in with USER and PASS");
    // The name was kept after the failures.
    EXPECT_EQ(pClient->Command(m_dispatcher, "PASS Later"), "230 Logged in");
    EXPECT_EQ(m_views.m_rows[0].strLabel, "ann (127.0.0.1)");
    EXPECT_EQ(pClient->Command(m_dispatcher, "NOOP"), "200 Ok");
    // A failed PASS leaves the client logged in under its name.
    EXPECT_EQ(pClient->Command(m_dispatcher, "PASS wrong"), "550 Permission denied");
    EXPECT_EQ(pClient->Command(m_dispatcher, "NOOP"), "200 Ok");
    // USER logs out at once.
    EXPECT_EQ(pClient->Command(m_dispatcher, "USER Bob"), "331 Enter PASS command");
    EXPECT_EQ(pClient->Command(m_dispatcher, "NOOP"), "530 Please log in with USER and PASS");
    EXPECT_EQ(pClient->Command(m_dispatcher, "PASS anything at all"), "230 Logged in");
    EXPECT_EQ(m_views.m_rows[0].strLabel, "Bob (127.0.0.1)");
    // A name with a comma can never log in.
    EXPECT_EQ(pClient->Command(m_dispatcher, "USER a,b"), "331 Enter PASS command");
    EXPECT_EQ(pClient->Command(m_dispatcher, "PASS pw"), "550 Permission denied");
    // Its record is the name up to the first comma, the password up to the
    // flags: commas and all.
    EXPECT_EQ(pClient->Command(m_dispatcher, "USER a"), "331 Enter PASS command");
    EXPECT_EQ(pClient->Command(m_dispatcher, "PASS b"), "550 Permission denied");
    EXPECT_EQ(pClient->Command(m_dispatcher, "PASS b,pw"), "230 Logged in");
}

TEST_F(HostTest, LoginLogLineAndRelabelKeepsRowPosition) {
    auto pFirst = Connect();
    auto pSecond = Connect();
    auto pThird = Connect();
    size_t nMark = m_host.LogText().size();
    EXPECT_EQ(pSecond->Command(m_dispatcher, "USER anonymous"), "331 Enter PASS command");
    EXPECT_EQ(pSecond->Command(m_dispatcher, "PASS a@b"), "230 Logged in");
    EXPECT_EQ(LogSince(nMark), "Usuario anonymous logeado en, cas es /\n");
    ASSERT_EQ(m_views.m_rows.size(), 3u);
    EXPECT_EQ(m_views.m_rows[0].strLabel, "<usuario conectando>");
    EXPECT_EQ(m_views.m_rows[1].strLabel, "anonymous (127.0.0.1)");
    EXPECT_EQ(m_views.m_rows[2].strLabel, "<usuario conectando>");
    // Same address, same text: the rows are told apart by connection.
    EXPECT_EQ(pFirst->Command(m_dispatcher, "USER anonymous"), "331 Enter PASS command");
    EXPECT_EQ(pFirst->Command(m_dispatcher, "PASS"), "230 Logged in");
    EXPECT_EQ(m_views.m_rows[0].strLabel, m_views.m_rows[1].strLabel);
    EXPECT_NE(m_views.m_rows[0].nId, m_views.m_rows[1].nId);
    EXPECT_EQ(m_views.m_rows[0].nId, m_host.Session(0).Id());
    // Disconnecting a session removes exactly that connection.
    m_host.RemoveSession(m_views.m_rows[1].nId);
    EXPECT_TRUE(pSecond->WaitClosed(m_dispatcher));
    EXPECT_EQ(pSecond->m_strReceived, ""); // no reply on the way out
    ASSERT_EQ(m_views.m_rows.size(), 2u);
    EXPECT_EQ(m_views.m_rows[0].nId, m_host.Session(0).Id());
    EXPECT_EQ(m_views.m_rows[1].nId, m_host.Session(1).Id());
    m_host.RemoveSession(9999); // no such session: nothing happens
    EXPECT_EQ(m_host.SessionCount(), 2u);
    EXPECT_EQ(pFirst->Command(m_dispatcher, "NOOP"), "200 Ok");
    EXPECT_EQ(pThird->Command(m_dispatcher, "NOOP"), "530 Please log in with USER and PASS");
}

TEST_F(HostTest, LogLevelsFilterTraffic) {
    EditSettings(m_host)->m_nLogLevel = 1;
    size_t nMark = m_host.LogText().size();
    auto pClient = LoggedIn();
    EXPECT_EQ(pClient->Command(m_dispatcher, "NOOP"), "200 Ok");
    EXPECT_EQ(LogSince(nMark), "Conectado a 127.0.0.1\nUsuario anonymous logeado en, cas es /\n");
    EditSettings(m_host)->m_nLogLevel = 2;
    nMark = m_host.LogText().size();
    pClient->Send("NOOP\r\nextra");
    EXPECT_EQ(pClient->ReadLine(m_dispatcher), "200 Ok");
    // The classic log shows the whole read; a line end inside it is the
    // client's text, shown, so that what follows cannot begin a line. The
    // logged line ends a line of the log even where the read did not.
    EXPECT_EQ(LogSince(nMark), "NOOP\\x0D\\x0Aextra\r\n200 Ok\r\n");
    EditSettings(m_host)->m_nLogLevel = 0;
    nMark = m_host.LogText().size();
    EXPECT_EQ(pClient->Command(m_dispatcher, "NOOP"), "200 Ok");
    EXPECT_EQ(LogSince(nMark), "");
}

// Every line about a session names its client, its session and, once
// logged in, its user beside the text; the client's own text is escaped
// before it reaches the record.
TEST_F(HostTest, LogRecordsNameTheirEventClientAndSession) {
    EditSettings(m_host)->m_nLogLevel = 2;
    m_views.m_records.clear();
    auto pClient = Connect();
    const uint64_t nId = m_host.Session(0).Id();
    pClient->Send(std::string("USER \x1B]0;x\x07\xFF\r\n"));
    EXPECT_EQ(pClient->ReadLine(m_dispatcher), "331 Enter PASS command");
    EXPECT_EQ(pClient->Command(m_dispatcher, "PASS x"), "550 Permission denied");
    EXPECT_EQ(pClient->Command(m_dispatcher, "USER anonymous"), "331 Enter PASS command");
    EXPECT_EQ(pClient->Command(m_dispatcher, "PASS x"), "230 Logged in");
    pClient->Close();
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_host.SessionCount() == 0; }));

    std::vector<std::string> events;
    for (const SLogRecord& record : m_views.m_records) {
        events.push_back(LogEventName(record.event));
        EXPECT_EQ(record.strClient, "127.0.0.1") << record.strText;
        EXPECT_EQ(record.nSession, nId) << record.strText;
        EXPECT_EQ(record.nLevel,
                  record.event == LogEvent::Command || record.event == LogEvent::Reply ? 2
                  : record.event == LogEvent::LoginFailed                              ? 1
                                                                                       : 0);
    }
    const std::vector<std::string> expected = {
        "reply",   "connect", "command", "reply", "command", "login-failed", "reply",
        "command", "reply",   "command", "reply", "login",   "disconnect"};
    EXPECT_EQ(events, expected);
    const std::vector<SLogRecord>& records = m_views.m_records;
    ASSERT_EQ(records.size(), expected.size());
    EXPECT_EQ(records[2].strText, "USER \\x1B]0;x\\x07\\xFF\r\n");
    EXPECT_EQ(records[5].strUser, "\\x1B]0;x\\x07\\xFF");
    EXPECT_EQ(records[5].strText,
              "Inicio de sesi\xC3\xB3n fallido de 127.0.0.1 (usuario \\x1B]0;x\\x07\\xFF)\n");
    // Before login no user; after it, the user's name.
    EXPECT_EQ(records[9].strUser, "");
    EXPECT_EQ(records[11].strUser, "anonymous");
    EXPECT_EQ(records[12].strUser, "anonymous");
    // A line without a session has none of it.
    m_host.Log("plain\n", 0);
    EXPECT_EQ(m_views.m_records.back().event, LogEvent::None);
    EXPECT_EQ(m_views.m_records.back().nSession, 0u);
}

TEST_F(HostTest, LogIsCutToItsLastPartPastTheLimit) {
    EditSettings(m_host)->m_nLogLevel = 2;
    std::string strStart = m_host.LogText();
    std::string strFill(CServerHost::kLogLimit - strStart.size(), 'a');
    m_host.Log(strFill, 0);
    EXPECT_EQ(m_host.LogText().size(), CServerHost::kLogLimit);
    m_host.Log("Z", 0); // 32768 characters: cut
    EXPECT_EQ(m_host.LogText().size(), CServerHost::kLogKeep);
    EXPECT_EQ(m_host.LogText().back(), 'Z');
    // A text longer than what a cut keeps leaves only its end.
    std::string strLong = std::string(20000, 'b') + "END";
    m_host.Log(strLong, 0);
    EXPECT_EQ(m_host.LogText(), strLong.substr(strLong.size() - CServerHost::kLogKeep));
    // The cut never splits a character.
    std::string strWide;
    while (strWide.size() < 40000)
        strWide += "\xC3\xB3";
    m_host.Log(strWide, 0);
    EXPECT_NE(static_cast<unsigned char>(m_host.LogText()[0]) & 0xC0, 0x80);
    EXPECT_EQ(TailOnCharBoundary("\xC3\xB3x", 2), "x");
}

TEST_F(HostTest, PortInUseLeavesTheServerStoppedAndCanBeRetried) {
    m_host.StopServer();
    CAsyncSocket occupier;
    ASSERT_TRUE(occupier.Create(0));
    ASSERT_EQ(occupier.Listen(5), 0);
    CAddress address;
    occupier.GetSockName(address);
    EditSettings(m_host)->m_nPort = address.Port();
    size_t nMark = m_host.LogText().size();
    EXPECT_EQ(m_host.StartServer(), -1);
    EXPECT_FALSE(m_host.IsRunning());
    EXPECT_EQ(m_host.Listener(), nullptr);
    EXPECT_EQ(LogSince(nMark), "Error: no es posible iniciar Skerrow\n");
    EXPECT_EQ(m_views.m_bRunning, false);
    occupier.Close();
    EXPECT_EQ(m_host.StartServer(), 0);
    EXPECT_TRUE(m_host.IsRunning());
    EXPECT_EQ(m_views.m_bRunning, true);
}

TEST_F(HostTest, PortsOutsideTheTcpRangeFailAsAPortInUse) {
    m_host.StopServer();
    for (int nPort : {0, -1, 65536, 70000, 92146}) {
        EditSettings(m_host)->m_nPort = nPort;
        size_t nMark = m_host.LogText().size();
        EXPECT_EQ(m_host.StartServer(), -1) << nPort;
        EXPECT_FALSE(m_host.IsRunning());
        EXPECT_EQ(m_host.Listener(), nullptr);
        EXPECT_EQ(LogSince(nMark), "Error: no es posible iniciar Skerrow\n");
        EXPECT_EQ(m_views.m_bRunning, false);
    }
}

TEST_F(HostTest, StopClosesEveryClientAndLogsOnce) {
    auto p1 = LoggedIn();
    auto p2 = Connect();
    auto p3 = Connect();
    EXPECT_EQ(m_host.SessionCount(), 3u);
    size_t nMark = m_host.LogText().size();
    m_host.StopServer();
    EXPECT_EQ(m_host.SessionCount(), 0u);
    EXPECT_TRUE(m_views.m_rows.empty());
    EXPECT_EQ(m_views.m_bRunning, false);
    std::string strLog = LogSince(nMark);
    EXPECT_EQ(strLog.rfind(LocalHostName() + " FTP versi\xC3\xB3n 0.7 parado ", 0), 0u) << strLog;
    EXPECT_EQ(std::count(strLog.begin(), strLog.end(), '\n'), 1);
    for (auto* p : {p1.get(), p2.get(), p3.get()})
        EXPECT_TRUE(p->WaitClosed(m_dispatcher));
    CTestClient late(m_nPort);
    EXPECT_TRUE(late.WaitClosed(m_dispatcher)); // refused: nobody listens
    // Stopping again still logs the stop line.
    nMark = m_host.LogText().size();
    m_host.StopServer();
    EXPECT_NE(LogSince(nMark).find(" parado "), std::string::npos);
}

TEST_F(HostTest, BadClientsDoNotDisturbOthers) {
    auto pGood = LoggedIn();
    {
        // Garbage, then gone in the middle of a line.
        auto pGarbage = Connect();
        pGarbage->Send(std::string("\x01\x02\xff\xfe garbage without end", 25));
    }
    {
        auto pReset = Connect();
        pReset->Send("USER x");
        pReset->Reset();
    }
    auto pSilent = Connect();
    // A line longer than the input bound is dropped without a reply.
    auto pLong = LoggedIn();
    pLong->Send(std::string(CClientSocket::kMaxInput + 5000, 'A') + "\r\n");
    CClientSocket* pServerSide = &m_host.Session(m_host.SessionCount() - 1);
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] {
        int nUnsent = 0, nUnread = 0;
        ::ioctl(pLong->m_hSocket, SIOCOUTQ, &nUnsent);
        ::ioctl(pServerSide->Handle(), FIONREAD, &nUnread);
        return nUnsent == 0 && nUnread == 0;
    }));
    EXPECT_EQ(pLong->Command(m_dispatcher, "NOOP"), "200 Ok");
    // The long line's memory is given back.
    EXPECT_LE(pServerSide->PendingInput().capacity(), CClientSocket::kKeptInputCapacity);
    pLong->Send(std::string(CClientSocket::kMaxInput - 100, 'B') + "\r\n");
    EXPECT_EQ(pLong->ReadLine(m_dispatcher).substr(0, 20), "500 Unknown command ");
    EXPECT_LE(pServerSide->PendingInput().capacity(), CClientSocket::kKeptInputCapacity);
    // A zero byte ends the command line.
    pLong->Send(std::string("NOOP\0garbage\r\n", 14));
    EXPECT_EQ(pLong->ReadLine(m_dispatcher), "200 Ok");
    pLong->Send(std::string("US\0ER x\r\n", 9));
    EXPECT_EQ(pLong->ReadLine(m_dispatcher), "500 Unknown command \"us\"");
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_host.SessionCount() == 3; }));
    EXPECT_EQ(pGood->Command(m_dispatcher, "NOOP"), "200 Ok");
    EXPECT_EQ(pGood->Command(m_dispatcher, "PWD"), "257 \"/\" is current directory");
}

namespace {

// The temporary folder of the listings, pointed at a fresh folder for one test.
class CTemporaryFolder {
public:
    CTemporaryFolder() {
        m_path = std::filesystem::temp_directory_path() /
                 ("skerrow-host-tmp-" + std::to_string(getpid()));
        std::filesystem::create_directories(m_path);
        const char* pszOld = getenv("TMPDIR");
        m_bHadOld = pszOld != nullptr;
        if (pszOld)
            m_strOld = pszOld;
        setenv("TMPDIR", m_path.c_str(), 1);
    }
    ~CTemporaryFolder() {
        if (m_bHadOld)
            setenv("TMPDIR", m_strOld.c_str(), 1);
        else
            unsetenv("TMPDIR");
        std::filesystem::remove_all(m_path);
    }
    // The listings written beneath it.
    size_t Files() const {
        size_t nFiles = 0;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(m_path))
            nFiles +=
                entry.is_regular_file() && entry.path().filename().string().rfind("FLS", 0) == 0;
        return nFiles;
    }

private:
    std::filesystem::path m_path;
    std::string m_strOld;
    bool m_bHadOld = false;
};

} // namespace

TEST_F(HostTest, TimedAbandonedTransfersAreBoundedAndTimedOut) {
    CTemporaryFolder temp;
    // Long enough for the five commands below to be answered first.
    CDataSocket::SetTimeoutsForTests(ScaledMs(1000), ScaledMs(1000));
    auto pClient = LoggedIn();
    CClientSocket* pServerSide = &m_host.Session(0);
    // Four transfers that nobody connects to are held...
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(pClient->Command(m_dispatcher, "PASV").substr(0, 4), "227 ");
        EXPECT_EQ(pClient->Command(m_dispatcher, "LIST").substr(0, 4), "150 ");
    }
    EXPECT_EQ(pServerSide->Transfers().Running(), 4u);
    EXPECT_EQ(temp.Files(), 4u);
    // ... a fifth is refused at once and holds nothing.
    EXPECT_EQ(pClient->Command(m_dispatcher, "PASV").substr(0, 4), "227 ");
    EXPECT_EQ(pClient->Command(m_dispatcher, "LIST").substr(0, 4), "150 ");
    EXPECT_EQ(pClient->ReadLine(m_dispatcher), "425 Data connection reset");
    EXPECT_EQ(pServerSide->Transfers().Running(), 4u);
    EXPECT_EQ(temp.Files(), 4u);
    // The held ones fail when their time is up, giving everything back.
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(pClient->ReadLine(m_dispatcher), "425 Data connection reset");
    EXPECT_TRUE(pServerSide->Transfers().Count() == 0);
    EXPECT_EQ(temp.Files(), 0u);
    // Active mode to a port nobody answers on fails and is released too.
    // Bound but never listening: a connection to it is refused, and no one
    // else is handed the port meanwhile.
    CAsyncSocket closed;
    ASSERT_TRUE(closed.Create(0, "127.0.0.1"));
    CAddress address;
    closed.GetSockName(address);
    unsigned nPort = address.Port();
    EXPECT_EQ(pClient->Command(m_dispatcher, "PORT 127,0,0,1," + std::to_string(nPort >> 8) + "," +
                                                 std::to_string(nPort & 255)),
              "200 Port command okay");
    EXPECT_EQ(pClient->Command(m_dispatcher, "NLST").substr(0, 4), "150 ");
    EXPECT_EQ(pClient->ReadLine(m_dispatcher), "425 Data connection reset");
    EXPECT_TRUE(PumpUntil(m_dispatcher, [&] { return pServerSide->Transfers().Count() == 0; }));
    EXPECT_EQ(temp.Files(), 0u);
    CDataSocket::SetTimeoutsForTests(CDataSocket::kConnectTimeoutMs, CDataSocket::kLingerMs);
}

TEST_F(HostTest, ViewsHearOfSessionsInOrder) {
    m_views.m_events.clear();
    auto pFirst = LoggedIn();
    auto pSecond = Connect();
    const auto nFirst = m_views.m_rows[0].nId;
    const auto nSecond = m_views.m_rows[1].nId;
    EXPECT_NE(nFirst, nSecond);
    pFirst->Close();
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_host.SessionCount() == 1; }));
    m_host.StopServer();
    const std::vector<std::string> expected = {
        "admitted " + std::to_string(nFirst) + " <usuario conectando>",
        "relabelled " + std::to_string(nFirst) + " anonymous (127.0.0.1)",
        "admitted " + std::to_string(nSecond) + " <usuario conectando>",
        "removed " + std::to_string(nFirst),
        "removed " + std::to_string(nSecond),
        "stopped",
    };
    EXPECT_EQ(m_views.m_events, expected);
}

TEST_F(HostTest, TheServerStoppedFromInsideASessionsOwnEvent) {
    CTemporaryFolder temp;
    auto pClient = LoggedIn();
    auto pOther = LoggedIn();
    // A transfer waiting on its passive listener while the session goes.
    EXPECT_EQ(pClient->Command(m_dispatcher, "PASV").substr(0, 4), "227 ");
    EXPECT_EQ(pClient->Command(m_dispatcher, "LIST").substr(0, 4), "150 ");
    EditSettings(m_host)->m_nLogLevel = 2;
    m_views.m_onLog = [this](const std::string& strText) {
        if (strText.rfind("NOOP stop", 0) == 0)
            m_host.StopServer();
    };
    pClient->Send("NOOP stop\r\n");
    EXPECT_TRUE(pClient->WaitClosed(m_dispatcher));
    EXPECT_TRUE(pOther->WaitClosed(m_dispatcher));
    EXPECT_EQ(m_host.SessionCount(), 0u);
    EXPECT_FALSE(m_host.IsRunning());
    EXPECT_EQ(temp.Files(), 0u);
    m_views.m_onLog = nullptr;
}

TEST_F(HostTest, ASessionRemovedWhileItsTransferFinishes) {
    CTemporaryFolder temp;
    auto pClient = LoggedIn();
    const auto nId = m_views.m_rows[0].nId;
    // The end of the transfer (its reply) removes the session from inside
    // the data connection's own event.
    EditSettings(m_host)->m_nLogLevel = 2;
    m_views.m_onLog = [this, nId](const std::string& strText) {
        if (strText.rfind("226 ", 0) == 0 || strText.rfind("425 ", 0) == 0)
            m_host.RemoveSession(nId);
    };
    std::string strPasv = pClient->Command(m_dispatcher, "PASV");
    ASSERT_EQ(strPasv.substr(0, 4), "227 ");
    int a, b, c, d, p1, p2;
    ASSERT_EQ(sscanf(strPasv.c_str(), "227 Entering passive mode (%d,%d,%d,%d,%d,%d)", &a, &b, &c,
                     &d, &p1, &p2),
              6);
    CTestClient data(static_cast<unsigned>(p1 * 256 + p2));
    EXPECT_EQ(pClient->Command(m_dispatcher, "NLST").substr(0, 4), "150 ");
    EXPECT_TRUE(data.WaitClosed(m_dispatcher));
    EXPECT_TRUE(pClient->WaitClosed(m_dispatcher));
    EXPECT_EQ(m_host.SessionCount(), 0u);
    EXPECT_TRUE(PumpUntil(m_dispatcher, [&] { return temp.Files() == 0; }));
    m_views.m_onLog = nullptr;
}

TEST_F(HostTest, TimedAHandshakeThatStallsIsDroppedAndTheOthersGoOn) {
    // TLS with Skerrow's own certificate, made in a folder of the test's own.
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("skerrow-host-tls-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    m_host.Certificate().SetFolder(folder.string());
    EditSettings(m_host)->m_extended.m_bEnabled = true;
    EditSettings(m_host)->m_extended.m_nTlsMode = 1;
    CDataSocket::SetTimeoutsForTests(CDataSocket::kConnectTimeoutMs, CDataSocket::kLingerMs, 300);

    CTestClient stalled(m_nPort);
    ASSERT_EQ(stalled.ReadLine(m_dispatcher).substr(0, 4), "220 ");
    stalled.Send("AUTH TLS\r\n");
    EXPECT_EQ(stalled.ReadLine(m_dispatcher), "234 AUTH TLS ok");
    // No hello follows; another client is served meanwhile.
    CTestClient other(m_nPort);
    ASSERT_EQ(other.ReadLine(m_dispatcher).substr(0, 4), "220 ");
    other.Send("USER anonymous\r\n");
    EXPECT_EQ(other.ReadLine(m_dispatcher), "331 Enter PASS command");
    // After the limit the stalled connection is gone, and only it.
    EXPECT_TRUE(PumpUntil(
        m_dispatcher, [&] { return stalled.Poll(); }, 3000));
    EXPECT_EQ(m_host.SessionCount(), 1u);
    other.Send("PASS x\r\n");
    EXPECT_EQ(other.ReadLine(m_dispatcher), "230 Logged in");

    CDataSocket::SetTimeoutsForTests(CDataSocket::kConnectTimeoutMs, CDataSocket::kLingerMs);
    std::filesystem::remove_all(folder);
}

TEST_F(HostTest, TimedATransferThatMovesNothingFailsAndGivesBackItsSocket) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("skerrow-stall-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    {
        std::ofstream big(folder / "big.bin", std::ios::binary);
        const std::string strBlock(1 << 20, 'x');
        for (int i = 0; i < 32; ++i)
            big << strBlock;
    }
    EditSettings(m_host)->m_folderMap = ParseFolderMap({"/=" + folder.string() + "/,1,1"});
    CDataSocket::SetTimeoutsForTests(CDataSocket::kConnectTimeoutMs, CDataSocket::kLingerMs,
                                     CDataSocket::kHandshakeMs, ScaledMs(300));
    for (bool bExtended : {false, true}) {
        EditSettings(m_host)->m_extended.m_bEnabled = bExtended;
        auto pClient = LoggedIn();
        EXPECT_EQ(pClient->Command(m_dispatcher, "TYPE I"), "200 Type I OK");
        std::string strPasv = pClient->Command(m_dispatcher, "PASV");
        int a, b, c, d, p1, p2;
        ASSERT_EQ(sscanf(strPasv.c_str(), "227 Entering %*s mode (%d,%d,%d,%d,%d,%d)", &a, &b, &c,
                         &d, &p1, &p2),
                  6)
            << strPasv;
        // A client that takes its data connection and never reads it.
        CTestClient data(static_cast<unsigned>(p1 * 256 + p2));
        EXPECT_EQ(pClient->Command(m_dispatcher, "RETR big.bin").substr(0, 4), "150 ");
        EXPECT_EQ(pClient->ReadLine(m_dispatcher),
                  bExtended ? "426 Transfer aborted" : "425 Data connection reset");
        // The data connection is given back; the session goes on.
        EXPECT_TRUE(
            PumpUntil(m_dispatcher, [&] { return m_host.Session(0).Transfers().Count() == 0; }));
        EXPECT_EQ(pClient->Command(m_dispatcher, "NOOP"), "200 Ok");
        pClient.reset();
        EXPECT_TRUE(PumpUntil(m_dispatcher, [&] { return m_host.SessionCount() == 0; }));
    }
    CDataSocket::SetTimeoutsForTests(CDataSocket::kConnectTimeoutMs, CDataSocket::kLingerMs);
    std::filesystem::remove_all(folder);
}

TEST_F(HostTest, TimedADownloadIsAnsweredWhenItsClientClosesOrAfterTheGrace) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("skerrow-grace-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "small.bin", std::ios::binary) << "0123456789";
    EditSettings(m_host)->m_folderMap = ParseFolderMap({"/=" + folder.string() + "/,1,1"});
    CDataSocket::SetTimeoutsForTests(CDataSocket::kConnectTimeoutMs, ScaledMs(1000));
    auto pClient = LoggedIn();
    auto download = [&] {
        std::string strPasv = pClient->Command(m_dispatcher, "PASV");
        int a, b, c, d, p1, p2;
        EXPECT_EQ(sscanf(strPasv.c_str(), "227 Entering passive mode (%d,%d,%d,%d,%d,%d)", &a, &b,
                         &c, &d, &p1, &p2),
                  6);
        auto pData = std::make_unique<CTestClient>(static_cast<unsigned>(p1 * 256 + p2));
        EXPECT_EQ(pClient->Command(m_dispatcher, "RETR small.bin").substr(0, 4), "150 ");
        // The whole file, and the end of our side, before any reply.
        EXPECT_TRUE(pData->WaitClosed(m_dispatcher));
        EXPECT_EQ(pData->m_strReceived, "0123456789");
        return pData;
    };
    // A grace longer than the test: the 226 waits for the client's close.
    EditSettings(m_host)->m_nTestReplyGraceMs = 3600 * 1000;
    auto pData = download();
    pClient->Poll();
    EXPECT_EQ(pClient->m_strReceived, "");
    pData->Close();
    EXPECT_EQ(pClient->ReadLine(m_dispatcher), "226 Transfer complete");
    EXPECT_TRUE(
        PumpUntil(m_dispatcher, [&] { return m_host.Session(0).Transfers().Count() == 0; }));
    // A client that waits for the 226 before it closes gets it after the
    // grace; the connection it keeps is closed after the linger time.
    const int nGraceMs = ScaledMs(200);
    EditSettings(m_host)->m_nTestReplyGraceMs = nGraceMs;
    const auto started = std::chrono::steady_clock::now();
    pData = download();
    EXPECT_EQ(pClient->ReadLine(m_dispatcher), "226 Transfer complete");
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(nGraceMs));
    EXPECT_EQ(m_host.Session(0).Transfers().Count(), 1u);
    EXPECT_TRUE(
        PumpUntil(m_dispatcher, [&] { return m_host.Session(0).Transfers().Count() == 0; }));
    EXPECT_EQ(pClient->Command(m_dispatcher, "NOOP"), "200 Ok");
    CDataSocket::SetTimeoutsForTests(CDataSocket::kConnectTimeoutMs, CDataSocket::kLingerMs);
    std::filesystem::remove_all(folder);
}

// Walks both command tables: a row that says it moves file data is the one
// whose command opens a data connection (150), so that "TLS required"
// protects every such command, one added later too.
TEST_F(HostTest, EveryRowSaysWhetherItMovesFileData) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("skerrow-walk-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    EditSettings(m_host)->m_users = ParseUserList({"anonymous,,1,1"});
    EditSettings(m_host)->m_folderMap = ParseFolderMap({"/=" + folder.string() + "/,1,1"});
    for (bool bExtended : {false, true}) {
        EditSettings(m_host)->m_extended.m_bEnabled = bExtended;
        const CProtocol& protocol = bExtended ? CProtocol::Extended() : CProtocol::Classic();
        for (const CCommandRow& row : protocol.OwnCommands()) {
            std::ofstream(folder / "f") << "data";
            auto pClient = LoggedIn();
            ASSERT_EQ(pClient->Command(m_dispatcher, "PASV").substr(0, 4), "227 ");
            const std::string strWord = row.pszWord;
            const bool bArgument = row.parameter == ParameterRule::Required;
            const std::string strReply =
                pClient->Command(m_dispatcher, strWord + (bArgument ? " f" : ""));
            EXPECT_EQ(row.bMovesData, strReply.rfind("150 ", 0) == 0)
                << strWord << (bExtended ? " (extended): " : ": ") << strReply;
        }
    }
    EditSettings(m_host)->m_extended.m_bEnabled = false;
    std::filesystem::remove_all(folder);
}

namespace {
// A multi-line reply, up to and with its last line (the one whose code is
// followed by a space), each line ending in CR LF.
std::string ReadReply(CTestClient& rClient, CSocketDispatcher& rDispatcher) {
    std::string strReply;
    for (;;) {
        const std::string strLine = rClient.ReadLine(rDispatcher);
        strReply += strLine + "\r\n";
        if (strLine.size() < 4 || strLine[3] == ' ')
            return strReply;
    }
}

const char* const kFeaturesClear =
    "211-Features:\r\n EPRT\r\n EPSV\r\n HASH SHA-1;SHA-256*;SHA-512;MD5\r\n MDTM\r\n MFMT\r\n"
    " MLST type*;size*;modify*;perm*;UNIX.mode*;\r\n"
    " RANG STREAM\r\n REST STREAM\r\n SIZE\r\n TVFS\r\n UTF8\r\n211 End\r\n";
const char* const kFeaturesTls =
    "211-Features:\r\n AUTH TLS\r\n EPRT\r\n EPSV\r\n HASH SHA-1;SHA-256*;SHA-512;MD5\r\n"
    " MDTM\r\n MFMT\r\n MLST type*;size*;modify*;perm*;UNIX.mode*;\r\n PBSZ\r\n PROT\r\n"
    " RANG STREAM\r\n REST STREAM\r\n SIZE\r\n TVFS\r\n UTF8\r\n211 End\r\n";

// TLS with Skerrow's own certificate, made in a folder of the test's own.
struct STlsFolder {
    explicit STlsFolder(CServerHost& rHost)
        : path(std::filesystem::temp_directory_path() /
               ("skerrow-feat-tls-" + std::to_string(getpid()))) {
        std::filesystem::create_directories(path);
        rHost.Certificate().SetFolder(path.string());
    }
    ~STlsFolder() { std::filesystem::remove_all(path); }
    std::filesystem::path path;
};
} // namespace

// FEAT is made from the command table: the same text, byte for byte, in
// every mode and TLS setting, and the security exchange is named only
// where it is offered (not with a certificate that cannot be used).
TEST_F(HostTest, FeatTextsOfEveryModeAndTlsSetting) {
    STlsFolder tls(m_host);
    for (int nMode : {0, 1, 2}) {
        EditSettings(m_host)->m_extended.m_nTlsMode = nMode;
        EditSettings(m_host)->m_extended.m_bEnabled = false;
        auto pClassic = LoggedIn();
        EXPECT_EQ(pClassic->Command(m_dispatcher, "FEAT"), "500 Unknown command \"feat\"");
        EXPECT_EQ(pClassic->Command(m_dispatcher, "AUTH TLS"), "500 Unknown command \"auth\"");
        EditSettings(m_host)->m_extended.m_bEnabled = true;
        auto pClient = Connect();
        pClient->Send("FEAT\r\n");
        EXPECT_EQ(ReadReply(*pClient, m_dispatcher), nMode == 0 ? kFeaturesClear : kFeaturesTls)
            << nMode;
    }
    EditSettings(m_host)->m_extended.m_nTlsMode = 1;
    EditSettings(m_host)->m_extended.m_strTlsCertificate = (tls.path / "missing-cert.pem").string();
    EditSettings(m_host)->m_extended.m_strTlsKey = (tls.path / "missing-key.pem").string();
    auto pClient = Connect();
    pClient->Send("FEAT\r\n");
    EXPECT_EQ(ReadReply(*pClient, m_dispatcher), kFeaturesClear);
    EXPECT_EQ(pClient->Command(m_dispatcher, "AUTH TLS"), "500 Unknown command \"auth\"");
    EditSettings(m_host)->m_extended = CExtendedSettings();
}

// A session keeps the TLS policy it connected with until it logs in, and
// the one it logged in with afterwards, whatever the settings say meanwhile.
TEST_F(HostTest, ASessionKeepsItsTlsPolicyAsItKeepsItsMode) {
    STlsFolder tls(m_host);
    EditSettings(m_host)->m_extended.m_bEnabled = true;
    EditSettings(m_host)->m_extended.m_nTlsMode = 2;
    auto pRequired = Connect();
    EditSettings(m_host)->m_extended.m_nTlsMode = 0;
    EXPECT_EQ(pRequired->Command(m_dispatcher, "USER anonymous"),
              "530 TLS required: use AUTH TLS first");
    pRequired->Send("FEAT\r\n");
    EXPECT_EQ(ReadReply(*pRequired, m_dispatcher), kFeaturesTls);

    auto pClear = Connect();
    EXPECT_EQ(pClear->Command(m_dispatcher, "USER anonymous"), "331 Enter PASS command");
    EditSettings(m_host)->m_extended.m_nTlsMode = 2;
    EXPECT_EQ(pClear->Command(m_dispatcher, "AUTH TLS"), "500 Unknown command \"auth\"");
    EXPECT_EQ(pClear->Command(m_dispatcher, "PASS x"), "230 Logged in");
    // The login took the policy now in force.
    pClear->Send("FEAT\r\n");
    EXPECT_EQ(ReadReply(*pClear, m_dispatcher), kFeaturesTls);
    EXPECT_EQ(pClear->Command(m_dispatcher, "LIST"),
              "521 Data connections must be protected: use PROT P");
    EditSettings(m_host)->m_extended = CExtendedSettings();
}
