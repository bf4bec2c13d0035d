// The control socket of a server without a window: a local (UNIX) socket
// in the user's runtime folder, mode 0600, through which `skerrow --who`,
// `--kick`, `--unban`, `--reload` and `--metrics` reach the running server.
// Only the server's own user and root are served (the peer's credentials
// say who connects). One request line and one reply per connection; the
// reply begins with "OK" or "ERR <why>" on a line of its own, and the
// connection closes after it. Served on the one loop, never blocking: a
// request over 4 KiB, or not finished within 5 seconds, ends its
// connection.
//
// Ownership: the server owns its listener and its connections; a finished
// connection is handed to the dispatcher's deferred release.
#pragma once

#include "net/AsyncSocket.h"
#include "net/Timer.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// Where the control socket of this user's server lives:
// $RUNTIME_DIRECTORY/control (a system service's), else
// RuntimeControlSocketPath() when XDG_RUNTIME_DIR is set, else
// TemporaryControlSocketPath(); empty when there is no place for it.
std::string ControlSocketPath();
// $XDG_RUNTIME_DIR/skerrow/control, else /run/user/<uid>/skerrow/control.
std::string RuntimeControlSocketPath();
// $TMPDIR/skerrow-<uid>/control ($TMPDIR else /tmp). For root only in a
// temporary folder of root's that no one else may write into; else empty.
std::string TemporaryControlSocketPath();

class CControlServer {
public:
    // The answer to one request line: "OK\n" and the body, or "ERR ...\n".
    using Handler = std::function<std::string(const std::string& strRequest)>;

    explicit CControlServer(Handler handler);
    ~CControlServer();
    CControlServer(const CControlServer&) = delete;
    CControlServer& operator=(const CControlServer&) = delete;

    // Listens at strPath (its folder made 0700 when missing). A stale socket
    // there (no server answers it) is replaced; false, with the reason in
    // rError, when another server answers it, the folder is not safe or
    // strPath is empty (no place for it).
    bool Open(const std::string& strPath, std::string& rError);
    // Stops listening and removes the socket.
    void Close();
    size_t ConnectionCount() const { return m_connections.size(); }

    static constexpr size_t kMaxRequest = 4096;
    static constexpr int kRequestTimeoutMs = 5000;

private:
    class CListener;
    class CConnection;
    void AcceptConnection();
    void Finished(CConnection& rConnection);

    Handler m_handler;
    std::string m_strPath;
    std::unique_ptr<CListener> m_pListener;
    std::vector<std::unique_ptr<CConnection>> m_connections;
};
