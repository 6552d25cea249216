#pragma once
// The HID platform port: what CHid needs of the operating system, and nothing more.
// One implementation file per platform (hid/linux/...), chosen by the build; the
// in-process simulator implements it too.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Output reports travel as the report id (always 0 for these controllers) followed by 64
// data bytes; input reports reach CHid as the 64 data bytes alone.
constexpr int kHidReportSize = 65;
constexpr int kHidDataSize = 64;

struct HidInterfaceInfo {
    std::string path;      // what OpenInterface takes
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
};

enum class HidReadStatus {
    kReport,   // a report arrived; the data bytes were filled
    kTimeout,  // nothing within the time limit; a report arriving later stays queued
    kGone,     // the device went away (or the handle broke); no report will ever come
};

// OS failures translated once, at the edge, into what the rest of the program can act on.
enum class HidOpenError {
    kNone,
    kAccessDenied,  // the node exists but this user may not open it (udev rule missing)
    kNoDevice,      // the node vanished between enumeration and open
    kOther,
};

class IHidDevice {
public:
    virtual ~IHidDevice() = default;
    // Writes one output report, report id first. True only when the whole report was taken.
    // Bounded in time: a device that never takes the report makes this return false.
    virtual bool WriteReport(const uint8_t (&report)[kHidReportSize]) = 0;
    // Waits at most timeout_ms for one input report. On kReport, `data` holds the report's
    // 64 data bytes (the report id is never among them); otherwise `data` is untouched.
    virtual HidReadStatus ReadReport(uint8_t (&data)[kHidDataSize], uint32_t timeout_ms) = 0;
};

enum class HidAccess { kReadWrite, kWrite, kRead };

struct HidOpenResult {
    std::unique_ptr<IHidDevice> device;  // null on failure
    HidOpenError error = HidOpenError::kNone;
    std::string detail;                  // the OS's own words, for the debug line
};

// Arrival, removal and "something changed, look again" of HID device nodes.
enum class DeviceNotice { kArrival, kRemoval, kNodesChanged };

class IDeviceWatch {
public:
    virtual ~IDeviceWatch() = default;  // stops watching; no callback runs after it returns
};

class IHidPlatform {
public:
    virtual ~IHidPlatform() = default;
    // All HID interfaces present, in a stable order (on Linux: by hidraw node number).
    virtual std::vector<HidInterfaceInfo> EnumerateInterfaces() = 0;
    virtual HidOpenResult OpenInterface(const std::string& path, HidAccess access) = 0;
    // Calls on_notice from a thread of the platform's own whenever HID devices come or go;
    // bursts are coalesced. Null when the platform cannot watch.
    virtual std::unique_ptr<IDeviceWatch> WatchDevices(std::function<void(DeviceNotice)> on_notice) = 0;
};

// The platform this build runs on (hid/linux/... on Linux).
std::unique_ptr<IHidPlatform> CreateSystemHidPlatform();
