// The simulated framed controller, driven report by report with the exact bytes the message
// tables give, so the flow tests can trust it as an oracle.
#include "sim/sim_controller.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Report = std::array<uint8_t, kHidReportSize>;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// An output report: id 0, the count byte, the message, zeros.
Report Out(const Bytes& message, int count = -1)
{
    Report r{};
    r[1] = uint8_t(count < 0 ? int(message.size()) : count);
    std::copy(message.begin(), message.end(), r.begin() + 2);
    return r;
}

// 64 input-report data bytes: the given ones, zeros after.
Bytes In(const Bytes& head)
{
    Bytes b(head);
    b.resize(kHidDataSize, 0);
    return b;
}

Bytes Data(const SimReply& reply) { return Bytes(reply.data, reply.data + kHidDataSize); }

const Bytes kStart = {0x00, 0x1A, 0x01, 0x00, 0x00};
const Bytes kReceiveFailed = {0x00, 0x1D, 0x01, 0x00, 0x00};
const Bytes kVersionQuery = {0x00, 0x16, 0x01, 0x00, 0x04};
const Bytes kEnd = {0x00, 0x16, 0x01, 0x00, 0x02};
const Bytes kEmptyData = {0x00, 0x16, 0x01, 0x00, 0x00};

// The controller's request for the next piece, and its failure report.
const Bytes kRequest = In({0x05, 0x00, 0x16, 0x01, 0x00, 0x14});
const Bytes kFailed = In({0x05, 0x00, 0x16, 0x01, 0x00, 0x15});

// FIRMWARE_HEADER: 00 16 1F 00 01 1C 00, version word, address, size, 16 zeros.
Bytes HeaderMessage(uint32_t version, uint32_t address, uint32_t size)
{
    Bytes m = {0x00, 0x16, 0x1F, 0x00, 0x01, 0x1C, 0x00};
    for (uint32_t word : {version, address, size})
        for (int i = 0; i < 4; ++i) m.push_back(uint8_t(word >> (8 * i)));
    m.resize(35, 0);
    return m;
}

Bytes DataMessage(const Bytes& piece)
{
    const size_t n = piece.size();
    Bytes m = {0x00, 0x16, uint8_t(n + 3), uint8_t((n + 3) >> 8), 0x00, uint8_t(n), uint8_t(n >> 8)};
    m.insert(m.end(), piece.begin(), piece.end());
    return m;
}

Bytes Pattern(size_t n, uint8_t seed = 0)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 13 + 1);
    return b;
}

class FramedControllerTest : public ::testing::Test {
protected:
    SimResponse Send(const Bytes& message, int count = -1) { return SendRaw(Out(message, count)); }
    SimResponse SendRaw(const Report& r)
    {
        uint8_t raw[kHidReportSize];
        std::copy(r.begin(), r.end(), raw);
        return m_sim->OnOutputReport(raw);
    }
    // START_UPDATE and a header; the controller then asks for the first piece.
    void BeginImage(uint32_t size, uint32_t version = 0x0002012C)
    {
        Send(kStart);
        Send(HeaderMessage(version, 0x08004000, size));
    }
    // Streams the payload in 32-byte pieces, each answered by a request.
    void StreamPieces(const Bytes& payload)
    {
        for (size_t at = 0; at < payload.size(); at += 32) {
            Bytes piece(payload.begin() + at, payload.begin() + std::min(payload.size(), at + 32));
            SimResponse r = Send(DataMessage(piece));
            ASSERT_EQ(r.replies.size(), 1u) << "piece at " << at;
            EXPECT_EQ(Data(r.replies[0]), kRequest) << "piece at " << at;
        }
    }

    void Make(SimFaults faults = {}, uint32_t version = 0x0000006E)
    {
        SimControllerOptions o;
        o.version_word = version;
        o.faults = faults;
        m_sim = MakeFramedController(o);
    }

    std::unique_ptr<SimController> m_sim = MakeFramedController({});
};

TEST_F(FramedControllerTest, IdentifiesAsTheNewerFramedPairUnlessToldOtherwise)
{
    EXPECT_EQ(m_sim->VendorId(), 0x2DC8);
    EXPECT_EQ(m_sim->ProductId(), 0x5750);
    EXPECT_EQ(m_sim->Family(), SimFamily::kFramed);
    SimControllerOptions o;
    o.vendor_id = 0x0483;
    EXPECT_EQ(MakeFramedController(o)->VendorId(), 0x0483);
}

TEST_F(FramedControllerTest, StartUpdateIsAnsweredWithTheIdentityRecord)
{
    for (std::optional<uint32_t> type : {std::optional<uint32_t>(), std::optional<uint32_t>(200u),
                                         std::optional<uint32_t>(0x12345678u)}) {
        SimFaults f;
        f.firmware_type = type;
        Make(f);
        SimResponse r = Send(kStart);
        ASSERT_EQ(r.replies.size(), 1u);
        const uint32_t t = type.value_or(1);
        // 44 message bytes: head 00 19 28 00, the firmware type at message bytes 40-43.
        Bytes want = In({44, 0x00, 25, 40, 0x00});
        for (int i = 0; i < 4; ++i) want[41 + i] = uint8_t(t >> (8 * i));
        EXPECT_EQ(Data(r.replies[0]), want) << t;
        EXPECT_FALSE(r.unplug);
    }
    EXPECT_THAT(m_sim->ProtocolErrors(), IsEmpty());
}

TEST_F(FramedControllerTest, VersionQueryIsAnsweredWithTheVersionWord)
{
    struct Case {
        uint32_t version;
        bool no_version;
        Bytes value;
    };
    for (const Case& c : {Case{0x00020096, false, {0x96, 0x00, 0x02, 0x00}}, Case{150, false, {0x96, 0, 0, 0}},
                          Case{150, true, {0xFF, 0xFF, 0xFF, 0xFF}}}) {
        SimFaults f;
        f.no_version = c.no_version;
        Make(f, c.version);
        SimResponse r = Send(kVersionQuery);
        ASSERT_EQ(r.replies.size(), 1u);
        Bytes want = {11, 0x00, 0x16, 0x07, 0x00, 0x04, 0x04, 0x00};
        want.insert(want.end(), c.value.begin(), c.value.end());
        EXPECT_EQ(Data(r.replies[0]), In(want)) << c.version;
    }
    EXPECT_THAT(m_sim->ProtocolErrors(), IsEmpty());
}

// A header size of 100 with pieces of 32: the fourth piece runs past the size, the image is
// the first 100 bytes, and the controller then reports the image's version.
TEST_F(FramedControllerTest, TakesAnImagePieceByPieceAndRebootsIntoItOnTheEnd)
{
    const Bytes payload = Pattern(128);
    Send(kStart);
    SimResponse header = Send(HeaderMessage(0x0002012C, 0x08004000, 100));
    ASSERT_EQ(header.replies.size(), 1u);
    EXPECT_EQ(Data(header.replies[0]), kRequest);
    StreamPieces(payload);
    EXPECT_FALSE(m_sim->UpdateCompleted());
    EXPECT_EQ(m_sim->VersionWord(), 105u);

    SimResponse end = Send(kEnd);
    EXPECT_THAT(end.replies, IsEmpty());
    EXPECT_TRUE(m_sim->UpdateCompleted());
    EXPECT_EQ(m_sim->VersionWord(), 0x0002012Cu);
    EXPECT_EQ(m_sim->ReceivedImage(), Bytes(payload.begin(), payload.begin() + 100));
    SimResponse version = Send(kVersionQuery);
    ASSERT_EQ(version.replies.size(), 1u);
    EXPECT_EQ(Data(version.replies[0]), In({11, 0x00, 0x16, 0x07, 0x00, 0x04, 0x04, 0x00, 0x2C, 0x01, 0x02, 0x00}));
    EXPECT_THAT(m_sim->ProtocolErrors(), IsEmpty());
    EXPECT_EQ(m_sim->ReceivedReports().size(), 8u);
    const Report start = Out(kStart);
    EXPECT_THAT(m_sim->ReceivedReports().front(), ElementsAreArray(start.begin() + 1, start.end()));
}

// An image of a whole number of pieces: the tool's file is exhausted at the next request and
// it sends the empty short form before the end; a receive-failed notice gets no answer.
TEST_F(FramedControllerTest, AcceptsTheEmptyPieceOnceTheImageIsWhole)
{
    BeginImage(32);
    StreamPieces(Pattern(32));
    EXPECT_THAT(Send(kReceiveFailed).replies, IsEmpty());
    SimResponse empty = Send(kEmptyData);
    ASSERT_EQ(empty.replies.size(), 1u);
    EXPECT_EQ(Data(empty.replies[0]), kRequest);
    Send(kEnd);
    EXPECT_TRUE(m_sim->UpdateCompleted());
    EXPECT_EQ(m_sim->ReceivedImage(), Pattern(32));
    EXPECT_THAT(m_sim->ProtocolErrors(), IsEmpty());
}

TEST_F(FramedControllerTest, FaultsTakeEffectAtTheirPiece)
{
    SimFaults fail;
    fail.fail_at = 2;
    Make(fail);
    BeginImage(100);
    EXPECT_EQ(Data(Send(DataMessage(Pattern(32))).replies.at(0)), kRequest);
    SimResponse failed = Send(DataMessage(Pattern(32, 1)));
    ASSERT_EQ(failed.replies.size(), 1u);
    EXPECT_EQ(Data(failed.replies[0]), kFailed);
    EXPECT_THAT(m_sim->ProtocolErrors(), IsEmpty());

    SimFaults unplug;
    unplug.unplug_at = 3;
    Make(unplug);
    BeginImage(100);
    EXPECT_FALSE(Send(DataMessage(Pattern(32))).unplug);
    EXPECT_FALSE(Send(DataMessage(Pattern(32))).unplug);
    SimResponse gone = Send(DataMessage(Pattern(32)));
    EXPECT_TRUE(gone.unplug);
    EXPECT_THAT(gone.replies, IsEmpty());
    EXPECT_FALSE(m_sim->UpdateCompleted());

    SimFaults quiet;
    quiet.silence = true;
    Make(quiet);
    for (const Bytes& m : {kStart, kVersionQuery, HeaderMessage(1, 2, 3)})
        EXPECT_THAT(Send(m).replies, IsEmpty());
    EXPECT_EQ(m_sim->ReceivedReports().size(), 3u);

    SimFaults bad;
    bad.bad_first_byte = true;
    Make(bad);
    SimResponse version = Send(kVersionQuery);
    EXPECT_EQ(Data(version.replies.at(0)), In({11, 0x01, 0x16, 0x07, 0x00, 0x04, 0x04, 0x00, 0x6E, 0, 0, 0}));
}

// A FIRMWARE_DATA message longer than one report arrives as 39 bytes with the head, then the
// rest; the controller puts it back together before judging it.
TEST_F(FramedControllerTest, ReassemblesADataMessageSplitAcrossReports)
{
    BeginImage(100);
    const Bytes message = DataMessage(Pattern(40));
    EXPECT_THAT(Send(Bytes(message.begin(), message.begin() + 39)).replies, IsEmpty());
    EXPECT_THAT(m_sim->ProtocolErrors(), IsEmpty());
    Send(Bytes(message.begin() + 39, message.end()));
    ASSERT_EQ(m_sim->ProtocolErrors().size(), 1u);
    EXPECT_THAT(m_sim->ProtocolErrors()[0], HasSubstr("piece of 40 bytes"));
}

// Every way a report can differ from how the tool frames it is reported, once.
struct BadCase {
    const char* name;
    int setup;  // 0: nothing before; 1: START_UPDATE; 2: START_UPDATE and a header of 100 bytes
    Report report;
    const char* error;
};

Report WithJunk(Report r)
{
    r[60] = 0x5A;
    return r;
}

Report WithId(Report r)
{
    r[0] = 0x02;
    return r;
}

Bytes Set(Bytes b, size_t at, uint8_t v)
{
    b[at] = v;
    return b;
}

Bytes Prefix(Bytes b, size_t n)
{
    b.resize(n);
    return b;
}

const BadCase kBadCases[] = {
    {"UnknownType", 0, Out({0x00, 0x30, 0x01, 0x00, 0x00}), "message type 0x30"},
    {"IdentityFromTheTool", 0, Out({0x00, 25, 0x01, 0x00, 0x00}), "message type 0x19"},
    {"UnknownCommand", 0, Out({0x00, 0x16, 0x01, 0x00, 0x07}), "firmware command 7"},
    {"RequestFromTheTool", 0, Out({0x00, 0x16, 0x01, 0x00, 0x14}), "firmware command 20"},
    {"MessageByteZero", 0, Out(Set(kVersionQuery, 0, 0x01)), "message byte 0 is 0x01"},
    {"ReportId", 0, WithId(Out(kVersionQuery)), "report id 0x02"},
    {"CountZero", 0, Out({}, 0), "count byte 0"},
    {"CountOver63", 0, Out(kVersionQuery, 64), "count byte 64"},
    {"CountShorterThanMessage", 0, Out(Prefix(kVersionQuery, 4)), "count byte 4"},
    {"CountLongerThanMessage", 0, Out(kVersionQuery, 6), "count byte 6, but the message is 5"},
    {"JunkAfterTheMessage", 0, WithJunk(Out(kVersionQuery)), "report byte 60 is 0x5a"},
    {"ControlWithArgument", 0, Out({0x00, 0x1A, 0x01, 0x00, 0x01}), "argument 1"},
    {"ControlLongForm", 0, Out({0x00, 0x1D, 0x02, 0x00, 0x00, 0x00}), "control messages are 5 bytes"},
    {"DataLengthInconsistent", 2, Out(Set(DataMessage(Pattern(32)), 5, 31)), "data length 31 and payload length 35"},
    {"PayloadLengthInconsistent", 2, Out(Set(Set(DataMessage(Pattern(32)), 2, 34), 5, 31)),
     "count byte 39, but the message is 38"},
    {"SplitNonDataMessage", 2, Out(Prefix(HeaderMessage(1, 2, 3), 20)),
     "count byte 20, but the message is 35"},
    {"PieceBeforeHeader", 1, Out(DataMessage(Pattern(32))), "before FIRMWARE_HEADER"},
    {"EmptyPieceBeforeHeader", 1, Out(kEmptyData), "empty FIRMWARE_DATA before FIRMWARE_HEADER"},
    {"EndBeforeHeader", 1, Out(kEnd), "FIRMWARE_END before FIRMWARE_HEADER"},
    {"EndBeforeTheImageIsWhole", 2, Out(kEnd), "FIRMWARE_END after 0 of 100 bytes"},
    {"EmptyPieceTooEarly", 2, Out(kEmptyData), "the image ended early"},
    {"ShortPieceTooEarly", 2, Out(DataMessage(Pattern(31))), "only the last piece may be short"},
    {"HeaderWithoutStart", 0, Out(HeaderMessage(1, 2, 3)), "without TYPE_START_UPDATE"},
    {"HeaderOfSizeZero", 1, Out(HeaderMessage(1, 2, 0)), "image of 0 bytes"},
    {"HeaderWithNonZeroTail", 1, Out(Set(HeaderMessage(1, 2, 3), 7 + 12, 0xEE)), "data byte 12 is 0xee"},
    {"HeaderTooShort", 1, Out({0x00, 0x16, 0x1E, 0x00, 0x01, 0x1B, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14,
                               15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27}),
     "FIRMWARE_HEADER with 27 data bytes"},
    {"VersionQueryWithData", 0, Out({0x00, 0x16, 0x04, 0x00, 0x04, 0x01, 0x00, 0x00}), "query carries 1 data bytes"},
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class FramedControllerBadInput : public FramedControllerTest, public ::testing::WithParamInterface<BadCase> {};

TEST_P(FramedControllerBadInput, IsReportedAsAProtocolError)
{
    const BadCase& c = GetParam();
    if (c.setup >= 1) Send(kStart);
    if (c.setup >= 2) Send(HeaderMessage(0x7B, 0x08004000, 100));
    ASSERT_THAT(m_sim->ProtocolErrors(), IsEmpty());
    SendRaw(c.report);
    ASSERT_EQ(m_sim->ProtocolErrors().size(), 1u) << ::testing::PrintToString(m_sim->ProtocolErrors());
    EXPECT_THAT(m_sim->ProtocolErrors()[0], HasSubstr(c.error));
    EXPECT_FALSE(m_sim->UpdateCompleted());
}

INSTANTIATE_TEST_SUITE_P(Framing, FramedControllerBadInput, ::testing::ValuesIn(kBadCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Once every byte is in, the controller waits for FIRMWARE_END: a further piece is wrong, and
// so is anything after a failure report.
TEST_F(FramedControllerTest, RefusesPiecesAfterTheImageIsWholeOrHasFailed)
{
    BeginImage(32);
    StreamPieces(Pattern(32));
    SimResponse extra = Send(DataMessage(Pattern(32)));
    EXPECT_EQ(Data(extra.replies.at(0)), kRequest);
    ASSERT_EQ(m_sim->ProtocolErrors().size(), 1u);
    EXPECT_THAT(m_sim->ProtocolErrors()[0], HasSubstr("after all 32 bytes"));
    EXPECT_EQ(m_sim->ReceivedImage(), Pattern(32));

    SimFaults f;
    f.fail_at = 1;
    Make(f);
    BeginImage(64);
    EXPECT_EQ(Data(Send(DataMessage(Pattern(32))).replies.at(0)), kFailed);
    EXPECT_THAT(Send(DataMessage(Pattern(32))).replies, IsEmpty());
    ASSERT_EQ(m_sim->ProtocolErrors().size(), 1u);
    EXPECT_THAT(m_sim->ProtocolErrors()[0], HasSubstr("after the failure report"));
}

} // namespace
