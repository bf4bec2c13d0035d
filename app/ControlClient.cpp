#include "app/ControlClient.h"

#include "server/ControlServer.h"
#include "server/StatusReport.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kReplyTimeoutMs = 10000;
// The system service's user (the package's units name it), and its
// sockets: /run/skerrow/control, /run/skerrow-NAME/control for the
// instances (their RuntimeDirectory).
constexpr const char* kServiceUser = "skerrow";
constexpr const char* kServiceFolder = "/run/skerrow";

// A socket the client may talk to, and the users it trusts there: those
// who may own its folder and the socket and run the server behind it.
struct SCandidate {
    std::string strPath;
    std::vector<uid_t> trusted;
};

// What the command line asks: the request line, and the instance named by
// --instance NAME (anywhere among the arguments).
struct SRequest {
    std::string strLine;
    std::string strInstance;
    bool bJson = false;
};

bool IsInstanceName(const std::string& strName) {
    if (strName.empty() || strName[0] == '.' || strName.size() > 64)
        return false;
    for (char ch : strName)
        if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '-' && ch != '_' && ch != '.' &&
            ch != ':')
            return false;
    return true;
}

// The request the arguments ask for; false when they ask for none.
bool ParseRequest(std::vector<std::string> args, SRequest& rRequest) {
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "--instance") {
            rRequest.strInstance = args[i + 1];
            if (!IsInstanceName(rRequest.strInstance))
                return false;
            args.erase(args.begin() + static_cast<long>(i),
                       args.begin() + static_cast<long>(i) + 2);
            break;
        }
    std::string& rLine = rRequest.strLine;
    if (args.size() == 1 && args[0] == "--who")
        rLine = "who";
    else if (args.size() == 2 && args[0] == "--who" && args[1] == "--json")
        rLine = "who json", rRequest.bJson = true;
    else if (args.size() == 1 && args[0] == "--reload")
        rLine = "reload";
    else if (args.size() == 1 && args[0] == "--metrics")
        rLine = "metrics";
    else if (args.size() == 2 && (args[0] == "--kick" || args[0] == "--unban") &&
             !args[1].empty() && args[1].find_first_of(" \r\n") == std::string::npos)
        rLine = args[0].substr(2) + " " + args[1];
    return !rLine.empty();
}

int Fail(const std::string& strWhy) {
    const std::string strText = "skerrow: " + strWhy + "\n";
    const std::string strShown = ::isatty(STDERR_FILENO) ? TerminalText(strText, true) : strText;
    std::fwrite(strShown.data(), 1, strShown.size(), stderr);
    return 1;
}

// The system service's users: root and the service's own.
std::vector<uid_t> ServiceUsers() {
    std::vector<uid_t> users = {0};
    if (const passwd* pUser = ::getpwnam(kServiceUser))
        users.push_back(pUser->pw_uid);
    return users;
}

// Where to look, in order: this user's own server (runtime folder, then the
// temporary folder where the server falls back to it), then for root the
// system service. --instance names one of the service's instances alone.
std::vector<SCandidate> Candidates(const SRequest& request) {
    const uid_t nSelf = ::geteuid();
    if (!request.strInstance.empty())
        return {
            {std::string(kServiceFolder) + "-" + request.strInstance + "/control", ServiceUsers()}};
    std::vector<SCandidate> candidates = {{RuntimeControlSocketPath(), {nSelf}}};
    if (const std::string strTemporary = TemporaryControlSocketPath(); !strTemporary.empty())
        candidates.push_back({strTemporary, {nSelf}});
    if (nSelf == 0)
        candidates.push_back({std::string(kServiceFolder) + "/control", ServiceUsers()});
    return candidates;
}

bool Trusted(const SCandidate& candidate, uid_t nUid) {
    for (uid_t nTrusted : candidate.trusted)
        if (nTrusted == nUid)
            return true;
    return false;
}

// Why the folder or the socket at strPath cannot be trusted; empty when it
// can: a real folder (or socket) of a trusted user that no one else may
// write into.
std::string Untrusted(const SCandidate& candidate, const std::string& strPath, bool bFolder) {
    const std::string strWhat = (bFolder ? "the control socket's folder " : "the control socket ");
    struct stat info {};
    if (::lstat(strPath.c_str(), &info) != 0)
        return errno == EACCES
                   ? "the control socket " + candidate.strPath + " belongs to another user"
                   : strWhat + strPath + ": " + std::strerror(errno);
    if (bFolder ? !S_ISDIR(info.st_mode) : !S_ISSOCK(info.st_mode))
        return strWhat + strPath + (bFolder ? " is not a folder" : " is not a socket");
    if (!Trusted(candidate, info.st_uid))
        return strWhat + strPath + " belongs to another user (uid " + std::to_string(info.st_uid) +
               ")";
    if ((info.st_mode & 022) != 0)
        return strWhat + strPath + " may be written by other users";
    return std::string();
}

// True when something stands at the candidate's path (or may, out of
// this user's sight).
bool Present(const SCandidate& candidate) {
    struct stat info {};
    return ::lstat(candidate.strPath.c_str(), &info) == 0 || (errno != ENOENT && errno != ENOTDIR);
}

constexpr int kNobodyListens = -2;

// Connects to the socket once its folder and itself have been checked, and
// checks who runs the server behind it; -1 with the reason printed when any
// of it fails (nothing has been sent then), kNobodyListens for a socket
// left behind by a server that has ended.
int Connect(const SCandidate& candidate) {
    const std::string& strPath = candidate.strPath;
    const std::string strFolder = strPath.substr(0, strPath.rfind('/'));
    for (const std::string& strWhy :
         {Untrusted(candidate, strFolder, true), Untrusted(candidate, strPath, false)})
        if (!strWhy.empty())
            return Fail(strWhy + "; nothing was sent"), -1;
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
        return kNobodyListens;
    }
    // The server behind it: the one that listens, whoever made the file.
    ucred peer{};
    socklen_t nSize = sizeof peer;
    if (::getsockopt(hSocket, SOL_SOCKET, SO_PEERCRED, &peer, &nSize) != 0 ||
        !Trusted(candidate, peer.uid)) {
        ::close(hSocket);
        return Fail("the server at " + strPath + " runs as another user (uid " +
                    std::to_string(peer.uid) + "); nothing was sent"),
               -1;
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

// Prints the body of the reply: JSON exactly as it came (it holds no
// control bytes), other text with its control bytes shown as "\xNN" when
// it goes to a terminal.
void PrintBody(const std::string& strBody, bool bJson) {
    const std::string strShown =
        !bJson && ::isatty(STDOUT_FILENO) ? TerminalText(strBody, true) : strBody;
    std::fwrite(strShown.data(), 1, strShown.size(), stdout);
}

} // namespace

bool IsControlCommand(const std::vector<std::string>& args) {
    if (args.empty())
        return false;
    for (const char* pszOption :
         {"--who", "--kick", "--unban", "--reload", "--metrics", "--instance"})
        if (args[0] == pszOption)
            return true;
    return false;
}

namespace {

// Sends the request to the first server that answers where one is looked
// for (a socket that fails a check ends the search): 0 with the body of its
// answer, kNobodyListens when no server runs (nothing printed), 1 when it
// failed or refused (the reason on standard error).
int Exchange(const SRequest& request, std::string& rBody) {
    int hSocket = kNobodyListens;
    for (const SCandidate& candidate : Candidates(request))
        if (hSocket == kNobodyListens && Present(candidate))
            hSocket = Connect(candidate);
    if (hSocket < 0)
        return hSocket == kNobodyListens ? kNobodyListens : 1;
    const std::string strLine = request.strLine + "\n";
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
    rBody = strReply.substr(nEnd + 1);
    return 0;
}

} // namespace

int RunControlCommand(const std::vector<std::string>& args) {
    SRequest request;
    if (!ParseRequest(args, request)) {
        std::fprintf(stderr, "Uso: skerrow [--instance NOMBRE] --who [--json] | --kick ID | "
                             "--unban DIRECCI\xC3\x93N | --reload | --metrics\n");
        return 2;
    }
    std::string strBody;
    const int nResult = Exchange(request, strBody);
    if (nResult == kNobodyListens)
        return Fail(request.strInstance.empty()
                        ? std::string("no Skerrow server is running for this user")
                        : "no Skerrow server is running as instance " + request.strInstance);
    if (nResult != 0)
        return nResult;
    PrintBody(strBody, request.bJson);
    return 0;
}

EReloadAnswer AskReload() {
    SRequest request;
    request.strLine = "reload";
    std::string strBody;
    const int nResult = Exchange(request, strBody);
    if (nResult == kNobodyListens)
        return EReloadAnswer::NoServer;
    return nResult == 0 ? EReloadAnswer::Done : EReloadAnswer::Failed;
}
