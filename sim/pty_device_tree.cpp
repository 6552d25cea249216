#include "sim/pty_device_tree.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

int MsUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : int(std::min<long long>(left, INT_MAX));
}

std::string ErrnoText(const char* what)
{
    return std::string(what) + ": " + std::error_code(errno, std::generic_category()).message();
}

void SetError(std::string* error, const std::string& text)
{
    if (error) *error = text;
}

} // namespace

std::string HidUeventText(uint16_t vendor_id, uint16_t product_id)
{
    char id[64];
    std::snprintf(id, sizeof id, "HID_ID=0003:%08X:%08X\n", unsigned(vendor_id), unsigned(product_id));
    return std::string("DRIVER=hid-generic\n") + id + "HID_NAME=Simulated controller\nHID_PHYS=usb-sim/input0\n";
}

PtyDevice::~PtyDevice()
{
    Unplug();
}

PtyDevice::Receive PtyDevice::ReceiveOutputReport(uint8_t (&report)[kPtyOutputReportSize], uint32_t timeout_ms)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (m_pending.size() < size_t(kPtyOutputReportSize)) {
        if (m_master < 0) return Receive::kUnplugged;
        pollfd p{m_master, POLLIN, 0};
        const int r = ::poll(&p, 1, MsUntil(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            if (r == 0 && Clock::now() < deadline) continue;
            return Receive::kTimeout;
        }
        uint8_t buf[4096];
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n > 0) {
            m_pending.insert(m_pending.end(), buf, buf + n);
        } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        } else {
            // The tree holds a slave open, so this is not the tool closing its node; the pty
            // itself is broken, which for the tool looks like an unplug.
            return Receive::kTimeout;
        }
    }
    std::memcpy(report, m_pending.data(), sizeof report);
    m_pending.erase(m_pending.begin(), m_pending.begin() + kPtyOutputReportSize);
    return Receive::kReport;
}

bool PtyDevice::SendRaw(const uint8_t* bytes, size_t size, uint32_t timeout_ms)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    size_t done = 0;
    while (done < size) {
        if (m_master < 0) return false;
        pollfd p{m_master, POLLOUT, 0};
        const int r = ::poll(&p, 1, MsUntil(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return false;
        if (r == 0) {
            if (Clock::now() < deadline) continue;
            return false;
        }
        const ssize_t n = ::write(m_master, bytes + done, size - done);
        if (n > 0) done += size_t(n);
        else if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
    }
    return true;
}

bool PtyDevice::SendInputReport(const uint8_t (&data)[kPtyInputReportSize], uint32_t timeout_ms)
{
    return SendRaw(data, sizeof data, timeout_ms);
}

void PtyDevice::Unplug()
{
    if (m_master < 0) return;
    std::error_code ec;
    // The node first, as the kernel removes it before the sysfs entry goes.
    if (!m_nodePath.empty()) std::filesystem::remove(m_nodePath, ec);
    if (!m_sysDir.empty()) std::filesystem::remove_all(m_sysDir, ec);
    ::close(m_master);
    m_master = -1;
    if (m_slaveHold >= 0) ::close(m_slaveHold);
    m_slaveHold = -1;
    m_pending.clear();
}

bool PtyDevice::UnplugWhenDrained(uint32_t timeout_ms)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    bool drained = false;
    while (m_slaveHold >= 0) {
        int queued = 0;
        // The slave's input queue is one per pty, whichever descriptor asks.
        if (::ioctl(m_slaveHold, FIONREAD, &queued) != 0 || queued == 0) {
            drained = true;
            break;
        }
        if (Clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Unplug();
    return drained;
}

PtyDeviceTree::~PtyDeviceTree()
{
    for (auto& device : m_devices) device->Unplug();
}

std::unique_ptr<PtyDeviceTree> PtyDeviceTree::Create(const std::string& root, std::string* error)
{
    std::unique_ptr<PtyDeviceTree> tree(new PtyDeviceTree(root));
    std::error_code ec;
    std::filesystem::create_directories(tree->SysClassDir(), ec);
    if (!ec) std::filesystem::create_directories(tree->DevDir(), ec);
    if (ec) {
        SetError(error, "cannot create the device tree under " + root + ": " + ec.message());
        return nullptr;
    }
    return tree;
}

bool PtyDeviceTree::AddSysEntry(const std::string& name, const std::string& uevent_text)
{
    const std::filesystem::path dir = std::filesystem::path(SysClassDir()) / name / "device";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return false;
    std::ofstream out(dir / "uevent", std::ios::binary | std::ios::trunc);
    out << uevent_text;
    return bool(out.flush());
}

unsigned PtyDeviceTree::FreeNumber() const
{
    unsigned n = 0;
    for (;;) {
        const bool taken = std::any_of(m_devices.begin(), m_devices.end(),
                                       [n](const auto& d) { return d->Plugged() && d->Number() == n; });
        if (!taken) return n;
        ++n;
    }
}

PtyDevice* PtyDeviceTree::Plug(unsigned number, uint16_t vendor_id, uint16_t product_id, std::string* error)
{
    for (const auto& d : m_devices) {
        if (d->Plugged() && d->Number() == number) {
            SetError(error, "hidraw" + std::to_string(number) + " is plugged already");
            return nullptr;
        }
    }
    std::unique_ptr<PtyDevice> device(new PtyDevice());
    device->m_number = number;
    device->m_vendor = vendor_id;
    device->m_product = product_id;
    // The paths are filled in as their files are made: a device that fails half-way
    // removes only what it made.
    const std::string name = "hidraw" + std::to_string(number);
    const std::string nodePath = DevDir() + "/" + name;

    device->m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (device->m_master < 0 || ::grantpt(device->m_master) != 0 || ::unlockpt(device->m_master) != 0) {
        SetError(error, ErrnoText("cannot make a pty"));
        return nullptr;
    }
    char slave[128];
    if (::ptsname_r(device->m_master, slave, sizeof slave) != 0) {
        SetError(error, ErrnoText("ptsname"));
        return nullptr;
    }
    device->m_slavePath = slave;
    device->m_slaveHold = ::open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (device->m_slaveHold < 0) {
        SetError(error, ErrnoText("cannot open the pty slave"));
        return nullptr;
    }
    // Raw: 8-bit clean, no echo, no line editing, no CR/LF translation; report bytes are
    // binary and must arrive as written.
    termios tio;
    if (::tcgetattr(device->m_slaveHold, &tio) != 0) {
        SetError(error, ErrnoText("tcgetattr"));
        return nullptr;
    }
    ::cfmakeraw(&tio);
    if (::tcsetattr(device->m_slaveHold, TCSANOW, &tio) != 0) {
        SetError(error, ErrnoText("tcsetattr"));
        return nullptr;
    }
    if (!AddSysEntry(name, HidUeventText(vendor_id, product_id))) {
        SetError(error, "cannot write the sysfs entry of " + name);
        return nullptr;
    }
    device->m_sysDir = SysClassDir() + "/" + name;
    std::error_code ec;
    std::filesystem::remove(nodePath, ec);
    std::filesystem::create_symlink(device->m_slavePath, nodePath, ec);
    if (ec) {
        SetError(error, "cannot make " + nodePath + ": " + ec.message());
        return nullptr;
    }
    device->m_nodePath = nodePath;
    m_devices.push_back(std::move(device));
    return m_devices.back().get();
}
