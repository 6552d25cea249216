// The Linux HID backend on its own: enumeration of a fake sysfs tree, opening, the report
// I/O on pty and socket descriptors, and the device-node watch.
#include "hid/linux/device_watch.h"
#include "hid/linux/hidraw_platform.h"
#include "sim/pty_device_tree.h"
#include "tests/support/env_guard.h"
#include "tests/support/pty_tree_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::vector<std::string> Paths(const std::vector<HidInterfaceInfo>& infos)
{
    std::vector<std::string> paths;
    for (const HidInterfaceInfo& i : infos) paths.push_back(i.path);
    return paths;
}

// ---- enumeration

TEST(HidrawEnumerate, SortsByNodeNumberAndSkipsWhatIsNotAHidrawEntry)
{
    TempPtyTree t;
    t.Plug(10, 0x0483, 0x5750);
    t.Plug(2, 0x2DC8, 0x3208);
    // Entries without a pty: listed when well-formed (the tool never opens them).
    struct Entry {
        const char* name;
        const char* uevent;
    };
    const Entry kEntries[] = {
        {"hidraw3", "DRIVER=hid-generic\nHID_ID=0003:0000046D:0000C52B\nHID_NAME=Mouse\n"},
        {"hidraw4", "HID_ID=0005:00002dc8:00005750"}, // lower-case hex, no final newline
        {"hidraw7", "DRIVER=hid-generic\nHID_NAME=no id line\n"},
        {"hidraw8", "HID_ID=0003:00010000:00005750\n"},  // vendor wider than 16 bits
        {"hidraw9", "HID_ID=0003:00002DC8:00013208\n"},  // product wider than 16 bits
        {"hidraw11", "XHID_ID=0003:00002DC8:00003208\n"}, // not at the start of a line
        {"hidraw12", "HID_ID=0003:00002DC8\n"},
        {"hidraw13", "HID_ID=0003:00002DC8:\n"},
        {"hidraw14", "HID_ID=0003:0000ZZZZ:00003208\n"},
        {"hidraw15", "HID_ID=0003:-0002DC8:00003208\n"},
        {"hidraw16", "HID_ID=0003:0000000002DC8:00003208\n"}, // too many digits to be a 32-bit field
        {"hidrawX", "HID_ID=0003:00002DC8:00003208\n"},
        {"hidraw", "HID_ID=0003:00002DC8:00003208\n"},
        {"hidraw5x", "HID_ID=0003:00002DC8:00003208\n"},
        {"event5", "HID_ID=0003:00002DC8:00003208\n"},
    };
    for (const Entry& e : kEntries) ASSERT_TRUE(t.Tree().AddSysEntry(e.name, e.uevent)) << e.name;
    // A plain file where a directory belongs, and a FIFO as uevent (its open must not hang).
    std::ofstream(t.Tree().SysClassDir() + "/hidraw20") << "junk";
    ASSERT_TRUE(t.Tree().AddSysEntry("hidraw21", ""));
    const std::string fifo = t.Tree().SysClassDir() + "/hidraw21/device/uevent";
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);

    HidrawPlatform platform(t.Root());
    const std::vector<HidInterfaceInfo> found = platform.EnumerateInterfaces();
    const std::string dev = t.Root() + "/dev/";
    ASSERT_EQ(Paths(found), (std::vector<std::string>{dev + "hidraw2", dev + "hidraw3", dev + "hidraw4", dev + "hidraw10"}));
    EXPECT_EQ(found[0].vendor_id, 0x2DC8);
    EXPECT_EQ(found[0].product_id, 0x3208);
    EXPECT_EQ(found[1].vendor_id, 0x046D);
    EXPECT_EQ(found[2].vendor_id, 0x2DC8);
    EXPECT_EQ(found[2].product_id, 0x5750);
    EXPECT_EQ(found[3].vendor_id, 0x0483);
    EXPECT_EQ(found[3].product_id, 0x5750);
}

TEST(HidrawEnumerate, MissingTreeGivesNothing)
{
    TempDir dir;
    HidrawPlatform platform(dir.Path().string());
    EXPECT_TRUE(platform.EnumerateInterfaces().empty());
    EXPECT_EQ(platform.WatchDevices([](DeviceNotice) {}), nullptr);
}

TEST(HidrawEnumerate, SystemPlatformReadsTheRootFromTheEnvironment)
{
    TempPtyTree t;
    t.Plug(1, 0x2DC8, 0x5750);
    EnvGuard env;
    env.Set("KORVANT_HID_ROOT", t.Root());
    EXPECT_EQ(HidRootFromEnvironment(), t.Root());
    const std::vector<HidInterfaceInfo> found = CreateSystemHidPlatform()->EnumerateInterfaces();
    EXPECT_EQ(Paths(found), std::vector<std::string>{t.Root() + "/dev/hidraw1"});
    env.Set("KORVANT_HID_ROOT", std::nullopt);
    EXPECT_EQ(HidRootFromEnvironment(), "");
}

// ---- opening

struct OpenCase {
    const char* name;
    const char* node; // made under <root>/dev/hidraw1: "" none, "dangling", "dir"
    HidOpenError error;
};

void PrintTo(const OpenCase& c, std::ostream* os)
{
    *os << c.name;
}

class HidrawOpenError : public ::testing::TestWithParam<OpenCase> {};

TEST_P(HidrawOpenError, IsTranslatedOnceWithTheSystemsWords)
{
    TempPtyTree t;
    const std::string node = t.Root() + "/dev/hidraw1";
    const std::string kind = GetParam().node;
    if (kind == "dangling") {
        ASSERT_EQ(::symlink("/nonexistent/pts/999", node.c_str()), 0);
    } else if (kind == "dir") {
        ASSERT_EQ(::mkdir(node.c_str(), 0755), 0);
    }
    HidrawPlatform platform(t.Root());
    for (HidAccess access : {HidAccess::kWrite, HidAccess::kRead, HidAccess::kReadWrite}) {
        if (kind == "dir" && access == HidAccess::kRead) continue; // a directory opens read-only
        const HidOpenResult r = platform.OpenInterface(node, access);
        EXPECT_EQ(r.device, nullptr);
        EXPECT_EQ(r.error, GetParam().error);
        EXPECT_FALSE(r.detail.empty());
    }
}

const OpenCase kOpenCases[] = {
    {"NoNode", "", HidOpenError::kNoDevice},
    {"DanglingLink", "dangling", HidOpenError::kNoDevice},
    {"Directory", "dir", HidOpenError::kOther},
};
INSTANTIATE_TEST_SUITE_P(Cases, HidrawOpenError, ::testing::ValuesIn(kOpenCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- report I/O on one descriptor

// A SOCK_SEQPACKET pair keeps message boundaries and, like hidraw after an unplug, reports
// POLLIN|POLLHUP while queued messages remain: the closest stand-in for a hidraw descriptor.
class HidrawDescriptor : public ::testing::Test {
protected:
    void SetUp() override
    {
        int sv[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, sv), 0);
        m_device = AdoptHidrawDescriptor(sv[0], 100);
        m_peer = sv[1];
    }
    void TearDown() override { ClosePeer(); }
    void ClosePeer()
    {
        if (m_peer >= 0) ::close(m_peer);
        m_peer = -1;
    }
    void Send(const std::vector<uint8_t>& bytes) { ASSERT_EQ(::send(m_peer, bytes.data(), bytes.size(), 0), ssize_t(bytes.size())); }

    std::unique_ptr<IHidDevice> m_device;
    int m_peer = -1;
};

std::vector<uint8_t> Bytes(size_t n, uint8_t first)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(first + i);
    return v;
}

TEST_F(HidrawDescriptor, QueuedReportsAreReadBeforeTheHangUp)
{
    Send(Bytes(64, 0x10));
    Send(Bytes(64, 0x80));
    ClosePeer();
    uint8_t data[kHidDataSize];
    ASSERT_EQ(m_device->ReadReport(data, 1000), HidReadStatus::kReport);
    EXPECT_EQ(data[0], 0x10);
    EXPECT_EQ(data[63], 0x4F);
    ASSERT_EQ(m_device->ReadReport(data, 1000), HidReadStatus::kReport);
    EXPECT_EQ(data[0], 0x80);
    std::memset(data, 0xCC, sizeof data);
    const auto start = Clock::now();
    EXPECT_EQ(m_device->ReadReport(data, 5000), HidReadStatus::kGone);
    EXPECT_LT(MsSince(start), 4000); // gone is known at once, not after the time limit
    EXPECT_EQ(data[0], 0xCC);
    const uint8_t report[kHidReportSize] = {};
    EXPECT_FALSE(m_device->WriteReport(report));
}

TEST_F(HidrawDescriptor, AReportInTwoPiecesIsJoined)
{
    Send(Bytes(30, 0x01));
    Send(Bytes(34, 0x01 + 30));
    Send(Bytes(64, 0xA0));
    uint8_t data[kHidDataSize];
    ASSERT_EQ(m_device->ReadReport(data, 1000), HidReadStatus::kReport);
    EXPECT_EQ(std::vector<uint8_t>(data, data + 64), Bytes(64, 0x01));
    // The next report starts where it should, not in the middle of the first.
    ASSERT_EQ(m_device->ReadReport(data, 1000), HidReadStatus::kReport);
    EXPECT_EQ(data[0], 0xA0);
}

TEST_F(HidrawDescriptor, AShortReportWithNoRestIsZeroFilled)
{
    Send(Bytes(8, 0x41));
    uint8_t data[kHidDataSize];
    std::memset(data, 0xCC, sizeof data);
    ASSERT_EQ(m_device->ReadReport(data, 1000), HidReadStatus::kReport);
    EXPECT_EQ(data[7], 0x48);
    EXPECT_EQ(data[8], 0);
    EXPECT_EQ(data[63], 0);
}

TEST_F(HidrawDescriptor, TimeoutLeavesTheDataAndTheQueueAlone)
{
    uint8_t data[kHidDataSize];
    std::memset(data, 0xCC, sizeof data);
    for (uint32_t limit : {0u, 1u, 40u}) {
        const auto start = Clock::now();
        EXPECT_EQ(m_device->ReadReport(data, limit), HidReadStatus::kTimeout);
        const long long took = MsSince(start);
        EXPECT_GE(took, limit == 0 ? 0 : limit - 1) << limit;
        EXPECT_LT(took, limit + 500) << limit;
    }
    EXPECT_EQ(data[0], 0xCC);
    // A report arriving after a timeout is the next read's.
    Send(Bytes(64, 0x20));
    ASSERT_EQ(m_device->ReadReport(data, 1000), HidReadStatus::kReport);
    EXPECT_EQ(data[0], 0x20);
}

TEST_F(HidrawDescriptor, WritesTheWholeReportIdFirst)
{
    uint8_t report[kHidReportSize] = {};
    for (int i = 1; i < kHidReportSize; ++i) report[i] = uint8_t(i);
    ASSERT_TRUE(m_device->WriteReport(report));
    uint8_t got[128];
    ASSERT_EQ(::recv(m_peer, got, sizeof got, 0), kHidReportSize);
    EXPECT_EQ(std::memcmp(got, report, kHidReportSize), 0);
}

// ---- report I/O through a node of the fake tree

TEST(HidrawPtyNode, AWriteTheDeviceNeverTakesFailsInBoundedTime)
{
    TempPtyTree t;
    PtyDevice* device = t.Plug(1, 0x2DC8, 0x3208);
    ASSERT_NE(device, nullptr);
    HidrawPlatform platform(t.Root(), HidrawOptions{.write_timeout_ms = 100, .notice_window_ms = 50});
    HidOpenResult opened = platform.OpenInterface(device->NodePath(), HidAccess::kWrite);
    ASSERT_NE(opened.device, nullptr) << opened.detail;
    // The device reads nothing: the pty's buffer fills up and then a write must give up.
    const uint8_t report[kHidReportSize] = {};
    int taken = 0;
    const auto start = Clock::now();
    while (taken < 10000 && opened.device->WriteReport(report)) ++taken;
    EXPECT_LT(taken, 10000);
    EXPECT_GT(taken, 0);
    EXPECT_LT(MsSince(start), 5000);
}

TEST(HidrawPtyNode, UnplugEndsReadsAndWrites)
{
    TempPtyTree t;
    PtyDevice* device = t.Plug(1, 0x2DC8, 0x3208);
    ASSERT_NE(device, nullptr);
    HidrawPlatform platform(t.Root());
    HidOpenResult w = platform.OpenInterface(device->NodePath(), HidAccess::kWrite);
    HidOpenResult r = platform.OpenInterface(device->NodePath(), HidAccess::kRead);
    ASSERT_TRUE(w.device && r.device);
    device->Unplug();
    uint8_t data[kHidDataSize];
    EXPECT_EQ(r.device->ReadReport(data, 2000), HidReadStatus::kGone);
    const uint8_t report[kHidReportSize] = {};
    EXPECT_FALSE(w.device->WriteReport(report));
    EXPECT_EQ(platform.OpenInterface(device->NodePath(), HidAccess::kReadWrite).error, HidOpenError::kNoDevice);
    EXPECT_TRUE(platform.EnumerateInterfaces().empty());
}

// ---- coalescing of notices

struct BurstCase {
    const char* name;
    std::vector<DeviceNotice> in;
    std::vector<DeviceNotice> out;
};

void PrintTo(const BurstCase& c, std::ostream* os)
{
    *os << c.name;
}

class NoticeBurstOrder : public ::testing::TestWithParam<BurstCase> {};

TEST_P(NoticeBurstOrder, EachKindOnceByItsLastOccurrence)
{
    NoticeBurst burst;
    for (DeviceNotice n : GetParam().in) burst.Add(n);
    EXPECT_EQ(burst.Empty(), GetParam().in.empty());
    EXPECT_EQ(burst.Take(), GetParam().out);
    EXPECT_TRUE(burst.Empty());
    EXPECT_TRUE(burst.Take().empty());
}

constexpr DeviceNotice A = DeviceNotice::kArrival;
constexpr DeviceNotice R = DeviceNotice::kRemoval;
constexpr DeviceNotice C = DeviceNotice::kNodesChanged;

const BurstCase kBurstCases[] = {
    {"Nothing", {}, {}},
    {"OneArrival", {A}, {A}},
    {"ManyArrivals", {A, A, A, A}, {A}},
    {"PlugThenUnplug", {A, A, R, R}, {A, R}},
    {"UnplugThenReplug", {R, A, R, A}, {R, A}},
    {"OverflowAmidst", {A, C, R, C, A}, {R, C, A}},
    {"OverflowOnly", {C, C}, {C}},
};
INSTANTIATE_TEST_SUITE_P(Cases, NoticeBurstOrder, ::testing::ValuesIn(kBurstCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HidrawNodeName, OnlyHidrawAndDigits)
{
    for (const char* yes : {"hidraw0", "hidraw12", "hidraw007"}) {
        EXPECT_TRUE(IsHidrawNodeName(yes)) << yes;
    }
    for (const char* no : {"hidraw", "hidrawx", "hidraw1a", "hidraw-1", "xhidraw1", "event3", "", "hidraw1 "}) {
        EXPECT_FALSE(IsHidrawNodeName(no)) << no;
    }
}

// ---- the watch's life

TEST(HidrawWatch, StopsPromptlyAndCallsNothingAfterItsDestructor)
{
    TempDir dir;
    const std::string dev = dir.File("dev");
    ASSERT_EQ(::mkdir(dev.c_str(), 0755), 0);
    std::atomic<int> calls{0};
    std::atomic<bool> destroyed{false};
    std::atomic<bool> lateCall{false};
    auto watch = WatchHidrawNodes(
        dev,
        [&](DeviceNotice) {
            if (destroyed) lateCall = true;
            std::this_thread::sleep_for(20ms); // a slow owner widens the window for a race
            ++calls;
        },
        30);
    ASSERT_NE(watch, nullptr);
    std::ofstream(dev + "/hidraw1") << "";
    ASSERT_TRUE(WaitUntil([&] { return calls > 0; }));
    // A burst in flight when the watch goes: it is dropped, never delivered late.
    std::ofstream(dev + "/hidraw2") << "";
    ::unlink((dev + "/hidraw1").c_str());
    const auto start = Clock::now();
    watch.reset();
    destroyed = true;
    EXPECT_LT(MsSince(start), 2000);
    const int callsAtEnd = calls;
    std::ofstream(dev + "/hidraw3") << "";
    std::this_thread::sleep_for(100ms); // longer than the window: a live watch would have called
    EXPECT_EQ(calls, callsAtEnd);
    EXPECT_FALSE(lateCall);
}

TEST(HidrawWatch, AnOwnerMayDropTheWatchFromInsideANotice)
{
    TempDir dir;
    const std::string dev = dir.File("dev");
    ASSERT_EQ(::mkdir(dev.c_str(), 0755), 0);
    std::mutex lock;
    std::unique_ptr<IDeviceWatch> watch;
    std::atomic<bool> dropped{false};
    auto created = WatchHidrawNodes(
        dev,
        [&](DeviceNotice) {
            std::lock_guard<std::mutex> guard(lock);
            watch.reset();
            dropped = true;
        },
        10);
    ASSERT_NE(created, nullptr);
    {
        std::lock_guard<std::mutex> guard(lock);
        watch = std::move(created);
    }
    std::ofstream(dev + "/hidraw1") << "";
    EXPECT_TRUE(WaitUntil([&] { return dropped.load(); }));
}

} // namespace
