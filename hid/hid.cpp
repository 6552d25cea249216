#include "hid/hid.h"

#include "base/debug_output.h"

#include <cstring>

uint8_t g_outReport[kHidReportSize] = {};
uint8_t g_inReport[kHidDataSize] = {};
std::atomic<int> g_bDirectDevice{0};

namespace {

constexpr uint32_t kReadTimeoutAfterOpenMs = 200;

uint32_t EventCode(DeviceNotice notice)
{
    switch (notice) {
    case DeviceNotice::kArrival: return DBT_DEVICEARRIVAL;
    case DeviceNotice::kRemoval: return DBT_DEVICEREMOVECOMPLETE;
    case DeviceNotice::kNodesChanged: break;
    }
    return DBT_DEVNODES_CHANGED;
}

} // namespace

const SupportedController* FindSupportedController(uint16_t vendor_id, uint16_t product_id)
{
    for (const SupportedController& c : kSupportedControllers)
        if (c.vendor_id == vendor_id && c.product_id == product_id) return &c;
    return nullptr;
}

CHid::CHid(IHidPlatform& platform) : m_platform(platform) {}

CHid::~CHid()
{
    // The watch first: once it is gone no notice can reach an owner that is going away.
    m_hNotify.reset();
    m_hWrite.reset();
    m_hRead.reset();
}

int CHid::FindDevice(std::unique_ptr<IHidDevice>& probe)
{
    std::lock_guard<std::mutex> lock(m_searchLock);
    bool denied = false;
    std::string deniedPath;
    for (const HidInterfaceInfo& info : m_platform.EnumerateInterfaces()) {
        const SupportedController* supported = FindSupportedController(info.vendor_id, info.product_id);
        // Only supported pairs are opened: the platform gives the ids without an open, and
        // opening every keyboard and mouse would only collect permission errors.
        if (!supported) continue;
        HidOpenResult opened = m_platform.OpenInterface(info.path, HidAccess::kReadWrite);
        if (!opened.device) {
            if (opened.error == HidOpenError::kAccessDenied) {
                if (!denied) deniedPath = info.path;
                denied = true;
                DebugPrintf("%s: no permission to open it; install the udev rule %s\n", info.path.c_str(),
                            kUdevRuleName);
            }
            continue;
        }
        m_DevicePath = info.path;
        DebugPrintf("m_DevicePath:%s\n", m_DevicePath.c_str());
        g_bDirectDevice = supported->direct ? 1 : 0;
        m_bAccessDenied = false;
        m_deniedPath.clear();
        probe = std::move(opened.device);
        return 1;
    }
    m_bAccessDenied = denied;
    m_deniedPath = deniedPath;
    return 0;
}

int CHid::RegisterNotification()
{
    if (!m_hWndNotify) return 0;
    IDeviceNoticeSink* sink = m_hWndNotify;
    m_hNotify = m_platform.WatchDevices([sink](DeviceNotice notice) { sink->PostDeviceChange(EventCode(notice)); });
    return m_hNotify ? 1 : 0;
}

int CHid::CheckDevice()
{
    std::unique_ptr<IHidDevice> probe;
    int found = FindDevice(probe);
    {
        std::lock_guard<std::mutex> lock(m_searchLock);
        if (!m_bNotifyRegistered) {
            // Tried once: a platform that cannot watch will not learn to on a second try.
            RegisterNotification();
            m_bNotifyRegistered = 1;
        }
    }
    m_bDeviceFound = found;
    return found;
}

std::string CHid::DevicePath() const
{
    std::lock_guard<std::mutex> lock(m_searchLock);
    return m_DevicePath;
}

std::string CHid::DeniedPath() const
{
    std::lock_guard<std::mutex> lock(m_searchLock);
    return m_deniedPath;
}

int CHid::Open()
{
    m_hWrite.reset();
    m_hRead.reset();
    const std::string path = DevicePath();
    if (path.empty()) return 0;
    m_hWrite = m_platform.OpenInterface(path, HidAccess::kWrite).device;
    if (!m_hWrite) return 0;
    m_hRead = m_platform.OpenInterface(path, HidAccess::kRead).device;
    if (!m_hRead) return 0;
    SetReadTimeout(kReadTimeoutAfterOpenMs);
    return 1;
}

uint32_t CHid::ReadHid(uint8_t* dest, uint8_t count)
{
    if (!m_hRead) return HID_READ_NOT_OPEN;
    uint8_t data[kHidDataSize];
    switch (m_hRead->ReadReport(data, m_nReadTimeout)) {
    case HidReadStatus::kReport:
        if (count > 0) std::memcpy(dest, data, count > kHidDataSize ? kHidDataSize : count);
        return HID_READ_OK;
    case HidReadStatus::kTimeout:
        return HID_READ_TIMEOUT;
    case HidReadStatus::kGone:
        break;
    }
    return HID_READ_GONE;
}

int CHid::WriteHid(const uint8_t* payload, uint8_t count)
{
    std::memset(g_outReport, 0, sizeof g_outReport);
    if (count > kHidDataSize) count = kHidDataSize;
    if (count > 0) std::memcpy(g_outReport + 1, payload, count);
    if (!m_hWrite) return 0;
    return m_hWrite->WriteReport(g_outReport) ? 1 : 0;
}
