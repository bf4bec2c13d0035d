// Serves the sockets from the window's event loop: the dispatcher's one
// epoll handle is watched by a socket notifier, and whenever it is readable
// the ready events are delivered; one single-shot timer follows the
// dispatcher's nearest timer deadline. Modal loops (dialogs, message boxes,
// menus, the folder picker) run the same notifier and timer, so the server
// keeps serving inside them.
#pragma once

#include <memory>

class CSocketDispatcher;
class QSocketNotifier;
class QTimer;

class CDispatcherNotifier {
public:
    explicit CDispatcherNotifier(CSocketDispatcher& rDispatcher);
    ~CDispatcherNotifier();
    CDispatcherNotifier(const CDispatcherNotifier&) = delete;
    CDispatcherNotifier& operator=(const CDispatcherNotifier&) = delete;

private:
    void RearmTimer();

    CSocketDispatcher& m_rDispatcher;
    std::unique_ptr<QSocketNotifier> m_pNotifier;
    std::unique_ptr<QTimer> m_pTimer;
};
