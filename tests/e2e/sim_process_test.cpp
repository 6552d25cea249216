// korvant-sim as a process, driven through the real Linux hidraw backend: whole updates of
// both families by the dialog model on the system clock, the image the simulator saved, the
// controller's return after its reboot with the new version, the clean-up on a signal, and
// the command line itself (--help, bad arguments).
#include "app/texts.h"
#include "app/update_dlg.h"
#include "hid/linux/hidraw_platform.h"
#include "sim/sim_faults.h"
#include "tests/support/child_process.h"
#include "tests/support/env_guard.h"
#include "tests/support/flow_harness.h"
#include "tests/support/image_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// korvant-sim of this build as a child process; the arguments follow the binary.
class SimProcess : public ChildProcess {
public:
    explicit SimProcess(std::vector<std::string> args) : ChildProcess(WithBinary(std::move(args))) {}

private:
    static std::vector<std::string> WithBinary(std::vector<std::string> args)
    {
        args.insert(args.begin(), BuildBinary("sim/korvant-sim"));
        return args;
    }
};

// A hang anywhere (the tool, the simulator, the test) ends the test run with a message
// instead of waiting for the test runner's timeout, and takes the child with it.
class Watchdog {
public:
    Watchdog(pid_t child, std::chrono::seconds limit)
        : m_thread([this, child, limit] {
              std::unique_lock<std::mutex> lock(m_lock);
              if (m_cv.wait_for(lock, limit, [this] { return m_done; })) return;
              ::kill(child, SIGKILL);
              std::fprintf(stderr, "watchdog: no end after %lld s; killed korvant-sim\n",
                           static_cast<long long>(limit.count()));
              std::abort();
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_done = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_done = false;
    std::thread m_thread; // last: it starts using the members above at once
};

// Device notices as the link posts them, kept for the test's thread to hand to the dialog.
class NoticeQueue final : public IDeviceNoticeSink {
public:
    void PostDeviceChange(uint32_t event) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_pending.push_back(event);
        m_all.push_back(event);
    }
    std::vector<uint32_t> Take()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return std::exchange(m_pending, {});
    }
    bool Saw(uint32_t event) const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return std::find(m_all.begin(), m_all.end(), event) != m_all.end();
    }

private:
    mutable std::mutex m_lock;
    std::vector<uint32_t> m_pending;
    std::vector<uint32_t> m_all;
};

std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// The hidrawN entries left under the tree: nodes in dev/, entries in sys/class/hidraw/.
std::vector<std::string> TreeEntries(const std::string& root)
{
    std::vector<std::string> found;
    for (const char* dir : {"/dev", "/sys/class/hidraw"}) {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(root + dir, ec))
            found.push_back(e.path().string());
    }
    return found;
}

// The node path of a "ready NODE VID:PID FAMILY" line.
std::string NodeOf(const std::string& line)
{
    const size_t a = line.find(' ') + 1;
    return line.substr(a, line.find(' ', a) - a);
}

class SimProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(std::getenv("KORVANT_BUILD_DIR"), nullptr) << "KORVANT_BUILD_DIR is not set";
        ASSERT_TRUE(std::filesystem::exists(BuildBinary("sim/korvant-sim"))) << "korvant-sim is not built";
        env.Set("LANGUAGE", std::nullopt);
        env.Set("LC_ALL", "C");
        env.Set("KORVANT_HID_ROOT", Root());
        ResetProcessState();
    }
    std::string Root() const { return dir.File("tree"); }

    EnvGuard env;
    TempDir dir;
};

struct UpdateCase {
    const char* name;
    const char* family;
    std::vector<std::string> faults;
    uint32_t size;
    const char* new_version_title; // the dialog's title once the rebooted controller is queried
};

void PrintTo(const UpdateCase& c, std::ostream* os) { *os << c.name; }

class SimProcessUpdate : public SimProcessTest, public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(SimProcessUpdate, DeliversTheImageAndComesBackWithItsVersion)
{
    const UpdateCase& c = GetParam();
    const std::string image = dir.File("fw.dat");
    const std::string saved = dir.File("saved.bin");
    const std::vector<uint8_t> payload = WriteImage(image, {.version = 106, .size = c.size, .revision = 7});

    // A device that is no controller takes the first node: the search must look past it.
    std::vector<std::string> args{"--root", Root(), "--family", c.family, "--version", "1.05", "--save-image", saved,
                                  "--reboot", "--stdin-lifetime", "--other", "046d:c077"};
    for (const std::string& f : c.faults) args.insert(args.end(), {"--fault", f});
    SimProcess sim(args);
    ASSERT_TRUE(sim.Started());
    Watchdog watchdog(sim.Pid(), 60s);
    const auto ready = sim.WaitLine("ready ");
    ASSERT_TRUE(ready) << sim.Stderr();
    EXPECT_EQ(NodeOf(*ready), Root() + "/dev/hidraw1");

    {
        // The platform the front ends use, so KORVANT_HID_ROOT is what leads it to the tree.
        std::unique_ptr<IHidPlatform> platform = CreateSystemHidPlatform();
        TestView view;
        NoticeQueue notices;
        CUpdateDlg dlg(view, *platform, SystemClock(), &notices);
        dlg.OnInitDialog();
        ASSERT_TRUE(view.ButtonEnabled());
        EXPECT_EQ(g_nDeviceVersion.load(), 105u);

        view.QueueFile(image);
        view.QueueAnswer(MsgBoxResult::kOk);
        dlg.OnBnClickedUsbUpdate();
        ASSERT_TRUE(view.WaitUpdateEnded(1, 30000));
        dlg.OnUpdateThreadEnded();
        EXPECT_EQ(dlg.LastOutcome(), UpdateOutcome::kSuccess) << sim.Stderr();
        ASSERT_FALSE(view.BoxTexts().empty());
        EXPECT_EQ(view.BoxTexts().back(), "\n Firmware upgraded! \n");

        ASSERT_TRUE(sim.WaitLine("completed ")) << sim.Stderr();
        ASSERT_TRUE(sim.WaitLine("saved " + saved));
        EXPECT_EQ(ReadFile(saved), payload);

        // The controller restarts into the image: it leaves, comes back on its node, and the
        // dialog's arrival handling reads the new version from it.
        ASSERT_TRUE(sim.WaitLine("gone " + NodeOf(*ready)));
        ASSERT_TRUE(sim.WaitLine("ready " + NodeOf(*ready)));
        const Clock::time_point deadline = Clock::now() + 10s;
        while (g_nDeviceVersion.load() != 106u && Clock::now() < deadline) {
            for (uint32_t event : notices.Take()) dlg.OnDeviceChange(event, 0);
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_TRUE(notices.Saw(DBT_DEVICEARRIVAL));
        EXPECT_EQ(g_nDeviceVersion.load(), 106u);
        EXPECT_NE(view.Title().find(c.new_version_title), std::string::npos) << view.Title();
    }

    EXPECT_EQ(sim.StopWith(SIGTERM), 0) << sim.Stderr();
    EXPECT_EQ(sim.Stderr(), "");
    EXPECT_TRUE(TreeEntries(Root()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Families, SimProcessUpdate,
    ::testing::Values(UpdateCase{"framed", "framed", {}, 4099, "(GamePad V1.06)"},
                      UpdateCase{"command", "command", {}, 4099, "(Fw v1.06 r3)"},
                      // Paced like full-speed USB, with replies at frame boundaries in real time.
                      UpdateCase{"framed_slow", "framed", {"slow"}, 2000, "(GamePad V1.06)"},
                      UpdateCase{"command_slow", "command", {"slow"}, 2000, "(Fw v1.06 r3)"}),
    [](const auto& info) { return std::string(info.param.name); });

// The controller vanishes in the middle of the image: the tool must hear of it from the
// hidraw backend as a disconnection, not wait for a silent controller.
class SimProcessUnplug : public SimProcessTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(SimProcessUnplug, EndsTheUpdateAsADisconnection)
{
    const std::string image = dir.File("fw.dat");
    WriteImage(image, {.version = 106, .size = 4099});
    SimProcess sim({"--root", Root(), "--family", GetParam(), "--fault", "unplug-at=3", "--reboot", "--stdin-lifetime"});
    ASSERT_TRUE(sim.Started());
    Watchdog watchdog(sim.Pid(), 60s);
    const auto ready = sim.WaitLine("ready ");
    ASSERT_TRUE(ready) << sim.Stderr();
    {
        std::unique_ptr<IHidPlatform> platform = CreateSystemHidPlatform();
        TestView view;
        CUpdateDlg dlg(view, *platform, SystemClock(), nullptr);
        dlg.OnInitDialog();
        view.QueueFile(image);
        view.QueueAnswer(MsgBoxResult::kOk);
        dlg.OnBnClickedUsbUpdate();
        ASSERT_TRUE(view.WaitUpdateEnded(1, 30000));
        dlg.OnUpdateThreadEnded();
        EXPECT_EQ(dlg.LastOutcome(), UpdateOutcome::kFailed);
        ASSERT_FALSE(view.BoxTexts().empty());
        EXPECT_NE(view.BoxTexts().back().find(LoadLocalizedString(TEXT_DEVICE_GONE)), std::string::npos)
            << view.BoxTexts().back();
        EXPECT_FALSE(view.ButtonEnabled());
        EXPECT_TRUE(sim.WaitLine("gone " + NodeOf(*ready)));
    }
    EXPECT_EQ(sim.StopWith(SIGTERM), 0) << sim.Stderr();
    EXPECT_EQ(sim.Stdout().find("completed"), std::string::npos) << "a failed update is no reason to reboot";
}

INSTANTIATE_TEST_SUITE_P(Families, SimProcessUnplug, ::testing::Values("framed", "command"),
                         [](const auto& info) { return std::string(info.param); });

class SimProcessSignal : public SimProcessTest, public ::testing::WithParamInterface<int> {};

TEST_P(SimProcessSignal, RemovesEveryNodeAndEntry)
{
    SimProcess sim({"--root", Root(), "--family", "command", "--count", "2", "--other", "046d:c077"});
    ASSERT_TRUE(sim.Started());
    Watchdog watchdog(sim.Pid(), 30s);
    ASSERT_TRUE(sim.WaitLine("ready ")) << sim.Stderr();
    ASSERT_TRUE(sim.WaitLine("ready "));

    HidrawPlatform platform(Root());
    const auto found = platform.EnumerateInterfaces();
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].vendor_id, 0x046d);
    EXPECT_EQ(found[0].product_id, 0xc077);
    for (size_t k = 1; k < found.size(); ++k) {
        EXPECT_EQ(found[k].vendor_id, VID_KORVANT);
        EXPECT_EQ(found[k].product_id, PID_COMMAND);
    }

    EXPECT_EQ(sim.StopWith(GetParam()), 0) << sim.Stderr();
    EXPECT_TRUE(platform.EnumerateInterfaces().empty());
    EXPECT_TRUE(TreeEntries(Root()).empty());
}

INSTANTIATE_TEST_SUITE_P(Signals, SimProcessSignal, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) { return info.param == SIGTERM ? "sigterm" : "sigint"; });

TEST_F(SimProcessTest, AReportOutOfProtocolIsReportedAndFailsTheExit)
{
    SimProcess sim({"--root", Root(), "--family", "framed"});
    ASSERT_TRUE(sim.Started());
    Watchdog watchdog(sim.Pid(), 30s);
    const auto ready = sim.WaitLine("ready ");
    ASSERT_TRUE(ready) << sim.Stderr();

    // A count byte of 0 frames no message at all.
    const int fd = ::open(NodeOf(*ready).c_str(), O_WRONLY | O_NOCTTY);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    uint8_t report[kHidReportSize] = {};
    EXPECT_EQ(::write(fd, report, sizeof report), ssize_t(sizeof report));
    ::close(fd);

    const Clock::time_point deadline = Clock::now() + 5s;
    while (sim.Stderr().find("protocol error") == std::string::npos && Clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_NE(sim.Stderr().find("korvant-sim: protocol error: " + NodeOf(*ready) + ": count byte 0"),
              std::string::npos)
        << sim.Stderr();
    EXPECT_EQ(sim.StopWith(SIGTERM), 1);
}

TEST_F(SimProcessTest, StdinLifetimeEndsWithItsInput)
{
    SimProcess sim({"--root", Root(), "--family", "framed", "--stdin-lifetime"});
    ASSERT_TRUE(sim.Started());
    Watchdog watchdog(sim.Pid(), 30s);
    ASSERT_TRUE(sim.WaitLine("ready ")) << sim.Stderr();
    sim.CloseStdin();
    EXPECT_EQ(sim.WaitExit(), 0) << sim.Stderr();
    EXPECT_TRUE(TreeEntries(Root()).empty());
}

TEST_F(SimProcessTest, HelpNamesEveryOptionAndFault)
{
    SimProcess sim({"--help"});
    ASSERT_TRUE(sim.Started());
    EXPECT_EQ(sim.WaitExit(), 0);
    const std::string help = sim.Stdout();
    for (const char* option : {"--root", "--family", "--vid", "--pid", "--version", "--beta", "--revision", "--fault",
                               "--save-image", "--count", "--reboot", "--other", "--stdin-lifetime", "--help"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
    for (const SimFaultInfo& f : AllSimFaults()) {
        const std::string name = f.arg ? std::string(f.name) + "=" + f.arg : std::string(f.name);
        EXPECT_NE(help.find("  " + name + " "), std::string::npos) << name;
        EXPECT_NE(help.find(f.help), std::string::npos) << f.help;
    }
    EXPECT_EQ(sim.Stderr(), "");
}

struct BadArguments {
    const char* name;
    std::vector<std::string> args; // "ROOT" stands for the test's root
};

void PrintTo(const BadArguments& c, std::ostream* os) { *os << c.name; }

class SimProcessBadArguments : public SimProcessTest, public ::testing::WithParamInterface<BadArguments> {};

TEST_P(SimProcessBadArguments, ExitWithAUsageError)
{
    std::vector<std::string> args = GetParam().args;
    for (std::string& a : args)
        if (a == "ROOT") a = Root();
    SimProcess sim(args);
    ASSERT_TRUE(sim.Started());
    EXPECT_EQ(sim.WaitExit(), 2);
    EXPECT_NE(sim.Stderr().find("korvant-sim: "), std::string::npos);
    EXPECT_NE(sim.Stderr().find("--help"), std::string::npos);
    EXPECT_EQ(sim.Stdout(), "");
    EXPECT_FALSE(std::filesystem::exists(Root())); // nothing was made
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimProcessBadArguments,
    ::testing::Values(BadArguments{"unknown_option", {"--root", "ROOT", "--family", "framed", "--bogus"}},
                      BadArguments{"no_root", {"--family", "framed"}},
                      BadArguments{"no_family", {"--root", "ROOT"}},
                      BadArguments{"unknown_family", {"--root", "ROOT", "--family", "serial"}},
                      BadArguments{"missing_value", {"--root", "ROOT", "--family"}},
                      BadArguments{"unknown_fault", {"--root", "ROOT", "--family", "framed", "--fault", "melt"}},
                      BadArguments{"fault_without_its_number", {"--root", "ROOT", "--family", "framed", "--fault", "fail-at"}},
                      BadArguments{"flag_with_a_value", {"--root", "ROOT", "--family", "framed", "--reboot=yes"}},
                      BadArguments{"zero_count", {"--root", "ROOT", "--family", "framed", "--count", "0"}},
                      BadArguments{"huge_count", {"--root", "ROOT", "--family", "framed", "--count", "99999999999"}},
                      BadArguments{"vid_not_hex", {"--root", "ROOT", "--family", "framed", "--vid", "xyz"}},
                      BadArguments{"vid_too_wide", {"--root", "ROOT", "--family", "framed", "--vid", "12345"}},
                      BadArguments{"other_without_colon", {"--root", "ROOT", "--family", "framed", "--other", "046d"}},
                      BadArguments{"version_three_parts", {"--root", "ROOT", "--family", "framed", "--version", "1.0.5"}},
                      BadArguments{"version_too_high", {"--root", "ROOT", "--family", "framed", "--version", "700"}},
                      BadArguments{"beta_too_high", {"--root", "ROOT", "--family", "framed", "--beta", "65536"}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
