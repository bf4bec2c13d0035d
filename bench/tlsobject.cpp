// What OpenSSL itself keeps for one idle server connection after its
// handshake, with Skerrow's settings: COUNT handshakes over socket pairs
// (the clients in a process of their own), then the heap in use per
// connection, with session tickets on and off, the session cache on and
// off, and the record buffers released.
//
//   tlsobject CERT KEY [COUNT]
#include <openssl/ssl.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

double KiBPerConnection(const char* pszCert, const char* pszKey, int nCount, int nVariant) {
    std::vector<int> server(static_cast<size_t>(nCount));
    std::vector<int> client(static_cast<size_t>(nCount));
    for (int i = 0; i < nCount; ++i) {
        int pair[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
        server[static_cast<size_t>(i)] = pair[0];
        client[static_cast<size_t>(i)] = pair[1];
    }
    const pid_t nClients = fork();
    if (nClients == 0) {
        SSL_CTX* pCtx = SSL_CTX_new(TLS_client_method());
        for (int h : client) {
            SSL* pSsl = SSL_new(pCtx);
            SSL_set_fd(pSsl, h);
            if (SSL_connect(pSsl) != 1)
                _exit(1);
            SSL_write(pSsl, "x", 1);
        }
        pause();
        _exit(0);
    }
    SSL_CTX* pCtx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_min_proto_version(pCtx, TLS1_2_VERSION);
    SSL_CTX_set_mode(pCtx, SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_session_id_context(pCtx, reinterpret_cast<const unsigned char*>("s"), 1);
    SSL_CTX_set_session_cache_mode(pCtx,
                                   (nVariant & 2) ? SSL_SESS_CACHE_OFF : SSL_SESS_CACHE_SERVER);
    if (nVariant & 1)
        SSL_CTX_set_num_tickets(pCtx, 0);
    SSL_CTX_use_certificate_chain_file(pCtx, pszCert);
    SSL_CTX_use_PrivateKey_file(pCtx, pszKey, SSL_FILETYPE_PEM);
    std::vector<SSL*> kept;
    const struct mallinfo2 before = mallinfo2();
    for (int h : server) {
        SSL* pSsl = SSL_new(pCtx);
        SSL_set_fd(pSsl, h);
        if (SSL_accept(pSsl) != 1)
            return -1;
        char ch;
        SSL_read(pSsl, &ch, 1);
        if (nVariant & 4)
            SSL_free_buffers(pSsl);
        kept.push_back(pSsl);
    }
    const struct mallinfo2 after = mallinfo2();
    kill(nClients, SIGKILL);
    return static_cast<double>(after.uordblks - before.uordblks) / 1024.0 / nCount;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: tlsobject CERT KEY [COUNT]\n");
        return 2;
    }
    const int nCount = argc > 3 ? atoi(argv[3]) : 300;
    const char* const pszNames[] = {"as Skerrow", "no tickets", "no session cache",
                                    "no tickets, no cache", "buffers freed"};
    const int nVariants[] = {0, 1, 2, 3, 4};
    for (int i = 0; i < 5; ++i)
        printf("%s %.1f\n", pszNames[i], KiBPerConnection(argv[1], argv[2], nCount, nVariants[i]));
    return 0;
}
