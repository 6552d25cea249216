// Command reports on the wire: how SendCommandReport lays out a report and caps its data,
// and which input reports count as the acknowledgement of a command.
#include "protocol/command_report.h"

#include "tests/support/command_link_fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

using ::testing::ElementsAreArray;

namespace {

std::vector<uint8_t> Bytes(size_t n, uint8_t first)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(first + i);
    return v;
}

class SendCommandReportTest : public CommandLinkTest {
protected:
    // Sends one report and returns the 64 bytes the controller received.
    std::vector<uint8_t> SendOne(const uint8_t* data, uint32_t length, uint32_t address, uint32_t total,
                                 uint16_t command, uint16_t reserved = 0)
    {
        m_ctl->Expect(command);
        OpenLinkOnce();
        const size_t before = m_ctl->ReceivedReports().size();
        EXPECT_NE(SendCommandReport(data, length, address, total, command, reserved), 0);
        EXPECT_EQ(m_ctl->ReceivedReports().size(), before + 1);
        return m_ctl->ReceivedReports().back();
    }
    void OpenLinkOnce()
    {
        if (!m_dlg->m_hid.IsOpen()) OpenLink();
    }
};

// Golden reports, byte for byte.
TEST_F(SendCommandReportTest, FortySevenBytesOfDataSendFortySix)
{
    const std::vector<uint8_t> data = Bytes(47, 0x80);
    std::vector<uint8_t> expected = {0x05, 0x03, 0x00, 0x00, 0x00,  // kind, CMD_WRITE_IMAGE, reserved
                                     0x2E, 0x00, 0x00, 0x00,        // length 46
                                     0x64, 0x00, 0x00, 0x00,        // total 100
                                     0x2E, 0x40, 0x00, 0x08};       // address 0x0800402E
    expected.insert(expected.end(), data.begin(), data.begin() + 46);  // bytes 17-62, all of the frame
    expected.push_back(0x00);                                          // byte 63: never data
    EXPECT_THAT(SendOne(data.data(), 47, 0x0800402E, 100, CMD_WRITE_IMAGE), ElementsAreArray(expected));
}

TEST_F(SendCommandReportTest, FirstInformationRequestAnnouncesFortySixWithoutData)
{
    std::vector<uint8_t> expected = {0x05, 0xC0, 0x00, 0x00, 0x00, 0x2E, 0x00, 0x00, 0x00, 0x30, 0x00, 0x00, 0x00,
                                     0x00, 0x00, 0x00, 0x00};
    expected.resize(64, 0x00);
    EXPECT_THAT(SendOne(nullptr, 48, 0, 48, CMD_GET_INFO), ElementsAreArray(expected));
}

struct FrameCase {
    const char* name;
    size_t available;   // bytes behind the data pointer; 0 = null pointer
    uint32_t length;    // as passed
    uint32_t length_field;
    size_t data_bytes;  // how many of them appear at byte 17
};

const FrameCase kFrameCases[] = {
    {"NoData", 0, 0, 0, 0},
    {"NoDataButALength", 0, 48, 46, 0},
    {"PointerWithLengthZero", 60, 0, 0, 0},
    {"OneByte", 60, 1, 1, 1},
    {"LastBlockOfAHundred", 60, 8, 8, 8},
    {"FullBlock", 46, 46, 46, 46},
    {"FortySeven", 60, 47, 46, 46},
    {"LengthAllOnes", 60, 0xFFFFFFFF, 46, 46},
};

class SendCommandReportFrame : public SendCommandReportTest, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(SendCommandReportFrame, CopiesAtMostTheCappedLengthAndZerosTheRest)
{
    const FrameCase& c = GetParam();
    const std::vector<uint8_t> data = Bytes(c.available, 0xA1);
    const std::vector<uint8_t> r =
        SendOne(c.available ? data.data() : nullptr, c.length, 0x12345678, 0x9ABCDEF0, CMD_WRITE_RECORD, 0xBEEF);
    ASSERT_EQ(r.size(), 64u);
    const SentCommand s = DecodeSent(r);
    EXPECT_EQ(s.kind, 0x05);
    EXPECT_EQ(s.command, CMD_WRITE_RECORD);
    EXPECT_EQ(s.reserved, 0xBEEF);
    EXPECT_EQ(s.length, c.length_field);
    EXPECT_EQ(s.total, 0x9ABCDEF0u);
    EXPECT_EQ(s.address, 0x12345678u);
    // The count handed to WriteHid shows as where the bytes stop: 17 + data bytes, zeros after.
    EXPECT_THAT(std::vector<uint8_t>(r.begin() + 17, r.begin() + 17 + long(c.data_bytes)),
                ElementsAreArray(std::vector<uint8_t>(data.begin(), data.begin() + long(c.data_bytes))));
    EXPECT_THAT(std::vector<uint8_t>(r.begin() + 17 + long(c.data_bytes), r.end()),
                ElementsAreArray(std::vector<uint8_t>(64 - 17 - c.data_bytes, 0)));
}

INSTANTIATE_TEST_SUITE_P(Cases, SendCommandReportFrame, ::testing::ValuesIn(kFrameCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SendCommandReportTest, ClosedLinkSendsNothingAndSaysSo)
{
    EXPECT_EQ(SendCommandReport(nullptr, 0, 0, 0, CMD_FINISH, 0), 0);
    EXPECT_TRUE(m_ctl->ReceivedReports().empty());
}

// --- which input reports acknowledge a command
struct AckCase {
    const char* name;
    std::vector<std::pair<int, uint8_t>> bytes;  // changes to a good acknowledgement of CMD_ERASE
    bool matches;
};

const AckCase kAckCases[] = {
    {"Good", {}, true},
    {"GoodWithNoiseInUnexaminedBytes", {{6, 0xFF}, {17, 0xFF}, {18, 0x42}, {63, 0x01}}, true},
    {"FirstByteNotZero", {{0, 0x01}}, false},
    {"OtherKind", {{1, 0x06}}, false},
    {"Busy", {{2, 0x10}}, false},
    {"StatusHighByte", {{3, 0x01}}, false},
    {"EchoOfAnotherCommand", {{4, 0x02}}, false},
    {"EchoHighByte", {{5, 0x01}}, false},
};

class MatchingAck : public ::testing::TestWithParam<AckCase> {};

TEST_P(MatchingAck, NeedsZeroKindDoneAndEcho)
{
    uint8_t good[64] = {0x00, 0x05, 0x00, 0x00, 0x04, 0x00};
    std::memcpy(g_inReport, good, sizeof good);
    for (auto [at, value] : GetParam().bytes) g_inReport[at] = value;
    EXPECT_EQ(IsMatchingAck(CMD_ERASE), GetParam().matches);
    EXPECT_FALSE(IsMatchingAck(CMD_WRITE_IMAGE));
}

INSTANTIATE_TEST_SUITE_P(Cases, MatchingAck, ::testing::ValuesIn(kAckCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
