#include "ui/DispatcherNotifier.h"

#include "net/SocketDispatcher.h"

#include <QSocketNotifier>

CDispatcherNotifier::CDispatcherNotifier(CSocketDispatcher& rDispatcher)
    : m_pNotifier(std::make_unique<QSocketNotifier>(rDispatcher.Handle(), QSocketNotifier::Read)) {
    // One pass per wake-up: the window gets its turn between passes, and the
    // level-triggered handle wakes the loop again while events remain.
    QObject::connect(m_pNotifier.get(), &QSocketNotifier::activated, m_pNotifier.get(),
                     [&rDispatcher] { rDispatcher.ProcessEvents(0); });
}

CDispatcherNotifier::~CDispatcherNotifier() = default;
