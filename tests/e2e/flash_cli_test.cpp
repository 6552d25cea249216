// korvant-flash as a process against korvant-sim through the real Linux hidraw backend: what
// scripts rely on (exit codes, JSON Lines, the image the controller ends up with) and what a
// user reads.
#include "tests/support/child_process.h"
#include "tests/support/image_fixture.h"
#include "tests/support/mini_json.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

std::vector<uint8_t> ReadAll(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

class FlashCli : public ::testing::Test {
protected:
    FlashCli()
    {
        root = dir.File("tree");
        image = dir.File("fw.dat");
        // Readable for an unprivileged user too (the permission test runs the tool as one).
        ::chmod(dir.Path().c_str(), 0755);
    }
    ~FlashCli() override
    {
        if (sim) {
            const int status = sim->StopWith(SIGTERM);
            EXPECT_EQ(status, 0) << "korvant-sim: " << sim->Stderr();
        }
    }

    // Starts korvant-sim and waits for its ready lines; the nodes, in order.
    void StartSim(const std::string& family, std::vector<std::string> extra = {}, int count = 1)
    {
        std::vector<std::string> argv{BuildBinary("sim/korvant-sim"), "--root", root, "--family", family,
                                      "--save-image", dir.File("saved.dat"), "--count", std::to_string(count)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        sim = std::make_unique<ChildProcess>(argv);
        ASSERT_TRUE(sim->Started());
        for (int i = 0; i < count; ++i) {
            std::optional<std::string> ready = sim->WaitLine("ready ");
            ASSERT_TRUE(ready) << sim->Stderr();
            nodes.push_back(ready->substr(6, ready->find(' ', 6) - 6));
        }
    }

    ProcessResult Flash(std::vector<std::string> args) { return FlashWith(BuildBinary("app/cli/korvant-flash"), args); }
    ProcessResult FlashWith(const std::string& tool, std::vector<std::string> args,
                            const std::vector<std::string>& prefix = {})
    {
        std::vector<std::string> argv = prefix;
        argv.push_back(tool);
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProcess(argv,
                          {{"KORVANT_HID_ROOT", root},
                           {"KORVANT_DEBUG", std::nullopt},
                           {"LANGUAGE", std::nullopt},
                           {"LC_ALL", "C"},
                           {"NO_COLOR", "1"}},
                          90s);
    }

    TempDir dir;
    std::string root;
    std::string image;
    std::unique_ptr<ChildProcess> sim;
    std::vector<std::string> nodes;
};

struct FamilyCase {
    const char* family;
    uint16_t product_id;
};

void PrintTo(const FamilyCase& c, std::ostream* os) { *os << c.family; }

class FlashFamily : public FlashCli, public ::testing::WithParamInterface<FamilyCase> {};

TEST_P(FlashFamily, JsonLinesReportTheWholeUpdateAndTheConfirmedVersion)
{
    ASSERT_NO_FATAL_FAILURE(StartSim(GetParam().family, {"--reboot"}));
    const auto payload = WriteImage(image, {.version = 120, .size = 1000, .revision = 7});

    const ProcessResult r = Flash({"flash", image, "--yes", "--json"});

    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    std::vector<JsonValue> lines;
    ASSERT_NO_THROW(lines = ParseJsonLines(r.out)) << r.out;
    ASSERT_FALSE(lines.empty());
    int lastPercent = -1;
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        ASSERT_TRUE(lines[i].Has("event"));
        if (lines[i]["event"].text != "progress") continue;
        EXPECT_GE(int(lines[i]["percent"].number), lastPercent) << "progress never goes back";
        lastPercent = int(lines[i]["percent"].number);
    }
    EXPECT_EQ(lastPercent, 100);
    const JsonValue& result = lines.back();
    EXPECT_EQ(result["event"].text, "result");
    EXPECT_EQ(result["result"].text, "success");
    EXPECT_EQ(result["message"].text, "Firmware upgraded!");
    EXPECT_EQ(result["device"]["path"].text, nodes[0]);
    EXPECT_EQ(result["device"]["vendor_id"].number, 0x2DC8);
    EXPECT_EQ(result["device"]["product_id"].number, GetParam().product_id);
    EXPECT_EQ(result["device"]["family"].text, GetParam().family);
    EXPECT_EQ(result["bytes_sent"].number, 1000);
    EXPECT_TRUE(result["version_confirmed"].boolean);
    EXPECT_EQ(ReadAll(dir.File("saved.dat")), payload);
}

TEST_P(FlashFamily, InfoAndInspectSpeakTheDialogsWords)
{
    ASSERT_NO_FATAL_FAILURE(StartSim(GetParam().family, {"--version", "1.50", "--beta", "2"}));
    WriteImage(image, {.version = 123, .beta = 2, .size = 92, .revision = 4});

    const ProcessResult info = Flash({"info"});
    ASSERT_EQ(info.exit_code, 0) << info.err;
    const bool command = std::string(GetParam().family) == "command";
    EXPECT_EQ(info.out, command ? "Korvant Update v2.00 (Fw v1.50 beta2 r3)\n" : "Korvant Update v2.00(GamePad V1.50 beta2)\n");

    const ProcessResult json = Flash({"info", "--json"});
    ASSERT_EQ(json.exit_code, 0) << json.err;
    const JsonValue v = ParseJson(json.out.substr(0, json.out.find('\n')));
    EXPECT_EQ(v["path"].text, nodes[0]);
    EXPECT_EQ(v["family"].text, GetParam().family);
    EXPECT_EQ(v["version_word"].number, 2 * 65536 + 150);
    EXPECT_EQ(v["version"].text, "1.50");
    EXPECT_EQ(v["beta"].number, 2);
    EXPECT_EQ(v["revision"].kind, command ? JsonValue::Kind::kNumber : JsonValue::Kind::kNull);

    const ProcessResult inspect = Flash({"inspect", image});
    EXPECT_EQ(inspect.exit_code, 0);
    EXPECT_EQ(inspect.out.substr(0, inspect.out.find('\n')), "Fw v1.2 beta2 r4");
}

INSTANTIATE_TEST_SUITE_P(Families, FlashFamily,
                         ::testing::Values(FamilyCase{"framed", 0x5750}, FamilyCase{"command", 0x3208}),
                         [](const auto& info) { return std::string(info.param.family); });

// Each exit code, reached by the situation it stands for.
struct ExitCase {
    const char* name;
    const char* family;                     // nullptr: no controller at all
    std::vector<std::string> sim_args;
    ImageSpec image;
    std::optional<size_t> cut_to;           // write only this many bytes of the image
    std::vector<std::string> flash_args;    // FILE stands for the image path
    int exit_code;
    const char* json_result;                // nullptr: not a flash
    const char* stderr_says;
};

void PrintTo(const ExitCase& c, std::ostream* os) { *os << c.name; }

const ExitCase kExitCases[] = {
    {"update_failed", "framed", {"--fault", "fail-at=2"}, {.size = 200}, std::nullopt, {"flash", "FILE", "--yes"}, 1,
     "failed", "Firmware update failure"},
    {"controller_gone", "command", {"--fault", "unplug-at=3"}, {.size = 500}, std::nullopt,
     {"flash", "FILE", "--yes"}, 1, "failed", "disconnected"},
    {"usage_no_file", "command", {}, {.size = 10}, std::nullopt, {"flash"}, 2, nullptr, "needs one FILE"},
    {"usage_unknown_option", "command", {}, {.size = 10}, std::nullopt, {"flash", "FILE", "--force"}, 2, nullptr,
     "unknown option"},
    {"no_controller", nullptr, {}, {.size = 10}, std::nullopt, {"flash", "FILE", "--yes"}, 3, "no-device",
     "boot mode"},
    {"invalid_image", "command", {}, {.size = 100}, 60, {"flash", "FILE", "--yes"}, 4, "invalid-image",
     "incomplete"},
    {"not_confirmed", "framed", {}, {.size = 64}, std::nullopt, {"flash", "FILE"}, 5, "cancelled", "--yes"},
};

class FlashExit : public FlashCli, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(FlashExit, ReachedByItsSituation)
{
    const ExitCase& c = GetParam();
    if (c.family) {
        ASSERT_NO_FATAL_FAILURE(StartSim(c.family, c.sim_args));
    } else {
        std::filesystem::create_directories(root + "/dev");
    }
    std::vector<uint8_t> bytes = ImageBytes(c.image);
    if (c.cut_to) bytes.resize(*c.cut_to);
    WriteBytes(image, bytes);
    std::vector<std::string> args = c.flash_args;
    for (std::string& a : args)
        if (a == "FILE") a = image;

    const ProcessResult r = Flash(args);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
    EXPECT_NE(r.err.find(c.stderr_says), std::string::npos) << r.err;

    if (!c.json_result) return;
    // The same situation again, for the JSON face: a fresh controller (an unplugged one
    // does not come back).
    if (c.family) {
        ASSERT_EQ(sim->StopWith(SIGTERM), 0) << sim->Stderr();
        nodes.clear();
        ASSERT_NO_FATAL_FAILURE(StartSim(c.family, c.sim_args));
    }
    args.push_back("--json");
    const ProcessResult j = Flash(args);
    EXPECT_EQ(j.exit_code, c.exit_code);
    std::vector<JsonValue> lines;
    ASSERT_NO_THROW(lines = ParseJsonLines(j.out)) << j.out;
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["event"].text, "result");
    EXPECT_EQ(lines.back()["result"].text, c.json_result);
    EXPECT_TRUE(lines.back().Has("message"));
    EXPECT_TRUE(lines.back().Has("bytes_sent"));
}

INSTANTIATE_TEST_SUITE_P(Situations, FlashExit, ::testing::ValuesIn(kExitCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FlashCli, AnInvalidImageSendsNothingNotEvenAVersionQuery)
{
    ASSERT_NO_FATAL_FAILURE(StartSim("framed"));
    WriteImage(image, {.size = 0, .payload_bytes = 32});
    const ProcessResult r = Flash({"flash", image, "--yes", "-v"});
    EXPECT_EQ(r.exit_code, 4);
    EXPECT_NE(r.err.find("empty"), std::string::npos) << r.err;
    // -v shows every line the link writes: there is none, so no controller was even looked for.
    EXPECT_EQ(r.err.find("m_DevicePath"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("SendFirmwarePacket"), std::string::npos) << r.err;
}

TEST_F(FlashCli, SeveralControllersNeedADeviceAndTheNamedOneIsFlashed)
{
    ASSERT_NO_FATAL_FAILURE(StartSim("command", {}, 2));
    const auto payload = WriteImage(image, {.size = 333});

    const ProcessResult list = Flash({"list", "--json"});
    ASSERT_EQ(list.exit_code, 0);
    const JsonValue devices = ParseJson(list.out.substr(0, list.out.find('\n')))["devices"];
    ASSERT_EQ(devices.items.size(), 2u);
    EXPECT_EQ(devices[0]["path"].text, nodes[0]);
    EXPECT_EQ(devices[1]["path"].text, nodes[1]);
    EXPECT_EQ(devices[1]["family"].text, "command");

    const ProcessResult ambiguous = Flash({"flash", image, "--yes"});
    EXPECT_EQ(ambiguous.exit_code, 2);
    EXPECT_NE(ambiguous.err.find(nodes[0]), std::string::npos) << ambiguous.err;
    EXPECT_NE(ambiguous.err.find(nodes[1]), std::string::npos) << ambiguous.err;
    EXPECT_FALSE(std::filesystem::exists(dir.File("saved.dat.1")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("saved.dat.2")));

    const ProcessResult named = Flash({"flash", image, "--yes", "--device", nodes[1]});
    EXPECT_EQ(named.exit_code, 0) << named.err;
    EXPECT_EQ(ReadAll(dir.File("saved.dat.2")), payload);
    EXPECT_FALSE(std::filesystem::exists(dir.File("saved.dat.1")));
}

TEST_F(FlashCli, AControllerWithoutPermissionNamesTheRule)
{
    ASSERT_NO_FATAL_FAILURE(StartSim("command"));
    WriteImage(image, {.size = 100});
    ::chmod(root.c_str(), 0755);
    const std::string slave = std::filesystem::canonical(nodes[0]).string();
    ASSERT_EQ(::chmod(slave.c_str(), 0600), 0);
    // Root opens anything: the tool runs as an unprivileged user to meet the permission.
    std::vector<std::string> prefix;
    if (::geteuid() == 0) prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    else ASSERT_EQ(::chown(slave.c_str(), 0, 0), -1) << "cannot take the node away from this user";

    // The build tree may sit where that user cannot reach (a clone under /root): the tool
    // runs from a copy in the test's own directory, which is open to everyone.
    const std::string tool = dir.File("korvant-flash");
    std::filesystem::copy_file(BuildBinary("app/cli/korvant-flash"), tool);
    ::chmod(tool.c_str(), 0755);
    const ProcessResult r = FlashWith(tool, {"flash", image, "--yes"}, prefix);
    EXPECT_EQ(r.exit_code, 3) << r.out << r.err;
    EXPECT_NE(r.err.find("70-korvant-update.rules"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("may not open"), std::string::npos) << r.err;
}

} // namespace
