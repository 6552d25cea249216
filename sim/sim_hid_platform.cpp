#include "sim/sim_hid_platform.h"

#include <algorithm>
#include <cstring>

struct SimHidPlatform::Device {
    std::string path;
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    std::unique_ptr<SimController> controller; // null for "other" devices
    uint64_t frame_ms = 0;
    bool plugged = true;
    bool denied = false;
    struct Queued {
        uint64_t due;
        uint8_t data[kHidDataSize];
    };
    std::deque<Queued> queue;
    uint64_t out_frame_free = 0; // first time an output frame is free
    uint64_t in_frame_free = 0;  // first time an input frame is free
    uint64_t writes = 0;
    uint64_t reads = 0;
    uint64_t timeouts = 0;
    std::mutex lock;
};

struct SimHidPlatform::Watcher {
    std::function<void(DeviceNotice)> on_notice;
    bool active = true;
};

namespace {

uint64_t CeilToFrame(uint64_t t, uint64_t frame)
{
    return frame ? (t + frame - 1) / frame * frame : t;
}

class SimHidDevice final : public IHidDevice {
public:
    SimHidDevice(std::shared_ptr<SimHidPlatform::Device> device, VirtualClock& clock, HidAccess access)
        : m_device(std::move(device)), m_clock(clock), m_access(access)
    {
    }

    bool WriteReport(const uint8_t (&report)[kHidReportSize]) override
    {
        SimHidPlatform::Device& d = *m_device;
        std::lock_guard<std::mutex> lock(d.lock);
        if (!d.plugged || m_access == HidAccess::kRead) return false;
        ++d.writes;
        uint64_t sent = m_clock.NowMs();
        if (d.frame_ms) {
            sent = CeilToFrame(std::max(sent, d.out_frame_free), d.frame_ms);
            d.out_frame_free = sent + d.frame_ms;
            // The write returns once its frame has gone out.
            m_clock.AdvanceTo(sent + d.frame_ms);
        }
        SimResponse response = d.controller->OnOutputReport(report);
        // A reply travels in the frame after the one that carried the report, at the earliest,
        // and can be read once that frame is over.
        const uint64_t earliest = sent + d.frame_ms;
        for (const SimReply& r : response.replies) {
            uint64_t due = earliest + r.delay_ms;
            if (d.frame_ms) {
                const uint64_t frame = CeilToFrame(std::max(due, d.in_frame_free), d.frame_ms);
                d.in_frame_free = frame + d.frame_ms;
                due = frame + d.frame_ms;
            }
            SimHidPlatform::Device::Queued q{due, {}};
            std::memcpy(q.data, r.data, sizeof q.data);
            // Replies keep their order even when a later one has a shorter delay.
            if (!d.queue.empty() && d.queue.back().due > q.due) q.due = d.queue.back().due;
            d.queue.push_back(q);
        }
        if (response.unplug) d.plugged = false;
        return true;
    }

    HidReadStatus ReadReport(uint8_t (&data)[kHidDataSize], uint32_t timeout_ms) override
    {
        SimHidPlatform::Device& d = *m_device;
        std::lock_guard<std::mutex> lock(d.lock);
        const uint64_t now = m_clock.NowMs();
        if (!d.queue.empty() && d.queue.front().due <= now + timeout_ms) {
            m_clock.AdvanceTo(d.queue.front().due);
            std::memcpy(data, d.queue.front().data, sizeof data);
            d.queue.pop_front();
            ++d.reads;
            return HidReadStatus::kReport;
        }
        if (!d.plugged && d.queue.empty()) return HidReadStatus::kGone;
        m_clock.AdvanceTo(now + timeout_ms);
        ++d.timeouts;
        return HidReadStatus::kTimeout;
    }

private:
    std::shared_ptr<SimHidPlatform::Device> m_device;
    VirtualClock& m_clock;
    HidAccess m_access;
};

class SimWatch final : public IDeviceWatch {
public:
    SimWatch(std::shared_ptr<SimHidPlatform::Watcher> watcher, std::mutex& lock) : m_watcher(std::move(watcher)), m_lock(lock) {}
    ~SimWatch() override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_watcher->active = false;
    }

private:
    std::shared_ptr<SimHidPlatform::Watcher> m_watcher;
    std::mutex& m_lock;
};

} // namespace

SimHidPlatform::SimHidPlatform(VirtualClock& clock) : m_clock(clock) {}
SimHidPlatform::~SimHidPlatform() = default;

std::string SimHidPlatform::Attach(std::unique_ptr<SimController> controller, int frame_ms)
{
    auto d = std::make_shared<Device>();
    d->vendor_id = controller->VendorId();
    d->product_id = controller->ProductId();
    if (frame_ms < 0) frame_ms = controller->Faults().slow ? 1 : 0;
    d->controller = std::move(controller);
    d->frame_ms = uint64_t(frame_ms);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        d->path = "/sim/hidraw" + std::to_string(m_nextNode++);
        m_devices.push_back(d);
    }
    if (m_autoNotices) EmitNotice(DeviceNotice::kArrival);
    return d->path;
}

std::string SimHidPlatform::AttachOther(uint16_t vendor_id, uint16_t product_id)
{
    auto d = std::make_shared<Device>();
    d->vendor_id = vendor_id;
    d->product_id = product_id;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        d->path = "/sim/hidraw" + std::to_string(m_nextNode++);
        m_devices.push_back(d);
    }
    if (m_autoNotices) EmitNotice(DeviceNotice::kArrival);
    return d->path;
}

std::shared_ptr<SimHidPlatform::Device> SimHidPlatform::Find(const std::string& path)
{
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& d : m_devices)
        if (d->path == path) return d;
    return nullptr;
}

void SimHidPlatform::Unplug(const std::string& path)
{
    if (auto d = Find(path)) {
        {
            std::lock_guard<std::mutex> lock(d->lock);
            d->plugged = false;
        }
        if (m_autoNotices) EmitNotice(DeviceNotice::kRemoval);
    }
}

void SimHidPlatform::DenyAccess(const std::string& path, bool denied)
{
    if (auto d = Find(path)) {
        std::lock_guard<std::mutex> lock(d->lock);
        d->denied = denied;
    }
}

void SimHidPlatform::EmitNotice(DeviceNotice notice)
{
    std::vector<std::shared_ptr<Watcher>> watchers;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto& w : m_watchers)
            if (w->active) watchers.push_back(w);
    }
    for (auto& w : watchers) w->on_notice(notice);
}

SimController* SimHidPlatform::Controller(const std::string& path)
{
    auto d = Find(path);
    return d ? d->controller.get() : nullptr;
}

uint64_t SimHidPlatform::WriteCount(const std::string& path)
{
    auto d = Find(path);
    if (!d) return 0;
    std::lock_guard<std::mutex> lock(d->lock);
    return d->writes;
}

uint64_t SimHidPlatform::ReadCount(const std::string& path)
{
    auto d = Find(path);
    if (!d) return 0;
    std::lock_guard<std::mutex> lock(d->lock);
    return d->reads;
}

uint64_t SimHidPlatform::ReadTimeoutCount(const std::string& path)
{
    auto d = Find(path);
    if (!d) return 0;
    std::lock_guard<std::mutex> lock(d->lock);
    return d->timeouts;
}

std::vector<HidInterfaceInfo> SimHidPlatform::EnumerateInterfaces()
{
    std::vector<HidInterfaceInfo> out;
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& d : m_devices) {
        std::lock_guard<std::mutex> dl(d->lock);
        if (d->plugged) out.push_back({d->path, d->vendor_id, d->product_id});
    }
    return out;
}

HidOpenResult SimHidPlatform::OpenInterface(const std::string& path, HidAccess access)
{
    HidOpenResult result;
    auto d = Find(path);
    if (!d) {
        result.error = HidOpenError::kNoDevice;
        return result;
    }
    std::lock_guard<std::mutex> lock(d->lock);
    if (!d->plugged) {
        result.error = HidOpenError::kNoDevice;
    } else if (d->denied) {
        result.error = HidOpenError::kAccessDenied;
        result.detail = "Permission denied";
    } else if (!d->controller) {
        result.error = HidOpenError::kOther;
    } else {
        ++m_openCount;
        result.device = std::make_unique<SimHidDevice>(d, m_clock, access);
    }
    return result;
}

std::unique_ptr<IDeviceWatch> SimHidPlatform::WatchDevices(std::function<void(DeviceNotice)> on_notice)
{
    auto w = std::make_shared<Watcher>();
    w->on_notice = std::move(on_notice);
    std::lock_guard<std::mutex> lock(m_lock);
    m_watchers.push_back(w);
    return std::make_unique<SimWatch>(w, m_lock);
}
