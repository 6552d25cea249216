// The command-report exchanges one by one against scripted controllers: how often each
// sends, reads and waits, which replies it skips, and what it leaves behind. Time is
// virtual: right after Open every read waits up to 200 ms.
#include "protocol/command_report.h"

#include "tests/support/command_link_fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

constexpr uint32_t kReadMs = 200;  // the link's read timeout right after Open
constexpr uint32_t kLoad = 0x08004000;

class CommandExchangeTest : public CommandLinkTest {
protected:
    uint64_t Reads() { return m_platform.ReadCount(m_path); }
    uint64_t Timeouts() { return m_platform.ReadTimeoutCount(m_path); }
};

// --- erase: send, wait 1000 ms, then poll (read, resend, wait 500 ms)
struct EraseCase {
    const char* name;
    // The reply to erase report n (1-based), if any.
    std::function<std::optional<SimReply>(int n)> reply;
    int result;
    int reports;
    int polls;
};

std::optional<SimReply> Done() { return CommandAck(CMD_ERASE); }
std::optional<SimReply> Busy() { return CommandAck(CMD_ERASE, STATUS_BUSY); }

const EraseCase kEraseCases[] = {
    {"DoneAtOnce", [](int n) { return n == 1 ? Done() : std::nullopt; }, 1, 1, 1},
    {"DoneOnTheTwentiethPoll", [](int n) { return n == 20 ? Done() : std::nullopt; }, 1, 20, 20},
    {"Silent", [](int) { return std::optional<SimReply>(); }, 0, 21, 20},
    // A busy reply on poll 10 allows 19 further unsuccessful polls.
    {"BusyOnTheTenthPoll", [](int n) { return n == 10 ? Busy() : std::nullopt; }, 0, 30, 29},
    {"BusyOnTheTenthThenDoneOnTheLastAllowedPoll",
     [](int n) { return n == 10 ? Busy() : n == 29 ? Done() : std::nullopt; }, 1, 29, 29},
    // Busy without end is not waited out for ever: 60 polls in all, about half a minute.
    {"BusyForever", [](int) { return Busy(); }, 0, 61, 60},
    {"BusyOfAnotherCommandDoesNotExtend",
     [](int n) { return n == 10 ? std::optional<SimReply>(CommandAck(CMD_WRITE_IMAGE, STATUS_BUSY)) : std::nullopt; },
     0, 21, 20},
    {"BusyWithFirstByteSetDoesNotExtend",
     [](int n) { return n == 10 ? std::optional<SimReply>(CommandAck(CMD_ERASE, STATUS_BUSY, {}, 0x01)) : std::nullopt; },
     0, 21, 20},
    {"StaleAcknowledgementIsAnUnsuccessfulPoll",
     [](int n) {
         return n == 1 ? std::optional<SimReply>(CommandAck(CMD_GET_INFO)) : n == 2 ? Done() : std::nullopt;
     },
     1, 2, 2},
};

class ErasePolling : public CommandExchangeTest, public ::testing::WithParamInterface<EraseCase> {};

TEST_P(ErasePolling, SendsReadsAndWaitsAsCounted)
{
    const EraseCase& c = GetParam();
    for (int n = 1; n <= c.reports; ++n) {
        std::optional<SimReply> r = c.reply(n);
        m_ctl->Expect(CMD_ERASE, r ? std::vector<SimReply>{*r} : std::vector<SimReply>{});
    }
    OpenLink();
    EXPECT_EQ(m_dlg->EraseArea(CMD_ERASE, kLoad, 100), c.result);

    EXPECT_EQ(m_ctl->ReceivedReports().size(), size_t(c.reports));
    for (const auto& r : m_ctl->ReceivedReports())
        EXPECT_EQ(r, m_ctl->ReceivedReports().front()) << "every poll resends the same erase report";
    EXPECT_EQ(Reads() + Timeouts(), uint64_t(c.polls));
    EXPECT_EQ(m_clock.SleptMs(), 1000u + 500u * uint64_t(c.reports - 1));
    EXPECT_EQ(m_clock.NowMs(), m_clock.SleptMs() + Timeouts() * kReadMs);
}

INSTANTIATE_TEST_SUITE_P(Cases, ErasePolling, ::testing::ValuesIn(kEraseCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct EraseTotalCase {
    const char* name;
    uint32_t size;
    uint32_t total;
};

const EraseTotalCase kEraseTotals[] = {
    {"OneByte", 1, 0x8000},
    {"AHundred", 100, 0x8000},
    {"ExactlyOneSector", 0x8000, 0x8000},
    {"OneByteMore", 0x8001, 0x10000},
    {"TwoSectors", 0x10000, 0x10000},
};

class EraseTotal : public CommandExchangeTest, public ::testing::WithParamInterface<EraseTotalCase> {};

TEST_P(EraseTotal, CoversWholeSectors)
{
    m_ctl->Expect(CMD_ERASE, {CommandAck(CMD_ERASE)});
    OpenLink();
    ASSERT_EQ(m_dlg->EraseArea(CMD_ERASE, 0x08010000, GetParam().size), 1);
    ASSERT_EQ(Sent().size(), 1u);
    const SentCommand s = Sent()[0];
    EXPECT_EQ(s.command, CMD_ERASE);
    EXPECT_EQ(s.length, 0u);
    EXPECT_EQ(s.total, GetParam().total);
    EXPECT_EQ(s.address, 0x08010000u);
    EXPECT_THAT(std::vector<uint8_t>(m_ctl->ReceivedReports()[0].begin() + 17, m_ctl->ReceivedReports()[0].end()),
                ElementsAreArray(std::vector<uint8_t>(47, 0)));
}

INSTANTIATE_TEST_SUITE_P(Cases, EraseTotal, ::testing::ValuesIn(kEraseTotals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommandExchangeTest, EraseOfAControllerThatVanishesEndsAtOnce)
{
    m_ctl->ExpectAndUnplug(CMD_ERASE);
    OpenLink();
    EXPECT_EQ(m_dlg->EraseArea(CMD_ERASE, kLoad, 100), 0);
    EXPECT_EQ(m_ctl->ReceivedReports().size(), 1u);
    EXPECT_EQ(m_clock.NowMs(), 1000u);
}

// --- write: one send, up to 20 reads, the first matching acknowledgement wins
std::vector<SimReply> Wrong(int n)
{
    // The replies a controller can leave before the real one, in turn.
    const SimReply kinds[] = {
        CommandAck(CMD_ERASE),                       // stale: the erase's
        CommandAck(CMD_WRITE_IMAGE, STATUS_BUSY),    // not done
        CommandAck(CMD_WRITE_IMAGE, 0x0001),         // refused
        CommandAck(CMD_WRITE_IMAGE, STATUS_DONE, {}, 0x01),
        CommandAck(CMD_WRITE_IMAGE, STATUS_DONE, {}, 0x00, 0x06),
    };
    std::vector<SimReply> out;
    for (int i = 0; i < n; ++i) out.push_back(kinds[i % 5]);
    return out;
}

struct WriteCase {
    const char* name;
    int wrong;        // replies before the matching one
    bool match;       // the matching one follows
    int result;
    int reads;        // reads that brought a report
    int timeouts;
};

const WriteCase kWriteCases[] = {
    {"MatchAtOnce", 0, true, 1, 1, 0},
    {"SkipsTwoStaleErases", 2, true, 1, 3, 0},
    {"MatchOnTheTwentiethRead", 19, true, 1, 20, 0},
    {"MatchTooLate", 20, true, 0, 20, 0},
    {"WrongThenSilent", 3, false, 0, 3, 17},
    {"Silent", 0, false, 0, 0, 20},
};

class WriteBlockReads : public CommandExchangeTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(WriteBlockReads, SendsOnceAndReadsAtMostTwentyTimes)
{
    const WriteCase& c = GetParam();
    std::vector<SimReply> replies = Wrong(c.wrong);
    if (c.match) replies.push_back(CommandAck(CMD_WRITE_IMAGE));
    m_ctl->Expect(CMD_WRITE_IMAGE, replies);
    OpenLink();
    const std::vector<uint8_t> block(46, 0x5C);
    EXPECT_EQ(m_dlg->WriteBlock(block.data(), kLoad + 46, 46, 100, 1), c.result);
    ASSERT_EQ(Sent().size(), 1u);
    EXPECT_EQ(Sent()[0].address, kLoad + 46);
    EXPECT_EQ(Sent()[0].total, 100u);
    EXPECT_EQ(Reads(), uint64_t(c.reads));
    EXPECT_EQ(Timeouts(), uint64_t(c.timeouts));
    EXPECT_EQ(m_clock.SleptMs(), 0u) << "no pause between reads";
    EXPECT_EQ(m_clock.NowMs(), uint64_t(c.timeouts) * kReadMs);
}

INSTANTIATE_TEST_SUITE_P(Cases, WriteBlockReads, ::testing::ValuesIn(kWriteCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommandExchangeTest, RecordWriteWaitsForItsOwnEcho)
{
    m_ctl->Expect(CMD_WRITE_RECORD, {CommandAck(CMD_WRITE_IMAGE), CommandAck(CMD_WRITE_RECORD)});
    OpenLink();
    const uint8_t word[4] = {0x7B, 0x00, 0x02, 0x00};
    EXPECT_EQ(m_dlg->WriteBlock(word, 0x0800F800, 4, 4, 0), 1);
    EXPECT_EQ(Reads(), 2u);
}

TEST_F(CommandExchangeTest, WriteToAControllerThatVanishesEndsAtOnce)
{
    m_ctl->ExpectAndUnplug(CMD_WRITE_IMAGE);
    OpenLink();
    const std::vector<uint8_t> block(46, 0x5C);
    EXPECT_EQ(m_dlg->WriteBlock(block.data(), kLoad, 46, 100, 1), 0);
    EXPECT_EQ(m_clock.NowMs(), 0u);
}

// --- device information: up to 5 attempts; only a silent read sends again
class DeviceInfoTest : public CommandExchangeTest {
protected:
    DeviceInfoTest() { std::memset(g_deviceInfo, 0xCC, sizeof g_deviceInfo); }
    std::vector<uint8_t> Info() const { return std::vector<uint8_t>(g_deviceInfo, g_deviceInfo + 48); }
    std::vector<uint8_t> Untouched() const { return std::vector<uint8_t>(48, 0xCC); }
};

TEST_F(DeviceInfoTest, ReplyFillsFortySixBytes)
{
    const std::vector<uint8_t> reply = InfoReply(105, 3, 0x0800F800);
    m_ctl->Expect(CMD_GET_INFO, {CommandAck(CMD_GET_INFO, STATUS_DONE, reply)});
    OpenLink();
    EXPECT_EQ(m_dlg->RequestDeviceInfo(g_deviceInfo, 48), 1);
    std::vector<uint8_t> expected = reply;
    expected.push_back(0xCC);  // offsets 46-47: not in the reply
    expected.push_back(0xCC);
    EXPECT_EQ(Info(), expected);
    const SentCommand s = Sent().at(0);
    EXPECT_EQ(s.length, 46u);
    EXPECT_EQ(s.total, 48u);
    EXPECT_EQ(s.address, 0u);
    EXPECT_EQ(m_clock.NowMs(), 0u);
}

TEST_F(DeviceInfoTest, CopiesNoMoreThanAsked)
{
    m_ctl->Expect(CMD_GET_INFO, {CommandAck(CMD_GET_INFO, STATUS_DONE, InfoReply(105, 3, 1))});
    OpenLink();
    uint8_t dest[12];
    std::memset(dest, 0xCC, sizeof dest);
    EXPECT_EQ(m_dlg->RequestDeviceInfo(dest, 10), 1);
    EXPECT_THAT(dest, ElementsAre(0x11, 0x11, 0x11, 0x11, 105, 0, 0, 0, 0x11, 0x11, 0xCC, 0xCC));
}

TEST_F(DeviceInfoTest, NonZeroStatusIsSkippedWithoutANewRequest)
{
    m_ctl->Expect(CMD_GET_INFO, {CommandAck(CMD_GET_INFO, 0x0001, InfoReply(999, 9, 9)),
                                 CommandAck(CMD_GET_INFO, STATUS_DONE, InfoReply(105, 3, 0x0800F800))});
    OpenLink();
    EXPECT_EQ(m_dlg->RequestDeviceInfo(g_deviceInfo, 48), 1);
    EXPECT_EQ(LoadLe32(g_deviceInfo + INFO_OFFSET_VERSION), 105u);
    EXPECT_EQ(Reads(), 2u);
    EXPECT_EQ(m_clock.SleptMs(), 0u);
}

struct InfoFailCase {
    const char* name;
    SimReply reply;
};

const InfoFailCase kInfoFailures[] = {
    {"NonZeroStatus", CommandAck(CMD_GET_INFO, 0x0001, InfoReply(999, 9, 9))},
    {"FirstByteNotZero", CommandAck(CMD_GET_INFO, STATUS_DONE, InfoReply(999, 9, 9), 0x01)},
    {"OtherEcho", CommandAck(CMD_ERASE, STATUS_DONE, InfoReply(999, 9, 9))},
};

class DeviceInfoWrongReplies : public DeviceInfoTest, public ::testing::WithParamInterface<InfoFailCase> {};

TEST_P(DeviceInfoWrongReplies, FiveSpendAllAttemptsAndLeaveTheRecord)
{
    m_ctl->Expect(CMD_GET_INFO, std::vector<SimReply>(5, GetParam().reply));
    OpenLink();
    EXPECT_EQ(m_dlg->RequestDeviceInfo(g_deviceInfo, 48), 0);
    EXPECT_EQ(Info(), Untouched());
    EXPECT_EQ(Reads(), 5u);
    EXPECT_EQ(m_clock.SleptMs(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, DeviceInfoWrongReplies, ::testing::ValuesIn(kInfoFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DeviceInfoTest, SilenceResendsWithZerosAfterEverySilentRead)
{
    m_ctl->Expect(CMD_GET_INFO, {}, 6);
    OpenLink();
    EXPECT_EQ(m_dlg->RequestDeviceInfo(g_deviceInfo, 48), 0);
    EXPECT_EQ(Info(), Untouched());
    const std::vector<SentCommand> sent = Sent();
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_EQ(sent[0].length, 46u);
    EXPECT_EQ(sent[0].total, 48u);
    for (size_t i = 1; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].length, 0u) << i;
        EXPECT_EQ(sent[i].total, 0u) << i;
        EXPECT_EQ(sent[i].address, 0u) << i;
    }
    EXPECT_EQ(Timeouts(), 5u);
    EXPECT_EQ(m_clock.SleptMs(), 5u * 100);
    EXPECT_EQ(m_clock.NowMs(), 5u * 100 + 5u * kReadMs);
}

TEST_F(DeviceInfoTest, AnswerToARepeatedRequestCounts)
{
    m_ctl->Expect(CMD_GET_INFO, {}, 2).Expect(CMD_GET_INFO, {CommandAck(CMD_GET_INFO, STATUS_DONE, InfoReply(105, 3, 7))});
    OpenLink();
    EXPECT_EQ(m_dlg->RequestDeviceInfo(g_deviceInfo, 48), 1);
    EXPECT_EQ(LoadLe32(g_deviceInfo + INFO_OFFSET_RECORD_ADDRESS), 7u);
    EXPECT_EQ(m_clock.SleptMs(), 200u);
}

// --- version record and finish
TEST_F(CommandExchangeTest, VersionRecordGoesWhereTheLastGoodInformationSaid)
{
    std::memset(g_deviceInfo, 0, sizeof g_deviceInfo);
    m_ctl->Expect(CMD_WRITE_RECORD, {CommandAck(CMD_WRITE_RECORD)})
        .Expect(CMD_GET_INFO, {CommandAck(CMD_GET_INFO, STATUS_DONE, InfoReply(105, 3, 0x0800F800))})
        .Expect(CMD_WRITE_RECORD, {CommandAck(CMD_WRITE_RECORD)})
        .Expect(CMD_GET_INFO, {}, 6)
        .Expect(CMD_WRITE_RECORD, {CommandAck(CMD_WRITE_RECORD)});
    OpenLink();
    m_dlg->m_nFwVersion = 0x0002007B;
    EXPECT_EQ(m_dlg->WriteVersionRecord(), 1);                    // no information yet: address 0
    EXPECT_EQ(m_dlg->RequestDeviceInfo(g_deviceInfo, 48), 1);
    EXPECT_EQ(m_dlg->WriteVersionRecord(), 1);
    EXPECT_EQ(m_dlg->RequestDeviceInfo(g_deviceInfo, 48), 0);     // a failed one changes nothing
    EXPECT_EQ(m_dlg->WriteVersionRecord(), 1);

    std::vector<uint32_t> addresses;
    for (const SentCommand& s : Sent())
        if (s.command == CMD_WRITE_RECORD) {
            addresses.push_back(s.address);
            EXPECT_EQ(s.length, 4u);
            EXPECT_EQ(s.total, 4u);
        }
    EXPECT_THAT(addresses, ElementsAre(0u, 0x0800F800u, 0x0800F800u));
    const auto& first = m_ctl->ReceivedReports()[0];
    EXPECT_THAT(std::vector<uint8_t>(first.begin() + 17, first.begin() + 22), ElementsAre(0x7B, 0x00, 0x02, 0x00, 0x00));
}

struct FinishCase {
    const char* name;
    std::vector<SimReply> replies;
    int result;
};

const FinishCase kFinishCases[] = {
    {"Acknowledged", {CommandAck(CMD_FINISH)}, 1},
    {"StaleFirst", {CommandAck(CMD_WRITE_RECORD), CommandAck(CMD_FINISH)}, 0},
    {"Silent", {}, 0},
};

class FinishReadsOnce : public CommandExchangeTest, public ::testing::WithParamInterface<FinishCase> {};

TEST_P(FinishReadsOnce, OneReportOneRead)
{
    m_ctl->Expect(CMD_FINISH, GetParam().replies);
    OpenLink();
    EXPECT_EQ(m_dlg->SendFinishCommand(), GetParam().result);
    const SentCommand s = Sent().at(0);
    EXPECT_EQ(s.length, 0u);
    EXPECT_EQ(s.total, 0u);
    EXPECT_EQ(s.address, 0u);
    EXPECT_EQ(Reads() + Timeouts(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Cases, FinishReadsOnce, ::testing::ValuesIn(kFinishCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
