// The output reports of every framed message, byte for byte as the controller receives them,
// and the debug lines the senders write.
#include "tests/flow/framed_flow_fixture.h"

#include <functional>

namespace {

Bytes Filled(size_t n, uint8_t first)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(first + i);
    return b;
}

Bytes Concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct SenderCase {
    const char* name;
    std::function<void(CUpdateDlg&)> send;
    std::vector<Bytes> reports;
    std::vector<std::string> lines;
    std::function<void(CUpdateDlg&)> before = [](CUpdateDlg&) {};
};

const Bytes kData32 = Filled(32, 0x40);
const Bytes kData40 = Filled(40, 0x80);

const SenderCase kSenderCases[] = {
    {"VersionQuery", [](CUpdateDlg&) { SendFirmwarePacket(GET_FIRMWARE_VERSION, nullptr, 0); },
     {OutReport({0x00, 0x16, 0x01, 0x00, 0x04})}, {"SendFirmwarePacket cmd 4\n"}},
    {"End", [](CUpdateDlg&) { SendFirmwarePacket(FIRMWARE_END, nullptr, 0); },
     {OutReport({0x00, 0x16, 0x01, 0x00, 0x02})}, {"SendFirmwarePacket cmd 2\n"}},
    {"StartUpdate", [](CUpdateDlg&) { EXPECT_TRUE(SendControlPacket(TYPE_START_UPDATE, 0)); },
     {OutReport({0x00, 0x1A, 0x01, 0x00, 0x00})}, {}},
    {"ReceiveFailed", [](CUpdateDlg&) { EXPECT_TRUE(SendControlPacket(TYPE_RECEIVE_FAILED, 0)); },
     {OutReport({0x00, 0x1D, 0x01, 0x00, 0x00})}, {}},
    {"DataOfOnePiece", [](CUpdateDlg& d) { d.SendImageData(kData32.data(), 32); },
     {Concat({0x27, 0x00, 0x16, 0x23, 0x00, 0x00, 0x20, 0x00}, Concat(kData32, Bytes(64 - 40, 0)))},
     {"WriteHid 39 btye sucessful\n"}},
    // The image file is exhausted: the short form, logged like any data piece.
    {"DataEmpty", [](CUpdateDlg& d) { d.SendImageData(kData32.data(), 0); },
     {OutReport({0x00, 0x16, 0x01, 0x00, 0x00})}, {"WriteHid 5 btye sucessful\n"}},
    // Longer than one report: 39 bytes with the head, then the rest as they are.
    {"DataOverOneReport", [](CUpdateDlg&) { SendFirmwarePacket(FIRMWARE_DATA, kData40.data(), 40); },
     {Concat({0x27, 0x00, 0x16, 0x2B, 0x00, 0x00, 0x28, 0x00}, Concat(Bytes(kData40.begin(), kData40.begin() + 32),
                                                                        Bytes(64 - 40, 0))),
      OutReport(Bytes(kData40.begin() + 32, kData40.end()))},
     {"WriteHid 39 btye sucessful\n", "WriteHid 8 btye sucessful\n"}},
    // Bytes 12-27 are zero even right after a longer message filled the send area.
    {"Header",
     [](CUpdateDlg& d) {
         d.m_nFwVersion = 0x0002007B;
         d.m_nFwAddress = 0x08004000;
         d.m_nFwSize = 1000;
         d.SendImageHeader();
     },
     {OutReport(HeaderMessage(0x0002007B, 0x08004000, 1000))}, {"SendFirmwarePacket cmd 1\n"},
     [](CUpdateDlg&) {
         const Bytes junk(56, 0xFF);
         SendFirmwarePacket(FIRMWARE_DATA, junk.data(), int(junk.size()));
     }},
};

class FramedSender : public FramedFlowTest, public ::testing::WithParamInterface<SenderCase> {};

TEST_P(FramedSender, WritesTheExactReports)
{
    Attach();
    h.Init();
    ASSERT_TRUE(h.dlg->m_hid.IsOpen());
    const SenderCase& c = GetParam();
    c.before(*h.dlg);
    Mark();
    c.send(*h.dlg);
    EXPECT_EQ(Reports(), c.reports);
    EXPECT_EQ(Lines(), c.lines);
}

INSTANTIATE_TEST_SUITE_P(Messages, FramedSender, ::testing::ValuesIn(kSenderCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A write that fails ends a data message at once: no second report, no retry, one line.
TEST_F(FramedFlowTest, FailedWritesStopTheMessageAndReportFalse)
{
    Attach();
    h.Init();
    Mark();
    h.platform.Unplug(m_dev);
    SendFirmwarePacket(FIRMWARE_DATA, kData40.data(), 40);
    EXPECT_EQ(Lines(), std::vector<std::string>{"WriteHid error\n"});
    h.debug.Clear();
    EXPECT_FALSE(SendControlPacket(TYPE_START_UPDATE, 0));
    SendFirmwarePacket(FIRMWARE_END, nullptr, 0);
    // Only the command's own line, written before the write.
    EXPECT_EQ(Lines(), std::vector<std::string>{"SendFirmwarePacket cmd 2\n"});
    EXPECT_TRUE(Reports().empty());
}

} // namespace
