#include "server/ControlServer.h"

#include "net/BufferedConnection.h"
#include "net/SocketDispatcher.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

std::string RuntimeControlSocketPath() {
    if (const char* pszRuntime = std::getenv("XDG_RUNTIME_DIR"); pszRuntime && *pszRuntime)
        return std::string(pszRuntime) + "/skerrow/control";
    return "/run/user/" + std::to_string(::geteuid()) + "/skerrow/control";
}

std::string TemporaryControlSocketPath() {
    const char* pszTemp = std::getenv("TMPDIR");
    const std::string strTemp = pszTemp && *pszTemp ? pszTemp : "/tmp";
    // Root keeps nothing where others may write (/tmp): only a temporary
    // folder of its own that no one else may write into will do.
    struct stat info {};
    if (::geteuid() == 0 && (::stat(strTemp.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
                             info.st_uid != 0 || (info.st_mode & 022) != 0))
        return std::string();
    return strTemp + "/skerrow-" + std::to_string(::geteuid()) + "/control";
}

std::string ControlSocketPath() {
    if (const char* pszService = std::getenv("RUNTIME_DIRECTORY"); pszService && *pszService)
        return std::string(pszService) + "/control";
    if (const char* pszRuntime = std::getenv("XDG_RUNTIME_DIR"); pszRuntime && *pszRuntime)
        return RuntimeControlSocketPath();
    return TemporaryControlSocketPath();
}

namespace {

// The folder of the socket: made 0700 when missing; an existing one must
// be a real folder of this user that no one else may write into.
bool SafeFolder(const std::string& strFolder, std::string& rError) {
    if (::mkdir(strFolder.c_str(), 0700) != 0 && errno != EEXIST) {
        rError = strFolder + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::lstat(strFolder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid() || (info.st_mode & 022) != 0) {
        rError = strFolder + ": no es una carpeta propia y privada";
        return false;
    }
    return true;
}

// True when a server answers at the socket's path.
bool SomeoneAnswers(const std::string& strPath) {
    int hProbe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (hProbe < 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, strPath.c_str(), sizeof address.sun_path - 1);
    const bool bAnswers =
        ::connect(hProbe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(hProbe);
    return bAnswers;
}

} // namespace

class CControlServer::CListener : public CAsyncSocket {
public:
    explicit CListener(CControlServer& rServer) : m_rServer(rServer) {}
    void OnAccept(int) override { m_rServer.AcceptConnection(); }

private:
    CControlServer& m_rServer;
};

// One request and its reply.
class CControlServer::CConnection : public CBufferedConnection {
public:
    explicit CConnection(CControlServer& rServer)
        : CBufferedConnection("\n", kMaxRequest), m_rServer(rServer) {}

    void Begin() { StartTimer(); }
    // Someone other than the server's user or root: told so, nothing more.
    void Refuse() { Answer("ERR this server belongs to another user\n"); }
    void OnSend(int nErrorCode) override {
        const size_t nUnsent = UnsentOutput();
        CBufferedConnection::OnSend(nErrorCode);
        AfterSending(nUnsent);
    }
    void OnClose(int) override { PeerClosed(); }

private:
    void OnLine(const std::string& strLine) override {
        if (!m_bAnswered)
            Answer(m_rServer.m_handler(strLine));
    }
    void OnOverlongLine() override {
        if (!m_bAnswered)
            Answer("ERR request too long\n");
    }
    void OnSendFailed(int) override { m_rServer.Finished(*this); }
    void StartTimer() {
        m_timer.Start(kRequestTimeoutMs, [this] { m_rServer.Finished(*this); });
    }
    // The client is done: the connection goes, once its reply is out.
    void PeerClosed() {
        m_bPeerClosed = true;
        if (!m_bAnswered || UnsentOutput() == 0)
            m_rServer.Finished(*this);
    }
    // The end of the reply is the end of the stream. The connection goes
    // once the client has closed its side (or at the time-out), so that
    // what it still sends cannot reset the reply.
    void Answer(const std::string& strReply) {
        m_bAnswered = true;
        QueueOutput(strReply);
        ShutDownWhenSent();
        AfterSending(strReply.size());
    }
    // nUnsentBefore: what waited before the last sending.
    void AfterSending(size_t nUnsentBefore) {
        // A client that reads is given time for a long reply.
        if (UnsentOutput() < nUnsentBefore)
            StartTimer();
        if (m_bAnswered && m_bPeerClosed && UnsentOutput() == 0)
            m_rServer.Finished(*this);
    }

    CControlServer& m_rServer;
    bool m_bAnswered = false;
    bool m_bPeerClosed = false;
    CTimer m_timer;
};

CControlServer::CControlServer(Handler handler) : m_handler(std::move(handler)) {}

CControlServer::~CControlServer() {
    Close();
}

bool CControlServer::Open(const std::string& strPath, std::string& rError) {
    Close();
    if (strPath.empty()) {
        rError = "sin XDG_RUNTIME_DIR y la carpeta temporal no es privada";
        return false;
    }
    const std::string strFolder = strPath.substr(0, strPath.rfind('/'));
    if (!SafeFolder(strFolder, rError))
        return false;
    struct stat info {};
    if (::lstat(strPath.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode) || SomeoneAnswers(strPath)) {
            rError = strPath + ": otro servidor ya la usa";
            return false;
        }
        ::unlink(strPath.c_str());
    }
    auto pListener = std::make_unique<CListener>(*this);
    if (!pListener->CreateLocal(strPath, 0600) || pListener->Listen(16) != 0) {
        rError = strPath + ": " + std::strerror(pListener->LastError());
        return false;
    }
    m_pListener = std::move(pListener);
    m_strPath = strPath;
    return true;
}

void CControlServer::Close() {
    m_connections.clear();
    if (!m_pListener)
        return;
    m_pListener.reset();
    ::unlink(m_strPath.c_str());
}

void CControlServer::AcceptConnection() {
    std::unique_ptr<CConnection> pConnection(new (std::nothrow) CConnection(*this));
    if (!pConnection) {
        CAsyncSocket scratch;
        m_pListener->Accept(scratch);
        return;
    }
    if (!m_pListener->Accept(*pConnection))
        return;
    CConnection& rConnection = *pConnection;
    m_connections.push_back(std::move(pConnection));
    rConnection.Begin();
    // Only the server's own user and root.
    unsigned nUid = 0;
    if (!rConnection.GetPeerUser(nUid) || (nUid != ::geteuid() && nUid != 0))
        rConnection.Refuse();
}

void CControlServer::Finished(CConnection& rConnection) {
    auto it = std::find_if(m_connections.begin(), m_connections.end(),
                           [&](const auto& p) { return p.get() == &rConnection; });
    if (it == m_connections.end())
        return;
    std::unique_ptr<CConnection> pEnded = std::move(*it);
    m_connections.erase(it);
    pEnded->ShutDown(2);
    ReleaseAfterEvent(std::move(pEnded));
}
