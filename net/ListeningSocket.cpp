#include "net/ListeningSocket.h"

void CListeningSocket::OnAccept(int /*nErrorCode*/) {
    if (m_onConnectionWaiting)
        m_onConnectionWaiting();
}
