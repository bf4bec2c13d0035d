// The passive-mode listener made by PASV: accepts the client's connection
// for the next transfer into its data connection. While the control
// connection holds it in m_pPassive it is owned there; once a transfer has
// attached a data connection it owns itself and goes after one connection.
#pragma once

#include "net/AsyncSocket.h"

class CDataSocket;

class CPassiveSocket : public CAsyncSocket {
public:
    CPassiveSocket() = default;
    ~CPassiveSocket() override;

    void OnAccept(int nErrorCode) override;
    void OnClose(int nErrorCode) override;

    CDataSocket* m_pData = nullptr;
    bool m_bAcceptSeen = false;
};
