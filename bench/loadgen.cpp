// FTP control-connection load generator (one thread, epoll).
//
//   loadgen rtt  PORT USER PASS CONNS SECONDS  -- log in CONNS clients, then
//        each does NOOP round trips (one outstanding) for SECONDS; with
//        CONNS 1 and a negative SECONDS it does -SECONDS round trips.
//   loadgen idle PORT USER PASS CONNS          -- log in CONNS clients, print
//        "ready", hold them until standard input closes.
// The server is at 127.0.0.1, or at the address LOADGEN_HOST names (::1,
// 127.0.0.2).
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

struct Conn {
    int h = -1;
    int state = 0; // 0 greeting, 1 user, 2 pass, 3 noop
    std::string in;
    Clock::time_point sent;
    long replies = 0;
};

static bool SendLine(Conn& c, const std::string& s) {
    c.sent = Clock::now();
    return send(c.h, s.data(), s.size(), MSG_NOSIGNAL) == (ssize_t)s.size();
}

int main(int argc, char** argv) {
    if (argc < 6) {
        fprintf(stderr, "usage: loadgen rtt|idle PORT USER PASS CONNS [SECONDS]\n");
        return 2;
    }
    bool bIdle = strcmp(argv[1], "idle") == 0;
    int nPort = atoi(argv[2]);
    std::string strUser = argv[3], strPass = argv[4];
    int nConns = atoi(argv[5]);
    double dSeconds = argc > 6 ? atof(argv[6]) : 10;
    long nCount = dSeconds < 0 ? (long)-dSeconds : 0;
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);

    int ep = epoll_create1(0);
    std::vector<Conn> conns(nConns);
    sockaddr_storage addr{};
    socklen_t nAddrLen = sizeof(sockaddr_in);
    const char* pszHost = getenv("LOADGEN_HOST");
    int nFamily = AF_INET;
    if (pszHost && strchr(pszHost, ':')) {
        auto* p6 = reinterpret_cast<sockaddr_in6*>(&addr);
        p6->sin6_family = nFamily = AF_INET6;
        p6->sin6_port = htons(nPort);
        inet_pton(AF_INET6, pszHost, &p6->sin6_addr);
        nAddrLen = sizeof(sockaddr_in6);
    } else {
        auto* p4 = reinterpret_cast<sockaddr_in*>(&addr);
        p4->sin_family = AF_INET;
        p4->sin_port = htons(nPort);
        p4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (pszHost)
            inet_pton(AF_INET, pszHost, &p4->sin_addr);
    }
    auto t0 = Clock::now();
    for (int i = 0; i < nConns; ++i) {
        Conn& c = conns[i];
        c.h = socket(nFamily, SOCK_STREAM | SOCK_NONBLOCK, 0);
        int one = 1;
        setsockopt(c.h, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        connect(c.h, (sockaddr*)&addr, nAddrLen);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = i;
        epoll_ctl(ep, EPOLL_CTL_ADD, c.h, &ev);
    }
    int nLoggedIn = 0, nFailed = 0;
    double dLoginSeconds = 0;
    Clock::time_point tRunStart, tRunEnd;
    bool bRunning = false;
    std::vector<double> lat;
    lat.reserve(1 << 20);
    long nTotal = 0;
    std::vector<epoll_event> evs(1024);
    for (;;) {
        if (bRunning && !nCount && Clock::now() >= tRunEnd)
            break;
        // Clients that are not logged in within 60 s count as not admitted.
        bool bLoginOver =
            nLoggedIn + nFailed == nConns || Clock::now() - t0 > std::chrono::seconds(60);
        if (bLoginOver && !bRunning) {
            dLoginSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
            if (bIdle) {
                printf("ready %d logged in, %d failed, %.3f s\n", nLoggedIn, nFailed,
                       dLoginSeconds);
                fflush(stdout);
                char ch;
                while (read(0, &ch, 1) > 0) {
                }
                return 0;
            }
            bRunning = true;
            tRunStart = Clock::now();
            tRunEnd = tRunStart + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(dSeconds < 0 ? 1e9 : dSeconds));
            for (Conn& c : conns)
                if (c.state == 3)
                    SendLine(c, "NOOP\r\n");
        }
        int n = epoll_wait(ep, evs.data(), evs.size(), 100);
        if (getenv("LOADGEN_DEBUG") && n == 0)
            fprintf(stderr, "logged in %d failed %d running %d\n", nLoggedIn, nFailed, bRunning);
        for (int k = 0; k < n; ++k) {
            Conn& c = conns[evs[k].data.u32];
            char buf[4096];
            ssize_t r = recv(c.h, buf, sizeof buf, 0);
            if (r <= 0) {
                if (c.state < 3)
                    ++nFailed;
                epoll_ctl(ep, EPOLL_CTL_DEL, c.h, nullptr);
                c.state = 9;
                continue;
            }
            c.in.append(buf, r);
            size_t e;
            while ((e = c.in.find("\r\n")) != std::string::npos) {
                std::string line = c.in.substr(0, e);
                c.in.erase(0, e + 2);
                if (line.size() < 4 || line[3] != ' ')
                    continue; // part of a multi-line reply
                int code = atoi(line.c_str());
                auto now = Clock::now();
                if (c.state == 0 && code == 220) {
                    c.state = 1;
                    SendLine(c, "USER " + strUser + "\r\n");
                } else if (c.state == 1 && code == 331) {
                    c.state = 2;
                    SendLine(c, "PASS " + strPass + "\r\n");
                } else if (c.state == 2 && code == 230) {
                    c.state = 3;
                    ++nLoggedIn;
                } else if (c.state == 3 && bRunning && code == 200) {
                    lat.push_back(std::chrono::duration<double, std::milli>(now - c.sent).count());
                    ++nTotal;
                    ++c.replies;
                    if (nCount && c.replies >= nCount) {
                        tRunEnd = now;
                        goto done;
                    }
                    if (nCount || now < tRunEnd)
                        SendLine(c, "NOOP\r\n");
                } else if (c.state < 3) {
                    ++nFailed;
                    c.state = 9;
                }
            }
        }
    }
done:
    if (nCount == 0)
        tRunEnd = Clock::now();
    {
        double dRun = std::chrono::duration<double>(tRunEnd - tRunStart).count();
        std::sort(lat.begin(), lat.end());
        auto pct = [&](double p) {
            return lat.empty() ? 0.0 : lat[(size_t)(p * (lat.size() - 1))];
        };
        printf("admitted %d/%d login %.3f s replies %ld rate %.0f/s p50 %.3f ms p99 %.3f ms\n",
               nLoggedIn, nConns, dLoginSeconds, nTotal, nTotal / dRun, pct(0.5), pct(0.99));
    }
    for (Conn& c : conns)
        close(c.h);
    return 0;
}
