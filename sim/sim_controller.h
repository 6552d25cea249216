#pragma once
// Simulated controllers. A controller is a behaviour written from the message tables: it
// takes one output report at a time and answers with input reports, each after a delay of
// its own. Transports carry the reports: the in-process SimHidPlatform (virtual clock, for
// flow tests and benchmarks) and the pty device tree of korvant-sim (real time).
//
// A behaviour fails loudly on anything it does not expect: Protocol errors are recorded
// (ProtocolErrors()) so a test can assert there were none.
#include "hid/hid_platform.h"
#include "sim/sim_faults.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct SimReply {
    uint8_t data[kHidDataSize] = {};  // the 64 data bytes of one input report
    uint32_t delay_ms = 0;            // after the output report that caused it
};

struct SimResponse {
    std::vector<SimReply> replies;
    bool unplug = false;              // the controller disappears right after this report
};

enum class SimFamily { kFramed, kCommand };

class SimController {
public:
    virtual ~SimController() = default;
    virtual SimResponse OnOutputReport(const uint8_t (&report)[kHidReportSize]) = 0;

    virtual SimFamily Family() const = 0;
    uint16_t VendorId() const { return m_vendorId; }
    uint16_t ProductId() const { return m_productId; }
    // The firmware version word the controller reports now (after a completed update: the
    // image's version).
    virtual uint32_t VersionWord() const = 0;
    // True once an image was received whole and the update ended successfully.
    virtual bool UpdateCompleted() const = 0;
    // The firmware as the controller stored it: payload-size bytes, in address order.
    virtual std::vector<uint8_t> ReceivedImage() const = 0;
    const SimFaults& Faults() const { return m_faults; }
    // Anything the tool sent that the controller did not expect, one line each.
    const std::vector<std::string>& ProtocolErrors() const { return m_errors; }
    // Every output report the controller received, in order (data bytes after the id).
    const std::vector<std::vector<uint8_t>>& ReceivedReports() const { return m_received; }

protected:
    SimController(uint16_t vid, uint16_t pid, SimFaults faults) : m_vendorId(vid), m_productId(pid), m_faults(std::move(faults)) {}
    void ProtocolError(std::string what) { m_errors.push_back(std::move(what)); }
    void Record(const uint8_t (&report)[kHidReportSize]) { m_received.emplace_back(report + 1, report + kHidReportSize); }

    uint16_t m_vendorId;
    uint16_t m_productId;
    SimFaults m_faults;
    std::vector<std::string> m_errors;
    std::vector<std::vector<uint8_t>> m_received;
};

struct SimControllerOptions {
    uint16_t vendor_id = 0;      // 0: the family's usual pair
    uint16_t product_id = 0;
    uint32_t version_word = 105; // 1.05
    uint16_t revision = 3;
    uint32_t record_address = 0x0800F800;  // command family: where the version record goes
    SimFaults faults;
};

std::unique_ptr<SimController> MakeFramedController(const SimControllerOptions& options);
std::unique_ptr<SimController> MakeCommandController(const SimControllerOptions& options);
std::unique_ptr<SimController> MakeController(SimFamily family, const SimControllerOptions& options);
