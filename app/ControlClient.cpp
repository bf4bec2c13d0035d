#include "app/ControlClient.h"

#include "server/ControlServer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int kReplyTimeoutMs = 10000;
// The system service's socket (its RuntimeDirectory).
constexpr const char* kServicePath = "/run/skerrow/control";

// The request line the arguments ask for; empty when they ask for none.
std::string RequestOf(const std::vector<std::string>& args) {
    if (args.size() == 1 && args[0] == "--who")
        return "who";
    if (args.size() == 2 && args[0] == "--who" && args[1] == "--json")
        return "who json";
    if (args.size() == 1 && args[0] == "--reload")
        return "reload";
    if (args.size() == 1 && args[0] == "--metrics")
        return "metrics";
    if (args.size() == 2 && (args[0] == "--kick" || args[0] == "--unban") && !args[1].empty() &&
        args[1].find_first_of(" \r\n") == std::string::npos)
        return args[0].substr(2) + " " + args[1];
    return std::string();
}

int Fail(const std::string& strWhy) {
    std::fprintf(stderr, "skerrow: %s\n", strWhy.c_str());
    return 1;
}

// Connects to the socket; -1 with the reason printed when it cannot.
int Connect(const std::string& strPath) {
    struct stat info {};
    if (::lstat(strPath.c_str(), &info) != 0)
        return Fail(errno == EACCES ? "the control socket " + strPath + " belongs to another user"
                                    : std::string("no Skerrow server is running for this user")),
               -1;
    if (info.st_uid != ::geteuid() && ::geteuid() != 0)
        return Fail("the control socket " + strPath + " belongs to another user"), -1;
    int hSocket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, strPath.c_str(), sizeof address.sun_path - 1);
    if (hSocket < 0 ||
        ::connect(hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int nError = errno;
        if (hSocket >= 0)
            ::close(hSocket);
        if (nError == EACCES || nError == EPERM)
            return Fail("the control socket " + strPath + " belongs to another user"), -1;
        return Fail("no Skerrow server is running for this user"), -1;
    }
    return hSocket;
}

// The whole reply, until the server closes; false when it takes too long.
bool ReadReply(int hSocket, std::string& rReply) {
    char buffer[65536];
    for (;;) {
        pollfd ready{hSocket, POLLIN, 0};
        if (::poll(&ready, 1, kReplyTimeoutMs) <= 0)
            return false;
        const ssize_t nRead = ::recv(hSocket, buffer, sizeof buffer, 0);
        if (nRead < 0 && errno == EINTR)
            continue;
        if (nRead <= 0)
            return nRead == 0;
        rReply.append(buffer, static_cast<size_t>(nRead));
    }
}

} // namespace

bool IsControlCommand(const std::vector<std::string>& args) {
    if (args.empty())
        return false;
    for (const char* pszOption : {"--who", "--kick", "--unban", "--reload", "--metrics"})
        if (args[0] == pszOption)
            return true;
    return false;
}

int RunControlCommand(const std::vector<std::string>& args) {
    const std::string strRequest = RequestOf(args);
    if (strRequest.empty()) {
        std::fprintf(stderr, "Uso: skerrow --who [--json] | --kick ID | --unban DIRECCI\xC3\x93N | "
                             "--reload | --metrics\n");
        return 2;
    }
    // This user's server, or else the system service's.
    std::string strPath = ControlSocketPath();
    struct stat info {};
    if (::lstat(strPath.c_str(), &info) != 0 && ::lstat(kServicePath, &info) == 0)
        strPath = kServicePath;
    const int hSocket = Connect(strPath);
    if (hSocket < 0)
        return 1;
    const std::string strLine = strRequest + "\n";
    std::string strReply;
    // A server that answers before it reads (a refusal) may not take the
    // request: its answer is read all the same.
    ::send(hSocket, strLine.data(), strLine.size(), MSG_NOSIGNAL);
    const bool bRead = ReadReply(hSocket, strReply);
    ::close(hSocket);
    if (!bRead)
        return Fail("the server did not answer");
    const size_t nEnd = strReply.find('\n');
    const std::string strStatus = strReply.substr(0, nEnd);
    if (strStatus.rfind("ERR ", 0) == 0)
        return Fail(strStatus.substr(4));
    if (strStatus != "OK")
        return Fail("the server's answer cannot be read");
    std::fwrite(strReply.data() + nEnd + 1, 1, strReply.size() - nEnd - 1, stdout);
    return 0;
}
