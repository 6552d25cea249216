#pragma once
// A clock whose time moves only when someone sleeps on it or advances it: flow tests and
// the in-process simulator run the protocol's second-long waits in microseconds.
#include "base/clock.h"

#include <atomic>

class VirtualClock final : public IClock {
public:
    uint64_t NowMs() const override { return m_now.load(); }
    void SleepMs(uint32_t ms) override { m_now += ms; m_slept += ms; }
    void AdvanceTo(uint64_t t)
    {
        uint64_t now = m_now.load();
        while (t > now && !m_now.compare_exchange_weak(now, t)) {}
    }
    // Time spent in SleepMs alone (the protocol's deliberate pauses).
    uint64_t SleptMs() const { return m_slept.load(); }

private:
    std::atomic<uint64_t> m_now{0};
    std::atomic<uint64_t> m_slept{0};
};
