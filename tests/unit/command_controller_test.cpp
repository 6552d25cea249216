// The simulated command-report controller, driven directly with handcrafted reports: what it
// answers, what it stores, and that it refuses (loudly) what a correct tool never sends.
#include "base/le.h"
#include "hid/hid.h"
#include "protocol/command_report.h"
#include "sim/sim_controller.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

constexpr uint32_t kLoad = 0x08004000;
constexpr uint32_t kRecord = 0x0800F800;

struct Cmd {
    uint16_t command;
    uint32_t length;
    uint32_t total;
    uint32_t address;
    std::vector<uint8_t> data = {};
    uint16_t reserved = 0;
    uint8_t kind = CMD_KIND;
    uint8_t report_id = 0;
};

struct Report {
    uint8_t bytes[kHidReportSize] = {};
};

Report Build(const Cmd& c)
{
    Report r;
    r.bytes[0] = c.report_id;
    uint8_t* p = r.bytes + 1;
    p[CMD_OFFSET_KIND] = c.kind;
    StoreLe16(p + CMD_OFFSET_COMMAND, c.command);
    StoreLe16(p + CMD_OFFSET_RESERVED, c.reserved);
    StoreLe32(p + CMD_OFFSET_LENGTH, c.length);
    StoreLe32(p + CMD_OFFSET_TOTAL, c.total);
    StoreLe32(p + CMD_OFFSET_ADDRESS, c.address);
    for (size_t i = 0; i < c.data.size() && CMD_OFFSET_DATA + i < size_t(kHidDataSize); ++i)
        p[CMD_OFFSET_DATA + i] = c.data[i];
    return r;
}

std::vector<uint8_t> Payload(uint32_t size)
{
    std::vector<uint8_t> p(size);
    for (uint32_t k = 0; k < size; ++k) p[k] = uint8_t(k * 7 + 3);
    return p;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& v, size_t from, size_t n)
{
    return std::vector<uint8_t>(v.begin() + long(from), v.begin() + long(from + n));
}

Cmd InfoFirst() { return {CMD_GET_INFO, 46, 48, 0}; }
Cmd Erase(uint32_t total = 0x8000, uint32_t address = kLoad) { return {CMD_ERASE, 0, total, address}; }
Cmd Block(const std::vector<uint8_t>& payload, uint32_t offset)
{
    const uint32_t n = std::min<uint32_t>(46, uint32_t(payload.size()) - offset);
    return {CMD_WRITE_IMAGE, n, uint32_t(payload.size()), kLoad + offset, Slice(payload, offset, n)};
}
Cmd RecordCmd(uint32_t version, uint32_t address = kRecord)
{
    std::vector<uint8_t> d(4);
    StoreLe32(d.data(), version);
    return {CMD_WRITE_RECORD, 4, 4, address, d};
}
Cmd Finish() { return {CMD_FINISH, 0, 0, 0}; }

struct Ack {
    uint8_t zero, kind;
    uint16_t status, echo;
};
Ack Decode(const SimReply& r)
{
    return {r.data[0], r.data[1], LoadLe16(r.data + ACK_OFFSET_STATUS), LoadLe16(r.data + ACK_OFFSET_ECHO)};
}

class CommandControllerTest : public ::testing::Test {
protected:
    void Make(SimControllerOptions o = {})
    {
        m_sim = MakeCommandController(o);
    }
    SimResponse Send(const Cmd& c)
    {
        Report r = Build(c);
        return m_sim->OnOutputReport(r.bytes);
    }
    // Sends and expects exactly one acknowledgement; returns its status.
    uint16_t Status(const Cmd& c)
    {
        SimResponse resp = Send(c);
        EXPECT_FALSE(resp.unplug);
        EXPECT_EQ(resp.replies.size(), 1u);
        if (resp.replies.empty()) return 0xDEAD;
        Ack a = Decode(resp.replies.back());
        EXPECT_EQ(a.zero, 0x00);
        EXPECT_EQ(a.kind, CMD_KIND);
        EXPECT_EQ(a.echo, c.command);
        return a.status;
    }
    void WritePayload(const std::vector<uint8_t>& payload)
    {
        for (uint32_t off = 0; off < payload.size(); off += 46) ASSERT_EQ(Status(Block(payload, off)), STATUS_DONE) << off;
    }

    std::unique_ptr<SimController> m_sim;
};

TEST_F(CommandControllerTest, WholeUpdateOfAnUnevenImage)
{
    Make();
    EXPECT_EQ(m_sim->VendorId(), 0x2DC8);
    EXPECT_EQ(m_sim->ProductId(), 0x3208);
    EXPECT_EQ(m_sim->Family(), SimFamily::kCommand);
    const std::vector<uint8_t> payload = Payload(100);

    EXPECT_EQ(Status(InfoFirst()), STATUS_DONE);
    EXPECT_EQ(Status(Erase()), STATUS_DONE);
    WritePayload(payload);
    // The image is stored but the controller is not done before record and finish.
    EXPECT_EQ(m_sim->ReceivedImage(), payload);
    EXPECT_FALSE(m_sim->UpdateCompleted());
    EXPECT_EQ(Status(RecordCmd(0x0002007B)), STATUS_DONE);
    EXPECT_FALSE(m_sim->UpdateCompleted());
    EXPECT_EQ(m_sim->VersionWord(), 105u);
    EXPECT_EQ(Status(Finish()), STATUS_DONE);

    EXPECT_TRUE(m_sim->UpdateCompleted());
    EXPECT_EQ(m_sim->VersionWord(), 0x0002007Bu);
    EXPECT_EQ(m_sim->ReceivedImage(), payload);
    EXPECT_THAT(m_sim->ProtocolErrors(), ElementsAre());
    EXPECT_EQ(m_sim->ReceivedReports().size(), 7u);
}

TEST_F(CommandControllerTest, InformationRecordLayout)
{
    SimControllerOptions o;
    o.version_word = 0x00020069;
    o.revision = 7;
    o.record_address = 0x12345678;
    o.vendor_id = 0x1234;
    o.product_id = 0x5678;
    Make(o);
    EXPECT_EQ(m_sim->VendorId(), 0x1234);
    EXPECT_EQ(m_sim->ProductId(), 0x5678);

    SimResponse resp = Send(InfoFirst());
    ASSERT_EQ(resp.replies.size(), 1u);
    const uint8_t* d = resp.replies[0].data;
    EXPECT_THAT(std::vector<uint8_t>(d, d + 6), ElementsAre(0x00, 0x05, 0x00, 0x00, 0xC0, 0x00));
    EXPECT_EQ(LoadLe32(d + 18 + 4), 0x00020069u);
    EXPECT_EQ(LoadLe32(d + 18 + 40), 0x12345678u);
    EXPECT_EQ(LoadLe16(d + 18 + 44), 7);
    EXPECT_EQ(resp.replies[0].delay_ms, 0u);

    // The tool repeats a request that got no answer with length and total 0.
    EXPECT_EQ(Status({CMD_GET_INFO, 0, 0, 0}), STATUS_DONE);
    EXPECT_THAT(m_sim->ProtocolErrors(), ElementsAre());
}

TEST_F(CommandControllerTest, NoVersionReportsAllOnes)
{
    SimControllerOptions o;
    o.faults.no_version = true;
    Make(o);
    SimResponse resp = Send(InfoFirst());
    ASSERT_EQ(resp.replies.size(), 1u);
    EXPECT_EQ(LoadLe32(resp.replies[0].data + 18 + 4), 0xFFFFFFFFu);
    EXPECT_EQ(LoadLe16(resp.replies[0].data + 18 + 44), 0xFFFF);
    EXPECT_EQ(m_sim->VersionWord(), 0xFFFFFFFFu);
}

TEST_F(CommandControllerTest, ResentBlockIsAcceptedAndAnEraseStartsOver)
{
    Make();
    const std::vector<uint8_t> payload = Payload(92);
    EXPECT_EQ(Status(Erase()), STATUS_DONE);
    EXPECT_EQ(Status(Block(payload, 0)), STATUS_DONE);
    EXPECT_EQ(Status(Block(payload, 0)), STATUS_DONE);
    EXPECT_EQ(Status(Block(payload, 46)), STATUS_DONE);
    EXPECT_EQ(m_sim->ReceivedImage(), payload);
    // A fresh erase forgets the old image: the first block is expected again.
    EXPECT_EQ(Status(Erase()), STATUS_DONE);
    EXPECT_THAT(m_sim->ReceivedImage(), ElementsAre());
    WritePayload(payload);
    EXPECT_THAT(m_sim->ProtocolErrors(), ElementsAre());
}

// --- anything a correct tool never sends is refused and recorded
struct BadCase {
    const char* name;
    std::function<std::vector<Cmd>()> prelude;  // accepted reports first
    Cmd bad;
    const char* error;                          // a part of the recorded protocol error
};

const std::vector<uint8_t> kP100 = Payload(100);

std::vector<Cmd> Erased() { return {Erase()}; }
std::vector<Cmd> AllWritten() { return {Erase(), Block(kP100, 0), Block(kP100, 46), Block(kP100, 92)}; }

Cmd WithStray(Cmd c, size_t at)
{
    c.data.resize(at + 1);
    c.data[at] = 0x5A;
    return c;
}

const BadCase kBadCases[] = {
    {"ReportIdNotZero", {}, [] { Cmd c = InfoFirst(); c.report_id = 1; return c; }(), "report id 0x1"},
    {"WrongKind", {}, [] { Cmd c = InfoFirst(); c.kind = 0x06; return c; }(), "kind 0x6"},
    {"ReservedSet", Erased, [] { Cmd c = Block(kP100, 0); c.reserved = 1; return c; }(), "reserved field 0x1"},
    {"UnknownCommand", {}, {0x05, 0, 0, 0}, "unknown command 0x5"},
    {"InfoLengthWithoutTotal", {}, {CMD_GET_INFO, 46, 0, 0}, "CMD_GET_INFO: length 46 total 0"},
    {"InfoWithAddress", {}, {CMD_GET_INFO, 0, 0, 4}, "CMD_GET_INFO: address 0x4"},
    {"InfoWithData", {}, WithStray(InfoFirst(), 0), "byte 17 after the data"},
    {"EraseWithLength", {}, {CMD_ERASE, 4, 0x8000, kLoad}, "CMD_ERASE: length 4"},
    {"EraseOfPartSector", {}, Erase(100), "total 0x64 is not a non-zero multiple"},
    {"EraseOfNothing", {}, Erase(0), "total 0x0 is not"},
    {"BlockBeforeErase", {}, Block(kP100, 0), "before any erase"},
    {"BlockDataBeyondLength", Erased, WithStray(Block(kP100, 92), 8), "byte 25 after the data"},
    {"BlockLengthZero", Erased, {CMD_WRITE_IMAGE, 0, 100, kLoad}, "length 0, expected 1 to 46"},
    {"BlockLengthOver46", Erased, {CMD_WRITE_IMAGE, 47, 100, kLoad}, "length 47, expected 1 to 46"},
    {"ShortBlockNotLast", Erased, {CMD_WRITE_IMAGE, 30, 100, kLoad, Slice(kP100, 0, 30)}, "30 bytes at offset 0, expected 46"},
    {"BlockOutsideErase", Erased, {CMD_WRITE_IMAGE, 46, 100, kLoad - 46}, "outside the erased area"},
    {"BlockSkipsAhead", Erased, Block(kP100, 46), "block at offset 46, expected 0"},
    {"BlockGoesBack", [] { return std::vector<Cmd>{Erase(), Block(kP100, 0), Block(kP100, 46)}; }, Block(kP100, 0),
     "block at offset 0, expected 92"},
    {"TotalBeyondErase", Erased, {CMD_WRITE_IMAGE, 46, 0x8001, kLoad}, "total 32769 does not fit the erase of 0x8000"},
    {"TotalChanges", [] { return std::vector<Cmd>{Erase(), Block(kP100, 0)}; }, {CMD_WRITE_IMAGE, 46, 101, kLoad + 46},
     "total 101, earlier blocks said 100"},
    {"RecordElsewhere", AllWritten, RecordCmd(123, 0), "CMD_WRITE_RECORD at 0x0, the record lives at 0x800F800"},
    {"RecordWithTotal8", AllWritten, {CMD_WRITE_RECORD, 4, 8, kRecord, {1, 2, 3, 4}}, "length 4 total 8"},
    {"RecordBeforeImage", [] { return std::vector<Cmd>{Erase(), Block(kP100, 0)}; }, RecordCmd(123),
     "before the image was written whole"},
    {"FinishWithoutRecord", AllWritten, Finish(), "CMD_FINISH before the image and its version record"},
    {"FinishWithTotal", AllWritten, {CMD_FINISH, 0, 1, 0}, "CMD_FINISH: length 0 total 1"},
};

class CommandControllerRefuses : public CommandControllerTest, public ::testing::WithParamInterface<BadCase> {};

TEST_P(CommandControllerRefuses, RecordsTheErrorAndDoesNotAcknowledgeDone)
{
    Make();
    const BadCase& c = GetParam();
    if (c.prelude) {
        for (const Cmd& ok : c.prelude()) ASSERT_EQ(Status(ok), STATUS_DONE);
    }
    ASSERT_THAT(m_sim->ProtocolErrors(), ElementsAre());
    const uint16_t status = Status(c.bad);
    EXPECT_NE(status, STATUS_DONE);
    EXPECT_NE(status, STATUS_BUSY);
    EXPECT_THAT(m_sim->ProtocolErrors(), ElementsAre(HasSubstr(c.error)));
    EXPECT_FALSE(m_sim->UpdateCompleted());
}

INSTANTIATE_TEST_SUITE_P(Cases, CommandControllerRefuses, ::testing::ValuesIn(kBadCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- faults
TEST_F(CommandControllerTest, EraseBusyCountsEraseReports)
{
    SimControllerOptions o;
    o.faults.erase_busy = 2;
    Make(o);
    EXPECT_EQ(Status(Erase()), STATUS_BUSY);
    EXPECT_EQ(Status(Erase()), STATUS_BUSY);
    EXPECT_EQ(Status(Erase()), STATUS_DONE);
    // An area still being erased takes no writes.
    SimControllerOptions f;
    f.faults.erase_busy_forever = true;
    Make(f);
    for (int i = 0; i < 50; ++i) ASSERT_EQ(Status(Erase()), STATUS_BUSY);
    EXPECT_EQ(Status(Block(kP100, 0)), 0x0002);
    EXPECT_THAT(m_sim->ProtocolErrors(), ElementsAre(HasSubstr("before any erase")));
}

TEST_F(CommandControllerTest, FailAtRefusesThatBlockAndItsResends)
{
    SimControllerOptions o;
    o.faults.fail_at = 2;
    Make(o);
    EXPECT_EQ(Status(Erase()), STATUS_DONE);
    EXPECT_EQ(Status(Block(kP100, 0)), STATUS_DONE);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Status(Block(kP100, 46)), 0x0001);
    std::vector<uint8_t> stored = m_sim->ReceivedImage();
    ASSERT_EQ(stored.size(), 100u);
    EXPECT_EQ(Slice(stored, 0, 46), Slice(kP100, 0, 46));
    EXPECT_EQ(Slice(stored, 46, 54), std::vector<uint8_t>(54, 0xFF));
    EXPECT_THAT(m_sim->ProtocolErrors(), ElementsAre());
}

TEST_F(CommandControllerTest, UnplugAtVanishesWithoutAnAnswer)
{
    SimControllerOptions o;
    o.faults.unplug_at = 3;
    Make(o);
    EXPECT_EQ(Status(Erase()), STATUS_DONE);
    EXPECT_EQ(Status(Block(kP100, 0)), STATUS_DONE);
    EXPECT_EQ(Status(Block(kP100, 46)), STATUS_DONE);
    SimResponse resp = Send(Block(kP100, 92));
    EXPECT_TRUE(resp.unplug);
    EXPECT_TRUE(resp.replies.empty());
}

TEST_F(CommandControllerTest, StaleAcksRepeatThePreviousAcknowledgementFirst)
{
    SimControllerOptions o;
    o.faults.stale_acks = true;
    Make(o);
    SimResponse first = Send(Erase());
    ASSERT_EQ(first.replies.size(), 1u);  // nothing older to repeat
    SimResponse second = Send(Block(kP100, 0));
    ASSERT_EQ(second.replies.size(), 2u);
    EXPECT_EQ(Decode(second.replies[0]).echo, CMD_ERASE);
    EXPECT_EQ(Decode(second.replies[1]).echo, CMD_WRITE_IMAGE);
    EXPECT_EQ(std::memcmp(second.replies[0].data, first.replies[0].data, kHidDataSize), 0);
}

struct AckFault {
    const char* name;
    std::function<void(SimFaults&)> set;
    uint8_t zero;
    uint16_t status;
};

const AckFault kAckFaults[] = {
    {"BadStatus", [](SimFaults& f) { f.bad_status = 0x0042; }, 0x00, 0x0042},
    {"BadFirstByte", [](SimFaults& f) { f.bad_first_byte = true; }, 0x01, STATUS_DONE},
};

class CommandControllerAckFault : public CommandControllerTest, public ::testing::WithParamInterface<AckFault> {};

TEST_P(CommandControllerAckFault, EveryAcknowledgementCarriesIt)
{
    SimControllerOptions o;
    GetParam().set(o.faults);
    Make(o);
    for (const Cmd& c : {InfoFirst(), Erase(), Block(kP100, 0), Block(kP100, 46), Block(kP100, 92), RecordCmd(1), Finish()}) {
        SimResponse resp = Send(c);
        ASSERT_EQ(resp.replies.size(), 1u);
        const Ack a = Decode(resp.replies[0]);
        EXPECT_EQ(a.zero, GetParam().zero);
        EXPECT_EQ(a.kind, CMD_KIND);
        EXPECT_EQ(a.status, GetParam().status);
        EXPECT_EQ(a.echo, c.command);
    }
    EXPECT_THAT(m_sim->ProtocolErrors(), ElementsAre());
}

INSTANTIATE_TEST_SUITE_P(Faults, CommandControllerAckFault, ::testing::ValuesIn(kAckFaults),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommandControllerTest, SilenceNeverAnswersButStillChecks)
{
    SimControllerOptions o;
    o.faults.silence = true;
    Make(o);
    for (const Cmd& c : {InfoFirst(), Erase(), Block(kP100, 0)}) {
        SimResponse resp = Send(c);
        EXPECT_TRUE(resp.replies.empty());
        EXPECT_FALSE(resp.unplug);
    }
    Send(Block(kP100, 92));
    EXPECT_THAT(m_sim->ProtocolErrors(), ElementsAre(HasSubstr("block at offset 92, expected 46")));
}

} // namespace
