#pragma once
// CHid: the tool's only path to the controller. It finds a supported controller, tells its
// protocol family, opens it with one handle for writing and one for reading, sends 65-byte
// output reports and receives input reports with a time limit, and registers the owner for
// device notices. It shows nothing to the user; it reports through results and debug lines.
#include "hid/hid_platform.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// Device-change event codes, as the dialog's OnDeviceChange receives them.
constexpr uint32_t DBT_DEVNODES_CHANGED = 0x0007;
constexpr uint32_t DBT_DEVICEARRIVAL = 0x8000;
constexpr uint32_t DBT_DEVICEREMOVECOMPLETE = 0x8004;

// Where device notices go. The front end decides on which thread they are then handled
// (the dialog's), so the implementation must only hand the event over, never block.
class IDeviceNoticeSink {
public:
    virtual ~IDeviceNoticeSink() = default;
    virtual void PostDeviceChange(uint32_t event) = 0;
};

// ReadHid results. Callers act on HID_READ_OK alone; the others say why nothing arrived.
constexpr uint32_t HID_READ_OK = 0;
constexpr uint32_t HID_READ_TIMEOUT = 258;     // no report within m_nReadTimeout
constexpr uint32_t HID_READ_NOT_OPEN = 128;    // no read handle; nothing was attempted
constexpr uint32_t HID_READ_GONE = 0xFFFFFFFF; // the device is gone; no report will come

// No read of this link will ever bring a report again: waiting or resending is pointless.
inline bool IsLinkLost(uint32_t read_result) { return read_result == HID_READ_GONE || read_result == HID_READ_NOT_OPEN; }

// Supported controllers and their protocol family.
constexpr uint16_t VID_KORVANT_OLD = 0x0483;
constexpr uint16_t VID_KORVANT = 0x2DC8;
constexpr uint16_t PID_FRAMED = 0x5750;
constexpr uint16_t PID_COMMAND = 0x3208;

struct SupportedController {
    uint16_t vendor_id;
    uint16_t product_id;
    bool direct; // command-report family (g_bDirectDevice 1)
};
constexpr SupportedController kSupportedControllers[] = {
    {VID_KORVANT_OLD, PID_FRAMED, false},
    {VID_KORVANT, PID_FRAMED, false},
    {VID_KORVANT, PID_COMMAND, true},
};
// The table entry for a vendor/product pair, or nullptr when the pair is not supported.
const SupportedController* FindSupportedController(uint16_t vendor_id, uint16_t product_id);

// The udev rule that grants the seat's user access to the supported controllers.
constexpr const char* kUdevRuleName = "70-korvant-update.rules";

// Process-wide report buffers and family flag. Only WriteHid writes g_outReport; ReadHid
// fills g_inReport (report byte 1 at index 0). One thread uses them at a time: the link's
// user (the update worker during an update, the dialog's thread otherwise).
extern uint8_t g_outReport[kHidReportSize];
extern uint8_t g_inReport[kHidDataSize];
// 1 when the controller found last speaks command reports, 0 for framed messages. Written
// only by a successful FindDevice.
extern std::atomic<int> g_bDirectDevice;

class CHid {
public:
    explicit CHid(IHidPlatform& platform);
    virtual ~CHid();
    CHid(const CHid&) = delete;
    CHid& operator=(const CHid&) = delete;

    // 1 when a supported controller is present, 0 when none. Leaves no handle open and
    // does not touch the open link. The first call also registers the device notices.
    int CheckDevice();
    // 1 with `probe` open on the first supported controller in enumeration order; 0 none.
    int FindDevice(std::unique_ptr<IHidDevice>& probe);
    // 1 when the notices were registered for m_hWndNotify.
    int RegisterNotification();
    // Opens m_DevicePath: the write handle, then the read handle; read timeout 200 ms.
    // 1 when both are open. A failure may leave the write handle open (half open).
    int Open();
    // Waits up to m_nReadTimeout for one input report and copies `count` (<= 64) of its data
    // bytes to dest. Returns HID_READ_OK, HID_READ_TIMEOUT, HID_READ_NOT_OPEN or
    // HID_READ_GONE; dest is untouched unless the result is HID_READ_OK.
    uint32_t ReadHid(uint8_t* dest, uint8_t count);
    // Builds the report in g_outReport (id 0, `count` (<= 64) payload bytes, zeros to the
    // end) and writes it. Nonzero when the report was written; 0 when the link is not open
    // or the write failed. The report is built in either case.
    int WriteHid(const uint8_t* payload, uint8_t count);
    void SetReadTimeout(uint32_t ms) { m_nReadTimeout = ms; }

    // A supported controller was seen at the last search but could not be opened for lack
    // of permission (and none could be opened). Front ends say "found, but no permission"
    // instead of "not found".
    bool AccessDenied() const { return m_bAccessDenied.load(); }
    std::string DeniedPath() const;
    std::string DevicePath() const;
    bool IsOpen() const { return m_hWrite && m_hRead; }

    // Public so the owner can set it before the first CheckDevice, as the dialog does.
    IDeviceNoticeSink* m_hWndNotify = nullptr;
    std::atomic<int> m_bDeviceFound{0};
    std::atomic<uint32_t> m_nReadTimeout{10};
    int m_bNotifyRegistered = 0;

private:
    IHidPlatform& m_platform;
    // Guards the search state: a worker's end-of-update presence check and a notice on the
    // dialog's thread may search at the same moment.
    mutable std::mutex m_searchLock;
    std::unique_ptr<IHidDevice> m_hWrite;
    std::unique_ptr<IHidDevice> m_hRead;
    std::string m_DevicePath;
    std::unique_ptr<IDeviceWatch> m_hNotify;
    std::atomic<bool> m_bAccessDenied{false};
    std::string m_deniedPath;
};
