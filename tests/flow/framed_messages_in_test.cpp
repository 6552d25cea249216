// How the framed flow handles what the controller sends: identities, version reports,
// failure reports, requests in each stage, and reports it must ignore.
#include "tests/flow/framed_flow_fixture.h"

#include "base/strprintf.h"

#include <functional>

namespace {

// ---- identity: which firmware types may be updated

struct TypeCase {
    const char* name;
    uint32_t type;
    bool accepted;
};

const TypeCase kTypeCases[] = {
    {"Boot", 1, true},
    {"Boot200", 200, true},
    {"Zero", 0, false},
    {"Two", 2, false},
    {"Application", 0x12345678, false},
};

class FramedFirmwareType : public FramedFlowTest, public ::testing::WithParamInterface<TypeCase> {};

TEST_P(FramedFirmwareType, DecidesWhetherTheImageIsAskedFor)
{
    const TypeCase& c = GetParam();
    SimControllerOptions o;
    o.faults.firmware_type = c.type;
    Attach(o);
    h.Init();
    const Bytes payload = WriteImage(h.ImagePath(), {.size = 100});
    Mark();
    ASSERT_TRUE(h.RunUpdate(h.ImagePath(), 10000));

    const std::vector<std::string> lines = Lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[3], StrPrintf("firmware type %d\n", int(c.type)));
    EXPECT_TRUE(Sim().ProtocolErrors().empty()) << Sim().ProtocolErrors().front();
    if (c.accepted) {
        EXPECT_EQ(h.view.FileDialogs(), 1);
        EXPECT_TRUE(Sim().UpdateCompleted());
        EXPECT_EQ(h.view.BoxTexts().back(), kUpgraded);
        return;
    }
    // Text 11 as a line and as a box; nothing after the start message reaches the controller.
    EXPECT_EQ(lines, (std::vector<std::string>{"send() is OK!\n", "Bytes Sent: 1\n", " 44 Bytes received from sender\n",
                                               lines[3], kNotBootMode, "Exit Usb_UpdateThread\n"}));
    EXPECT_EQ(h.view.FileDialogs(), 0);
    ASSERT_EQ(h.view.Boxes().size(), 1u);
    EXPECT_EQ(h.view.Boxes()[0].text, kNotBootMode);
    EXPECT_EQ(h.view.Boxes()[0].caption, kTitle);
    EXPECT_EQ(Reports(), std::vector<Bytes>{kStartReport});
    EXPECT_EQ(h.dlg->LastOutcome(), UpdateOutcome::kFailed);
    EXPECT_TRUE(h.view.ButtonEnabled());
    EXPECT_EQ(g_bStopUpdate, 1);
}

INSTANTIATE_TEST_SUITE_P(Identity, FramedFirmwareType, ::testing::ValuesIn(kTypeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- failure reports during streaming

struct FailCase {
    const char* name;
    uint32_t fail_at;
};

class FramedFailureReport : public FramedFlowTest, public ::testing::WithParamInterface<FailCase> {};

TEST_P(FramedFailureReport, ClosesTheImageAndShowsTheFailure)
{
    SimControllerOptions o;
    o.faults.fail_at = GetParam().fail_at;
    Attach(o);
    h.Init();
    WriteImage(h.ImagePath(), {.size = 100});
    ASSERT_TRUE(h.RunUpdate(h.ImagePath(), 10000));

    EXPECT_TRUE(Sim().ProtocolErrors().empty()) << Sim().ProtocolErrors().front();
    EXPECT_FALSE(Sim().UpdateCompleted());
    EXPECT_FALSE(h.dlg->m_file.IsOpen());
    ASSERT_EQ(h.view.Boxes().size(), 2u);
    EXPECT_EQ(h.view.Boxes()[1].text, kFailure);
    EXPECT_EQ(h.view.Boxes()[1].caption, kTitle);
    EXPECT_EQ(h.dlg->LastOutcome(), UpdateOutcome::kFailed);
    EXPECT_FALSE(h.view.DoneLabelVisible());
    // Enabled after the box (a controller was found), then once more from presence.
    const std::vector<std::string> events = h.view.Events();
    EXPECT_EQ(std::vector<std::string>(events.end() - 4, events.end()),
              (std::vector<std::string>{"box:" + kFailure, "button:1", "button:1", "ended"}));
    // The stage stays where the failure found it, until the next hand-off: after the last
    // piece the image counts as delivered already.
    EXPECT_EQ(g_nUpdateStage, GetParam().fail_at == 4 ? UPDATE_STAGE_DONE : UPDATE_STAGE_STREAMING);
    EXPECT_EQ(Lines().back(), "Exit Usb_UpdateThread\n");
}

INSTANTIATE_TEST_SUITE_P(Pieces, FramedFailureReport, ::testing::Values(FailCase{"First", 1}, FailCase{"Second", 2},
                                                                        FailCase{"Last", 4}),
                         [](const auto& info) { return std::string(info.param.name); });

// Both failure commands mean the same, in any stage, also with no update running.
TEST_F(FramedFlowTest, BothFailureCommandsStopAndShowTextSeven)
{
    Attach();
    h.Init();
    for (uint8_t command : {FIRMWARE_FAILED, FIRMWARE_FAILED_2}) {
        g_bStopUpdate = 0;
        Deliver({0x00, TYPE_FIRMWARE, 0x01, 0x00, command});
        EXPECT_EQ(g_bStopUpdate, 1) << int(command);
        EXPECT_EQ(h.view.BoxTexts().back(), kFailure) << int(command);
        EXPECT_EQ(g_nUpdateStage, UPDATE_STAGE_DONE);
    }
    EXPECT_EQ(h.view.Boxes().size(), 2u);
}

// ---- reports that change nothing

// The same request with message byte 0 = 0x00 is answered (stage 3, idle: FIRMWARE_END); with
// any other first byte it is not, and neither is an identity or a version report.
TEST_F(FramedFlowTest, AReportNotStartingWithZeroChangesNothing)
{
    Attach();
    h.Init();
    const std::vector<std::string> titles = h.view.Titles();
    const uint32_t version = g_nDeviceVersion;
    for (uint8_t first : {uint8_t(0x01), uint8_t(0x80), uint8_t(0xFF)}) {
        Mark();
        Deliver({first, TYPE_FIRMWARE, 0x01, 0x00, SET_FIRMWARE_DATA});
        Bytes identity = {first, TYPE_IDENTITY, 40, 0x00};
        identity.resize(44, 0);
        identity[40] = 1;
        Deliver(identity);
        Deliver({first, TYPE_FIRMWARE, 0x07, 0x00, GET_FIRMWARE_VERSION, 0x04, 0x00, 0x2C, 0x01, 0x00, 0x00});
        Deliver({first, TYPE_FIRMWARE, 0x01, 0x00, FIRMWARE_FAILED});
        EXPECT_TRUE(Reports().empty()) << int(first);
        EXPECT_TRUE(Lines().empty()) << int(first);
        EXPECT_EQ(g_nUpdateStage, UPDATE_STAGE_DONE);
        EXPECT_EQ(g_nDeviceVersion, version);
    }
    EXPECT_EQ(h.view.Titles(), titles);
    EXPECT_TRUE(h.view.Boxes().empty());
    EXPECT_EQ(h.view.FileDialogs(), 0);

    Mark();
    Deliver({0x00, TYPE_FIRMWARE, 0x01, 0x00, SET_FIRMWARE_DATA});
    EXPECT_EQ(Reports(), std::vector<Bytes>{kEndReport});
}

// A controller that never gets its first byte right is never understood: the update ends
// with a failure after a bounded wait, with the stage untouched and no image sent.
TEST_F(FramedFlowTest, AControllerWithABadFirstByteIsNeverUnderstood)
{
    SimControllerOptions o;
    o.faults.bad_first_byte = true;
    Attach(o);
    h.Init();
    WriteImage(h.ImagePath(), {.size = 100});
    Mark();
    ASSERT_TRUE(h.RunUpdate(h.ImagePath(), 10000));
    EXPECT_EQ(h.view.FileDialogs(), 0);
    EXPECT_EQ(g_nUpdateStage, UPDATE_STAGE_DONE);
    EXPECT_EQ(Reports().front(), kStartReport);
    for (size_t i = 1; i < Reports().size(); ++i) EXPECT_EQ(Reports()[i], kReceiveFailedReport) << i;
    EXPECT_EQ(h.dlg->LastOutcome(), UpdateOutcome::kFailed);
    ASSERT_FALSE(h.view.BoxTexts().empty());
    EXPECT_EQ(h.view.BoxTexts().back().rfind(kFailure, 0), 0u) << h.view.BoxTexts().back();
    EXPECT_LE(ElapsedMs(), 15000u);
}

// ---- requests outside their stage

// Stage 3 with no update running (a request during a version query after an update): the
// controller still gets FIRMWARE_END, but no success is announced and no update is ended.
TEST_F(FramedFlowTest, AnIdleRequestGetsTheEndButNoSuccess)
{
    Attach();
    h.Init();
    ASSERT_EQ(g_nUpdateStage, UPDATE_STAGE_DONE);
    Mark();
    g_bStopUpdate = 1;
    Deliver({0x00, TYPE_FIRMWARE, 0x01, 0x00, SET_FIRMWARE_DATA});
    EXPECT_EQ(Reports(), std::vector<Bytes>{kEndReport});
    EXPECT_EQ(Lines(), std::vector<std::string>{"SendFirmwarePacket cmd 2\n"});
    EXPECT_TRUE(h.view.Boxes().empty());
    EXPECT_FALSE(h.view.DoneLabelVisible());
    EXPECT_EQ(h.dlg->LastOutcome(), UpdateOutcome::kNone);
}

// Stage 2 after the image was closed (a failure ended the update): nothing is read from a
// closed file and nothing is sent.
TEST_F(FramedFlowTest, AStreamingRequestAfterTheImageClosedIsIgnored)
{
    SimControllerOptions o;
    o.faults.fail_at = 2;
    Attach(o);
    h.Init();
    WriteImage(h.ImagePath(), {.size = 100});
    ASSERT_TRUE(h.RunUpdate(h.ImagePath(), 10000));
    ASSERT_EQ(g_nUpdateStage, UPDATE_STAGE_STREAMING);
    ASSERT_FALSE(h.dlg->m_file.IsOpen());
    const uint32_t sent = h.dlg->m_nBytesSent;
    const std::vector<int> positions = h.view.ProgressPositions();
    Mark();
    Deliver({0x00, TYPE_FIRMWARE, 0x01, 0x00, SET_FIRMWARE_DATA});
    EXPECT_TRUE(Reports().empty());
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(h.dlg->m_nBytesSent, sent);
    EXPECT_EQ(h.view.ProgressPositions(), positions);
    EXPECT_EQ(g_nUpdateStage, UPDATE_STAGE_STREAMING);
}

// ---- images refused before the header goes out

struct RefusedCase {
    const char* name;
    std::function<Bytes()> file;
    std::string box;
    const char* key;
};

Bytes ImageFile(ImageSpec layout) { return ImageBytes(layout); }

const RefusedCase kRefusedCases[] = {
    {"SizeZero", [] { return ImageFile({.size = 0}); },
     "This firmware image is empty: its header announces no firmware data. Nothing was sent to the controller.",
     "no-payload"},
    {"Truncated", [] { return ImageFile({.size = 100, .payload_bytes = 50}); },
     "This firmware image is incomplete: its header announces 100 bytes of firmware data, but the file holds "
     "only 50. Nothing was sent to the controller.",
     "truncated"},
    {"SizeAllOnes", [] { return ImageFile({.size = 0xFFFFFFFF, .payload_bytes = 64}); },
     "This firmware image is incomplete: its header announces 4294967295 bytes of firmware data, but the file "
     "holds only 64. Nothing was sent to the controller.",
     "truncated"},
    {"ShorterThanAHeader", [] { return Bytes(27, 0x11); },
     "This file is too short to be a firmware image: it has 27 bytes, and a firmware image has at least 28. "
     "Nothing was sent to the controller.",
     "too-short"},
    {"Empty", [] { return Bytes(); },
     "This file is too short to be a firmware image: it has 0 bytes, and a firmware image has at least 28. "
     "Nothing was sent to the controller.",
     "too-short"},
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class FramedRefusedImage : public FramedFlowTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(FramedRefusedImage, NeverReachesTheController)
{
    const RefusedCase& c = GetParam();
    Attach();
    h.Init();
    WriteBytes(h.ImagePath(), c.file());
    Mark();
    ASSERT_TRUE(h.RunUpdate(h.ImagePath(), 10000));
    EXPECT_EQ(Reports(), std::vector<Bytes>{kStartReport});
    EXPECT_TRUE(Sim().ProtocolErrors().empty()) << Sim().ProtocolErrors().front();
    ASSERT_EQ(h.view.Boxes().size(), 1u);
    EXPECT_EQ(h.view.Boxes()[0].text, c.box);
    EXPECT_EQ(h.view.Boxes()[0].caption, kTitle);
    EXPECT_EQ(Lines(), (std::vector<std::string>{"send() is OK!\n", "Bytes Sent: 1\n", " 44 Bytes received from sender\n",
                                                 "firmware type 1\n", StrPrintf("image refused: %s\n", c.key),
                                                 "Exit Usb_UpdateThread\n"}));
    EXPECT_EQ(h.dlg->LastOutcome(), UpdateOutcome::kInvalidImage);
    EXPECT_EQ(g_nUpdateStage, UPDATE_STAGE_DONE);
    EXPECT_TRUE(h.view.ButtonEnabled());
}

INSTANTIATE_TEST_SUITE_P(Images, FramedRefusedImage, ::testing::ValuesIn(kRefusedCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- the controller leaves mid-update

TEST_F(FramedFlowTest, AnUnpluggedControllerEndsTheUpdateWithTheFailureText)
{
    SimControllerOptions o;
    o.faults.unplug_at = 2;
    Attach(o);
    h.Init();
    WriteImage(h.ImagePath(), {.size = 100});
    Mark();
    ASSERT_TRUE(h.RunUpdate(h.ImagePath(), 10000));
    EXPECT_FALSE(Sim().UpdateCompleted());
    EXPECT_EQ(h.dlg->LastOutcome(), UpdateOutcome::kFailed);
    ASSERT_EQ(h.view.Boxes().size(), 2u);
    EXPECT_EQ(h.view.Boxes()[1].text, kFailure +
                                          "\nThe controller was disconnected during the update. Put it in boot mode "
                                          "again, reconnect it and update again.");
    const std::vector<std::string> lines = Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "recv() failed with error code 0xffffffff\n");
    EXPECT_EQ(lines.back(), "Exit Usb_UpdateThread\n");
    EXPECT_FALSE(h.view.ButtonEnabled());
    EXPECT_FALSE(h.dlg->m_file.IsOpen());
    EXPECT_LE(ElapsedMs(), 1000u);
}

} // namespace
