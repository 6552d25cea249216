// korvant-flash: the update engine from a terminal, for scripts, ssh sessions and firmware
// authors who flash many times a day. It runs the same dialog model and flows as the window
// does; only the face differs. Exit codes:
//   0 success   1 update failed or device error   2 usage (or several controllers, no --device)
//   3 no supported controller, or one without permission   4 invalid image   5 cancelled
#include "app/cli/json.h"
#include "app/cli/only_device_platform.h"
#include "app/cli/terminal_view.h"
#include "app/texts.h"
#include "app/update_dlg.h"
#include "base/debug_output.h"
#include "base/strprintf.h"
#include "hid/hid.h"
#include "image/firmware_image.h"
#include "protocol/command_report.h"
#include "base/le.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_DEVICE = 3;
constexpr int EXIT_INVALID_IMAGE = 4;
constexpr int EXIT_CANCELLED = 5;

// Long enough for any bounded phase of an update (the erase alone may take half a minute).
constexpr int kUpdateWatchdogMs = 15 * 60 * 1000;
// After a success the controller restarts; it has this long to come back with its new version.
constexpr uint64_t kRebootWaitMs = 10000;
constexpr uint32_t kRebootPollMs = 300;

const char* const kUsage =
    "usage: korvant-flash COMMAND [OPTIONS]\n"
    "\n"
    "Writes firmware images into supported game controllers in boot mode (hold the pair\n"
    "button while plugging the controller in).\n"
    "\n"
    "commands:\n"
    "  list [--json]                          list the supported controllers attached\n"
    "  info [--device PATH] [--json]          show a controller's firmware version\n"
    "  inspect FILE [--json]                  check a firmware image and show its version\n"
    "  flash FILE [--device PATH] [--yes] [--json] [-v]\n"
    "                                         write FILE into the controller\n"
    "\n"
    "options:\n"
    "  --device PATH   the controller to use (a path from 'list'); needed when several are attached\n"
    "  --yes           write without asking for confirmation\n"
    "  --json          JSON Lines on stdout; the last line is the result\n"
    "  -v, --verbose   diagnostic lines on stderr (also KORVANT_DEBUG=1)\n"
    "  --help          this text\n"
    "  --version       the program's version\n"
    "\n"
    "exit codes:\n"
    "  0 success\n"
    "  1 the update failed, or the controller could not be used\n"
    "  2 usage error, or several controllers attached and no --device\n"
    "  3 no supported controller found, or found but not accessible (udev rule missing)\n"
    "  4 invalid firmware image (nothing was sent to the controller)\n"
    "  5 cancelled by the user\n"
    "\n"
    "environment:\n"
    "  KORVANT_HID_ROOT  look for devices under this root instead of / (simulated controllers)\n"
    "  KORVANT_DEBUG=1   diagnostic lines on stderr\n"
    "  NO_COLOR          no colour in the progress bar\n";

struct Args {
    std::string command;
    std::optional<std::string> file;
    std::optional<std::string> device;
    bool yes = false;
    bool json = false;
    bool verbose = false;
};

struct Found {
    HidInterfaceInfo info;
    const SupportedController* supported;
    bool accessible;
};

const char* FamilyName(bool direct) { return direct ? "command" : "framed"; }

std::vector<Found> SupportedDevices(IHidPlatform& platform)
{
    std::vector<Found> found;
    for (const HidInterfaceInfo& info : platform.EnumerateInterfaces()) {
        const SupportedController* s = FindSupportedController(info.vendor_id, info.product_id);
        if (!s) continue;
        const bool accessible = platform.OpenInterface(info.path, HidAccess::kReadWrite).device != nullptr;
        found.push_back({info, s, accessible});
    }
    return found;
}

std::string DeviceJson(const Found& d)
{
    return JsonObject()
        .Str("path", d.info.path)
        .Num("vendor_id", d.info.vendor_id)
        .Num("product_id", d.info.product_id)
        .Str("family", FamilyName(d.supported->direct))
        .Bool("accessible", d.accessible)
        .Text();
}

void Error(const std::string& text) { std::fprintf(stderr, "korvant-flash: %s\n", text.c_str()); }

std::string UdevAdvice()
{
    return StrPrintf("To install it: sudo install -m 644 %s /etc/udev/rules.d/ && sudo udevadm control --reload "
                     "&& sudo udevadm trigger (the rule ships in packaging/ and with the package), then reconnect.",
                     kUdevRuleName);
}

// Picks the controller a command works on: the named one, or the only one attached.
// Returns an exit code when there is none to pick.
std::optional<int> PickDevice(IHidPlatform& platform, const Args& args, Found& picked)
{
    std::vector<Found> found = SupportedDevices(platform);
    if (args.device) {
        for (const Found& d : found)
            if (d.info.path == *args.device) picked = d;
        if (picked.info.path.empty()) {
            Error("no supported controller at " + *args.device + " (see 'korvant-flash list')");
            return EXIT_NO_DEVICE;
        }
    } else if (found.empty()) {
        Error("no supported controller found. Put the controller into boot mode (hold the pair button while "
              "plugging it in) and try again.");
        return EXIT_NO_DEVICE;
    } else if (found.size() > 1) {
        Error("several controllers are attached; choose one with --device PATH:");
        for (const Found& d : found)
            std::fprintf(stderr, "  %s  %04x:%04x  %s\n", d.info.path.c_str(), d.info.vendor_id, d.info.product_id,
                         FamilyName(d.supported->direct));
        return EXIT_USAGE;
    } else {
        picked = found.front();
    }
    if (!picked.accessible) {
        Error(StrPrintf(LoadLocalizedString(TEXT_NO_PERMISSION).c_str(), picked.info.path.c_str(), kUdevRuleName));
        Error(UdevAdvice());
        return EXIT_NO_DEVICE;
    }
    return std::nullopt;
}

TerminalOptions ViewOptions(const Args& args)
{
    TerminalOptions o;
    o.json = args.json;
    o.assume_yes = args.yes;
    o.progress_bar = !args.json && ::isatty(STDOUT_FILENO);
    o.color = o.progress_bar && !std::getenv("NO_COLOR");
    o.can_prompt = ::isatty(STDIN_FILENO);
    o.image_path = args.file;
    return o;
}

struct VersionParts {
    uint32_t word;
    double version;
    uint32_t beta;
};

VersionParts SplitVersion(uint32_t word) { return {word, double(word & 0xFFFF) / 100, word >> 16}; }

int RunList(const Args& args)
{
    std::unique_ptr<IHidPlatform> platform = CreateSystemHidPlatform();
    std::vector<Found> found = SupportedDevices(*platform);
    if (args.json) {
        std::string list = "[";
        for (size_t i = 0; i < found.size(); ++i) list += (i ? "," : "") + DeviceJson(found[i]);
        std::printf("%s\n", JsonObject().Raw("devices", list + "]").Text().c_str());
        return EXIT_OK;
    }
    if (found.empty()) std::printf("no supported controller attached\n");
    for (const Found& d : found)
        std::printf("%s  %04x:%04x  %s%s\n", d.info.path.c_str(), d.info.vendor_id, d.info.product_id,
                    FamilyName(d.supported->direct), d.accessible ? "" : "  (no permission)");
    return EXIT_OK;
}

int RunInspect(const Args& args)
{
    const ImageFileReport r = InspectImageFile(*args.file);
    const std::string problem = DescribeImageProblem(r.problem, r.header, r.file_size);
    if (args.json) {
        const VersionParts v = SplitVersion(r.header.VersionWord());
        std::printf("%s\n", JsonObject()
                                .Num("version_word", v.word)
                                .Real("version", v.version, 2)
                                .Num("beta", v.beta)
                                .Num("revision", r.header.revision)
                                .Num("address", r.header.address)
                                .Num("size", r.header.size)
                                .Num("file_size", r.file_size)
                                .Bool("valid", r.problem == ImageProblem::kNone)
                                .Str("problem", ImageProblemKey(r.problem))
                                .Str("message", problem)
                                .Text()
                                .c_str());
    } else if (r.problem == ImageProblem::kNone || r.problem == ImageProblem::kNoPayload ||
               r.problem == ImageProblem::kTruncated) {
        std::printf("%s\n", TidyText(ConfirmationText(r.header)).c_str());
        std::printf("address 0x%08x, payload %u bytes, file %llu bytes\n", r.header.address, r.header.size,
                    (unsigned long long)r.file_size);
    }
    if (r.problem != ImageProblem::kNone) {
        Error(problem);
        return EXIT_INVALID_IMAGE;
    }
    return EXIT_OK;
}

int RunInfo(const Args& args)
{
    std::unique_ptr<IHidPlatform> system = CreateSystemHidPlatform();
    Found picked;
    if (std::optional<int> code = PickDevice(*system, args, picked)) return *code;
    OnlyDevicePlatform platform(*system, picked.info.path);
    TerminalView view(ViewOptions(args));
    view.SetQuiet(true);
    CUpdateDlg dlg(view, platform);
    view.SetOutcomeSource([&dlg] { return dlg.LastOutcome(); });
    // The dialog's start-up: presence, then the family's version query, which titles the
    // window with the controller's version. The framed family's start-up puts the plain
    // title back at its end; the version title it showed on the way is the answer here.
    dlg.OnInitDialog();
    const std::string plain = LoadLocalizedString(TEXT_TITLE);
    std::string title = plain;
    for (const std::string& t : view.Titles())
        if (t != plain) title = t;
    if (!args.json) std::printf("%s\n", title.c_str());
    const uint32_t word = g_nDeviceVersion;
    if (word == DEVICE_VERSION_PENDING) {
        Error("the controller did not report its version");
        return EXIT_FAILED;
    }
    if (args.json) {
        const VersionParts v = SplitVersion(word);
        JsonObject o;
        o.Str("path", picked.info.path).Str("family", FamilyName(picked.supported->direct)).Num("version_word", word);
        o.Real("version", v.version, 2).Num("beta", v.beta);
        if (picked.supported->direct) o.Num("revision", LoadLe16(g_deviceInfo + INFO_OFFSET_REVISION) == INFO_REVISION_NONE
                                                            ? 0
                                                            : LoadLe16(g_deviceInfo + INFO_OFFSET_REVISION));
        else o.Null("revision");
        std::printf("%s\n", o.Text().c_str());
    }
    return EXIT_OK;
}

// After a success the controller restarts into its new firmware; read its version once it
// is back. A slow or absent return never turns the success into a failure.
bool ConfirmNewVersion(CUpdateDlg& dlg, uint32_t expected, TerminalView& view)
{
    view.SetQuiet(true);
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(kRebootWaitMs)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kRebootPollMs));
        if (!dlg.m_hid.CheckDevice()) continue;
        dlg.QueryDeviceVersion();
        if (g_nDeviceVersion == expected) return true;
    }
    return false;
}

int RunFlash(const Args& args)
{
    // The image first: an invalid one sends nothing at all, not even a version query.
    const ImageFileReport image = InspectImageFile(*args.file);
    const std::string problem = DescribeImageProblem(image.problem, image.header, image.file_size);
    auto result = [&](const char* what, const std::string& message, const Found* device, uint32_t sent,
                      std::optional<bool> confirmed) {
        if (!args.json) return;
        JsonObject o;
        o.Str("event", "result").Str("result", what).Str("message", message);
        if (device) {
            o.Raw("device", JsonObject()
                                .Str("path", device->info.path)
                                .Num("vendor_id", device->info.vendor_id)
                                .Num("product_id", device->info.product_id)
                                .Str("family", FamilyName(device->supported->direct))
                                .Text());
        } else {
            o.Null("device");
        }
        o.Num("bytes_sent", sent);
        if (confirmed) o.Bool("version_confirmed", *confirmed);
        std::printf("%s\n", o.Text().c_str());
        std::fflush(stdout);
    };
    if (image.problem != ImageProblem::kNone) {
        Error(problem);
        result("invalid-image", problem, nullptr, 0, std::nullopt);
        return EXIT_INVALID_IMAGE;
    }

    std::unique_ptr<IHidPlatform> system = CreateSystemHidPlatform();
    Found picked;
    if (std::optional<int> code = PickDevice(*system, args, picked)) {
        result("no-device", "no usable controller", nullptr, 0, std::nullopt);
        return *code;
    }
    OnlyDevicePlatform platform(*system, picked.info.path);
    TerminalView view(ViewOptions(args));
    CUpdateDlg dlg(view, platform);
    view.SetOutcomeSource([&dlg] { return dlg.LastOutcome(); });

    dlg.OnInitDialog();
    if (!dlg.m_hid.m_bDeviceFound) {
        Error("the controller went away");
        result("no-device", "the controller went away", &picked, 0, std::nullopt);
        return EXIT_NO_DEVICE;
    }
    view.ShowProgressFromNowOn();
    dlg.OnBnClickedUsbUpdate();
    if (!dlg.UpdateRunning() && !view.WaitUpdateEnded(0)) {
        Error("the controller could not be opened");
        result("failed", "the controller could not be opened", &picked, 0, std::nullopt);
        return EXIT_FAILED;
    }
    if (!view.WaitUpdateEnded(kUpdateWatchdogMs)) {
        // Every phase is bounded; this is the last line of defence, not a path.
        Error("the update did not end; the controller may need to be flashed again");
        std::_Exit(EXIT_FAILED);
    }
    dlg.OnUpdateThreadEnded();
    view.EndProgressLine();

    const uint32_t sent = dlg.m_nBytesSent;
    switch (dlg.LastOutcome()) {
    case UpdateOutcome::kSuccess: {
        if (!args.json) std::printf("waiting for the controller to restart...\n");
        std::fflush(stdout);
        const bool confirmed = ConfirmNewVersion(dlg, image.header.VersionWord(), view);
        if (!args.json) std::printf("new version %s\n", confirmed ? "confirmed" : "not confirmed");
        result("success", LoadLocalizedString(TEXT_UPGRADED), &picked, sent, confirmed);
        return EXIT_OK;
    }
    case UpdateOutcome::kCancelled:
        result("cancelled", "cancelled", &picked, sent, std::nullopt);
        return EXIT_CANCELLED;
    case UpdateOutcome::kInvalidImage:
        result("invalid-image", view.LastMessage(), &picked, sent, std::nullopt);
        return EXIT_INVALID_IMAGE;
    case UpdateOutcome::kFailed:
    case UpdateOutcome::kNone:
        break;
    }
    std::string message = view.LastMessage();
    if (message.empty()) message = TidyText(LoadLocalizedString(TEXT_UPDATE_FAILURE));
    if (dlg.LastOutcome() == UpdateOutcome::kNone) Error(message);
    result("failed", message, &picked, sent, std::nullopt);
    return EXIT_FAILED;
}

std::optional<Args> Parse(int argc, char** argv, int& exit_code)
{
    Args a;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            exit_code = EXIT_OK;
            return std::nullopt;
        }
        if (arg == "--version") {
            std::printf("korvant-flash 2.0.0\n");
            exit_code = EXIT_OK;
            return std::nullopt;
        }
        if (arg == "--yes" || arg == "-y") a.yes = true;
        else if (arg == "--json") a.json = true;
        else if (arg == "-v" || arg == "--verbose") a.verbose = true;
        else if (arg == "--device") {
            if (i + 1 >= argc) {
                Error("--device needs a path");
                exit_code = EXIT_USAGE;
                return std::nullopt;
            }
            a.device = argv[++i];
        } else if (arg.rfind("--device=", 0) == 0) a.device = arg.substr(9);
        else if (arg.size() > 1 && arg[0] == '-') {
            Error("unknown option " + arg + " (see --help)");
            exit_code = EXIT_USAGE;
            return std::nullopt;
        } else positional.push_back(arg);
    }
    if (positional.empty()) {
        std::fputs(kUsage, stderr);
        exit_code = EXIT_USAGE;
        return std::nullopt;
    }
    a.command = positional[0];
    const bool takesFile = a.command == "inspect" || a.command == "flash";
    const bool known = takesFile || a.command == "list" || a.command == "info";
    if (!known) {
        Error("unknown command '" + a.command + "' (see --help)");
        exit_code = EXIT_USAGE;
        return std::nullopt;
    }
    if (positional.size() != (takesFile ? 2u : 1u)) {
        Error(takesFile ? a.command + " needs one FILE" : a.command + " takes no FILE");
        exit_code = EXIT_USAGE;
        return std::nullopt;
    }
    if (takesFile) a.file = positional[1];
    return a;
}

} // namespace

int main(int argc, char** argv)
{
    int code = EXIT_USAGE;
    std::optional<Args> args = Parse(argc, argv, code);
    if (!args) return code;
    if (args->verbose) SetDebugToStderr(true);
    if (args->command == "list") return RunList(*args);
    if (args->command == "inspect") return RunInspect(*args);
    if (args->command == "info") return RunInfo(*args);
    return RunFlash(*args);
}
