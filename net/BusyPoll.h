// When the loop looks for events a little longer before it sleeps.
//
// On a fast link a client answers a reply within a fraction of a
// millisecond: its next command, or the close that ends a download. A loop
// that went to sleep at once is woken for it (a wake-up of the thread and
// of its processor, which costs as much as the answer's whole trip), and a
// loop that kept looking for a short while finds it at once. Looking costs
// processor time only while it pays: each look that found nothing lowers a
// credit, each that found something raises it, and without credit the loop
// looks again only now and then, to learn whether its clients have become
// quick. The loop looks only after a round that served something (never
// after an idle time-out), and never longer than the next timer allows.
//
// Pure bookkeeping: the loop asks Window() before it waits, looks for that
// long without sleeping (yielding its processor to whoever else wants it),
// and tells Result() whether anything came.
#pragma once

#include <chrono>

class CBusyPoll {
public:
    // The longest look: longer than a quick client's answer on loopback or
    // a local network, far shorter than a trip over the Internet.
    static constexpr std::chrono::microseconds kWindow{250};
    // Credit: a look that pays restores what one that did not cost.
    static constexpr int kMaxCredit = 16;
    static constexpr int kCreditPerMiss = 1;
    static constexpr int kCreditPerHit = 1;
    // Without credit, one chance in this many is taken to look again.
    static constexpr int kProbeEvery = 16;

    // Before a wait that would sleep: how long to look first (zero: sleep
    // at once). bServed: the round before served a socket or a post.
    std::chrono::microseconds Window(bool bServed);
    // After the look Window() asked for: whether an event came meanwhile.
    void Result(bool bCaught);

    int Credit() const { return m_nCredit; }

private:
    int m_nCredit = kMaxCredit;
    int m_nSinceProbe = 0;
};
