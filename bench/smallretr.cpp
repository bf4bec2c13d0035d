// Small transfers: COUNT passive downloads of one file on one logged-in
// connection (PASV, connect, RETR, read to the end, 226), one at a time.
// Prints the transfers per second.
//
//   smallretr PORT USER PASS FILE COUNT
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int Connect(int nPort) {
    int h = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(nPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(h, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return -1;
    int nOn = 1;
    setsockopt(h, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
    return h;
}

// Reads one reply (the last line of a multi-line one); empty on failure.
std::string Reply(int h, std::string& rPending) {
    for (;;) {
        size_t nEnd;
        while ((nEnd = rPending.find("\r\n")) != std::string::npos) {
            std::string strLine = rPending.substr(0, nEnd);
            rPending.erase(0, nEnd + 2);
            if (strLine.size() >= 4 && strLine[3] == ' ')
                return strLine;
        }
        char buffer[4096];
        ssize_t n = recv(h, buffer, sizeof buffer, 0);
        if (n <= 0)
            return std::string();
        rPending.append(buffer, static_cast<size_t>(n));
    }
}

std::string Command(int h, std::string& rPending, const std::string& strLine) {
    std::string strOut = strLine + "\r\n";
    send(h, strOut.data(), strOut.size(), MSG_NOSIGNAL);
    return Reply(h, rPending);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        fprintf(stderr, "usage: smallretr PORT USER PASS FILE COUNT\n");
        return 2;
    }
    const int nPort = atoi(argv[1]);
    const int nCount = atoi(argv[5]);
    int h = Connect(nPort);
    std::string strPending;
    Reply(h, strPending);
    Command(h, strPending, std::string("USER ") + argv[2]);
    Command(h, strPending, std::string("PASS ") + argv[3]);
    Command(h, strPending, "TYPE I");
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < nCount; ++i) {
        std::string strPasv = Command(h, strPending, "PASV");
        int a, b, c, d, p1, p2;
        const char* pszOpen = strchr(strPasv.c_str(), '(');
        if (!pszOpen || sscanf(pszOpen, "(%d,%d,%d,%d,%d,%d)", &a, &b, &c, &d, &p1, &p2) != 6)
            return 1;
        int hData = Connect(p1 * 256 + p2);
        std::string strStart = Command(h, strPending, std::string("RETR ") + argv[4]);
        if (strStart.compare(0, 3, "150") != 0 && strStart.compare(0, 3, "125") != 0)
            return 1;
        char buffer[65536];
        while (recv(hData, buffer, sizeof buffer, 0) > 0) {
        }
        close(hData);
        if (Reply(h, strPending).compare(0, 3, "226") != 0)
            return 1;
    }
    double dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("%.0f\n", nCount / dSeconds);
    close(h);
    return 0;
}
