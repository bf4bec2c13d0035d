// The raw ceiling of a 256-byte-step transfer over loopback: one side moves
// N bytes with 256-byte send() (push) or recv() (drain) calls while the
// other side uses large calls, as a real client would.
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: rawceiling push|drain megabytes\n");
        return 2;
    }
    bool bPush = strcmp(argv[1], "push") == 0;
    long long nTotal = atoll(argv[2]) * 1024LL * 1024LL;
    int hListen = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(hListen, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t nLen = sizeof address;
    getsockname(hListen, reinterpret_cast<sockaddr*>(&address), &nLen);
    listen(hListen, 1);
    std::thread peer([&] {
        int h = socket(AF_INET, SOCK_STREAM, 0);
        connect(h, reinterpret_cast<sockaddr*>(&address), sizeof address);
        static char big[1 << 16];
        if (bPush) {
            while (recv(h, big, sizeof big, 0) > 0) {
            }
        } else {
            long long nLeft = nTotal;
            while (nLeft > 0) {
                ssize_t n = send(h, big, nLeft < (long long)sizeof big ? nLeft : sizeof big, 0);
                if (n <= 0)
                    break;
                nLeft -= n;
            }
        }
        close(h);
    });
    int hConn = accept(hListen, nullptr, nullptr);
    char buffer[256];
    memset(buffer, 'x', sizeof buffer);
    auto start = std::chrono::steady_clock::now();
    long long nDone = 0;
    if (bPush) {
        while (nDone < nTotal) {
            ssize_t n = send(hConn, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            nDone += n;
        }
        shutdown(hConn, SHUT_WR);
    } else {
        for (;;) {
            ssize_t n = recv(hConn, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            nDone += n;
        }
    }
    peer.join();
    double dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("%s %.1f MiB/s\n", argv[1], nDone / dSeconds / 1048576.0);
    close(hConn);
    close(hListen);
    return 0;
}
