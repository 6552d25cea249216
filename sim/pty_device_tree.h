#pragma once
// A fake device tree that the real Linux HID backend reads as if it were the system's:
//
//   <root>/sys/class/hidraw/hidrawN/device/uevent   DRIVER=..., HID_ID=0003:0000VVVV:0000PPPP
//   <root>/dev/hidrawN                               symlink to a pty slave (/dev/pts/K)
//
// The pty's master side plays the device. A pty is a byte stream, not a report queue, so
// the device side frames reports itself: 65 bytes in per output report (report id first),
// 64 bytes out per input report (hidraw strips the id on reads). Point KORVANT_HID_ROOT at
// the root and the tool finds the devices. korvant-sim and the tests share this.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

constexpr int kPtyOutputReportSize = 65;
constexpr int kPtyInputReportSize = 64;

class PtyDevice {
public:
    ~PtyDevice();
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    unsigned Number() const { return m_number; }
    uint16_t VendorId() const { return m_vendor; }
    uint16_t ProductId() const { return m_product; }
    // <root>/dev/hidrawN, the path the tool opens.
    const std::string& NodePath() const { return m_nodePath; }
    // The pty slave the node points at; its owner and mode are what an open is checked against.
    const std::string& SlavePath() const { return m_slavePath; }
    // For a poll loop of the caller's own (readable: output bytes from the tool); -1 once
    // unplugged.
    int MasterFd() const { return m_master; }
    bool Plugged() const { return m_master >= 0; }

    enum class Receive { kReport, kTimeout, kUnplugged };
    // The next output report the tool wrote, waiting at most timeout_ms for it.
    Receive ReceiveOutputReport(uint8_t (&report)[kPtyOutputReportSize], uint32_t timeout_ms);
    // Queues one input report for the tool. False when unplugged, or when the tool has not
    // read enough to make room within timeout_ms.
    bool SendInputReport(const uint8_t (&data)[kPtyInputReportSize], uint32_t timeout_ms = 1000);
    // Sends raw bytes with no framing at all (to split a report, say).
    bool SendRaw(const uint8_t* bytes, size_t size, uint32_t timeout_ms = 1000);

    // Pulls the plug now: the node and its sysfs entry go, the pty hangs up. Unlike hidraw,
    // a pty drops what the tool has not read yet.
    void Unplug();
    // Pulls the plug once the tool has read every input report sent (or after timeout_ms),
    // as a hidraw device hands out its queue before reporting the unplug. True when the
    // queue was drained in time.
    bool UnplugWhenDrained(uint32_t timeout_ms);

private:
    friend class PtyDeviceTree;
    PtyDevice() = default;

    unsigned m_number = 0;
    uint16_t m_vendor = 0;
    uint16_t m_product = 0;
    std::string m_nodePath;
    std::string m_sysDir;
    std::string m_slavePath;
    int m_master = -1;
    // The tree keeps a slave descriptor of its own: the pty stays set up (raw mode) and the
    // master side sees no hang-up while the tool closes and reopens the node between calls.
    int m_slaveHold = -1;
    std::vector<uint8_t> m_pending; // output bytes short of a whole report
};

class PtyDeviceTree {
public:
    // Creates <root>/sys/class/hidraw and <root>/dev (root itself must be writable). Null
    // when that fails; *error says why.
    static std::unique_ptr<PtyDeviceTree> Create(const std::string& root, std::string* error = nullptr);
    ~PtyDeviceTree();
    PtyDeviceTree(const PtyDeviceTree&) = delete;
    PtyDeviceTree& operator=(const PtyDeviceTree&) = delete;

    const std::string& Root() const { return m_root; }
    std::string DevDir() const { return m_root + "/dev"; }
    std::string SysClassDir() const { return m_root + "/sys/class/hidraw"; }

    // Plugs in a device as hidraw<number>: the sysfs entry first, then the node, in the
    // order udev makes them. The device stays owned by the tree (also after an unplug).
    // Null when the number is taken or the pty can't be made; *error says why.
    PtyDevice* Plug(unsigned number, uint16_t vendor_id, uint16_t product_id, std::string* error = nullptr);
    // A sysfs entry named `name` under class/hidraw with the given uevent text and no node:
    // a device the tool must skip, or malformed input.
    bool AddSysEntry(const std::string& name, const std::string& uevent_text);
    // The smallest node number not in use.
    unsigned FreeNumber() const;

private:
    explicit PtyDeviceTree(std::string root) : m_root(std::move(root)) {}

    std::string m_root;
    std::vector<std::unique_ptr<PtyDevice>> m_devices;
};

// The uevent text the kernel writes for a USB HID interface with these ids.
std::string HidUeventText(uint16_t vendor_id, uint16_t product_id);
