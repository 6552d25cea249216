#pragma once
// The Linux HID platform: hidraw nodes found through sysfs, read and written with
// open/poll/read/write, watched with inotify on the /dev directory.
//
// Everything lives under a root directory: "" means the real /sys and /dev; tests and
// korvant-sim point it at a tree of their own (KORVANT_HID_ROOT) where a fake uevent file
// and a dev/hidrawN node stand in for each device.
#include "hid/hid_platform.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// A write that the device does not take within this time fails. The kernel's own bound on
// a USB interrupt transfer is about the same, so a real controller never hits ours first.
constexpr uint32_t kHidrawWriteTimeoutMs = 5000;
// Device nodes come and go in bursts (one plug creates several nodes, then udev changes
// their permissions); events within this window after the first one make one delivery.
constexpr uint32_t kHidrawNoticeWindowMs = 75;

struct HidrawOptions {
    uint32_t write_timeout_ms = kHidrawWriteTimeoutMs;
    uint32_t notice_window_ms = kHidrawNoticeWindowMs;
};

class HidrawPlatform final : public IHidPlatform {
public:
    explicit HidrawPlatform(std::string root, HidrawOptions options = {});

    const std::string& Root() const { return m_root; }

    // Sorted by node number, so hidraw2 comes before hidraw10 whatever order sysfs lists
    // them in. Entries without a readable HID_ID line, or with ids wider than 16 bits, are
    // left out.
    std::vector<HidInterfaceInfo> EnumerateInterfaces() override;
    // kWrite opens write-only, kRead read-only, kReadWrite both (the presence probe).
    HidOpenResult OpenInterface(const std::string& path, HidAccess access) override;
    // Watches <root>/dev for hidrawN nodes; null when that directory can't be watched.
    std::unique_ptr<IDeviceWatch> WatchDevices(std::function<void(DeviceNotice)> on_notice) override;

private:
    std::string m_root;
    HidrawOptions m_options;
};

// $KORVANT_HID_ROOT, or "" (the real /sys and /dev) when it is unset.
std::string HidRootFromEnvironment();

// Takes ownership of an open descriptor and serves it as a device: what OpenInterface
// returns. The descriptor should be non-blocking; the waits are bounded by poll.
std::unique_ptr<IHidDevice> AdoptHidrawDescriptor(int fd, uint32_t write_timeout_ms = kHidrawWriteTimeoutMs);
