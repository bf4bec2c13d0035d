// The arithmetic of one transfer's speed limit: tokens (bytes it may move)
// that flow in at its rate as time passes, up to a cap, and are taken by
// what it moves. A turn that overshoots (a small file sent whole) leaves
// the bucket in debt, paid back before the next turn.
//
// The sizes follow the rate: a turn is worth about kTurnMs of it (at least
// kMinTurn bytes), and the bucket holds about kCapMs of it (at least two
// turns), so that a wake-up late by a loaded machine loses nothing while
// an idle transfer cannot save up a burst.
#pragma once

#include <chrono>
#include <cstdint>

class CTokenBucket {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kTurnMs = 20;
    static constexpr int kCapMs = 250;
    static constexpr int64_t kMinTurn = 1024;

    // A new rate (bytes a second, more than 0) from now on; what flowed in
    // at the old rate until now is kept. The first rate fills one turn.
    void SetRate(int64_t nRate, Clock::time_point now);
    int64_t Rate() const { return m_nRate; }
    // The whole bytes the bucket holds at now (0 when in debt).
    int64_t Available(Clock::time_point now);
    // Takes what a turn moved.
    void Take(int64_t nBytes) { m_dTokens -= static_cast<double>(nBytes); }
    // Bytes one turn is worth, and the most the bucket holds.
    int64_t Turn() const;
    int64_t Cap() const;
    // True when the bucket holds at least half a turn: worth a turn.
    bool Ready(Clock::time_point now) { return Available(now) * 2 >= Turn(); }
    // Milliseconds from now until it holds a turn (at least 1).
    int WaitMs(Clock::time_point now);

private:
    void Refill(Clock::time_point now);

    int64_t m_nRate = 0;
    double m_dTokens = 0;
    Clock::time_point m_last;
};
