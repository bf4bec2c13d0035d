#include "ui/HashRequest.h"

#include "ftp/PasswordChecks.h"
#include "net/SocketDispatcher.h"

#include <QPointer>
#include <QTimer>

#include <utility>

CHashRequest::CHashRequest(CPasswordChecks& rChecks, QObject* pOwner)
    : QObject(pOwner), m_rChecks(rChecks) {}

void CHashRequest::Start(std::vector<std::string> passwords, Finished finished) {
    m_passwords = std::move(passwords);
    m_hashes.clear();
    m_finished = std::move(finished);
    m_bRunning = true;
    Next();
}

void CHashRequest::Later(std::function<void()> work) {
    QTimer::singleShot(0, this, std::move(work));
}

void CHashRequest::Next() {
    if (m_hashes.size() == m_passwords.size()) {
        // Every hash is in: finished runs from the loop, never from Start.
        Later([this] {
            m_bRunning = false;
            Finished finished = std::move(m_finished);
            finished(m_hashes);
        });
        return;
    }
    CSocketDispatcher* pDispatcher = CSocketDispatcher::Current();
    QPointer<CHashRequest> pSelf(this);
    const CPasswordChecks::Result result =
        pDispatcher ? m_rChecks.Hash(
                          m_passwords[m_hashes.size()], pDispatcher->Posts(),
                          [pSelf](const std::string& strHash) {
                              if (pSelf)
                                  pSelf->Arrived(strHash);
                          },
                          nullptr)
                    : CPasswordChecks::Result::Stopped;
    // Refused: this password has no hash, and the next one is tried from
    // the loop (the threads may have room by then).
    if (result != CPasswordChecks::Result::Queued)
        Later([this] { Arrived(std::string()); });
}

void CHashRequest::Arrived(const std::string& strHash) {
    m_hashes.push_back(strHash);
    Next();
}
