// The device-driven update through the dialog model: the controller asks, the worker answers
// each request with the next 32 bytes, then with the end message.
#include "tests/flow/framed_flow_fixture.h"

#include "base/strprintf.h"

namespace {



struct StreamCase {
    const char* name;
    uint32_t size;                 // the header's payload size
    uint32_t payload_bytes;        // what the file holds after the header
    std::vector<uint32_t> pieces;  // bytes of each FIRMWARE_DATA answer, in order
    std::vector<int> progress;     // positions set from the second piece on
};

const StreamCase kStreamCases[] = {
    // The empty short form follows the piece that filled the image.
    {"OnePieceExactly", 32, 32, {32, 0}, {100}},
    {"ShorterThanAPiece", 20, 20, {20, 0}, {100}},
    {"OneByteOverAPiece", 33, 33, {32, 1}, {100}},
    {"Uneven", 100, 100, {32, 32, 32, 4}, {64, 96, 100}},
    // The file holds more than the header says: whole pieces go out and the position is
    // not held at 100.
    {"FileLongerThanHeader", 100, 128, {32, 32, 32, 32}, {64, 96, 128}},
    {"Thousand", 1000, 1000,
     {32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32,
      32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 8},
     {6, 9, 12, 16, 19, 22, 25, 28, 32, 35, 38, 41, 44, 48, 51, 54,
      57, 60, 64, 67, 70, 73, 76, 80, 83, 86, 89, 92, 96, 99, 100}},
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

class FramedStream : public FramedFlowTest, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(FramedStream, AnswersEveryRequestWithTheNextPieceThenEnds)
{
    const StreamCase& c = GetParam();
    Attach();
    h.Init();
    const ImageSpec layout{.version = 150, .beta = 2, .address = 0x08004000, .size = c.size, .revision = 9,
                         .payload_bytes = c.payload_bytes};
    const Bytes payload = WriteImage(h.ImagePath(), layout);
    const uint32_t versionWord = 0x00020096;
    Mark();
    ASSERT_TRUE(h.RunUpdate(h.ImagePath(), 10000));

    // What the controller got: start, header, the pieces in file order, the end.
    std::vector<Bytes> reports = {kStartReport, OutReport(HeaderMessage(versionWord, 0x08004000, c.size))};
    uint32_t at = 0;
    for (uint32_t n : c.pieces) {
        reports.push_back(OutReport(DataMessage(Bytes(payload.begin() + at, payload.begin() + at + n))));
        at += n;
    }
    reports.push_back(kEndReport);
    EXPECT_EQ(Reports(), reports);
    EXPECT_TRUE(Sim().ProtocolErrors().empty()) << Sim().ProtocolErrors().front();
    EXPECT_TRUE(Sim().UpdateCompleted());
    EXPECT_EQ(Sim().ReceivedImage(), Bytes(payload.begin(), payload.begin() + c.size));
    EXPECT_EQ(Sim().VersionWord(), versionWord);

    // Every line the worker wrote, in order.
    std::vector<std::string> lines = {"send() is OK!\n", "Bytes Sent: 1\n", " 44 Bytes received from sender\n",
                                      "firmware type 1\n", "SendFirmwarePacket cmd 1\n",
                                      StrPrintf("desVersion is %d\n", int(versionWord))};
    uint32_t sent = 0;
    for (size_t k = 0; k < c.pieces.size(); ++k) {
        const uint32_t n = c.pieces[k];
        sent += n;
        lines.push_back(" 5 Bytes received from sender\n");
        lines.push_back(StrPrintf("WriteHid %u btye sucessful\n", n ? n + 7 : 5));
        if (k == 0) {
            lines.push_back(StrPrintf("update file is 0x%x\n", c.size));
            continue;
        }
        lines.push_back(StrPrintf("\nSET_FIRMWARE_DATA read_pos %u offset 0x%x\n\n", n, sent));
    }
    for (const char* tail : {"update successful\n", " 5 Bytes received from sender\n", "SendFirmwarePacket cmd 2\n",
                             "Exit Usb_UpdateThread\n"})
        lines.push_back(tail);
    EXPECT_EQ(Lines(), lines);

    // Progress from the second piece on, then back to 0 after the success box.
    // (The first two zeros: start-up and the click.)
    std::vector<int> positions = {0, 0};
    positions.insert(positions.end(), c.progress.begin(), c.progress.end());
    positions.push_back(0);
    EXPECT_EQ(h.view.ProgressPositions(), positions);
    // The button comes back with the last piece, before the end message is asked for.
    const std::vector<std::string> events = h.view.Events();
    ASSERT_GE(events.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(events.end() - 7, events.end()),
              (std::vector<std::string>{StrPrintf("progress:%d", c.progress.back()), "button:1", "box:" + kUpgraded,
                                        "done:1", "progress:0", "button:1", "ended"}));

    ASSERT_EQ(h.view.Boxes().size(), 2u);
    EXPECT_EQ(h.view.Boxes()[0].text, "Fw v1.5 beta2 r9\n");
    EXPECT_EQ(h.view.Boxes()[1].text, kUpgraded);
    EXPECT_EQ(h.view.Boxes()[1].caption, kTitle);
    EXPECT_EQ(h.view.Boxes()[1].type, MsgBoxType::kOk);
    EXPECT_TRUE(h.view.DoneLabelVisible());
    EXPECT_TRUE(h.view.ButtonEnabled());
    EXPECT_EQ(h.dlg->LastOutcome(), UpdateOutcome::kSuccess);
    EXPECT_EQ(g_bStopUpdate, 1);
    EXPECT_EQ(g_nUpdateStage, UPDATE_STAGE_DONE);
    EXPECT_FALSE(h.dlg->m_file.IsOpen());
}

INSTANTIATE_TEST_SUITE_P(Images, FramedStream, ::testing::ValuesIn(kStreamCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
