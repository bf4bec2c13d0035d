// Raw loopback ceilings: one side moves N MiB while the other side uses
// large calls, as a real client would.
//
//   rawceiling push MIB         256-byte send() calls
//   rawceiling drain MIB        256-byte recv() calls
//   rawceiling push64k MIB      64 KiB send() calls
//   rawceiling sendfile FILE    sendfile() of a whole file
// The sender runs on core 0 and the receiver on core 1 when there are two.
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

void PinTo(int nCore) {
    if (std::thread::hardware_concurrency() < 2)
        return;
    cpu_set_t cores;
    CPU_ZERO(&cores);
    CPU_SET(nCore, &cores);
    pthread_setaffinity_np(pthread_self(), sizeof cores, &cores);
}

long long Send(int h, const std::string& strMode, long long nTotal, const char* pszFile) {
    long long nDone = 0;
    if (strMode == "sendfile") {
        int hFile = open(pszFile, O_RDONLY);
        off_t nOffset = 0;
        for (;;) {
            ssize_t n = sendfile(h, hFile, &nOffset, 1 << 20);
            if (n <= 0)
                break;
            nDone += n;
        }
        close(hFile);
        return nDone;
    }
    std::vector<char> buffer(strMode == "push64k" ? 65536 : 256, 'x');
    while (nDone < nTotal) {
        ssize_t n = send(h, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            break;
        nDone += n;
    }
    return nDone;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: rawceiling push|drain|push64k MIB | sendfile FILE\n");
        return 2;
    }
    const std::string strMode = argv[1];
    const bool bDrain = strMode == "drain";
    long long nTotal = atoll(argv[2]) * 1024LL * 1024LL;
    if (strMode == "sendfile") {
        struct stat info {};
        stat(argv[2], &info);
        nTotal = info.st_size;
    }
    int hListen = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(hListen, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t nLen = sizeof address;
    getsockname(hListen, reinterpret_cast<sockaddr*>(&address), &nLen);
    listen(hListen, 1);
    std::thread peer([&] {
        PinTo(1);
        int h = socket(AF_INET, SOCK_STREAM, 0);
        connect(h, reinterpret_cast<sockaddr*>(&address), sizeof address);
        static char big[1 << 16];
        if (!bDrain) {
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
    PinTo(0);
    int hConn = accept(hListen, nullptr, nullptr);
    auto start = std::chrono::steady_clock::now();
    long long nDone = 0;
    if (!bDrain) {
        nDone = Send(hConn, strMode, nTotal, argv[2]);
        shutdown(hConn, SHUT_WR);
    } else {
        char buffer[256];
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
    printf("%.1f\n", nDone / dSeconds / 1e6);
    close(hConn);
    close(hListen);
    return 0;
}
