// What this machine can do for one transfer over loopback, without an FTP
// server in the way: the ceilings the server's transfer figures are read
// against. Each serves one connection, on core 0, and prints its port on
// its first line; the client (curl, or this program) runs on core 1.
//
//   transferceiling ftp FILE      just enough FTP for one curl transfer:
//                                 RETR sends FILE with sendfile() (without
//                                 blocking, at most 512 KiB unsent), STOR
//                                 stores into FILE with splice() through a
//                                 1 MiB pipe
//   transferceiling tls MIB CERT KEY
//                                 one TLS stream (OpenSSL, the server's own
//                                 cipher list): MIB MiB written in 16 KiB
//                                 records to a reader in a process of its
//                                 own; prints MB/s and the cipher
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

void PinTo(int nCore) {
    cpu_set_t cores;
    CPU_ZERO(&cores);
    CPU_SET(nCore, &cores);
    sched_setaffinity(0, sizeof cores, &cores);
}

int Listen(sockaddr_in& rAddress) {
    int h = socket(AF_INET, SOCK_STREAM, 0);
    int nOn = 1;
    setsockopt(h, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
    rAddress = sockaddr_in{};
    rAddress.sin_family = AF_INET;
    rAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(h, reinterpret_cast<sockaddr*>(&rAddress), sizeof rAddress);
    socklen_t nLen = sizeof rAddress;
    getsockname(h, reinterpret_cast<sockaddr*>(&rAddress), &nLen);
    listen(h, 1);
    return h;
}

void WaitFor(int h, short nEvent) {
    pollfd wait{h, nEvent, 0};
    poll(&wait, 1, -1);
}

void Say(int h, const std::string& strReply) {
    const std::string strLine = strReply + "\r\n";
    send(h, strLine.data(), strLine.size(), MSG_NOSIGNAL);
}

// The bytes of one transfer, in the server's ways.
void SendFile(int h, const char* pszFile) {
    const int hFile = open(pszFile, O_RDONLY);
    struct stat info {};
    fstat(hFile, &info);
    int nLowat = 512 * 1024;
    setsockopt(h, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &nLowat, sizeof nLowat);
    fcntl(h, F_SETFL, fcntl(h, F_GETFL) | O_NONBLOCK);
    off_t nOffset = 0;
    while (nOffset < info.st_size) {
        ssize_t n = sendfile(h, hFile, &nOffset, 256 * 1024);
        if (n < 0 && errno == EAGAIN)
            WaitFor(h, POLLOUT);
        else if (n <= 0)
            break;
    }
    close(hFile);
}

void ReceiveFile(int h, const char* pszFile) {
    const int hFile = open(pszFile, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int hPipe[2];
    pipe2(hPipe, O_NONBLOCK);
    fcntl(hPipe[1], F_SETPIPE_SZ, 1024 * 1024);
    const int nPipe = fcntl(hPipe[1], F_GETPIPE_SZ);
    fcntl(h, F_SETFL, fcntl(h, F_GETFL) | O_NONBLOCK);
    for (;;) {
        ssize_t n = splice(h, nullptr, hPipe[1], nullptr, static_cast<size_t>(nPipe),
                           SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (n < 0 && errno == EAGAIN) {
            WaitFor(h, POLLIN);
            continue;
        }
        if (n <= 0)
            break;
        while (n > 0) {
            ssize_t nOut =
                splice(hPipe[0], nullptr, hFile, nullptr, static_cast<size_t>(n), SPLICE_F_MOVE);
            if (nOut <= 0)
                break;
            n -= nOut;
        }
    }
    close(hPipe[0]);
    close(hPipe[1]);
    close(hFile);
}

// Just enough FTP for one curl transfer in extended passive mode: every
// command is answered from a script, RETR sends FILE, STOR stores into it.
int Serve(const char* pszFile) {
    sockaddr_in address{};
    int hListen = Listen(address);
    printf("%d\n", ntohs(address.sin_port));
    fflush(stdout);
    PinTo(0);
    int h = accept(hListen, nullptr, nullptr);
    int one = 1;
    setsockopt(h, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Say(h, "220 ready");
    int hPassive = -1;
    std::string strIn;
    char buffer[4096];
    for (;;) {
        size_t nEnd;
        while ((nEnd = strIn.find("\r\n")) == std::string::npos) {
            ssize_t n = recv(h, buffer, sizeof buffer, 0);
            if (n <= 0)
                return 0;
            strIn.append(buffer, static_cast<size_t>(n));
        }
        const std::string strLine = strIn.substr(0, nEnd);
        strIn.erase(0, nEnd + 2);
        const std::string strWord = strLine.substr(0, 4);
        if (strWord == "USER")
            Say(h, "331 password");
        else if (strWord == "PASS")
            Say(h, "230 in");
        else if (strWord == "PWD")
            Say(h, "257 \"/\"");
        else if (strWord == "EPSV") {
            sockaddr_in passive{};
            hPassive = Listen(passive);
            Say(h, "229 Entering Extended Passive Mode (|||" +
                       std::to_string(ntohs(passive.sin_port)) + "|)");
        } else if (strWord == "RETR" || strWord == "STOR") {
            int hData = accept(hPassive, nullptr, nullptr);
            close(hPassive);
            Say(h, "150 here");
            if (strWord == "RETR")
                SendFile(hData, pszFile);
            else
                ReceiveFile(hData, pszFile);
            close(hData);
            Say(h, "226 done");
        } else if (strWord == "QUIT") {
            Say(h, "221 bye");
            return 0;
        } else {
            Say(h, "200 ok");
        }
    }
}

int Tls(long long nMiB, const char* pszCert, const char* pszKey) {
    sockaddr_in address{};
    int hListen = Listen(address);
    const long long nTotal = nMiB * 1024 * 1024;
    const pid_t nReader = fork();
    if (nReader == 0) {
        PinTo(1);
        SSL_CTX* pCtx = SSL_CTX_new(TLS_client_method());
        int h = socket(AF_INET, SOCK_STREAM, 0);
        connect(h, reinterpret_cast<sockaddr*>(&address), sizeof address);
        SSL* pSsl = SSL_new(pCtx);
        SSL_set_fd(pSsl, h);
        if (SSL_connect(pSsl) != 1)
            _exit(1);
        std::vector<char> buffer(256 * 1024);
        while (SSL_read(pSsl, buffer.data(), static_cast<int>(buffer.size())) > 0) {
        }
        _exit(0);
    }
    PinTo(0);
    SSL_CTX* pCtx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_min_proto_version(pCtx, TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(pCtx, "ECDHE+AESGCM:ECDHE+CHACHA20:DHE+AESGCM:DHE+CHACHA20");
    SSL_CTX_set_mode(pCtx, SSL_MODE_RELEASE_BUFFERS);
    if (SSL_CTX_use_certificate_chain_file(pCtx, pszCert) != 1 ||
        SSL_CTX_use_PrivateKey_file(pCtx, pszKey, SSL_FILETYPE_PEM) != 1)
        return 1;
    int h = accept(hListen, nullptr, nullptr);
    SSL* pSsl = SSL_new(pCtx);
    SSL_set_fd(pSsl, h);
    if (SSL_accept(pSsl) != 1)
        return 1;
    std::vector<char> block(128 * 1024, 'x');
    auto start = std::chrono::steady_clock::now();
    long long nDone = 0;
    while (nDone < nTotal) {
        int n = SSL_write(pSsl, block.data(), static_cast<int>(block.size()));
        if (n <= 0)
            return 1;
        nDone += n;
    }
    SSL_shutdown(pSsl);
    shutdown(h, SHUT_WR);
    waitpid(nReader, nullptr, 0);
    const double dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("%.1f %s %s\n", nDone / dSeconds / 1e6, SSL_get_version(pSsl),
           SSL_get_cipher_name(pSsl));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string strMode = argc > 2 ? argv[1] : "";
    if (strMode == "ftp")
        return Serve(argv[2]);
    if (strMode == "tls" && argc > 4)
        return Tls(atoll(argv[2]), argv[3], argv[4]);
    fprintf(stderr, "usage: transferceiling ftp FILE | tls MIB CERT KEY\n");
    return 2;
}
