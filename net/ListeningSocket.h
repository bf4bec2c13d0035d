// The control-port listener: reports each waiting connection to the host.
#pragma once

#include "net/AsyncSocket.h"

class CServerHost;

class CListeningSocket : public CAsyncSocket {
public:
    explicit CListeningSocket(CServerHost* pOwner) : m_pOwner(pOwner) {}
    void OnAccept(int nErrorCode) override;

    CServerHost* m_pOwner;
};
