// Serves the sockets from the window's event loop: the dispatcher's one
// epoll handle is watched by a socket notifier, and whenever it is readable
// the ready events are delivered. Modal loops (dialogs, message boxes,
// menus, the folder picker) run the same notifiers, so the server keeps
// serving inside them.
#pragma once

#include <memory>

class CSocketDispatcher;
class QSocketNotifier;

class CDispatcherNotifier {
public:
    explicit CDispatcherNotifier(CSocketDispatcher& rDispatcher);
    ~CDispatcherNotifier();
    CDispatcherNotifier(const CDispatcherNotifier&) = delete;
    CDispatcherNotifier& operator=(const CDispatcherNotifier&) = delete;

private:
    std::unique_ptr<QSocketNotifier> m_pNotifier;
};
