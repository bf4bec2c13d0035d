#include "net/ListeningSocket.h"

#include "net/ServerHost.h"

void CListeningSocket::OnAccept(int /*nErrorCode*/) {
    m_pOwner->AcceptClient();
}
