#pragma once
// The in-process transport: simulated controllers behind the HID platform port, on a
// virtual clock. A read that finds no report due within its time limit moves the clock by
// the limit and times out, exactly as a real read would, only without the waiting; so a flow
// test runs the protocol's seconds of erase polling in microseconds and can assert on the
// virtual time it took.
//
// Pacing: with frame_ms 0 a controller answers instantly (after its own reply delays). With
// frame_ms > 0 each direction carries one report per frame, as a full-speed USB interrupt
// endpoint does: an output report goes out in the next free frame and the write returns
// when that frame ends; a reply travels in a later frame, one per frame, and is readable
// when its frame ends. A request and its answer thus take two frames at the least.
#include "base/virtual_clock.h"
#include "hid/hid_platform.h"
#include "sim/sim_controller.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class SimHidPlatform final : public IHidPlatform {
public:
    explicit SimHidPlatform(VirtualClock& clock);
    ~SimHidPlatform() override;

    // Plugs in a controller; returns its path. frame_ms < 0: 1 ms frames when the
    // controller's faults ask for a slow link, else instant.
    std::string Attach(std::unique_ptr<SimController> controller, int frame_ms = -1);
    // Plugs in some other HID device (a mouse, say): enumerated, never opened by the tool.
    std::string AttachOther(uint16_t vendor_id, uint16_t product_id);
    // Unplugs a device: reads drain what is queued, then report the device gone; writes fail.
    void Unplug(const std::string& path);
    // This user may not open the device (a missing udev rule).
    void DenyAccess(const std::string& path, bool denied = true);
    // Sends a notice to every watcher, as the system would (synchronously, on this thread).
    void EmitNotice(DeviceNotice notice);
    // Emit notices by themselves on Attach/Unplug (default on).
    void SetAutoNotices(bool on) { m_autoNotices = on; }

    SimController* Controller(const std::string& path);
    // Reports written to / read from a device (reads: ReadReport calls that returned a report).
    uint64_t WriteCount(const std::string& path);
    uint64_t ReadCount(const std::string& path);
    uint64_t ReadTimeoutCount(const std::string& path);
    int OpenCount() const { return m_openCount; }

    std::vector<HidInterfaceInfo> EnumerateInterfaces() override;
    HidOpenResult OpenInterface(const std::string& path, HidAccess access) override;
    std::unique_ptr<IDeviceWatch> WatchDevices(std::function<void(DeviceNotice)> on_notice) override;

    struct Device;
    struct Watcher;

private:
    std::shared_ptr<Device> Find(const std::string& path);

    VirtualClock& m_clock;
    mutable std::mutex m_lock;
    std::vector<std::shared_ptr<Device>> m_devices;
    std::vector<std::shared_ptr<Watcher>> m_watchers;
    int m_nextNode = 0;
    std::atomic<int> m_openCount{0};
    bool m_autoNotices = true;
};
