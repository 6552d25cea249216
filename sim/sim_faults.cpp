#include "sim/sim_faults.h"

#include <cstdlib>

const std::vector<SimFaultInfo>& AllSimFaults()
{
    static const std::vector<SimFaultInfo> kFaults = {
        {"silence", nullptr, "never answer anything"},
        {"erase-busy", "N|forever", "command family: answer N erase polls (or all) with STATUS_BUSY"},
        {"stale-acks", nullptr, "command family: send an old acknowledgement before every real one"},
        {"status", "S", "command family: acknowledge with the non-zero status S"},
        {"fail-at", "K", "report a failure at image piece (framed) or block (command) K"},
        {"unplug-at", "K", "disappear at image piece (framed) or block (command) K"},
        {"bad-first-byte", nullptr, "start every report with 0x01 instead of 0x00"},
        {"firmware-type", "T", "framed family: name firmware type T in the identity report (default 1)"},
        {"no-version", nullptr, "report version 0xFFFFFFFF (no version)"},
        {"slow", nullptr, "pace the link like full-speed USB: one report per 1 ms frame each way"},
    };
    return kFaults;
}

namespace {

bool ParseNumber(const std::string& text, uint32_t& out)
{
    if (text.empty()) return false;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || v > 0xFFFFFFFFull) return false;
    out = uint32_t(v);
    return true;
}

} // namespace

bool ApplySimFault(const std::string& text, SimFaults& faults, std::string& error)
{
    const size_t eq = text.find('=');
    const std::string name = text.substr(0, eq);
    const bool hasArg = eq != std::string::npos;
    const std::string arg = hasArg ? text.substr(eq + 1) : std::string();
    const SimFaultInfo* info = nullptr;
    for (const SimFaultInfo& f : AllSimFaults())
        if (name == f.name) info = &f;
    if (!info) {
        error = "unknown fault '" + name + "'";
        return false;
    }
    if (!info->arg && hasArg) {
        error = "fault '" + name + "' takes no argument";
        return false;
    }
    uint32_t n = 0;
    if (info->arg && name != "erase-busy" && !ParseNumber(arg, n)) {
        error = "fault '" + name + "' needs a number: " + name + "=" + info->arg;
        return false;
    }
    if (name == "silence") faults.silence = true;
    else if (name == "erase-busy") {
        if (arg == "forever") faults.erase_busy_forever = true;
        else if (ParseNumber(arg, n)) faults.erase_busy = n;
        else {
            error = "fault 'erase-busy' needs a count or 'forever'";
            return false;
        }
    } else if (name == "stale-acks") faults.stale_acks = true;
    else if (name == "status") {
        if (n == 0 || n > 0xFFFF) {
            error = "fault 'status' needs a non-zero 16-bit status";
            return false;
        }
        faults.bad_status = uint16_t(n);
    } else if (name == "fail-at" || name == "unplug-at") {
        if (n == 0) {
            error = "fault '" + name + "' counts from 1";
            return false;
        }
        (name == "fail-at" ? faults.fail_at : faults.unplug_at) = n;
    } else if (name == "bad-first-byte") faults.bad_first_byte = true;
    else if (name == "firmware-type") faults.firmware_type = n;
    else if (name == "no-version") faults.no_version = true;
    else if (name == "slow") faults.slow = true;
    return true;
}
