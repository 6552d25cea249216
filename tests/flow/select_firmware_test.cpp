// Choosing an image: the file dialog, what the members hold on each way out, the read
// timeout, the refusal of images that cannot be delivered whole, and the framed hand-off.
#include "protocol/framed_message.h"
#include "tests/support/flow_harness.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

class SelectFirmware : public ::testing::Test {
protected:
    // A controller of the family, found and opened, as the worker finds the link.
    std::string Open(SimFamily family)
    {
        const std::string dev = h.Attach(family);
        h.Init();
        EXPECT_EQ(h.dlg->m_hid.Open(), 1);
        EXPECT_EQ(h.dlg->m_hid.m_nReadTimeout, 200u);
        writesBefore = h.platform.WriteCount(dev);
        h.debug.Clear();
        return dev;
    }
    // Members as an earlier image left them.
    void SetEarlierImage()
    {
        CUpdateDlg& d = *h.dlg;
        d.m_strFirmwarePath = "/earlier.dat";
        d.m_nFwVersion = 0x11;
        d.m_nFwSize = 0x22;
        d.m_nFwAddress = 0x33;
        d.m_nFwRevision = 0x44;
        d.m_nBytesSent = 0x55;
    }

    FlowHarness h;
    uint64_t writesBefore = 0;
};

TEST_F(SelectFirmware, ShowsTheDatFilterInTheCurrentDirectory)
{
    Open(SimFamily::kCommand);
    EXPECT_EQ(h.dlg->SelectFirmwareFile(), 0);
    EXPECT_EQ(h.view.LastFilter().description, "File type(*.dat)");
    EXPECT_EQ(h.view.LastFilter().pattern, "*.dat");
    EXPECT_EQ(h.view.LastInitialDir(), std::filesystem::current_path().string());
}

TEST_F(SelectFirmware, CancelledFileDialogChangesNothing)
{
    const std::string dev = Open(SimFamily::kCommand);
    SetEarlierImage();
    EXPECT_EQ(h.dlg->SelectFirmwareFile(), 0);
    EXPECT_EQ(h.dlg->m_strFirmwarePath, "/earlier.dat");
    EXPECT_EQ(h.dlg->m_nFwSize, 0x22u);
    EXPECT_EQ(h.dlg->m_nFwVersion, 0x11u);
    EXPECT_TRUE(h.view.Boxes().empty());
    EXPECT_EQ(h.debug.All(), "");
    EXPECT_EQ(h.platform.WriteCount(dev), writesBefore);
}

TEST_F(SelectFirmware, CancelledConfirmationKeepsTheNewImageButNotTheTimeout)
{
    const std::string dev = Open(SimFamily::kFramed);
    WriteImage(h.ImagePath(), {.version = 123, .beta = 2, .address = 0x8000, .size = 92, .revision = 4});
    h.view.QueueFile(h.ImagePath());
    h.view.QueueAnswer(MsgBoxResult::kCancel);
    const int stage = g_nUpdateStage;

    EXPECT_EQ(h.dlg->SelectFirmwareFile(), 0);

    ASSERT_EQ(h.view.Boxes().size(), 1u);
    EXPECT_EQ(h.view.Boxes()[0].text, "Fw v1.2 beta2 r4\n");
    EXPECT_EQ(h.view.Boxes()[0].caption, "Korvant Update v2.00");
    EXPECT_EQ(h.view.Boxes()[0].type, MsgBoxType::kOkCancel);
    EXPECT_EQ(h.debug.Writes(), std::vector<std::string>{"MessageBox == IDCANCEL\n"});
    EXPECT_EQ(h.dlg->m_strFirmwarePath, h.ImagePath());
    EXPECT_EQ(h.dlg->m_nFwSize, 92u);
    EXPECT_EQ(h.dlg->m_nFwAddress, 0x8000u);
    EXPECT_EQ(h.dlg->m_nFwRevision, 4);
    EXPECT_EQ(h.dlg->m_nFwVersion, 123u); // not yet widened to the whole word
    EXPECT_EQ(h.dlg->m_nBytesSent, 0u);
    EXPECT_EQ(h.dlg->m_hid.m_nReadTimeout, 200u);
    EXPECT_EQ(g_nUpdateStage, stage);
    EXPECT_EQ(h.platform.WriteCount(dev), writesBefore);
}

struct FamilyCase {
    const char* name;
    SimFamily family;
    bool header_sent;
};

void PrintTo(const FamilyCase& c, std::ostream* os) { *os << c.name; }

class SelectFirmwareOk : public SelectFirmware, public ::testing::WithParamInterface<FamilyCase> {};

TEST_P(SelectFirmwareOk, WidensTheVersionSetsTheTimeoutAndHandsOffOnlyToAFramedController)
{
    const std::string dev = Open(GetParam().family);
    WriteImage(h.ImagePath(), {.version = 123, .beta = 2, .address = 0x08004000, .size = 100, .revision = 4});
    h.view.QueueFile(h.ImagePath());

    EXPECT_EQ(h.dlg->SelectFirmwareFile(), 1);

    EXPECT_EQ(h.dlg->m_nFwVersion, 2u * 65536 + 123);
    EXPECT_EQ(h.dlg->m_hid.m_nReadTimeout, 10u);
    if (GetParam().header_sent) {
        EXPECT_EQ(g_nUpdateStage, UPDATE_STAGE_HEADER_SENT);
        EXPECT_EQ(h.platform.WriteCount(dev), writesBefore + 1);
        const std::vector<uint8_t>& r = h.Controller(dev).ReceivedReports().back();
        const std::vector<uint8_t> head = {0x23, 0x00, TYPE_FIRMWARE, 0x1F, 0x00, FIRMWARE_HEADER, 0x1C, 0x00,
                                           0x7B, 0x00, 0x02, 0x00, 0x00, 0x40, 0x00, 0x08, 0x64, 0x00, 0x00, 0x00};
        EXPECT_EQ(std::vector<uint8_t>(r.begin(), r.begin() + head.size()), head);
        EXPECT_EQ(h.debug.Count("desVersion is 131195\n"), 1);
    } else {
        EXPECT_EQ(h.platform.WriteCount(dev), writesBefore);
        EXPECT_EQ(h.debug.Count("desVersion is 131195\n"), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Families, SelectFirmwareOk,
                         ::testing::Values(FamilyCase{"framed", SimFamily::kFramed, true},
                                           FamilyCase{"command", SimFamily::kCommand, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct RefusedCase {
    const char* name;
    ImageSpec layout;
    std::optional<size_t> raw_size; // write only this many bytes of the image
    const char* says;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

const RefusedCase kRefused[] = {
    {"size_zero", {.size = 0, .payload_bytes = 64}, std::nullopt, "empty"},
    {"truncated_payload", {.size = 100, .payload_bytes = 99}, std::nullopt, "incomplete"},
    {"shorter_than_header", {.size = 100}, 27, "too short"},
    {"empty_file", {.size = 100}, 0, "too short"},
    {"size_all_ones", {.size = 0xFFFFFFFF, .payload_bytes = 4096}, std::nullopt, "incomplete"},
};

class RefusedImage : public SelectFirmware, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedImage, IsRefusedWithAReasonBeforeAnythingIsSent)
{
    for (SimFamily family : {SimFamily::kFramed, SimFamily::kCommand}) {
        FlowHarness fresh;
        const std::string dev = fresh.Attach(family);
        fresh.Init();
        ASSERT_EQ(fresh.dlg->m_hid.Open(), 1);
        const uint64_t before = fresh.platform.WriteCount(dev);
        std::vector<uint8_t> bytes = ImageBytes(GetParam().layout);
        if (GetParam().raw_size) bytes.resize(*GetParam().raw_size);
        WriteBytes(fresh.ImagePath(), bytes);
        fresh.view.QueueFile(fresh.ImagePath());

        EXPECT_EQ(fresh.dlg->SelectFirmwareFile(), 0);

        ASSERT_EQ(fresh.view.Boxes().size(), 1u) << "no confirmation for an image that cannot go out";
        EXPECT_EQ(fresh.view.Boxes()[0].type, MsgBoxType::kOk);
        EXPECT_EQ(fresh.view.Boxes()[0].caption, "Korvant Update v2.00");
        EXPECT_NE(fresh.view.Boxes()[0].text.find(GetParam().says), std::string::npos) << fresh.view.Boxes()[0].text;
        EXPECT_NE(fresh.view.Boxes()[0].text.find("Nothing was sent"), std::string::npos);
        EXPECT_EQ(fresh.platform.WriteCount(dev), before);
        EXPECT_EQ(fresh.dlg->m_hid.m_nReadTimeout, 200u);
        EXPECT_EQ(fresh.dlg->LastOutcome(), UpdateOutcome::kInvalidImage);
    }
}

INSTANTIATE_TEST_SUITE_P(Images, RefusedImage, ::testing::ValuesIn(kRefused),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SelectFirmware, UnopenableFileEndsQuietly)
{
    Open(SimFamily::kCommand);
    h.view.QueueFile(h.dir.File("does-not-exist.dat"));
    EXPECT_EQ(h.dlg->SelectFirmwareFile(), 0);
    EXPECT_EQ(h.dlg->m_strFirmwarePath, h.dir.File("does-not-exist.dat"));
    EXPECT_TRUE(h.view.Boxes().empty());
}

} // namespace
