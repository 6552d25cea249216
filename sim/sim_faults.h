#pragma once
// Faults a simulated controller can be told to show, by name (korvant-sim --fault NAME[=ARG]).
// Counts are 1-based: "unplug-at=3" unplugs on the third piece or block.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct SimFaults {
    bool silence = false;                  // never answers anything
    std::optional<uint32_t> erase_busy;    // answers erase polls with STATUS_BUSY N times
    bool erase_busy_forever = false;
    bool stale_acks = false;               // an old acknowledgement precedes every real one
    std::optional<uint16_t> bad_status;    // acknowledges with this non-zero status
    std::optional<uint32_t> fail_at;       // failure report at piece/block k
    std::optional<uint32_t> unplug_at;     // disappears at piece/block k
    bool bad_first_byte = false;           // every report starts with 0x01 instead of 0x00
    std::optional<uint32_t> firmware_type; // identity's firmware type (default 1)
    bool no_version = false;               // reports version 0xFFFFFFFF
    bool slow = false;                     // paced like a full-speed USB link: 1 ms frames
};

struct SimFaultInfo {
    const char* name;
    const char* arg;   // nullptr: takes no argument
    const char* help;
};
// Every fault, for --help and for tests that walk all of them.
const std::vector<SimFaultInfo>& AllSimFaults();

// Applies "NAME" or "NAME=ARG" to `faults`; false (with `error` set) for an unknown name or
// a bad argument.
bool ApplySimFault(const std::string& text, SimFaults& faults, std::string& error);
