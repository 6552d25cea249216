#include "hid/linux/hidraw_platform.h"

#include "hid/linux/device_watch.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// A report handed over in pieces is completed within this time, or taken as it is.
constexpr int kReportRestWaitMs = 20;
// A uevent file is a few hundred bytes; anything far larger is not one.
constexpr size_t kUeventMaxBytes = 16 * 1024;

// Milliseconds left until the deadline, rounded up so that a wait never ends before it.
int MsUntil(Clock::time_point deadline)
{
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : int(ms);
}

// Digits only, no sign, no overflow.
bool ParseDecimal(const std::string& text, unsigned long& value)
{
    if (text.empty() || text.size() > 9) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + unsigned(c - '0');
    }
    return true;
}

bool ParseHex(const std::string& text, unsigned long& value)
{
    if (text.empty() || text.size() > 8) return false;
    value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return false;
        value = value * 16 + unsigned(digit);
    }
    return true;
}

// The value of HID_ID=BBBB:VVVVVVVV:PPPPPPPP in a uevent text.
bool ParseHidId(const std::string& uevent, unsigned long& vendor, unsigned long& product)
{
    static const std::string kKey = "HID_ID=";
    size_t start = 0;
    while (start < uevent.size()) {
        size_t end = uevent.find('\n', start);
        if (end == std::string::npos) end = uevent.size();
        const std::string line = uevent.substr(start, end - start);
        start = end + 1;
        if (line.compare(0, kKey.size(), kKey) != 0) continue;
        const std::string value = line.substr(kKey.size());
        const size_t colon1 = value.find(':');
        if (colon1 == std::string::npos) return false;
        const size_t colon2 = value.find(':', colon1 + 1);
        if (colon2 == std::string::npos) return false;
        unsigned long bus;
        return ParseHex(value.substr(0, colon1), bus) &&
               ParseHex(value.substr(colon1 + 1, colon2 - colon1 - 1), vendor) &&
               ParseHex(value.substr(colon2 + 1), product);
    }
    return false;
}

// Reads a small regular file. O_NONBLOCK so that a FIFO planted in a fake tree can't
// stall the search on open.
bool ReadSmallFile(const std::string& path, std::string& text)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    text.clear();
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, size_t(n));
        if (text.size() > kUeventMaxBytes) break;
    }
    ::close(fd);
    return true;
}

HidOpenError TranslateOpenErrno(int err)
{
    switch (err) {
    case EACCES:
    case EPERM:
        return HidOpenError::kAccessDenied;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return HidOpenError::kNoDevice;
    default:
        return HidOpenError::kOther;
    }
}

class HidrawDevice final : public IHidDevice {
public:
    HidrawDevice(int fd, uint32_t write_timeout_ms) : m_fd(fd), m_writeTimeoutMs(write_timeout_ms) {}
    ~HidrawDevice() override
    {
        if (m_fd >= 0) ::close(m_fd);
    }
    HidrawDevice(const HidrawDevice&) = delete;
    HidrawDevice& operator=(const HidrawDevice&) = delete;

    bool WriteReport(const uint8_t (&report)[kHidReportSize]) override
    {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_writeTimeoutMs);
        size_t done = 0;
        // hidraw takes a report whole or not at all, so this loops once there; a pty standing
        // in for the device may take part of it when its buffer is nearly full.
        while (done < sizeof report) {
            pollfd p{m_fd, POLLOUT, 0};
            const int r = ::poll(&p, 1, MsUntil(deadline));
            if (r < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (r == 0) {
                if (Clock::now() < deadline) continue;
                return false;
            }
            if (!(p.revents & POLLOUT)) return false;
            const ssize_t n = ::write(m_fd, report + done, sizeof report - done);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN) {
                    if (Clock::now() >= deadline) return false;
                    continue;
                }
                return false;
            }
            if (n == 0) return false;
            done += size_t(n);
        }
        return true;
    }

    HidReadStatus ReadReport(uint8_t (&data)[kHidDataSize], uint32_t timeout_ms) override
    {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        uint8_t buf[kHidDataSize] = {};
        ssize_t got = 0;
        for (;;) {
            const WaitResult w = WaitReadable(deadline);
            if (w == WaitResult::kTimedOut) return HidReadStatus::kTimeout;
            if (w == WaitResult::kBroken) return HidReadStatus::kGone;
            got = ::read(m_fd, buf, sizeof buf);
            if (got > 0) break;
            // 0 is a pty's hang-up; EIO is hidraw's answer once the queue of an unplugged
            // device is drained. EAGAIN: someone else took what poll saw; wait again.
            if (got == 0) return HidReadStatus::kGone;
            if (errno != EINTR && errno != EAGAIN) return HidReadStatus::kGone;
        }
        if (size_t(got) < sizeof buf) CompleteReport(buf, size_t(got));
        std::memcpy(data, buf, sizeof data);
        return HidReadStatus::kReport;
    }

private:
    enum class WaitResult { kReadable, kTimedOut, kBroken };

    WaitResult WaitReadable(Clock::time_point deadline)
    {
        for (;;) {
            pollfd p{m_fd, POLLIN, 0};
            const int r = ::poll(&p, 1, MsUntil(deadline));
            if (r < 0) {
                if (errno == EINTR) continue;
                return WaitResult::kBroken;
            }
            if (r == 0) {
                if (Clock::now() < deadline) continue;
                return WaitResult::kTimedOut;
            }
            // An unplugged hidraw device still hands out its queued reports (POLLIN with
            // POLLHUP): only a hang-up with nothing left to read means it is gone.
            if (p.revents & POLLIN) return WaitResult::kReadable;
            return WaitResult::kBroken;
        }
    }

    // hidraw hands over one whole report per read, so a short read there is a shorter
    // report and the wait below finds nothing more. A pty standing in for the device is a
    // byte stream: the simulator's 64-byte write may reach us in two pieces, and reading
    // only the first would shift every later report. The rest is given a short while to
    // come; after that, what arrived is the report, zero-filled.
    void CompleteReport(uint8_t (&buf)[kHidDataSize], size_t got)
    {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kReportRestWaitMs);
        while (got < sizeof buf) {
            if (WaitReadable(deadline) != WaitResult::kReadable) return;
            const ssize_t n = ::read(m_fd, buf + got, sizeof buf - got);
            if (n > 0) got += size_t(n);
            else if (n == 0 || (errno != EINTR && errno != EAGAIN)) return;
        }
    }

    int m_fd;
    uint32_t m_writeTimeoutMs;
};

} // namespace

HidrawPlatform::HidrawPlatform(std::string root, HidrawOptions options) : m_root(std::move(root)), m_options(options) {}

std::vector<HidInterfaceInfo> HidrawPlatform::EnumerateInterfaces()
{
    struct Found {
        unsigned long number;
        HidInterfaceInfo info;
    };
    std::vector<Found> found;
    const std::string classDir = m_root + "/sys/class/hidraw";
    DIR* dir = ::opendir(classDir.c_str());
    if (!dir) return {};
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!IsHidrawNodeName(name)) continue;
        unsigned long number;
        if (!ParseDecimal(name.substr(6), number)) continue;
        std::string uevent;
        if (!ReadSmallFile(classDir + "/" + name + "/device/uevent", uevent)) continue;
        unsigned long vendor, product;
        if (!ParseHidId(uevent, vendor, product)) continue;
        if (vendor > 0xFFFF || product > 0xFFFF) continue;
        found.push_back({number, {m_root + "/dev/" + name, uint16_t(vendor), uint16_t(product)}});
    }
    ::closedir(dir);
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.number < b.number; });
    std::vector<HidInterfaceInfo> result;
    result.reserve(found.size());
    for (Found& f : found) result.push_back(std::move(f.info));
    return result;
}

HidOpenResult HidrawPlatform::OpenInterface(const std::string& path, HidAccess access)
{
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    switch (access) {
    case HidAccess::kWrite: flags |= O_WRONLY; break;
    case HidAccess::kRead: flags |= O_RDONLY; break;
    case HidAccess::kReadWrite: flags |= O_RDWR; break;
    }
    HidOpenResult result;
    const int fd = ::open(path.c_str(), flags);
    if (fd < 0) {
        const int err = errno;
        result.error = TranslateOpenErrno(err);
        result.detail = std::error_code(err, std::generic_category()).message();
        return result;
    }
    result.device = AdoptHidrawDescriptor(fd, m_options.write_timeout_ms);
    return result;
}

std::unique_ptr<IDeviceWatch> HidrawPlatform::WatchDevices(std::function<void(DeviceNotice)> on_notice)
{
    return WatchHidrawNodes(m_root + "/dev", std::move(on_notice), m_options.notice_window_ms);
}

std::string HidRootFromEnvironment()
{
    const char* root = std::getenv("KORVANT_HID_ROOT");
    return root ? std::string(root) : std::string();
}

std::unique_ptr<IHidDevice> AdoptHidrawDescriptor(int fd, uint32_t write_timeout_ms)
{
    return std::make_unique<HidrawDevice>(fd, write_timeout_ms);
}

std::unique_ptr<IHidPlatform> CreateSystemHidPlatform()
{
    return std::make_unique<HidrawPlatform>(HidRootFromEnvironment());
}
