// CHid over the real Linux backend, on a fake device tree whose nodes are ptys played by
// the test: the search, the report framing both ways, time limits, unplug, device notices
// and the "found, but no permission" case.
#include "hid/hid.h"
#include "hid/linux/hidraw_platform.h"
#include "sim/pty_device_tree.h"
#include "tests/support/capture_debug.h"
#include "tests/support/pty_tree_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

constexpr int kUnset = 7; // a g_bDirectDevice value no search writes

class HidLink : public ::testing::Test {
protected:
    explicit HidLink(uint32_t notice_window_ms = 50)
        : m_platform(m_tree.Root(), HidrawOptions{.write_timeout_ms = 1000, .notice_window_ms = notice_window_ms})
    {
        g_bDirectDevice = kUnset;
    }

    // Finds and opens the controller plugged in as `device`.
    void OpenOn(PtyDevice* device)
    {
        ASSERT_NE(device, nullptr);
        ASSERT_EQ(m_hid.CheckDevice(), 1);
        ASSERT_EQ(m_hid.DevicePath(), device->NodePath());
        ASSERT_EQ(m_hid.Open(), 1);
    }

    TempPtyTree m_tree;
    HidrawPlatform m_platform;
    CaptureDebug m_debug;
    CHid m_hid{m_platform};
};

// ---- the search

TEST_F(HidLink, TheFirstControllerInNodeOrderWins)
{
    // In name order hidraw10 would come first.
    m_tree.Plug(10, VID_KORVANT_OLD, PID_FRAMED);
    PtyDevice* second = m_tree.Plug(2, VID_KORVANT, PID_COMMAND);
    ASSERT_TRUE(m_tree.Tree().AddSysEntry("hidraw1", HidUeventText(0x046D, 0xC52B))); // a mouse
    ASSERT_EQ(m_hid.CheckDevice(), 1);
    const std::string hidraw2 = m_tree.Root() + "/dev/hidraw2";
    EXPECT_EQ(m_hid.DevicePath(), hidraw2);
    EXPECT_EQ(m_hid.m_bDeviceFound, 1);
    EXPECT_EQ(g_bDirectDevice, 1);
    EXPECT_EQ(m_debug.Writes(), std::vector<std::string>{"m_DevicePath:" + hidraw2 + "\n"});

    // The command-report controller goes: the framed one is found and the flag goes back.
    second->Unplug();
    m_debug.Clear();
    ASSERT_EQ(m_hid.CheckDevice(), 1);
    const std::string hidraw10 = m_tree.Root() + "/dev/hidraw10";
    EXPECT_EQ(m_hid.DevicePath(), hidraw10);
    EXPECT_EQ(g_bDirectDevice, 0);
    EXPECT_EQ(m_debug.Writes(), std::vector<std::string>{"m_DevicePath:" + hidraw10 + "\n"});
}

struct PairCase {
    const char* name;
    uint16_t vendor;
    uint16_t product;
    int found;
    int direct; // g_bDirectDevice afterwards
};

void PrintTo(const PairCase& c, std::ostream* os)
{
    *os << c.name;
}

class HidLinkPair : public HidLink, public ::testing::WithParamInterface<PairCase> {};

TEST_P(HidLinkPair, OnlyTheSupportedPairsAreFound)
{
    const PairCase& c = GetParam();
    PtyDevice* device = m_tree.Plug(0, c.vendor, c.product);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(m_hid.CheckDevice(), c.found);
    EXPECT_EQ(m_hid.m_bDeviceFound, c.found);
    EXPECT_EQ(g_bDirectDevice, c.direct);
    EXPECT_EQ(m_debug.Count("m_DevicePath:" + device->NodePath() + "\n"), c.found);
    EXPECT_EQ(m_hid.DevicePath(), c.found ? device->NodePath() : "");
    EXPECT_FALSE(m_hid.AccessDenied());
}

const PairCase kPairCases[] = {
    {"OldVendorFramed", 0x0483, 0x5750, 1, 0},
    {"VendorFramed", 0x2DC8, 0x5750, 1, 0},
    {"VendorCommand", 0x2DC8, 0x3208, 1, 1},
    {"OldVendorCommandIsNotSupported", 0x0483, 0x3208, 0, kUnset},
    {"OtherProduct", 0x2DC8, 0x3209, 0, kUnset},
    {"OtherVendor", 0x2DC9, 0x5750, 0, kUnset},
    {"Mouse", 0x046D, 0xC52B, 0, kUnset},
};
INSTANTIATE_TEST_SUITE_P(Cases, HidLinkPair, ::testing::ValuesIn(kPairCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HidLink, ASearchWithoutAMatchKeepsTheLastPathAndFlag)
{
    PtyDevice* device = m_tree.Plug(3, VID_KORVANT, PID_COMMAND);
    ASSERT_EQ(m_hid.CheckDevice(), 1);
    device->Unplug();
    EXPECT_EQ(m_hid.CheckDevice(), 0);
    EXPECT_EQ(m_hid.m_bDeviceFound, 0);
    EXPECT_EQ(g_bDirectDevice, 1);
    EXPECT_EQ(m_hid.DevicePath(), device->NodePath());
    // Open tries that last path, and fails quietly: the link stays closed.
    EXPECT_EQ(m_hid.Open(), 0);
    EXPECT_EQ(m_hid.ReadHid(g_inReport, 64), HID_READ_NOT_OPEN);
}

// ---- reports both ways

TEST_F(HidLink, OutputReportsAreTheIdThenThePayloadThenZeros)
{
    PtyDevice* device = m_tree.Plug(1, VID_KORVANT, PID_COMMAND);
    OpenOn(device);
    EXPECT_EQ(m_hid.m_nReadTimeout, 200u);
    uint8_t full[64];
    for (int i = 0; i < 64; ++i) full[i] = uint8_t(0x40 + i);
    const uint8_t six[6] = {1, 2, 3, 4, 5, 6};
    struct Sent {
        const uint8_t* payload;
        uint8_t count;
    };
    // A short report after a full one: nothing of the full one may leak into it.
    for (const Sent& s : {Sent{full, 64}, Sent{six, 6}, Sent{nullptr, 0}}) {
        ASSERT_NE(m_hid.WriteHid(s.payload, s.count), 0) << int(s.count);
        uint8_t expected[kHidReportSize] = {};
        if (s.count) std::memcpy(expected + 1, s.payload, s.count);
        EXPECT_EQ(std::memcmp(g_outReport, expected, sizeof expected), 0) << int(s.count);
        uint8_t got[kPtyOutputReportSize];
        ASSERT_EQ(device->ReceiveOutputReport(got, 2000), PtyDevice::Receive::kReport) << int(s.count);
        EXPECT_EQ(std::memcmp(got, expected, sizeof expected), 0) << int(s.count);
    }
}

TEST_F(HidLink, InputReportsLandWithoutTheirId)
{
    PtyDevice* device = m_tree.Plug(1, VID_KORVANT_OLD, PID_FRAMED);
    OpenOn(device);
    uint8_t report[kPtyInputReportSize];
    for (int i = 0; i < 64; ++i) report[i] = uint8_t(0xA0 + i);
    ASSERT_TRUE(device->SendInputReport(report));
    std::memset(g_inReport, 0, sizeof g_inReport);
    ASSERT_EQ(m_hid.ReadHid(g_inReport, 64), HID_READ_OK);
    // Byte 0 is report byte 1: the first data byte, not the id.
    EXPECT_EQ(std::memcmp(g_inReport, report, sizeof report), 0);

    // Count 0: the result alone, the destination untouched.
    report[0] = 0x11;
    ASSERT_TRUE(device->SendInputReport(report));
    uint8_t guard[4] = {9, 9, 9, 9};
    EXPECT_EQ(m_hid.ReadHid(guard, 0), HID_READ_OK);
    EXPECT_EQ(guard[0], 9);

    // A report the simulator hands over in two pieces still arrives whole.
    report[0] = 0x22;
    ASSERT_TRUE(device->SendRaw(report, 10));
    ASSERT_TRUE(device->SendRaw(report + 10, 54));
    ASSERT_EQ(m_hid.ReadHid(g_inReport, 64), HID_READ_OK);
    EXPECT_EQ(std::memcmp(g_inReport, report, sizeof report), 0);
}

TEST_F(HidLink, ATimeoutComesAfterTheLimitAndNotBefore)
{
    OpenOn(m_tree.Plug(1, VID_KORVANT, PID_FRAMED));
    std::memset(g_inReport, 0x5A, sizeof g_inReport);
    for (uint32_t limit : {10u, 60u}) {
        m_hid.SetReadTimeout(limit);
        const auto start = Clock::now();
        EXPECT_EQ(m_hid.ReadHid(g_inReport, 64), HID_READ_TIMEOUT);
        const long long took = MsSince(start);
        EXPECT_GE(took, limit - 1) << limit;
        EXPECT_LT(took, limit + 500) << limit;
    }
    EXPECT_EQ(g_inReport[0], 0x5A);
    EXPECT_EQ(g_inReport[63], 0x5A);
}

TEST_F(HidLink, AClosedLinkReadsAndWritesNothing)
{
    PtyDevice* device = m_tree.Plug(1, VID_KORVANT, PID_COMMAND);
    ASSERT_EQ(m_hid.CheckDevice(), 1); // found, but never opened
    EXPECT_FALSE(m_hid.IsOpen());
    uint8_t dest[64];
    std::memset(dest, 0x33, sizeof dest);
    EXPECT_EQ(m_hid.ReadHid(dest, 64), HID_READ_NOT_OPEN);
    EXPECT_EQ(dest[0], 0x33);
    const uint8_t payload[3] = {7, 8, 9};
    EXPECT_EQ(m_hid.WriteHid(payload, 3), 0);
    // The report is built all the same; nothing reaches the device.
    const uint8_t expected[8] = {0, 7, 8, 9, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(g_outReport, expected, sizeof expected), 0);
    uint8_t got[kPtyOutputReportSize];
    EXPECT_EQ(device->ReceiveOutputReport(got, 50), PtyDevice::Receive::kTimeout);
}

// ---- unplug

TEST_F(HidLink, UnplugHandsOutQueuedReportsThenReportsTheDeviceGone)
{
    PtyDevice* device = m_tree.Plug(1, VID_KORVANT, PID_COMMAND);
    OpenOn(device);
    uint8_t report[kPtyInputReportSize] = {};
    for (uint8_t first : {0x01, 0x02}) {
        report[0] = first;
        ASSERT_TRUE(device->SendInputReport(report));
    }
    std::atomic<bool> drained{false};
    std::thread unplug([&] { drained = device->UnplugWhenDrained(5000); });
    // A generous limit: the outcome must be "gone", whatever the timing.
    m_hid.SetReadTimeout(5000);
    for (uint8_t first : {0x01, 0x02}) {
        ASSERT_EQ(m_hid.ReadHid(g_inReport, 64), HID_READ_OK);
        EXPECT_EQ(g_inReport[0], first);
    }
    std::memset(g_inReport, 0x77, sizeof g_inReport);
    const uint32_t after = m_hid.ReadHid(g_inReport, 64);
    unplug.join();
    EXPECT_TRUE(drained);
    EXPECT_EQ(after, HID_READ_GONE);
    EXPECT_EQ(g_inReport[0], 0x77);
    EXPECT_EQ(m_hid.WriteHid(report, 1), 0);
    EXPECT_EQ(m_hid.CheckDevice(), 0);
}

TEST_F(HidLink, AnUnplugDuringAWaitEndsItWithGone)
{
    PtyDevice* device = m_tree.Plug(1, VID_KORVANT, PID_FRAMED);
    OpenOn(device);
    m_hid.SetReadTimeout(5000);
    std::thread unplug([&] {
        std::this_thread::sleep_for(30ms);
        device->Unplug();
    });
    const auto start = Clock::now();
    EXPECT_EQ(m_hid.ReadHid(g_inReport, 64), HID_READ_GONE);
    EXPECT_LT(MsSince(start), 4000);
    unplug.join();
    // Every later read says so too, at once.
    EXPECT_EQ(m_hid.ReadHid(g_inReport, 64), HID_READ_GONE);
}

// ---- device notices

struct NoticeCase {
    const char* name;
    const char* before;                         // a file made in dev/ before the watch starts ("" none)
    std::function<void(const std::string&)> op; // gets <root>/dev
    uint32_t event;
};

void PrintTo(const NoticeCase& c, std::ostream* os)
{
    *os << c.name;
}

class HidLinkNotice : public HidLink, public ::testing::WithParamInterface<NoticeCase> {};

void Touch(const std::string& path)
{
    std::ofstream(path) << "";
}

TEST_P(HidLinkNotice, ChangesOfHidrawNodesArePosted)
{
    const NoticeCase& c = GetParam();
    const std::string dev = m_tree.Tree().DevDir();
    if (*c.before) Touch(dev + "/" + c.before);
    NoticeRecorder sink;
    m_hid.m_hWndNotify = &sink;
    EXPECT_EQ(m_hid.CheckDevice(), 0);
    c.op(dev);
    ASSERT_TRUE(sink.WaitForCount(1));
    EXPECT_EQ(sink.Events(), std::vector<uint32_t>{c.event});
}

const NoticeCase kNoticeCases[] = {
    {"Create", "", [](const std::string& d) { Touch(d + "/hidraw5"); }, DBT_DEVICEARRIVAL},
    {"Attrib", "hidraw5", [](const std::string& d) { ::chmod((d + "/hidraw5").c_str(), 0666); }, DBT_DEVICEARRIVAL},
    {"MovedTo", "incoming", [](const std::string& d) { std::filesystem::rename(d + "/incoming", d + "/hidraw5"); },
     DBT_DEVICEARRIVAL},
    {"Delete", "hidraw5", [](const std::string& d) { std::filesystem::remove(d + "/hidraw5"); },
     DBT_DEVICEREMOVECOMPLETE},
    {"MovedFrom", "hidraw5", [](const std::string& d) { std::filesystem::rename(d + "/hidraw5", d + "/old"); },
     DBT_DEVICEREMOVECOMPLETE},
};
INSTANTIATE_TEST_SUITE_P(Cases, HidLinkNotice, ::testing::ValuesIn(kNoticeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HidLink, OtherNamesPostNothing)
{
    const std::string dev = m_tree.Tree().DevDir();
    NoticeRecorder sink;
    m_hid.m_hWndNotify = &sink;
    m_hid.CheckDevice();
    for (const char* name : {"event3", "hidraw", "hidrawx", "hidraw5.tmp", "xhidraw5"}) {
        const std::string path = dev + "/" + name;
        Touch(path);
        ::chmod(path.c_str(), 0666);
        std::filesystem::remove(path);
    }
    // A marker last: had any of the above been taken for a node, a removal would come
    // before this arrival (in the same burst or an earlier one).
    Touch(dev + "/hidraw9");
    ASSERT_TRUE(sink.WaitForCount(1));
    EXPECT_EQ(sink.Events(), std::vector<uint32_t>{DBT_DEVICEARRIVAL});
}

TEST_F(HidLink, PlugAndUnplugOfTheFakeTreeArePosted)
{
    NoticeRecorder sink;
    m_hid.m_hWndNotify = &sink;
    EXPECT_EQ(m_hid.CheckDevice(), 0);
    PtyDevice* device = m_tree.Plug(4, VID_KORVANT, PID_COMMAND);
    ASSERT_TRUE(sink.WaitForCount(1));
    EXPECT_EQ(m_hid.CheckDevice(), 1);
    device->Unplug();
    ASSERT_TRUE(sink.WaitForCount(2));
    EXPECT_EQ(sink.Events(), (std::vector<uint32_t>{DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE}));
    EXPECT_EQ(m_hid.CheckDevice(), 0);
}

// A window long enough that a burst of file operations surely falls inside it.
class HidLinkBurst : public HidLink {
protected:
    HidLinkBurst() : HidLink(400) {}
};

TEST_F(HidLinkBurst, ABurstPostsEachKindOnceInTheOrderItLastHappened)
{
    const std::string dev = m_tree.Tree().DevDir();
    NoticeRecorder sink;
    m_hid.m_hWndNotify = &sink;
    m_hid.CheckDevice();
    for (int i = 0; i < 20; ++i) Touch(dev + "/hidraw" + std::to_string(i));
    for (int i = 0; i < 20; ++i) ::chmod((dev + "/hidraw" + std::to_string(i)).c_str(), 0666);
    for (int i = 0; i < 20; ++i) std::filesystem::remove(dev + "/hidraw" + std::to_string(i));
    ASSERT_TRUE(sink.WaitForCount(2));
    EXPECT_EQ(sink.Events(), (std::vector<uint32_t>{DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE}));

    // The next burst is on its own, here a removal followed by a re-arrival.
    sink.Clear();
    Touch(dev + "/hidraw1");
    std::filesystem::remove(dev + "/hidraw1");
    Touch(dev + "/hidraw1");
    ASSERT_TRUE(sink.WaitForCount(2));
    EXPECT_EQ(sink.Events(), (std::vector<uint32_t>{DBT_DEVICEREMOVECOMPLETE, DBT_DEVICEARRIVAL}));
}

// Counts the watches CHid asks for.
class CountingPlatform final : public IHidPlatform {
public:
    explicit CountingPlatform(IHidPlatform& inner) : m_inner(inner) {}
    std::vector<HidInterfaceInfo> EnumerateInterfaces() override { return m_inner.EnumerateInterfaces(); }
    HidOpenResult OpenInterface(const std::string& path, HidAccess access) override
    {
        return m_inner.OpenInterface(path, access);
    }
    std::unique_ptr<IDeviceWatch> WatchDevices(std::function<void(DeviceNotice)> on_notice) override
    {
        ++watches;
        return m_inner.WatchDevices(std::move(on_notice));
    }
    int watches = 0;

private:
    IHidPlatform& m_inner;
};

TEST_F(HidLink, TheNoticesAreRegisteredOnceWhetherOrNotThatWorked)
{
    m_tree.Plug(1, VID_KORVANT, PID_FRAMED);
    for (bool devDirPresent : {true, false}) {
        if (!devDirPresent) std::filesystem::remove_all(m_tree.Tree().DevDir());
        CountingPlatform counting(m_platform);
        NoticeRecorder sink;
        CHid hid(counting);
        hid.m_hWndNotify = &sink;
        for (int i = 0; i < 5; ++i) hid.CheckDevice();
        EXPECT_EQ(counting.watches, 1) << devDirPresent;
        EXPECT_EQ(hid.m_bNotifyRegistered, 1) << devDirPresent;
    }
}

// ---- permission

// Runs `check` in a child process as the unprivileged user 65534 and returns its exit
// code; -1 when the drop itself was refused.
int RunAsNobody(const std::function<int()>& check)
{
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(200);
        if (::geteuid() == 0) ::_exit(200);
        ::_exit(check());
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (!WIFEXITED(status)) return 201;
    return WEXITSTATUS(status) == 200 ? -1 : WEXITSTATUS(status);
}

class HidLinkPermission : public HidLink {
protected:
    // What the unprivileged user sees of the device: a pty slave node owned by root.
    void SetSlaveMode(PtyDevice* device, mode_t mode)
    {
        ASSERT_NE(device, nullptr);
        ASSERT_EQ(::chown(device->SlavePath().c_str(), 0, 0), 0);
        ASSERT_EQ(::chmod(device->SlavePath().c_str(), mode), 0);
    }
    void SetUp() override
    {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
        // The unprivileged child must be able to walk the tree.
        ASSERT_EQ(::chmod(std::filesystem::path(m_tree.Root()).c_str(), 0755), 0);
    }
};

TEST_F(HidLinkPermission, ANodeWithoutPermissionIsSkippedWithTheUdevRuleNamed)
{
    PtyDevice* locked = m_tree.Plug(1, VID_KORVANT, PID_COMMAND);
    SetSlaveMode(locked, 0600);
    const std::string root = m_tree.Root();
    const std::string node = locked->NodePath();
    const int code = RunAsNobody([&] {
        HidrawPlatform platform(root);
        if (platform.EnumerateInterfaces().size() != 1) return 10; // the tree is unreadable
        CaptureDebug debug;
        CHid hid(platform);
        int failures = 0;
        if (hid.CheckDevice() != 0) failures |= 1;
        if (!hid.AccessDenied() || hid.DeniedPath() != node) failures |= 2;
        const std::string expected =
            node + ": no permission to open it; install the udev rule " + std::string(kUdevRuleName) + "\n";
        if (debug.Count(expected) != 1) failures |= 4;
        if (platform.OpenInterface(node, HidAccess::kRead).error != HidOpenError::kAccessDenied) failures |= 8;
        return failures;
    });
    if (code == -1) GTEST_SKIP() << "cannot drop to uid/gid 65534 here";
    EXPECT_EQ(code, 0) << "1 found, 2 not marked denied, 4 debug line, 8 open error, 10 tree unreadable";
}

TEST_F(HidLinkPermission, AnOpenableControllerAfterALockedOneIsFound)
{
    SetSlaveMode(m_tree.Plug(1, VID_KORVANT, PID_COMMAND), 0600);
    PtyDevice* open = m_tree.Plug(2, VID_KORVANT_OLD, PID_FRAMED);
    SetSlaveMode(open, 0666);
    const std::string root = m_tree.Root();
    const std::string node = open->NodePath();
    const int code = RunAsNobody([&] {
        HidrawPlatform platform(root);
        CaptureDebug debug;
        CHid hid(platform);
        g_bDirectDevice = kUnset;
        int failures = 0;
        if (hid.CheckDevice() != 1 || hid.DevicePath() != node) failures |= 1;
        if (hid.AccessDenied()) failures |= 2;
        if (g_bDirectDevice != 0) failures |= 4;
        if (hid.Open() != 1) failures |= 8;
        return failures;
    });
    if (code == -1) GTEST_SKIP() << "cannot drop to uid/gid 65534 here";
    EXPECT_EQ(code, 0) << "1 not found, 2 marked denied, 4 family flag, 8 open failed";
}

} // namespace
