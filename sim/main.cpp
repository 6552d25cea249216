// korvant-sim: simulated controllers on a fake hidraw device tree, served in real time, so
// the real tools (with KORVANT_HID_ROOT pointing at the same tree) update them as they would
// update hardware. `korvant-sim --help` says how to use it.
//
// One thread, one poll loop: the ptys' master sides, a self-pipe for signals and, on request,
// stdin. Every reply is scheduled at the moment a controller of that kind would send it, and
// the loop sleeps until the next such moment or the next report from the tool; nothing
// waits on the tool for longer than a bounded moment, so a tool that stops reading, closes
// its node or writes garbage never stalls the simulator.
#include "hid/hid.h"
#include "sim/pty_device_tree.h"
#include "sim/sim_controller.h"
#include "sim/sim_faults.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr unsigned kMaxControllers = 16;
// Long enough for a tool's device watch to see the removal and the arrival as two events.
constexpr auto kRebootPause = std::chrono::milliseconds(300);
// Replies the tool has not read by then are lost with the unplug, as they would be if it
// never read them from a real device either.
constexpr auto kDrainLimit = std::chrono::milliseconds(1000);
// A reply that finds no room in the pty within this time is dropped, the way hidraw drops
// reports when a reader lets its queue fill up; waiting longer would stall every controller.
constexpr uint32_t kReplyRoomMs = 20;
// A full-speed USB interrupt endpoint moves one report per frame each way.
constexpr auto kFrame = std::chrono::microseconds(1000);
// The loop wakes at least this often even with nothing scheduled.
constexpr auto kIdleWake = std::chrono::seconds(1);

int g_signalPipe[2] = {-1, -1};

extern "C" void OnTerminateSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    // A full pipe already holds a wake-up; losing this byte loses nothing.
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

bool InstallSignalHandlers()
{
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction sa = {};
    sa.sa_handler = OnTerminateSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        if (::sigaction(sig, &sa, nullptr) != 0) return false;
    // A reader of our stdout that went away must not kill us before the tree is cleaned up.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

const char* FamilyName(SimFamily family) { return family == SimFamily::kFramed ? "framed" : "command"; }

std::string IdText(uint16_t vendor, uint16_t product)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", unsigned(vendor), unsigned(product));
    return text;
}

// Lines on stdout are the interface for scripts and tests: each one whole and flushed.
void Say(const std::string& line)
{
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

void Complain(const std::string& line) { std::fprintf(stderr, "korvant-sim: %s\n", line.c_str()); }

// --- arguments

struct Options {
    std::string root;
    std::optional<SimFamily> family;
    SimControllerOptions controller;
    std::string save_image;
    unsigned count = 1;
    bool reboot = false;
    bool stdin_lifetime = false;
    std::vector<std::pair<uint16_t, uint16_t>> others;
};

void PrintHelp()
{
    std::printf(
        "Usage: korvant-sim --root DIR --family framed|command [options]\n"
        "\n"
        "Simulated controllers on a fake hidraw device tree under DIR, served in real time until\n"
        "SIGINT or SIGTERM. Run a tool with KORVANT_HID_ROOT=DIR and it finds them as it would find\n"
        "real ones.\n"
        "\n"
        "Options:\n"
        "  --root DIR           where the tree goes: DIR/sys/class/hidraw/hidrawN/device/uevent and\n"
        "                       DIR/dev/hidrawN (made when missing)\n"
        "  --family F           framed or command: the exchange the controllers speak\n"
        "  --vid V, --pid P     USB vendor and product id in hex (default: the family's usual pair,\n"
        "                       2dc8:5750 framed, 2dc8:3208 command)\n"
        "  --version X.YY       firmware version the controllers report (default 1.05)\n"
        "  --beta N             beta number of that version, 0 for a release (default 0)\n"
        "  --revision N         command family: firmware revision (default 3)\n"
        "  --fault NAME[=ARG]   make the controllers misbehave; repeatable; the faults are below\n"
        "  --save-image FILE    when an update completes, write the image the controller received\n"
        "                       (its payload, in address order) to FILE, replacing it in one step;\n"
        "                       with --count N > 1, controller K (1..N, in the order of the ready\n"
        "                       lines) writes FILE.K\n"
        "  --count N            serve N controllers of the family (default 1, at most %u)\n"
        "  --reboot             after a completed update, leave (the node goes), and come back %lld ms\n"
        "                       later on the same node as a fresh controller that reports the image's\n"
        "                       version, as a real one restarts into its new firmware. The faults stay,\n"
        "                       except no-version. Off by default: the controller then keeps its node\n"
        "                       and reports the new version at once\n"
        "  --other VID:PID      also plug in a HID device that is no controller (hex ids; repeatable);\n"
        "                       these take the lowest node numbers, so a tool must look past them\n"
        "  --stdin-lifetime     also end when standard input reaches its end (a parent that dies\n"
        "                       takes the simulator with it)\n"
        "  --help               this text\n"
        "\n"
        "Faults (--fault NAME or --fault NAME=ARG):\n",
        kMaxControllers, static_cast<long long>(kRebootPause.count()));
    for (const SimFaultInfo& f : AllSimFaults()) {
        const std::string name = f.arg ? std::string(f.name) + "=" + f.arg : std::string(f.name);
        std::printf("  %-20s %s\n", name.c_str(), f.help);
    }
    std::printf(
        "\n"
        "Standard output, one line per event, each flushed as it happens:\n"
        "  ready NODE VID:PID FAMILY       a controller is there (all of them at start, in node\n"
        "                                  order; again after a reboot)\n"
        "  other NODE VID:PID              a device of --other is there\n"
        "  completed NODE version 0xWORD   an update ended successfully\n"
        "  saved FILE                      the received image is in FILE\n"
        "  gone NODE                       a controller left (unplug-at, or a reboot)\n"
        "Protocol errors (anything the tool sent that a controller did not expect) go to standard\n"
        "error as they happen, as \"korvant-sim: protocol error: NODE: ...\".\n"
        "\n"
        "Exit status: 0 after SIGINT, SIGTERM or SIGHUP (or the end of standard input with\n"
        "--stdin-lifetime) when nothing went wrong; 1 when the tool broke the protocol, an image\n"
        "could not be saved or the tree could not be made; 2 for bad arguments. The nodes and\n"
        "sysfs entries are removed on the way out.\n");
}

class UsageError {
public:
    explicit UsageError(std::string what) : m_what(std::move(what)) {}
    const std::string& What() const { return m_what; }

private:
    std::string m_what;
};

// Hex, with or without 0x, 1 to 0xFFFF: USB ids as lsusb prints them.
uint16_t ParseId(const std::string& option, const std::string& text)
{
    std::string digits = text;
    if (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0) digits = digits.substr(2);
    if (digits.empty() || digits.size() > 4 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        throw UsageError(option + " needs a hex id from 1 to ffff, not '" + text + "'");
    const unsigned long v = std::strtoul(digits.c_str(), nullptr, 16);
    if (v == 0) throw UsageError(option + " needs a hex id from 1 to ffff, not '" + text + "'");
    return uint16_t(v);
}

unsigned long ParseCount(const std::string& option, const std::string& text, unsigned long max)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::strtoul(text.c_str(), nullptr, 10) > max)
        throw UsageError(option + " needs a whole number from 0 to " + std::to_string(max) + ", not '" + text + "'");
    return std::strtoul(text.c_str(), nullptr, 10);
}

// "1.05" → 105: the low half of a version word is the version times 100.
uint16_t ParseVersion(const std::string& text)
{
    const size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    const std::string part = dot == std::string::npos ? std::string() : text.substr(dot + 1);
    const bool digitsOnly = !whole.empty() && whole.size() <= 3 &&
                            whole.find_first_not_of("0123456789") == std::string::npos && part.size() <= 2 &&
                            part.find_first_not_of("0123456789") == std::string::npos &&
                            (dot == std::string::npos || !part.empty());
    const unsigned long hundredths =
        digitsOnly ? std::strtoul(whole.c_str(), nullptr, 10) * 100 +
                         (part.empty() ? 0 : std::strtoul(part.c_str(), nullptr, 10) * (part.size() == 1 ? 10 : 1))
                   : 0x10000;
    if (hundredths > 0xFFFF) throw UsageError("--version needs a version like 1.05, from 0 to 655.35, not '" + text + "'");
    return uint16_t(hundredths);
}

// Fills `options`; false for --help. Throws UsageError.
bool ParseArguments(int argc, char** argv, Options& options)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    uint16_t version = 105;
    uint16_t beta = 0;
    std::optional<uint16_t> revision;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (name.rfind("--", 0) == 0 && name.find('=') != std::string::npos) {
            inlineValue = name.substr(name.find('=') + 1);
            name = name.substr(0, name.find('='));
        }
        auto value = [&]() -> std::string {
            if (inlineValue) return *inlineValue;
            if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
            return args[++i];
        };
        auto flag = [&] {
            if (inlineValue) throw UsageError(name + " takes no value");
        };
        if (name == "--help" || name == "-h") {
            flag();
            return false;
        } else if (name == "--root") {
            options.root = value();
            if (options.root.empty()) throw UsageError("--root needs a directory");
        } else if (name == "--family") {
            const std::string f = value();
            if (f == "framed") options.family = SimFamily::kFramed;
            else if (f == "command") options.family = SimFamily::kCommand;
            else throw UsageError("--family is framed or command, not '" + f + "'");
        } else if (name == "--vid") {
            options.controller.vendor_id = ParseId(name, value());
        } else if (name == "--pid") {
            options.controller.product_id = ParseId(name, value());
        } else if (name == "--version") {
            version = ParseVersion(value());
        } else if (name == "--beta") {
            beta = uint16_t(ParseCount(name, value(), 0xFFFF));
        } else if (name == "--revision") {
            revision = uint16_t(ParseCount(name, value(), 0xFFFF));
        } else if (name == "--fault") {
            std::string error;
            if (!ApplySimFault(value(), options.controller.faults, error)) throw UsageError(error);
        } else if (name == "--save-image") {
            options.save_image = value();
            if (options.save_image.empty()) throw UsageError("--save-image needs a file name");
        } else if (name == "--count") {
            options.count = unsigned(ParseCount(name, value(), kMaxControllers));
            if (options.count == 0) throw UsageError("--count needs at least 1");
        } else if (name == "--reboot") {
            flag();
            options.reboot = true;
        } else if (name == "--stdin-lifetime") {
            flag();
            options.stdin_lifetime = true;
        } else if (name == "--other") {
            const std::string pair = value();
            const size_t colon = pair.find(':');
            if (colon == std::string::npos) throw UsageError("--other needs VID:PID, not '" + pair + "'");
            options.others.emplace_back(ParseId(name, pair.substr(0, colon)), ParseId(name, pair.substr(colon + 1)));
        } else {
            throw UsageError("unknown argument '" + args[i] + "'");
        }
    }
    if (options.root.empty()) throw UsageError("--root DIR is required");
    if (!options.family) throw UsageError("--family framed|command is required");
    options.controller.version_word = (uint32_t(beta) << 16) | version;
    if (revision) options.controller.revision = *revision;
    return true;
}

// --- serving

// Writes through a temporary file in the same directory, so a reader never sees half an image.
bool SaveAtomically(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error)
{
    const std::string temp = path + ".tmp." + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = temp + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = temp + ": " + std::strerror(errno);
            ::close(fd);
            ::unlink(temp.c_str());
            return false;
        }
        done += size_t(n);
    }
    if (::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
        error = path + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

Clock::time_point g_epoch = Clock::now();

// USB frames start on whole milliseconds since the simulator started.
Clock::time_point CeilToFrame(Clock::time_point t)
{
    const auto since = t - g_epoch;
    const auto frames = (since + kFrame - Clock::duration(1)) / kFrame;
    return g_epoch + frames * kFrame;
}

class ServedController {
public:
    ServedController(PtyDeviceTree& tree, SimFamily family, SimControllerOptions options, std::string save_path,
                     bool reboot)
        : m_tree(tree), m_family(family), m_options(std::move(options)), m_savePath(std::move(save_path)),
          m_reboot(reboot)
    {
    }
    ~ServedController() { CloseWatch(); }
    ServedController(const ServedController&) = delete;
    ServedController& operator=(const ServedController&) = delete;

    // Plugs in a fresh controller on the given node number.
    bool Plug(unsigned number, std::string& error)
    {
        m_controller = MakeController(m_family, m_options);
        m_device = m_tree.Plug(number, m_controller->VendorId(), m_controller->ProductId(), &error);
        if (!m_device) return false;
        // A descriptor of our own on the slave side, never read: it tells how many reply bytes
        // the tool has not taken yet, without the blocking wait of UnplugWhenDrained.
        m_watchFd = ::open(m_device->SlavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        m_state = State::kServing;
        m_events.clear();
        m_errorsShown = 0;
        m_completedSeen = false;
        m_outFree = m_inFree = Clock::time_point();
        Say("ready " + m_device->NodePath() + " " + IdText(m_device->VendorId(), m_device->ProductId()) + " " +
            FamilyName(m_family));
        return true;
    }

    int Fd() const { return m_device && m_device->Plugged() ? m_device->MasterFd() : -1; }
    bool Failed() const { return m_failed; }

    // The earliest moment something is due; nothing when only the tool can move things on.
    std::optional<Clock::time_point> NextDue() const
    {
        switch (m_state) {
        case State::kServing:
            if (!m_events.empty()) return m_events.front().due;
            return std::nullopt;
        case State::kDraining: return std::min(Clock::now() + std::chrono::milliseconds(1), m_drainUntil);
        case State::kRebooting: return m_replugAt;
        case State::kGone: return std::nullopt;
        }
        return std::nullopt;
    }

    void OnReadable()
    {
        uint8_t report[kPtyOutputReportSize];
        while (m_device && m_device->ReceiveOutputReport(report, 0) == PtyDevice::Receive::kReport) {
            // A controller that is on its way out takes nothing more.
            if (m_state == State::kServing) OnReport(report);
        }
    }

    void RunDue()
    {
        const Clock::time_point now = Clock::now();
        while (m_state == State::kServing && !m_events.empty() && m_events.front().due <= now) {
            const Event e = m_events.front();
            m_events.pop_front();
            switch (e.kind) {
            case Event::kReply:
                if (!m_device->SendInputReport(e.data, kReplyRoomMs))
                    Complain(m_device->NodePath() + ": the tool is not reading; an input report was dropped");
                break;
            case Event::kUnplug:
            case Event::kReboot:
                m_state = State::kDraining;
                m_drainUntil = now + kDrainLimit;
                m_rebootAfterDrain = e.kind == Event::kReboot;
                break;
            }
        }
        if (m_state == State::kDraining && (Drained() || now >= m_drainUntil)) {
            const std::string node = m_device->NodePath();
            CloseWatch();
            m_device->Unplug();
            Say("gone " + node);
            if (m_rebootAfterDrain) {
                m_state = State::kRebooting;
                m_replugAt = now + kRebootPause;
            } else {
                m_state = State::kGone;
            }
        }
        if (m_state == State::kRebooting && now >= m_replugAt) {
            // The new firmware runs: its version is the image's, and it has one even if the
            // old one reported none.
            m_options.version_word = m_controller->VersionWord();
            m_options.faults.no_version = false;
            std::string error;
            if (!Plug(m_device->Number(), error)) {
                Complain("cannot plug the rebooted controller back in: " + error);
                m_failed = true;
                m_state = State::kGone;
            }
        }
    }

private:
    enum class State { kServing, kDraining, kRebooting, kGone };
    struct Event {
        enum Kind { kReply, kUnplug, kReboot } kind;
        Clock::time_point due;
        uint8_t data[kPtyInputReportSize] = {};
    };

    void Schedule(Event e)
    {
        // Replies keep their order even when a later one has a shorter delay.
        if (!m_events.empty()) e.due = std::max(e.due, m_events.back().due);
        m_events.push_back(e);
    }

    void OnReport(const uint8_t (&report)[kPtyOutputReportSize])
    {
        const bool slow = m_controller->Faults().slow;
        const Clock::time_point now = Clock::now();
        // On a paced link the report goes out in the next free output frame, and a reply can
        // come in the frame after that at the earliest.
        Clock::time_point earliest = now;
        if (slow) {
            const Clock::time_point sent = CeilToFrame(std::max(now, m_outFree));
            m_outFree = sent + kFrame;
            earliest = sent + kFrame;
        }
        SimResponse response = m_controller->OnOutputReport(report);
        ShowNewProtocolErrors();
        for (const SimReply& r : response.replies) {
            Event e{Event::kReply, earliest + std::chrono::milliseconds(r.delay_ms)};
            if (slow) {
                e.due = CeilToFrame(std::max(e.due, m_inFree));
                m_inFree = e.due + kFrame;
            }
            std::memcpy(e.data, r.data, sizeof e.data);
            Schedule(e);
        }
        if (response.unplug) {
            // What the controller said before it went still reaches the tool, as a hidraw
            // queue hands out its reports before reporting the unplug.
            Schedule({Event::kUnplug, earliest});
            return;
        }
        const bool completed = m_controller->UpdateCompleted();
        if (completed && !m_completedSeen) OnUpdateCompleted(earliest);
        m_completedSeen = completed;
    }

    void OnUpdateCompleted(Clock::time_point earliest)
    {
        char version[16];
        std::snprintf(version, sizeof version, "0x%X", unsigned(m_controller->VersionWord()));
        Say("completed " + m_device->NodePath() + " version " + version);
        if (!m_savePath.empty()) {
            std::string error;
            if (SaveAtomically(m_savePath, m_controller->ReceivedImage(), error)) {
                Say("saved " + m_savePath);
            } else {
                Complain("cannot save the image: " + error);
                m_failed = true;
            }
        }
        // The acknowledgement of the last command goes out before the controller restarts.
        if (m_reboot) Schedule({Event::kReboot, earliest});
    }

    void ShowNewProtocolErrors()
    {
        const auto& errors = m_controller->ProtocolErrors();
        for (; m_errorsShown < errors.size(); ++m_errorsShown) {
            Complain("protocol error: " + m_device->NodePath() + ": " + errors[m_errorsShown]);
            m_failed = true;
        }
    }

    bool Drained() const
    {
        int queued = 0;
        return m_watchFd < 0 || ::ioctl(m_watchFd, FIONREAD, &queued) != 0 || queued == 0;
    }

    void CloseWatch()
    {
        if (m_watchFd >= 0) ::close(m_watchFd);
        m_watchFd = -1;
    }

    PtyDeviceTree& m_tree;
    SimFamily m_family;
    SimControllerOptions m_options;
    std::string m_savePath;
    bool m_reboot;

    std::unique_ptr<SimController> m_controller;
    PtyDevice* m_device = nullptr;
    int m_watchFd = -1;
    State m_state = State::kGone;
    std::deque<Event> m_events;
    size_t m_errorsShown = 0;
    bool m_completedSeen = false;
    bool m_failed = false;
    Clock::time_point m_outFree;
    Clock::time_point m_inFree;
    Clock::time_point m_drainUntil;
    bool m_rebootAfterDrain = false;
    Clock::time_point m_replugAt;
};

// The directories the tree adds to the root, deepest first, so the ones it made can go again.
std::vector<std::filesystem::path> MissingTreeDirs(const std::string& root)
{
    const std::filesystem::path r(root);
    std::vector<std::filesystem::path> missing;
    for (const auto& p : {r / "sys" / "class" / "hidraw", r / "sys" / "class", r / "sys", r / "dev"}) {
        std::error_code ec;
        if (!std::filesystem::exists(p, ec)) missing.push_back(p);
    }
    return missing;
}

int Serve(const Options& options)
{
    const std::vector<std::filesystem::path> madeDirs = MissingTreeDirs(options.root);
    std::string error;
    std::unique_ptr<PtyDeviceTree> tree = PtyDeviceTree::Create(options.root, &error);
    if (!tree) {
        Complain(error);
        return kExitFailure;
    }

    std::vector<PtyDevice*> others;
    std::vector<std::unique_ptr<ServedController>> controllers;
    bool setupFailed = false;
    for (const auto& [vendor, product] : options.others) {
        PtyDevice* d = tree->Plug(tree->FreeNumber(), vendor, product, &error);
        if (!d) {
            setupFailed = true;
            break;
        }
        others.push_back(d);
        Say("other " + d->NodePath() + " " + IdText(vendor, product));
    }
    for (unsigned k = 1; k <= options.count && !setupFailed; ++k) {
        std::string save = options.save_image;
        if (!save.empty() && options.count > 1) save += "." + std::to_string(k);
        auto c = std::make_unique<ServedController>(*tree, *options.family, options.controller, save, options.reboot);
        if (!c->Plug(tree->FreeNumber(), error)) setupFailed = true;
        controllers.push_back(std::move(c));
    }

    int status = kExitOk;
    if (setupFailed) {
        Complain("cannot plug in a device: " + error);
        status = kExitFailure;
    }
    bool running = !setupFailed;
    bool watchStdin = options.stdin_lifetime;
    while (running) {
        std::vector<pollfd> fds;
        fds.push_back({g_signalPipe[0], POLLIN, 0});
        fds.push_back({watchStdin ? STDIN_FILENO : -1, POLLIN, 0});
        for (const auto& c : controllers) fds.push_back({c->Fd(), POLLIN, 0});
        for (PtyDevice* d : others) fds.push_back({d->MasterFd(), POLLIN, 0});

        Clock::time_point wake = Clock::now() + kIdleWake;
        for (const auto& c : controllers)
            if (auto due = c->NextDue()) wake = std::min(wake, *due);
        const auto wait = std::max(Clock::duration::zero(), wake - Clock::now());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        const timespec timeout{time_t(ns / 1000000000), long(ns % 1000000000)};
        const int r = ::ppoll(fds.data(), fds.size(), &timeout, nullptr);
        if (r < 0 && errno != EINTR) {
            Complain(std::string("poll: ") + std::strerror(errno));
            status = kExitFailure;
            break;
        }
        if (r > 0) {
            if (fds[0].revents) running = false;
            if (fds[1].revents) {
                char buf[256];
                const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
                if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) running = false;
            }
            for (size_t k = 0; k < controllers.size(); ++k)
                if (fds[2 + k].revents) controllers[k]->OnReadable();
            // Reports written to a device that is no controller go nowhere, as a mouse would
            // ignore them.
            for (size_t k = 0; k < others.size(); ++k) {
                if (!fds[2 + controllers.size() + k].revents) continue;
                uint8_t report[kPtyOutputReportSize];
                while (others[k]->ReceiveOutputReport(report, 0) == PtyDevice::Receive::kReport) {}
            }
        }
        for (const auto& c : controllers) c->RunDue();
    }

    for (const auto& c : controllers)
        if (c->Failed()) status = kExitFailure;
    controllers.clear();
    tree.reset();
    for (const auto& dir : madeDirs) {
        std::error_code ec;
        std::filesystem::remove(dir, ec); // only when empty: anything else there is not ours
    }
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    try {
        if (!ParseArguments(argc, argv, options)) {
            PrintHelp();
            return kExitOk;
        }
    } catch (const UsageError& e) {
        Complain(e.What());
        std::fprintf(stderr, "Try 'korvant-sim --help'.\n");
        return kExitUsage;
    }
    if (!InstallSignalHandlers()) {
        Complain(std::string("cannot set up signal handling: ") + std::strerror(errno));
        return kExitFailure;
    }
    return Serve(options);
}
