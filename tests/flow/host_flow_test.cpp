// The host-driven update end to end: CUpdateDlg's worker against simulated command-report
// controllers on virtual time, with the dialog as a TestView. Asserts on the exact reports
// the controller received, what the user saw, and in which order.
#include "protocol/command_report.h"
#include "sim/sim_faults.h"
#include "tests/support/flow_harness.h"
#include "tests/support/scripted_command_controller.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

constexpr uint32_t kLoad = 0x08004000;
const char* const kTitle = "Korvant Update v2.00";
const char* const kUpgradedBox = "\n Firmware upgraded! \n";
const char* const kSilentFailure =
    "Firmware update failure\n\nThe controller stopped answering during the update. Keep it in boot mode, reconnect "
    "it and update again.";
const char* const kRefusedFailure =
    "Firmware update failure\n\nThe controller rejected the firmware. Check that the file is meant for this "
    "controller, keep it in boot mode, reconnect it and update again.";
const char* const kGoneFailure =
    "Firmware update failure\n\nThe controller was disconnected during the update. Put it in boot mode again, "
    "reconnect it and update again.";
// A real-time bound for one update: a hang fails the test instead of blocking it.
constexpr int kWatchdogMs = 10000;

template <class T>
std::vector<T> From(const std::vector<T>& v, size_t first)
{
    return std::vector<T>(v.begin() + long(std::min(first, v.size())), v.end());
}

class HostFlowTest : public ::testing::Test {
protected:
    // A command controller attached before start-up; its information query has run.
    std::string AttachAndInit(SimControllerOptions o = {})
    {
        m_dev = h.Attach(SimFamily::kCommand, o);
        h.Init();
        return m_dev;
    }
    SimController& Ctl() { return h.Controller(m_dev); }
    // What happened from now on.
    void Mark()
    {
        m_reports = Ctl().ReceivedReports().size();
        m_boxes = h.view.Boxes().size();
        m_positions = h.view.ProgressPositions().size();
        m_buttons = h.view.ButtonStates().size();
        h.debug.Clear();
    }
    std::vector<SentCommand> SentSinceMark()
    {
        std::vector<SentCommand> out;
        for (const auto& r : From(Ctl().ReceivedReports(), m_reports)) out.push_back(DecodeSent(r));
        return out;
    }
    std::vector<ShownBox> BoxesSinceMark() { return From(h.view.Boxes(), m_boxes); }
    std::vector<std::string> BoxTextsSinceMark()
    {
        std::vector<std::string> t;
        for (const ShownBox& b : BoxesSinceMark()) t.push_back(b.text);
        return t;
    }
    std::vector<int> PositionsSinceMark() { return From(h.view.ProgressPositions(), m_positions); }
    std::vector<bool> ButtonsSinceMark() { return From(h.view.ButtonStates(), m_buttons); }
    // Debug lines other than the device search's own.
    std::vector<std::string> FlowDebugLines()
    {
        std::vector<std::string> out;
        for (const std::string& w : h.debug.Writes())
            if (w.rfind("m_DevicePath:", 0) != 0) out.push_back(w);
        return out;
    }

    FlowHarness h;
    std::string m_dev;
    size_t m_reports = 0, m_boxes = 0, m_positions = 0, m_buttons = 0;
};

// --- whole updates
struct StreamCase {
    const char* name;
    uint32_t size;
    std::vector<std::pair<uint32_t, uint32_t>> blocks;  // offset, length
    std::vector<int> progress;                          // after the click's 0
};

const StreamCase kStreamCases[] = {
    {"HundredBytes", 100, {{0, 46}, {46, 46}, {92, 8}}, {0, 46, 92, 100, 0}},
    {"NinetyTwoBytes", 92, {{0, 46}, {46, 46}}, {0, 50, 100, 0}},
    {"FortySevenBytes", 47, {{0, 46}, {46, 1}}, {0, 97, 100, 0}},
    {"OneByte", 1, {{0, 1}}, {0, 100, 0}},
};

class HostStream : public HostFlowTest, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(HostStream, ErasesWritesRecordsFinishesAndSaysSo)
{
    const StreamCase& c = GetParam();
    SimControllerOptions o;
    o.record_address = 0x0801F000;
    AttachAndInit(o);
    const std::vector<uint8_t> payload =
        WriteImage(h.ImagePath(), {.version = 210, .beta = 3, .address = kLoad, .size = c.size, .revision = 9});
    Mark();
    ASSERT_TRUE(h.RunUpdate(h.ImagePath(), kWatchdogMs));

    const std::vector<SentCommand> sent = SentSinceMark();
    ASSERT_EQ(sent.size(), c.blocks.size() + 3);
    EXPECT_EQ(sent[0].command, CMD_ERASE);
    EXPECT_EQ(sent[0].total, 0x8000u);
    EXPECT_EQ(sent[0].address, kLoad);
    for (size_t i = 0; i < c.blocks.size(); ++i) {
        const SentCommand& s = sent[1 + i];
        EXPECT_EQ(s.command, CMD_WRITE_IMAGE) << i;
        EXPECT_EQ(s.address, kLoad + c.blocks[i].first) << i;
        EXPECT_EQ(s.length, c.blocks[i].second) << i;
        EXPECT_EQ(s.total, c.size) << i;
    }
    EXPECT_EQ(sent[sent.size() - 2].command, CMD_WRITE_RECORD);
    EXPECT_EQ(sent[sent.size() - 2].address, 0x0801F000u);
    EXPECT_EQ(sent.back().command, CMD_FINISH);

    EXPECT_THAT(Ctl().ProtocolErrors(), ElementsAre());
    EXPECT_TRUE(Ctl().UpdateCompleted());
    EXPECT_EQ(Ctl().ReceivedImage(), payload);
    EXPECT_EQ(Ctl().VersionWord(), (3u << 16) | 210u);

    // The click's own 0, then the flow's.
    std::vector<int> expected = {0};
    expected.insert(expected.end(), c.progress.begin(), c.progress.end());
    EXPECT_EQ(PositionsSinceMark(), expected);
    const std::vector<ShownBox> boxes = BoxesSinceMark();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "Fw v2.1 beta3 r9\n");
    EXPECT_EQ(boxes[0].type, MsgBoxType::kOkCancel);
    EXPECT_EQ(boxes[1].text, kUpgradedBox);
    EXPECT_EQ(boxes[1].caption, kTitle);
    EXPECT_EQ(boxes[1].type, MsgBoxType::kOk);
    EXPECT_TRUE(h.view.DoneLabelVisible());
    EXPECT_THAT(ButtonsSinceMark(), ElementsAre(false, true));
    EXPECT_THAT(FlowDebugLines(), ElementsAre());
    EXPECT_EQ(h.dlg->LastOutcome(), UpdateOutcome::kSuccess);
    EXPECT_EQ(g_bStopUpdate.load(), 1);

    // The success box comes before the label and the progress reset.
    const std::vector<std::string> ev = h.view.Events();
    const auto box = std::find(ev.begin(), ev.end(), std::string("box:") + kUpgradedBox);
    ASSERT_NE(box, ev.end());
    EXPECT_NE(std::find(box, ev.end(), "done:1"), ev.end());
    EXPECT_NE(std::find(box, ev.end(), "progress:0"), ev.end());
}

INSTANTIATE_TEST_SUITE_P(Sizes, HostStream, ::testing::ValuesIn(kStreamCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostFlowTest, StreamingReadsWaitTenMilliseconds)
{
    // A controller that never answers a block: 20 reads of 10 ms each per send.
    auto scripted = std::make_unique<ScriptedCommandController>();
    ScriptedCommandController& s = *scripted;
    s.Expect(CMD_GET_INFO, {CommandAck(CMD_GET_INFO, STATUS_DONE, InfoReply(105, 3, 0x0800F800))})
        .Expect(CMD_ERASE, {CommandAck(CMD_ERASE)})
        .Expect(CMD_WRITE_IMAGE, {}, 6);  // one send and the bounded resends
    m_dev = h.platform.Attach(std::move(scripted));
    h.Init();
    WriteImage(h.ImagePath(), {.size = 100});
    const uint64_t before = h.clock.NowMs();
    ASSERT_TRUE(h.RunUpdate(h.ImagePath(), kWatchdogMs));
    EXPECT_EQ(h.clock.NowMs() - before, 1000u + 6u * 20u * 10u);
    EXPECT_THAT(s.ProtocolErrors(), ElementsAre());
    EXPECT_TRUE(s.ScriptDone());
    EXPECT_EQ(h.view.BoxTexts().back(), kSilentFailure);
    EXPECT_EQ(h.view.ProgressPos(), 0);
}

TEST_F(HostFlowTest, UnacknowledgedFinishStillEndsInSuccess)
{
    auto scripted = std::make_unique<ScriptedCommandController>();
    ScriptedCommandController& s = *scripted;
    s.Expect(CMD_GET_INFO, {CommandAck(CMD_GET_INFO, STATUS_DONE, InfoReply(105, 3, 0x0800F800))})
        .Expect(CMD_ERASE, {CommandAck(CMD_ERASE)})
        .Expect(CMD_WRITE_IMAGE, {CommandAck(CMD_WRITE_IMAGE)}, 3)
        .Expect(CMD_WRITE_RECORD, {CommandAck(CMD_WRITE_RECORD)})
        .Expect(CMD_FINISH);
    m_dev = h.platform.Attach(std::move(scripted));
    h.Init();
    WriteImage(h.ImagePath(), {.size = 100});
    ASSERT_TRUE(h.RunUpdate(h.ImagePath(), kWatchdogMs));
    EXPECT_THAT(s.ProtocolErrors(), ElementsAre());
    EXPECT_TRUE(s.ScriptDone());
    EXPECT_EQ(h.view.BoxTexts().back(), kUpgradedBox);
    EXPECT_EQ(h.dlg->LastOutcome(), UpdateOutcome::kSuccess);
}

TEST_F(HostFlowTest, RecordGoesToAddressZeroWithoutAnInformationReply)
{
    // Attached after start-up and seen only through a node change, which asks for no
    // information: the record address is still the all-zero record's.
    h.Init();
    SimControllerOptions o;
    o.record_address = 0;
    m_dev = h.Attach(SimFamily::kCommand, o);
    h.notices.Take();
    h.dlg->OnDeviceChange(DBT_DEVNODES_CHANGED, 0);
    ASSERT_TRUE(h.view.ButtonEnabled());
    ASSERT_TRUE(Ctl().ReceivedReports().empty());
    WriteImage(h.ImagePath(), {.size = 100});
    Mark();
    ASSERT_TRUE(h.RunUpdate(h.ImagePath(), kWatchdogMs));
    const std::vector<SentCommand> sent = SentSinceMark();
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_EQ(sent[0].command, CMD_ERASE);
    EXPECT_EQ(sent[4].command, CMD_WRITE_RECORD);
    EXPECT_EQ(sent[4].address, 0u);
    EXPECT_TRUE(Ctl().UpdateCompleted());
    EXPECT_THAT(Ctl().ProtocolErrors(), ElementsAre());
}

TEST_F(HostFlowTest, StaleAcknowledgementsAreSkippedByTheirEcho)
{
    SimControllerOptions o;
    o.faults.stale_acks = true;
    AttachAndInit(o);
    const std::vector<uint8_t> payload = WriteImage(h.ImagePath(), {.size = 100});
    Mark();
    ASSERT_TRUE(h.RunUpdate(h.ImagePath(), kWatchdogMs));
    std::vector<uint16_t> commands;
    for (const SentCommand& s : SentSinceMark()) commands.push_back(s.command);
    // The first poll meets the information reply again, so the erase goes out twice.
    EXPECT_THAT(commands, ElementsAre(CMD_ERASE, CMD_ERASE, CMD_WRITE_IMAGE, CMD_WRITE_IMAGE, CMD_WRITE_IMAGE,
                                      CMD_WRITE_RECORD, CMD_FINISH));
    EXPECT_EQ(h.view.BoxTexts().back(), kUpgradedBox);
    EXPECT_TRUE(Ctl().UpdateCompleted());
    EXPECT_EQ(Ctl().ReceivedImage(), payload);
    EXPECT_THAT(Ctl().ProtocolErrors(), ElementsAre());
}

TEST_F(HostFlowTest, StaleAcknowledgementsOfALongImageFailAtTheRecord)
{
    SimControllerOptions o;
    o.faults.stale_acks = true;
    AttachAndInit(o);
    const std::vector<uint8_t> payload = WriteImage(h.ImagePath(), {.size = 1000});
    Mark();
    ASSERT_TRUE(h.RunUpdate(h.ImagePath(), kWatchdogMs));
    const std::vector<SentCommand> sent = SentSinceMark();
    ASSERT_EQ(sent.size(), 2u + 22u + 1u) << "two erases, 22 blocks, the record; no finish";
    EXPECT_EQ(sent.back().command, CMD_WRITE_RECORD);
    EXPECT_EQ(Ctl().ReceivedImage(), payload) << "every block did reach the controller";
    EXPECT_FALSE(Ctl().UpdateCompleted());
    EXPECT_EQ(h.view.BoxTexts().back(), kSilentFailure);
    EXPECT_EQ(PositionsSinceMark().back(), 100);
}

// --- the title from the information record
struct TitleCase {
    const char* name;
    uint32_t version;
    uint16_t revision;
    bool no_version;
    const char* title;
    uint32_t device_version;
};

const TitleCase kTitleCases[] = {
    {"Release", 105, 3, false, "Korvant Update v2.00 (Fw v1.05 r3)", 105},
    {"Beta", (2u << 16) | 105, 3, false, "Korvant Update v2.00 (Fw v1.05 beta2 r3)", (2u << 16) | 105},
    {"NoVersion", 0, 0, true, "Korvant Update v2.00 (Fw v0.00 r0)", 0},
    {"TwoDigitMajor", 1234, 0, false, "Korvant Update v2.00 (Fw v12.34 r0)", 1234},
};

class HostTitle : public HostFlowTest, public ::testing::WithParamInterface<TitleCase> {};

TEST_P(HostTitle, ShowsTheControllersVersionAtStart)
{
    const TitleCase& c = GetParam();
    SimControllerOptions o;
    o.version_word = c.version;
    o.revision = c.revision;
    o.faults.no_version = c.no_version;
    AttachAndInit(o);
    // Set once, and start-up leaves it in place.
    EXPECT_THAT(h.view.Titles(), ElementsAre(c.title));
    EXPECT_EQ(g_nDeviceVersion.load(), c.device_version);
    EXPECT_TRUE(h.view.ButtonEnabled());
    EXPECT_THAT(h.view.Boxes(), ElementsAre());
}

INSTANTIATE_TEST_SUITE_P(Versions, HostTitle, ::testing::ValuesIn(kTitleCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostFlowTest, InformationFailureSaysSoAndDisablesTheButton)
{
    SimControllerOptions o;
    o.faults.silence = true;
    AttachAndInit(o);
    const std::vector<ShownBox> boxes = h.view.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Get gamepad info error");
    EXPECT_EQ(boxes[0].caption, "");
    EXPECT_EQ(boxes[0].type, MsgBoxType::kOk);
    EXPECT_FALSE(h.view.ButtonEnabled());
    EXPECT_THAT(h.view.Titles(), ElementsAre(kTitle));
    EXPECT_EQ(g_nDeviceVersion.load(), DEVICE_VERSION_PENDING);
    // Five silent reads of 200 ms, each followed by 100 ms and a repeated request.
    EXPECT_EQ(h.clock.NowMs(), 5u * 200 + 5u * 100);
    EXPECT_EQ(Ctl().ReceivedReports().size(), 6u);
}

// --- nothing reaches the controller when the choice ends early or the image is bad
struct RefusalCase {
    const char* name;
    std::function<std::string(FlowHarness&)> prepare;  // returns the path to choose ("" = cancel)
    std::vector<MsgBoxResult> answers;
    std::vector<std::string> boxes;
    std::vector<std::string> debug;
    UpdateOutcome outcome;
};

std::string Image(FlowHarness& h, ImageSpec layout)
{
    WriteImage(h.ImagePath(), layout);
    return h.ImagePath();
}

const RefusalCase kRefusals[] = {
    {"FileDialogCancelled", [](FlowHarness&) { return std::string(); }, {}, {}, {}, UpdateOutcome::kCancelled},
    {"ConfirmationCancelled", [](FlowHarness& h) { return Image(h, {.size = 100}); }, {MsgBoxResult::kCancel},
     {"Fw v1.2 r4\n"}, {"MessageBox == IDCANCEL\n"}, UpdateOutcome::kCancelled},
    {"PayloadSizeZero", [](FlowHarness& h) { return Image(h, {.size = 0}); }, {},
     {"This firmware image is empty: its header announces no firmware data. Nothing was sent to the controller."},
     {"image refused: no-payload\n"}, UpdateOutcome::kInvalidImage},
    {"Truncated", [](FlowHarness& h) { return Image(h, {.size = 100, .payload_bytes = 99}); }, {},
     {"This firmware image is incomplete: its header announces 100 bytes of firmware data, but the file holds "
      "only 99. Nothing was sent to the controller."},
     {"image refused: truncated\n"}, UpdateOutcome::kInvalidImage},
    {"SizeAllOnes", [](FlowHarness& h) { return Image(h, {.size = 0xFFFFFFFF, .payload_bytes = 100}); }, {},
     {"This firmware image is incomplete: its header announces 4294967295 bytes of firmware data, but the file "
      "holds only 100. Nothing was sent to the controller."},
     {"image refused: truncated\n"}, UpdateOutcome::kInvalidImage},
    {"ShorterThanAHeader",
     [](FlowHarness& h) {
         WriteBytes(h.ImagePath(), std::vector<uint8_t>(27, 0x01));
         return h.ImagePath();
     },
     {},
     {"This file is too short to be a firmware image: it has 27 bytes, and a firmware image has at least 28. "
      "Nothing was sent to the controller."},
     {"image refused: too-short\n"}, UpdateOutcome::kInvalidImage},
    {"Missing", [](FlowHarness& h) { return h.dir.File("absent.dat"); }, {}, {}, {}, UpdateOutcome::kInvalidImage},
};

class HostRefusal : public HostFlowTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(HostRefusal, SendsNoReportAndReEvaluatesTheButton)
{
    const RefusalCase& c = GetParam();
    AttachAndInit();
    const std::string path = c.prepare(h);
    h.view.QueueFile(path.empty() ? std::nullopt : std::optional<std::string>(path));
    for (MsgBoxResult a : c.answers) h.view.QueueAnswer(a);
    Mark();
    ASSERT_TRUE(h.Click(kWatchdogMs));
    EXPECT_THAT(SentSinceMark(), ElementsAre()) << "nothing may reach the controller";
    EXPECT_THAT(BoxTextsSinceMark(), ElementsAreArray(c.boxes));
    EXPECT_THAT(FlowDebugLines(), ElementsAreArray(c.debug));
    EXPECT_THAT(ButtonsSinceMark(), ElementsAre(false, true));
    EXPECT_THAT(PositionsSinceMark(), ElementsAre(0));
    EXPECT_FALSE(h.view.DoneLabelVisible());
    EXPECT_EQ(h.dlg->LastOutcome(), c.outcome);
    EXPECT_EQ(g_bStopUpdate.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostRefusal, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

// --- where we end a flow that the original would keep going for ever
TEST_F(HostFlowTest, RefusedBlockIsResentABoundedNumberOfTimes)
{
    SimControllerOptions o;
    o.faults.fail_at = 2;
    AttachAndInit(o);
    WriteImage(h.ImagePath(), {.size = 100});
    Mark();
    ASSERT_TRUE(h.RunUpdate(h.ImagePath(), kWatchdogMs));
    std::vector<uint32_t> addresses;
    for (const SentCommand& s : SentSinceMark()) addresses.push_back(s.address);
    // Erase, block 1, then block 2 sent once and resent five times; no record, no finish.
    EXPECT_THAT(addresses, ElementsAre(kLoad, kLoad, kLoad + 46, kLoad + 46, kLoad + 46, kLoad + 46, kLoad + 46,
                                       kLoad + 46));
    EXPECT_THAT(BoxTextsSinceMark(), ElementsAre("Fw v1.2 r4\n", kRefusedFailure));
    EXPECT_EQ(BoxesSinceMark().back().caption, kTitle);
    EXPECT_THAT(PositionsSinceMark(), ElementsAre(0, 0, 46)) << "progress stands where it stopped";
    EXPECT_THAT(ButtonsSinceMark(), ElementsAre(false, true));
    EXPECT_FALSE(h.view.DoneLabelVisible());
    EXPECT_FALSE(Ctl().UpdateCompleted());
    EXPECT_THAT(Ctl().ProtocolErrors(), ElementsAre());
    EXPECT_EQ(h.dlg->LastOutcome(), UpdateOutcome::kFailed);
}

TEST_F(HostFlowTest, UnplugMidUpdateEndsInAFailureMessage)
{
    SimControllerOptions o;
    o.faults.unplug_at = 2;
    AttachAndInit(o);
    WriteImage(h.ImagePath(), {.size = 100});
    Mark();
    ASSERT_TRUE(h.RunUpdate(h.ImagePath(), kWatchdogMs));
    EXPECT_EQ(SentSinceMark().size(), 3u) << "erase, block 1, block 2; nothing after the controller vanished";
    EXPECT_THAT(BoxTextsSinceMark(), ElementsAre("Fw v1.2 r4\n", kGoneFailure));
    EXPECT_THAT(ButtonsSinceMark(), ElementsAre(false, false)) << "no controller left to update";
    EXPECT_FALSE(h.view.DoneLabelVisible());
    EXPECT_EQ(h.dlg->LastOutcome(), UpdateOutcome::kFailed);
}

TEST_F(HostFlowTest, EraseBusyForEverGivesUp)
{
    SimControllerOptions o;
    o.faults.erase_busy_forever = true;
    AttachAndInit(o);
    WriteImage(h.ImagePath(), {.size = 100});
    Mark();
    const uint64_t before = h.clock.NowMs();
    ASSERT_TRUE(h.RunUpdate(h.ImagePath(), kWatchdogMs));
    EXPECT_EQ(SentSinceMark().size(), 61u);
    EXPECT_EQ(h.clock.NowMs() - before, 1000u + 60u * 500u);
    EXPECT_THAT(BoxTextsSinceMark(), ElementsAre("Fw v1.2 r4\n", kSilentFailure));
    EXPECT_THAT(PositionsSinceMark(), ElementsAre(0)) << "streaming never began";
    EXPECT_THAT(ButtonsSinceMark(), ElementsAre(false, true));
}

// --- every fault the simulator knows: a defined end, in bounded time, never a false success
struct FaultCase {
    const char* fault;   // as korvant-sim takes it
    bool succeeds;
    const char* failure; // the box after the confirmation when it does not
    bool info_fails;     // the start-up information query already fails
};

const FaultCase kFaultCases[] = {
    {"silence", false, kSilentFailure, true},
    {"erase-busy=3", true, nullptr, false},
    {"erase-busy=forever", false, kSilentFailure, false},
    // Each stale acknowledgement of the same command passes for the real one, so the real
    // ones pile up one per block; 22 blocks leave more than the record's 20 reads can skip.
    {"stale-acks", false, kSilentFailure, false},
    {"status=66", false, kRefusedFailure, true},
    {"status=16", false, kSilentFailure, true},
    {"fail-at=1", false, kRefusedFailure, false},
    {"fail-at=22", false, kRefusedFailure, false},
    {"unplug-at=1", false, kGoneFailure, false},
    {"unplug-at=22", false, kGoneFailure, false},
    {"bad-first-byte", false, kSilentFailure, true},
    {"firmware-type=2", true, nullptr, false},
    {"no-version", true, nullptr, false},
    {"slow", true, nullptr, false},
};

std::string FaultName(const char* fault)
{
    std::string s = fault;
    return s.substr(0, s.find('='));
}

TEST(HostFaultTable, CoversEveryFault)
{
    for (const SimFaultInfo& f : AllSimFaults()) {
        const bool covered = std::any_of(std::begin(kFaultCases), std::end(kFaultCases),
                                         [&](const FaultCase& c) { return FaultName(c.fault) == f.name; });
        EXPECT_TRUE(covered) << f.name;
    }
}

class HostFault : public HostFlowTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(HostFault, EndsDefinedAndNeverClaimsAPartialImage)
{
    const FaultCase& c = GetParam();
    SimControllerOptions o;
    std::string error;
    ASSERT_TRUE(ApplySimFault(c.fault, o.faults, error)) << error;
    AttachAndInit(o);
    EXPECT_EQ(h.view.BoxTexts() == std::vector<std::string>{"Get gamepad info error"}, c.info_fails);
    // 1000 bytes: 22 blocks, the last of 34.
    const std::vector<uint8_t> payload = WriteImage(h.ImagePath(), {.address = kLoad, .size = 1000});
    Mark();
    const uint64_t before = h.clock.NowMs();
    ASSERT_TRUE(h.RunUpdate(h.ImagePath(), kWatchdogMs)) << "the worker did not end";
    // Bounded in virtual time too: the slowest defined end is the half-minute erase bound.
    EXPECT_LT(h.clock.NowMs() - before, 40000u);

    const bool whole = Ctl().UpdateCompleted() && Ctl().ReceivedImage() == payload;
    const std::vector<std::string> boxes = BoxTextsSinceMark();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], "Fw v1.2 r4\n");
    if (c.succeeds) {
        EXPECT_TRUE(whole);
        EXPECT_EQ(boxes[1], kUpgradedBox);
        EXPECT_EQ(h.dlg->LastOutcome(), UpdateOutcome::kSuccess);
    } else {
        EXPECT_FALSE(whole);
        EXPECT_EQ(boxes[1], c.failure);
        EXPECT_EQ(h.dlg->LastOutcome(), UpdateOutcome::kFailed);
        EXPECT_FALSE(h.view.DoneLabelVisible());
    }
    EXPECT_THAT(Ctl().ProtocolErrors(), ElementsAre());
    // Re-evaluated: enabled exactly when the controller is still there.
    ASSERT_FALSE(ButtonsSinceMark().empty());
    EXPECT_EQ(ButtonsSinceMark().back(), h.platform.EnumerateInterfaces().size() == 1);
    EXPECT_FALSE(h.dlg->UpdateRunning());
}

INSTANTIATE_TEST_SUITE_P(Faults, HostFault, ::testing::ValuesIn(kFaultCases), [](const auto& info) {
    std::string n = info.param.fault;
    std::replace_if(n.begin(), n.end(), [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }, '_');
    return n;
});

} // namespace
