#pragma once
// The one clock every sleep and every simulated wait goes through. Real hardware reads
// are bounded by the HID platform itself; the protocol's own pauses (the erase waits,
// the information retry) use this port so tests can run them on virtual time.
#include <cstdint>

class IClock {
public:
    virtual ~IClock() = default;
    // Milliseconds since an arbitrary start; never goes backwards.
    virtual uint64_t NowMs() const = 0;
    virtual void SleepMs(uint32_t ms) = 0;
};

// Wall-clock time (steady), shared by the whole process.
IClock& SystemClock();
