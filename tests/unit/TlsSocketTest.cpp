// The socket layer's TLS over loopback, driven from the test's one thread:
// an OpenSSL client on a non-blocking socket, stepped between passes of
// the dispatcher.
#include "net/AsyncSocket.h"
#include "net/TlsContext.h"
#include "tests/unit/SocketTestSupport.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

class CServerSide : public CAsyncSocket {
public:
    void OnTlsHandshake(int nErrorCode) override { m_nHandshake = nErrorCode; }
    void OnReceive(int) override {
        char buffer[64];
        int nRead = Receive(buffer, m_nReadSize);
        if (nRead > 0)
            m_strReceived.append(buffer, static_cast<size_t>(nRead));
        else if (nRead == 0)
            m_bEnded = true;
        ++m_nReceiveEvents;
    }
    void OnSend(int) override {
        while (m_nSent < m_strToSend.size()) {
            int nSent =
                Send(m_strToSend.data() + m_nSent,
                     static_cast<int>(std::min<size_t>(m_strToSend.size() - m_nSent, 65536)));
            if (nSent <= 0)
                return;
            m_nSent += static_cast<size_t>(nSent);
        }
    }
    void OnClose(int) override { m_bEnded = true; }

    int m_nHandshake = -1;
    int m_nReadSize = 7;
    int m_nReceiveEvents = 0;
    bool m_bEnded = false;
    std::string m_strReceived;
    std::string m_strToSend;
    size_t m_nSent = 0;
};

class TlsSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = fs::temp_directory_path() / ("skerrow-tls-" + std::to_string(getpid()));
        fs::create_directories(m_folder);
        m_strCert = (m_folder / "cert.pem").string();
        m_strKey = (m_folder / "key.pem").string();
        std::string strError;
        ASSERT_TRUE(CTlsContext::MakeSelfSigned(m_strCert, m_strKey, "test-host", strError))
            << strError;
        m_pContext = CTlsContext::Load(m_strCert, m_strKey, strError);
        ASSERT_TRUE(m_pContext) << strError;

        ASSERT_TRUE(m_listener.Create(0, "127.0.0.1"));
        ASSERT_EQ(m_listener.Listen(), 0);
        CAddress address;
        m_listener.GetSockName(address);
        m_pClient = std::make_unique<CTestClient>(address.Port());
        ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_listener.Accept(m_server); }));
        ASSERT_TRUE(m_server.StartTls(*m_pContext, !ReadsAhead()));
        m_pClientContext = SSL_CTX_new(TLS_client_method());
        m_pSsl = SSL_new(m_pClientContext);
        SSL_set_fd(m_pSsl, m_pClient->m_hSocket);
        SSL_set_connect_state(m_pSsl);
    }
    void TearDown() override {
        if (m_pSsl)
            SSL_free(m_pSsl);
        if (m_pClientContext)
            SSL_CTX_free(m_pClientContext);
        ERR_clear_error();
        fs::remove_all(m_folder);
    }

    // A data connection's TLS reads ahead, a control connection's does not.
    virtual bool ReadsAhead() const { return false; }
    // Steps the client's handshake and the server's until both are done.
    bool Handshake() {
        bool bClientDone = false;
        return PumpUntil(m_dispatcher, [&] {
            if (!bClientDone)
                bClientDone = SSL_do_handshake(m_pSsl) == 1;
            return bClientDone && m_server.m_nHandshake == 0;
        });
    }
    // Reads what the client can, pumping the server meanwhile.
    std::string ClientRead(size_t nWanted, bool* pEnded = nullptr) {
        std::string strData;
        PumpUntil(
            m_dispatcher,
            [&] {
                char buffer[16384];
                for (;;) {
                    int nRead = SSL_read(m_pSsl, buffer, sizeof buffer);
                    if (nRead > 0) {
                        strData.append(buffer, static_cast<size_t>(nRead));
                        continue;
                    }
                    if (SSL_get_error(m_pSsl, nRead) == SSL_ERROR_ZERO_RETURN && pEnded)
                        *pEnded = true;
                    break;
                }
                return strData.size() >= nWanted || (pEnded && *pEnded);
            },
            10000);
        return strData;
    }

    fs::path m_folder;
    std::string m_strCert, m_strKey;
    CSocketDispatcher m_dispatcher;
    std::unique_ptr<CTlsContext> m_pContext;
    CAsyncSocket m_listener;
    CServerSide m_server;
    std::unique_ptr<CTestClient> m_pClient;
    SSL_CTX* m_pClientContext = nullptr;
    SSL* m_pSsl = nullptr;
};

} // namespace

TEST_F(TlsSocketTest, HandshakeThenDataAlreadyDecryptedIsDeliveredWithoutNewEvents) {
    ASSERT_TRUE(Handshake());
    EXPECT_EQ(m_server.TlsVersion(), "TLSv1.3");
    EXPECT_FALSE(m_server.IsTlsHandshaking());
    // Three records in one write: the server reads them from the network in
    // one go and then 7 bytes per event, with no more readiness to wait for.
    std::string strSent;
    for (char ch : {'a', 'b', 'c'}) {
        std::string strRecord(100, ch);
        ASSERT_EQ(SSL_write(m_pSsl, strRecord.data(), 100), 100);
        strSent += strRecord;
    }
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_server.m_strReceived.size() == 300; }));
    EXPECT_EQ(m_server.m_strReceived, strSent);
    EXPECT_GE(m_server.m_nReceiveEvents, 300 / 7);
}

TEST_F(TlsSocketTest, ALargeSendToASlowReaderArrivesWholeThenCloseNotify) {
    ASSERT_TRUE(Handshake());
    std::string strData(6 * 1024 * 1024, '\0');
    for (size_t i = 0; i < strData.size(); ++i)
        strData[i] = static_cast<char>((i * 7919) >> 3);
    m_server.m_strToSend = strData;
    m_server.OnSend(0);
    // The socket cannot take it all at once: the rest waits for write events.
    EXPECT_LT(m_server.m_nSent, strData.size());
    std::string strReceived = ClientRead(strData.size());
    ASSERT_EQ(strReceived.size(), strData.size());
    EXPECT_TRUE(strReceived == strData);
    // The end of the data is said inside TLS: the client sees a clean end.
    m_server.ShutDown(1);
    bool bEnded = false;
    ClientRead(1, &bEnded);
    EXPECT_TRUE(bEnded);
}

TEST_F(TlsSocketTest, GarbageInsteadOfAHelloFailsTheHandshake) {
    m_pClient->Send(std::string(300, '\x16') + "GET / HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_server.m_nHandshake >= 0; }));
    EXPECT_NE(m_server.m_nHandshake, 0);
    // Nothing is sent around TLS.
    EXPECT_EQ(m_server.Send("x", 1), -1);
}

TEST_F(TlsSocketTest, AClientThatGoesAwayMidHandshakeFailsIt) {
    // The hello goes out, then the client closes.
    SSL_do_handshake(m_pSsl);
    m_pClient->Close();
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_server.m_nHandshake >= 0; }));
    EXPECT_NE(m_server.m_nHandshake, 0);
}

TEST_F(TlsSocketTest, CertificatesAreMadeOnceAndCheckedOnLoad) {
    struct stat info {};
    ASSERT_EQ(::stat(m_strKey.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // Loaded again, the same certificate.
    std::string strError;
    auto pAgain = CTlsContext::Load(m_strCert, m_strKey, strError);
    ASSERT_TRUE(pAgain);
    EXPECT_EQ(pAgain->Fingerprint(), m_pContext->Fingerprint());
    EXPECT_EQ(m_pContext->Fingerprint().size(), 32u * 3 - 1);
    // Another key does not match it.
    const std::string strOther = (m_folder / "other-cert.pem").string();
    const std::string strOtherKey = (m_folder / "other-key.pem").string();
    ASSERT_TRUE(CTlsContext::MakeSelfSigned(strOther, strOtherKey, "x", strError));
    EXPECT_FALSE(CTlsContext::Load(m_strCert, strOtherKey, strError));
    EXPECT_NE(strError.find("does not match"), std::string::npos) << strError;
    EXPECT_FALSE(CTlsContext::Load((m_folder / "none.pem").string(), m_strKey, strError));
    EXPECT_NE(strError.find("none.pem"), std::string::npos) << strError;
    // A folder that cannot be written leaves nothing behind.
    EXPECT_FALSE(CTlsContext::MakeSelfSigned((m_folder / "no/cert.pem").string(),
                                             (m_folder / "no/key.pem").string(), "x", strError));
    EXPECT_FALSE(fs::exists(m_folder / "no"));
}

TEST_F(TlsSocketTest, ALinkPlantedBesideTheKeyIsNeverWrittenThrough) {
    // Whatever an attacker plants where a temporary file used to go, or at
    // the key's own name, no file outside is written with the key.
    const fs::path victim = m_folder / "victim.txt";
    { std::ofstream(victim) << "victim"; }
    const fs::path key = m_folder / "planted-key.pem";
    const fs::path cert = m_folder / "planted-cert.pem";
    fs::create_symlink(victim, key.string() + ".new");
    fs::create_symlink(victim, key);
    std::string strError;
    ASSERT_TRUE(CTlsContext::MakeSelfSigned(cert.string(), key.string(), "x", strError))
        << strError;
    std::ifstream in(victim);
    std::string strVictim((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(strVictim, "victim");
    // The key itself replaced the link: a private file of its own.
    struct stat info {};
    ASSERT_EQ(::lstat(key.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_TRUE(CTlsContext::Load(cert.string(), key.string(), strError)) << strError;
    // No temporary file is left.
    for (const auto& entry : fs::directory_iterator(m_folder))
        EXPECT_EQ(entry.path().filename().string().find(".new-"), std::string::npos)
            << entry.path();
}

TEST_F(TlsSocketTest, Tls12OffersOnlyAeadSuites) {
    SSL* pSsl = SSL_new(m_pContext->Handle());
    ASSERT_TRUE(pSsl);
    STACK_OF(SSL_CIPHER)* pCiphers = SSL_get_ciphers(pSsl);
    ASSERT_TRUE(pCiphers);
    for (int i = 0; i < sk_SSL_CIPHER_num(pCiphers); ++i) {
        const SSL_CIPHER* pCipher = sk_SSL_CIPHER_value(pCiphers, i);
        EXPECT_TRUE(SSL_CIPHER_is_aead(pCipher)) << SSL_CIPHER_get_name(pCipher);
    }
    SSL_free(pSsl);
}

// Bytes that are not a whole good record, followed by the client's close:
// the connection ends at once, whatever TLS still holds of them, and the
// loop does not turn on a receive that takes nothing.
class TlsHangUpTest : public TlsSocketTest,
                      public ::testing::WithParamInterface<std::tuple<bool, std::string>> {
protected:
    bool ReadsAhead() const override { return std::get<0>(GetParam()); }
};

TEST_P(TlsHangUpTest, BadRecordsThenACloseEndTheConnection) {
    ASSERT_TRUE(Handshake());
    m_pClient->Send(std::get<1>(GetParam()));
    ::shutdown(m_pClient->m_hSocket, SHUT_WR);
    ASSERT_TRUE(PumpUntil(m_dispatcher, [&] { return m_server.m_bEnded; }));
    EXPECT_EQ(m_server.m_strReceived, "");
    EXPECT_LE(m_server.m_nReceiveEvents, 4);
}

namespace {

std::string Repeated(const std::string& strRecord, int nCount) {
    std::string strAll;
    for (int i = 0; i < nCount; ++i)
        strAll += strRecord;
    return strAll;
}

} // namespace

INSTANTIATE_TEST_SUITE_P(
    Inputs, TlsHangUpTest,
    ::testing::Combine(
        ::testing::Bool(),
        ::testing::Values(
            // A record announced longer than what came.
            std::string("\x17\x03\x03\x40\x00", 5) + std::string(100, 'x'),
            // Records that hold nothing, and the compatibility records TLS 1.3 skips.
            Repeated(std::string("\x17\x03\x03\x00\x00", 5), 40),
            Repeated(std::string("\x14\x03\x03\x00\x01\x01", 6), 200),
            // A header cut short, and a stream of handshake headers.
            std::string("\x17\x03", 2), std::string(1000, '\x16'),
            // A record that cannot be decrypted.
            std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, '\0'))));
