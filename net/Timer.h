// A one-shot timer of the event loop, owned by the object it serves: it is
// cancelled when that object goes, so its callback never runs on a deleted
// object. Starting it again replaces the previous deadline.
#pragma once

#include <cstdint>
#include <functional>

class CTimer {
public:
    CTimer() = default;
    ~CTimer() { Stop(); }
    CTimer(const CTimer&) = delete;
    CTimer& operator=(const CTimer&) = delete;

    // Runs callback once, from the loop, nDelayMs from now. False when the
    // process has no event loop.
    bool Start(int nDelayMs, std::function<void()> callback);
    void Stop();
    bool IsActive() const { return m_nId != 0; }

private:
    uint64_t m_nId = 0;
};
