#include "ui/DispatcherNotifier.h"

#include "net/SocketDispatcher.h"

#include <QSocketNotifier>
#include <QTimer>

CDispatcherNotifier::CDispatcherNotifier(CSocketDispatcher& rDispatcher)
    : m_rDispatcher(rDispatcher),
      m_pNotifier(std::make_unique<QSocketNotifier>(rDispatcher.Handle(), QSocketNotifier::Read)),
      m_pTimer(std::make_unique<QTimer>()) {
    // One pass per wake-up: the window gets its turn between passes, and the
    // level-triggered handle wakes the loop again while events remain.
    QObject::connect(m_pNotifier.get(), &QSocketNotifier::activated, m_pNotifier.get(),
                     [&rDispatcher] { rDispatcher.ProcessEvents(0); });
    m_pTimer->setSingleShot(true);
    m_pTimer->setTimerType(Qt::PreciseTimer);
    QObject::connect(m_pTimer.get(), &QTimer::timeout, m_pTimer.get(), [this] {
        m_rDispatcher.RunDueTimers();
        // A timer that woke a little early has run nothing: wait again.
        RearmTimer();
    });
    rDispatcher.SetTimerChangeHandler([this] { RearmTimer(); });
    RearmTimer();
}

CDispatcherNotifier::~CDispatcherNotifier() {
    m_rDispatcher.SetTimerChangeHandler(nullptr);
}

void CDispatcherNotifier::RearmTimer() {
    int nDelay = m_rDispatcher.NextTimerDelay();
    if (nDelay < 0)
        m_pTimer->stop();
    else
        m_pTimer->start(nDelay);
}
