// The framed version query: the title it sets on arrival, the instructions for a controller
// without a version, the start-up quirk that hides the version title, and its bound.
#include "tests/flow/framed_flow_fixture.h"

#include "base/strprintf.h"

namespace {

struct VersionCase {
    const char* name;
    uint32_t version;
    bool no_version;
    const char* title;  // nullptr: the title does not change and the instructions are shown
};

const VersionCase kVersionCases[] = {
    {"Beta", 0x00020096, false, "Korvant Update v2.00(GamePad V1.50 beta2)"},
    {"Release", 150, false, "Korvant Update v2.00(GamePad V1.50)"},
    {"TwoDecimals", 105, false, "Korvant Update v2.00(GamePad V1.05)"},
    {"NoVersion", 150, true, nullptr},
};

void PrintTo(const VersionCase& c, std::ostream* os) { *os << c.name; }

class FramedVersion : public FramedFlowTest, public ::testing::WithParamInterface<VersionCase> {};

// A controller plugged in while the dialog is open: its version stays in the title.
TEST_P(FramedVersion, ArrivalPutsTheReportedVersionInTheTitle)
{
    const VersionCase& c = GetParam();
    h.Init();
    ASSERT_EQ(h.view.Title(), kTitle);
    const std::vector<std::string> titles = h.view.Titles();
    SimControllerOptions o;
    o.version_word = c.version;
    o.faults.no_version = c.no_version;
    Attach(o);
    h.debug.Clear();
    EXPECT_GE(h.PumpNotices(), 1);

    const uint32_t reported = c.no_version ? 0xFFFFFFFF : c.version;
    EXPECT_EQ(Sim().ReceivedReports(), std::vector<Bytes>{kVersionQueryReport});
    EXPECT_EQ(Lines(), (std::vector<std::string>{"SendFirmwarePacket cmd 4\n", " 11 Bytes received from sender\n",
                                                 StrPrintf("cur_devVersion 0x%x\n", reported)}));
    EXPECT_EQ(g_nDeviceVersion, reported);
    EXPECT_TRUE(Sim().ProtocolErrors().empty()) << Sim().ProtocolErrors().front();
    if (c.title) {
        EXPECT_EQ(h.view.Title(), c.title);
        EXPECT_TRUE(h.view.Boxes().empty());
        return;
    }
    EXPECT_EQ(h.view.Titles(), titles);
    ASSERT_EQ(h.view.Boxes().size(), 1u);
    EXPECT_EQ(h.view.Boxes()[0].text, kInstructions);
    EXPECT_EQ(h.view.Boxes()[0].caption, kTitle);
    EXPECT_EQ(h.view.Boxes()[0].type, MsgBoxType::kOk);
}

INSTANTIATE_TEST_SUITE_P(Reports, FramedVersion, ::testing::ValuesIn(kVersionCases),
                         [](const auto& info) { return std::string(info.param.name); });

// At start-up the framed version title is set and then replaced by the plain one.
TEST_F(FramedFlowTest, StartUpShowsTheVersionTitleOnlyBriefly)
{
    SimControllerOptions o;
    o.version_word = 0x00020096;
    Attach(o);
    h.Init();
    EXPECT_EQ(h.view.Titles(), (std::vector<std::string>{"Korvant Update v2.00(GamePad V1.50 beta2)", kTitle}));
    EXPECT_TRUE(h.view.ButtonEnabled());
    EXPECT_EQ(g_nUpdateStage, UPDATE_STAGE_DONE);
    EXPECT_EQ(g_bStopUpdate, 1);
}

// A silent controller does not hold the dialog's thread: the query gives up after a bounded
// time, having sent a receive-failed notice after every empty read, and the title stays.
TEST_F(FramedFlowTest, ASilentControllerLeavesTheDefaultTitle)
{
    h.Init();
    const std::vector<std::string> titles = h.view.Titles();
    SimControllerOptions o;
    o.faults.silence = true;
    Attach(o);
    h.debug.Clear();
    m_startMs = h.clock.NowMs();
    h.PumpNotices();

    EXPECT_EQ(h.view.Titles(), titles);
    EXPECT_TRUE(h.view.Boxes().empty());
    EXPECT_EQ(g_nDeviceVersion, DEVICE_VERSION_PENDING);
    EXPECT_GE(ElapsedMs(), 200u);
    EXPECT_LE(ElapsedMs(), 5000u);
    const std::vector<Bytes> reports = Sim().ReceivedReports();
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports[0], kVersionQueryReport);
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 1 + (reports.size() - 1) + 1);
    EXPECT_EQ(lines.front(), "SendFirmwarePacket cmd 4\n");
    for (size_t i = 1; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i], kReceiveFailedReport) << i;
        EXPECT_EQ(lines[i], "recv() failed with error code 0x102\n") << i;
    }
    EXPECT_EQ(lines.back().rfind("no version report within", 0), 0u) << lines.back();
}

// After a completed update the controller reports the image's version.
TEST_F(FramedFlowTest, AfterAnUpdateTheNewVersionIsReported)
{
    Attach();
    h.Init();
    WriteImage(h.ImagePath(), {.version = 210, .beta = 0, .size = 70});
    ASSERT_TRUE(h.RunUpdate(h.ImagePath(), 10000));
    ASSERT_TRUE(Sim().UpdateCompleted());
    h.dlg->QueryDeviceVersion();
    EXPECT_EQ(h.view.Title(), "Korvant Update v2.00(GamePad V2.10)");
    EXPECT_EQ(h.view.BoxTexts().back(), kUpgraded);
    EXPECT_EQ(h.view.Boxes().size(), 2u);
}

} // namespace
