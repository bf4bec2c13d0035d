// A listening socket that reports each waiting connection to whoever made
// it; the one who is told accepts the connection (or leaves it waiting).
#pragma once

#include "net/AsyncSocket.h"

#include <functional>
#include <utility>

class CListeningSocket : public CAsyncSocket {
public:
    explicit CListeningSocket(std::function<void()> onConnectionWaiting)
        : m_onConnectionWaiting(std::move(onConnectionWaiting)) {}
    void OnAccept(int nErrorCode) override;

private:
    std::function<void()> m_onConnectionWaiting;
};
