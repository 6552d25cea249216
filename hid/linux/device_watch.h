#pragma once
// Arrival and removal of hidraw device nodes, seen through inotify on a /dev directory.
//
// No udev monitor: without udevd (containers, CI, a fake device tree) it sees nothing,
// while the directory itself always shows the nodes being created and removed, and
// IN_ATTRIB when udev later grants the user access to one.
#include "hid/hid_platform.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Collects the notices of one burst and hands each kind that occurred out once, ordered by
// its last occurrence: a node created and removed within one burst ends as a removal.
class NoticeBurst {
public:
    void Add(DeviceNotice notice);
    bool Empty() const { return m_next == 0; }
    // The burst's notices, and a fresh start.
    std::vector<DeviceNotice> Take();

private:
    static constexpr int kKinds = 3;
    uint64_t m_last[kKinds] = {}; // 0: did not occur; else the sequence number of the last one
    uint64_t m_next = 0;
};

// True for "hidraw" followed by digits only.
bool IsHidrawNodeName(const std::string& name);

// Watches dev_dir from a thread of its own; on_notice runs on that thread, once per kind
// per burst, bursts being the events within window_ms of the first one. Null when inotify
// can't be set up (the directory is missing, say). The destructor stops and joins the
// thread: no call of on_notice starts or is still running after it returns.
std::unique_ptr<IDeviceWatch> WatchHidrawNodes(const std::string& dev_dir, std::function<void(DeviceNotice)> on_notice,
                                               uint32_t window_ms);
